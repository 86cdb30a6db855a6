#include "textsel.h"

#include <cstdint>
#include <cstring>

#include "text.h"
#include "text_span.h"

namespace {

// Any value but 1 and 2 selects the identifier characters.
constexpr int kIdentSymbols = 0;

// One line of a text: [begin, end), end at its newline or at the NUL.
struct line_span {
    const char *begin;
    const char *end;
    [[nodiscard]] const char *next() const { return *end == '\n' ? end + 1 : end; }
};

line_span line_at(const char *p)
{
    return {p, strchrnul(p, '\n')};
}

// The first and the last sizeof(Word) bytes of the n at from, n being from
// sizeof(Word) to twice that: together they cover all n.
template <typename Word>
void copy_ends(char *w, const char *from, size_t n)
{
    Word head = 0;
    Word tail = 0;
    std::memcpy(&head, from, sizeof head);
    std::memcpy(&tail, from + n - sizeof tail, sizeof tail);
    std::memcpy(w, &head, sizeof head);
    std::memcpy(w + n - sizeof tail, &tail, sizeof tail);
}

// The first sep at or after from, searched for again only when from has
// passed the one found last: a line or record without sep then costs no
// search of its own, and no byte of the text is searched twice.
class next_sep {
public:
    next_sep(const char *text, char sep) : sep_(sep), at_(strchrnul(text, sep)) {}

    // The first sep at or after from, or the text's terminating NUL.
    const char *from(const char *from)
    {
        if (at_ < from)
            at_ = strchrnul(from, sep_);
        return at_;
    }

private:
    char sep_;
    const char *at_;
};

// Where the keyword stands in the line after its blanks, or null. The compare
// stays within the line, so a keyword never matches across a line's end.
const char *match_keyword(line_span line, const char *keyword, size_t keyword_len, int symbol_set)
{
    const char *at = text_span::skip_blanks_to(line.begin, line.end);
    if (static_cast<size_t>(line.end - at) < keyword_len)
        return nullptr;
    if (std::memcmp(at, keyword, keyword_len) != 0)
        return nullptr;
    return text_is_word_char(at + keyword_len, symbol_set) ? nullptr : at;
}

// Copies [from, to) to w. Most keys, values and fields are short: up to 16
// bytes they go as two overlapping moves, not as a call.
char *append(char *w, const char *from, const char *to)
{
    const auto n = static_cast<size_t>(to - from);
    if (n >= 8 && n <= 16) {
        copy_ends<std::uint64_t>(w, from, n);
    } else if (n >= 4 && n < 8) {
        copy_ends<std::uint32_t>(w, from, n);
    } else if (n > 0 && n < 4) {
        w[0] = from[0];
        w[n / 2] = from[n / 2];
        w[n - 1] = from[n - 1];
    } else if (n > 16) {
        std::memcpy(w, from, n);
    }
    return w + n;
}

char *append_line(char *w, const char *from, const char *to)
{
    w = append(w, from, to);
    *w++ = '\n';
    return w;
}

// Appends the last field of a record with its newlines removed.
char *append_last_field(char *w, const char *from, const char *to)
{
    if (std::memchr(from, '\n', to - from) == nullptr)
        return append_line(w, from, to);
    char *field = w;
    *append(field, from, to) = '\0';
    text_remove_char(field, '\n');
    w = field + std::strlen(field);
    *w++ = '\n';
    return w;
}

} // namespace

extern "C" const char *text_find_keyword_line(const char *text, const char *keyword, int symbol_set)
{
    const size_t keyword_len = std::strlen(keyword);
    for (const char *p = text; *p != '\0';) {
        line_span line = line_at(p);
        if (match_keyword(line, keyword, keyword_len, symbol_set) != nullptr)
            return line.begin;
        p = line.next();
    }
    return nullptr;
}

extern "C" const char *text_collect_keyword_lines_set(char *dst, const char *text,
                                                      const char *keyword, int symbol_set)
{
    const size_t keyword_len = std::strlen(keyword);
    const char *first = nullptr;
    char *w = dst;
    for (const char *p = text; *p != '\0';) {
        line_span line = line_at(p);
        p = line.next();
        const char *at = match_keyword(line, keyword, keyword_len, symbol_set);
        if (at == nullptr)
            continue;
        w = append(w, at, p);
        if (first == nullptr)
            first = at;
    }
    *w = '\0';
    return first;
}

extern "C" const char *text_collect_keyword_lines(char *dst, const char *text, const char *keyword)
{
    return text_collect_keyword_lines_set(dst, text, keyword, kIdentSymbols);
}

extern "C" int text_extract_column(char *dst, const char *text, int record_sep, int field_sep,
                                   int column)
{
    const int rs = record_sep & 0xff;
    next_sep fs(text, static_cast<char>(field_sep & 0xff));
    char *w = dst;
    for (const char *record = text;;) {
        const char *end = strchrnul(record, rs);
        const char *field = record;
        for (int k = 1; k < column && field != nullptr; ++k) {
            const char *sep = fs.from(field);
            field = sep < end ? sep + 1 : nullptr;
        }
        if (column >= 1 && field != nullptr) {
            const char *sep = fs.from(field);
            if (sep < end)
                w = append_line(w, field, sep);
            else if (rs == '\n') // no newline inside a record to remove
                w = append_line(w, field, end);
            else
                w = append_last_field(w, field, end);
        }
        if (*end == '\0')
            break;
        record = end + 1;
    }
    *w = '\0';
    return 0;
}

extern "C" char *text_split_key_value(char *dst, const char *text, int separator, int mode)
{
    const int sep = separator & 0xff;
    // Modes 3 and 4 split the value again, once or twice, before taking it.
    const int splits = mode == 3 ? 2 : mode == 4 ? 3 : 1;
    next_sep first(text, static_cast<char>(sep));
    char *result = nullptr;
    char *w = dst;
    for (const char *p = text; *p != '\0';) {
        line_span line = line_at(p);
        p = line.next();
        const char *key = text_span::skip_blanks_to(line.begin, line.end);
        const char *cut = first.from(key);
        if (cut >= line.end)
            continue;
        result = dst;
        const char *value = cut + 1;
        for (int k = 1; k < splits && cut != nullptr; ++k) {
            const char *from = text_span::skip_blanks_to(value, line.end);
            cut = static_cast<const char *>(std::memchr(from, sep, line.end - from));
            if (cut != nullptr)
                value = cut + 1;
        }
        if (cut == nullptr)
            continue;
        w = mode == 1 ? append_line(w, key, cut) : append_line(w, value, line.end);
    }
    *w = '\0';
    return result;
}
