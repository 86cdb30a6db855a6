#ifndef TORPOR_TEXT_SPAN_H
#define TORPOR_TEXT_SPAN_H

// Internal to the library (C++ only, not installed): skip_blanks over a span
// that may be longer than its int bound.

#include <climits>
#include <cstddef>

#include "text.h"

namespace text_span {

// The first non-blank of [p, end]; end itself is never a blank. The bound of
// skip_blanks is an int, so a longer run of blanks is taken in parts.
inline const char *skip_blanks_to(const char *p, const char *end)
{
    if (*p != ' ' && *p != '\t')
        return p;
    for (;;) {
        size_t left = static_cast<size_t>(end - p) + 1;
        int bound = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        const char *q = skip_blanks(p, bound);
        if (q < p + bound)
            return q;
        p = q;
    }
}

} // namespace text_span

#endif
