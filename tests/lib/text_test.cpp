#include "text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "text_model.h"

using text_model::heap;
using text_model::kRounds;
using text_model::kSeed;
using text_model::lines_of;
using text_model::random_text;

namespace {

constexpr std::string_view kAlphabet = "ab#;\\ \t\n\r\x80\xff_-";

std::string str(const std::vector<char> &v)
{
    return v.data();
}

TEST(TextCountLines, CountsNewlinesButOneForASingleLine)
{
    const std::pair<std::string, int> cases[] = {
        {"", 0},
        {"x", 1},
        {"x\ny", 1},
        {"x\ny\n", 2},
        {"a\nb\nc", 2},
        {"\n", 1},
        {"\n\n", 2},
        {"a\r\nb\r\n", 2},
        {"\r", 1},
        {"\xff\n\x80", 1},
        {std::string(100000, '\n'), 100000},
    };
    for (const auto &[text, lines] : cases)
        EXPECT_EQ(text_count_lines(heap(text).data()), lines) << text;
    EXPECT_EQ(text_count_lines(nullptr), 0);
}

TEST(TextToUpper, MapsLettersInPlaceAndReturnsTheText)
{
    auto text = heap("ab1_z\n\r\x80\xe9\xff");
    EXPECT_EQ(text_to_upper(text.data()), text.data());
    EXPECT_EQ(str(text), "AB1_Z\n\r\x80\xe9\xff");
    EXPECT_EQ(text_to_upper(nullptr), nullptr);

    std::string long_text;
    for (int i = 0; i < 3000; ++i)
        long_text += static_cast<char>(1 + i % 255);
    auto buf = heap(long_text);
    text_to_upper(buf.data());
    for (char &c : long_text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    EXPECT_EQ(str(buf), long_text);
}

TEST(TextRemoveChar, RemovesOnlyTheLowByte)
{
    struct Case {
        std::string text;
        int ch;
        std::string left;
    };
    const Case cases[] = {
        {"a\nb\n", '\n', "ab"},     {"abc", 'x', "abc"},
        {"xxaxxbxx", 'x', "ab"},    {"aXb", 'X' | 0x100, "ab"},
        {"a\xe9z\xe9", 0xe9, "az"}, {"a\xe9z", -23, "az"},
        {"abc", 0, "abc"},          {"abc", 0x100, "abc"},
        {"a\r\nb", '\r', "a\nb"},   {"", 'a', ""},
    };
    for (const auto &c : cases) {
        auto text = heap(c.text);
        EXPECT_EQ(text_remove_char(text.data(), c.ch), 0);
        EXPECT_EQ(str(text), c.left) << c.text << " " << c.ch;
    }
}

TEST(TextNextLine, StepsPastTheFirstNewline)
{
    const std::pair<std::string, size_t> cases[] = {
        {"a\nb", 2}, {"b", 1}, {"a\n", 2}, {"", 0}, {"\r\nx", 2}, {"\n\n", 1},
    };
    for (const auto &[text, offset] : cases) {
        auto buf = heap(text);
        EXPECT_EQ(text_next_line(buf.data()), buf.data() + offset) << text;
    }
}

TEST(TextClassTests, FollowTheSymbolSets)
{
    // Membership in sets 1, 2 and every other value; word = letter/digit or member.
    struct Case {
        char c;
        int in1, in2, in_other;
    };
    const Case cases[] = {
        {'-', 1, 1, 0},    {'_', 1, 1, 1},    {'{', 0, 1, 0},    {'}', 0, 1, 0},    {'!', 0, 1, 0},
        {'&', 0, 1, 0},    {'=', 0, 0, 0},    {'a', 0, 0, 0},    {'Z', 0, 0, 0},    {'0', 0, 0, 0},
        {'A', 0, 0, 0},    {'z', 0, 0, 0},    {'9', 0, 0, 0},
        {' ', 0, 0, 0},    {'\t', 0, 0, 0},   {'\n', 0, 0, 0},   {'\0', 0, 0, 0},   {'\r', 0, 0, 0},
        {'\x80', 0, 0, 0}, {'\xff', 0, 0, 0}, {'\xe9', 0, 0, 0}, {'\xad', 0, 0, 0},
    };
    for (const auto &c : cases) {
        const char at[2] = {c.c, '_'};
        bool alnum = std::isalnum(static_cast<unsigned char>(c.c)) != 0;
        for (int set : {1, 2, 3, 0, -1, 7}) {
            int in = set == 1 ? c.in1 : set == 2 ? c.in2 : c.in_other;
            EXPECT_EQ(text_in_symbol_set(at, set), in) << int(c.c) << " set " << set;
            EXPECT_EQ(text_is_word_char(at, set), alnum || in ? -1 : 0) << int(c.c);
        }
        EXPECT_EQ(text_is_ident_char(at), alnum || c.c == '_' ? -1 : 0) << int(c.c);
    }
}

TEST(SkipBlanks, StopsAtTheFirstNonBlankOrTheBound)
{
    struct Case {
        std::string text;
        int max_len;
        size_t offset;
    };
    const Case cases[] = {
        {" \t x", 10, 3}, {" \t x", 2, 2}, {" \t x", 0, 0}, {" \t x", -5, 0}, {" \t \n", 5, 3},
        {"  ", 100, 2},   {"x", 1, 0},     {"\r x", 3, 0},  {"\xa0x", 2, 0},
    };
    for (const auto &c : cases) {
        auto buf = heap(c.text);
        EXPECT_EQ(skip_blanks(buf.data(), c.max_len), buf.data() + c.offset) << c.text;
    }
    std::string wide(1 << 20, ' ');
    auto buf = heap(wide + "x");
    EXPECT_EQ(skip_blanks(buf.data(), 1 << 21), buf.data() + wide.size());
}

TEST(TextCopyLine, CopiesAtMostMaxLenBytes)
{
    struct Case {
        std::string text;
        int max_len;
        std::string copied; // the bytes of dst that were written
        long next;          // offset of the result, -1 for null
    };
    const Case cases[] = {
        {"ab\ncd", 10, std::string("ab\n\0", 4), 3},
        {"ab\ncd", 2, "ab", -1},
        {std::string("ab\0", 3), 3, std::string("ab\0", 3), -1},
        {std::string("a\0b\nc", 5), 10, std::string("a\0b\n\0", 5), 4},
        {"abc\n", 4, std::string("abc\n\0", 5), 4},
        {"\n", 1, std::string("\n\0", 2), 1},
        {"abc", 0, "", -1},
        {"abc", -1, "", -1},
        {"\r\n", 5, std::string("\r\n\0", 3), 2},
    };
    for (const auto &c : cases) {
        // Source and dst both exactly as large as the call may touch.
        size_t readable = std::min<size_t>(c.text.size(), c.max_len > 0 ? c.max_len : 0);
        std::vector<char> src(c.text.begin(), c.text.begin() + readable);
        std::vector<char> dst(c.max_len > 0 ? c.max_len + 1 : 1, '#');
        const char *next = text_copy_line(dst.data(), c.max_len, src.data());
        EXPECT_EQ(next, c.next < 0 ? nullptr : src.data() + c.next) << c.text;
        EXPECT_EQ(std::string(dst.data(), c.copied.size()), c.copied) << c.text;
        EXPECT_EQ(std::string(dst.begin() + c.copied.size(), dst.end()),
                  std::string(dst.size() - c.copied.size(), '#'))
            << c.text;
    }
}

TEST(FilterLines, DropsLinesByTheirFirstByte)
{
    struct Case {
        std::string text, chars, kept;
    };
    const Case cases[] = {
        {"a=1\n#x\n;y\n\\z\n\n #w\nb=2", "#\\;", "a=1\n\n #w\nb=2"},
        {"#only", "#\\;", ""},
        {"", "#", ""},
        {"a\n#b\n", "", "a\n#b\n"},
        {"a\n\n\nb\n", "\n", "a\nb\n"},
        {"\r#\n#\r\n", "#", "\r#\n"},
        {"\xffx\n\x80y\nc", "\xff", "\x80y\nc"},
        {"a\n", "\x80", "a\n"},
    };
    for (const auto &c : cases) {
        auto text = heap(c.text);
        std::vector<char> dst(c.text.size() + 1, '#');
        filter_lines(dst.data(), text.data(), heap(c.chars).data());
        EXPECT_EQ(str(dst), c.kept) << c.text;
    }
}

TEST(TextLongLines, AreHandledWhole)
{
    std::string line(1 << 20, 'k');
    std::string text = line + "\n#" + line + "\n" + line;
    auto buf = heap(text);
    EXPECT_EQ(text_count_lines(buf.data()), 2);
    EXPECT_EQ(text_next_line(buf.data()), buf.data() + line.size() + 1);
    std::vector<char> dst(text.size() + 1);
    filter_lines(dst.data(), buf.data(), "#");
    EXPECT_EQ(str(dst), line + "\n" + line);
    std::vector<char> copy(line.size() + 2);
    EXPECT_EQ(text_copy_line(copy.data(), static_cast<int>(line.size()) + 1, buf.data()),
              buf.data() + line.size() + 1);
    EXPECT_EQ(str(copy), line + "\n");
}

// Random texts against plain std::string models.
TEST(TextModel, OperationsMatchTheModel)
{
    std::mt19937 rng(kSeed);
    for (int round = 0; round < kRounds; ++round) {
        std::string text = random_text(rng, kAlphabet, 40);
        auto buf = heap(text);
        std::vector<std::string> lines = lines_of(text);

        size_t newlines = std::count(text.begin(), text.end(), '\n');
        int count = text.empty() ? 0 : newlines == 0 ? 1 : static_cast<int>(newlines);
        ASSERT_EQ(text_count_lines(buf.data()), count) << text;

        const char *p = buf.data();
        for (const std::string &line : lines) {
            const char *next = text_next_line(p);
            ASSERT_EQ(std::string(p, next), line + (next[-1] == '\n' ? "\n" : "")) << text;
            p = next;
        }
        ASSERT_EQ(*p, '\0') << text;

        std::string chars = random_text(rng, "#;\\\n\x80", 3);
        std::string kept;
        for (size_t start = 0; start < text.size();) {
            size_t end = std::min(text.find('\n', start), text.size() - 1) + 1;
            if (chars.find(text[start]) == std::string::npos)
                kept += text.substr(start, end - start);
            start = end;
        }
        std::vector<char> dst(text.size() + 1);
        filter_lines(dst.data(), buf.data(), chars.c_str());
        ASSERT_EQ(str(dst), kept) << text << " / " << chars;

        int max_len = std::uniform_int_distribution<int>(-1, 42)(rng);
        std::string src = text + std::string(42, '\0');
        std::vector<char> line_dst(max_len > 0 ? max_len + 1 : 1, '#');
        const char *next = text_copy_line(line_dst.data(), max_len, src.c_str());
        size_t nl = src.find('\n');
        if (max_len > 0 && nl < static_cast<size_t>(max_len)) {
            ASSERT_EQ(next, src.c_str() + nl + 1) << text;
            ASSERT_EQ(std::string(line_dst.data(), nl + 2), src.substr(0, nl + 1) + '\0');
        } else {
            ASSERT_EQ(next, nullptr) << text;
            size_t n = max_len > 0 ? max_len : 0;
            ASSERT_EQ(std::string(line_dst.data(), n), src.substr(0, n)) << text;
            ASSERT_EQ(line_dst[n], '#');
        }

        char ch = kAlphabet[round % kAlphabet.size()];
        std::string removed = text;
        std::erase(removed, ch);
        text_remove_char(buf.data(), static_cast<unsigned char>(ch) | (round & 0x300));
        ASSERT_EQ(str(buf), removed) << text;

        std::string upper = text;
        for (char &c : upper)
            c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
        auto up = heap(text);
        text_to_upper(up.data());
        ASSERT_EQ(str(up), upper) << text;
    }
}

} // namespace
