#ifndef TORPOR_TESTS_TEXT_MODEL_H
#define TORPOR_TESTS_TEXT_MODEL_H

// Helpers shared by the text tests: exact-size heap copies (so that ASan sees
// one byte too many) and random texts over a small, edge-heavy alphabet.

#include <algorithm>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace text_model {

// s plus its NUL, in a heap block of exactly that size.
inline std::vector<char> heap(std::string_view s)
{
    std::vector<char> v(s.size() + 1, '\0');
    std::copy(s.begin(), s.end(), v.begin());
    return v;
}

inline std::string random_text(std::mt19937 &rng, std::string_view alphabet, size_t max_len)
{
    std::uniform_int_distribution<size_t> len(0, max_len);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::string s(len(rng), ' ');
    for (char &c : s)
        c = alphabet[pick(rng)];
    return s;
}

// The lines of a text without their newlines; an empty tail is no line.
inline std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos)
            nl = text.size();
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

// The non-empty lines of a text, as sortOutBuffer takes them.
inline std::vector<std::string> nonempty_lines_of(const std::string &text)
{
    std::vector<std::string> lines = lines_of(text);
    std::erase(lines, std::string());
    return lines;
}

inline bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

constexpr int kRounds = 4000;
constexpr unsigned kSeed = 20240607;

} // namespace text_model

#endif
