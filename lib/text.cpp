#include "text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view kSymbolsHyphen = "-_";
constexpr std::string_view kSymbolsBraces = "!&-_{}";
constexpr std::string_view kSymbolsIdent = "_";

// Past this many bytes a mapping table is cheaper than a call per byte.
constexpr int kUpperDirect = 256;

bool is_alnum(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

} // namespace

extern "C" char *text_to_upper(char *text)
{
    if (text == nullptr)
        return nullptr;
    char *p = text;
    for (int i = 0; i < kUpperDirect && *p != '\0'; ++i, ++p)
        *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    if (*p == '\0')
        return text;
    std::array<char, UCHAR_MAX + 1> upper{};
    for (int c = 0; c <= UCHAR_MAX; ++c)
        upper[c] = static_cast<char>(std::toupper(c));
    for (; *p != '\0'; ++p)
        *p = upper[static_cast<unsigned char>(*p)];
    return text;
}

extern "C" int text_count_lines(const char *text)
{
    if (text == nullptr || *text == '\0')
        return 0;
    size_t newlines = std::count(text, text + std::strlen(text), '\n');
    if (newlines == 0)
        return 1;
    return newlines > INT_MAX ? INT_MAX : static_cast<int>(newlines);
}

extern "C" int text_remove_char(char *text, int ch)
{
    const char c = static_cast<char>(ch & 0xff);
    if (c == '\0')
        return 0;
    char *w = std::strchr(text, c);
    if (w == nullptr)
        return 0;
    const char *r = w + 1;
    for (const char *hit = std::strchr(r, c); hit != nullptr;
         r = hit + 1, hit = std::strchr(r, c)) {
        std::memmove(w, r, hit - r);
        w += hit - r;
    }
    std::memmove(w, r, std::strlen(r) + 1);
    return 0;
}

extern "C" const char *text_next_line(const char *text)
{
    const char *end = strchrnul(text, '\n');
    return *end == '\n' ? end + 1 : end;
}

extern "C" int text_in_symbol_set(const char *at, int symbol_set)
{
    std::string_view set = symbol_set == 1   ? kSymbolsHyphen
                           : symbol_set == 2 ? kSymbolsBraces
                                             : kSymbolsIdent;
    return set.find(*at) != std::string_view::npos ? 1 : 0;
}

extern "C" int text_is_word_char(const char *at, int symbol_set)
{
    if (is_alnum(static_cast<unsigned char>(*at)))
        return -1;
    return text_in_symbol_set(at, symbol_set) == 1 ? -1 : 0;
}

extern "C" int text_is_ident_char(const char *at)
{
    return is_alnum(static_cast<unsigned char>(*at)) || *at == '_' ? -1 : 0;
}

extern "C" const char *skip_blanks(const char *text, int max_len)
{
    const char *end = text + (max_len > 0 ? max_len : 0);
    while (text < end && is_blank(*text))
        ++text;
    return text;
}

extern "C" const char *text_copy_line(char *dst, int max_len, const char *text)
{
    if (max_len <= 0)
        return nullptr;
    const auto *nl = static_cast<const char *>(std::memchr(text, '\n', max_len));
    if (nl == nullptr) {
        std::memcpy(dst, text, max_len);
        return nullptr;
    }
    size_t len = nl + 1 - text;
    std::memcpy(dst, text, len);
    dst[len] = '\0';
    return nl + 1;
}

extern "C" void filter_lines(char *dst, const char *text, const char *chars)
{
    std::array<bool, UCHAR_MAX + 1> drop{};
    for (const char *c = chars; *c != '\0'; ++c)
        drop[static_cast<unsigned char>(*c)] = true;

    // Kept lines that follow each other are copied as one run.
    char *w = dst;
    const char *run = text;
    const char *line = text;
    while (*line != '\0') {
        const char *next = text_next_line(line);
        if (drop[static_cast<unsigned char>(*line)]) {
            std::memcpy(w, run, line - run);
            w += line - run;
            run = next;
        }
        line = next;
    }
    std::memcpy(w, run, line - run);
    w[line - run] = '\0';
}
