#include "textsel.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "text_model.h"

using text_model::heap;
using text_model::is_blank;
using text_model::kRounds;
using text_model::kSeed;
using text_model::lines_of;
using text_model::random_text;

namespace {

constexpr long kNull = -1;

long offset(const char *p, const std::vector<char> &text)
{
    return p == nullptr ? kNull : p - text.data();
}

TEST(TextFindKeywordLine, MatchesWholeWordsAfterBlanks)
{
    struct Case {
        std::string text, keyword;
        int symbol_set;
        long line;
    };
    const Case cases[] = {
        {"portal 1\n  port=2\nport 3", "port", 3, 9},
        {"Port 9", "port", 3, kNull},
        {"port-x 1\nport", "port", 3, 0},
        {"port-x 1\nport", "port", 1, 9},
        {"port-x 1\nport", "port", 2, 9},
        {"port{ 1", "port", 1, 0},
        {"port{ 1", "port", 2, kNull},
        {"x\n\tport", "port", 0, 2},
        {"", "port", 3, kNull},
        {"", "", 3, kNull},
        {"abc\n\n=1", "", 3, 4},
        {"abc\n  =1", "", 3, 4},
        {"por\nt x", "port", 3, kNull},
        {"port\r\n", "port", 3, 0},
        {"port\xe9", "port", 3, 0},
        {"\xe9port\n\xe9 1", "\xe9", 3, 6},
        {"a\nb", "a\nb", 3, kNull},
    };
    for (const auto &c : cases) {
        auto text = heap(c.text);
        EXPECT_EQ(
            offset(text_find_keyword_line(text.data(), c.keyword.c_str(), c.symbol_set), text),
            c.line)
            << c.text << " / " << c.keyword << " / " << c.symbol_set;
    }
}

TEST(TextCollectKeywordLines, AppendsMatchingLinesFromTheKeyword)
{
    struct Case {
        std::string text, keyword;
        int symbol_set; // 0 calls text_collect_keyword_lines
        std::string lines;
        long first;
    };
    const Case cases[] = {
        {"a 1\n  a 2\nab 3\na", "a", 0, "a 1\na 2\na", 0},
        {"a 1\n  a 2\nab 3\na", "x", 0, "", kNull},
        {"a-1\n\ta 2\n", "a", 0, "a-1\na 2\n", 0},
        {"a-1\n\ta 2\n", "a", 1, "a 2\n", 5},
        {"a{\na}\na\r\n", "a", 2, "a\r\n", 6},
        {"", "a", 0, "", kNull},
        {"\n\n", "", 0, "\n\n", 0},
    };
    for (const auto &c : cases) {
        auto text = heap(c.text);
        std::vector<char> dst(c.text.size() + 1, '#');
        const char *first =
            c.symbol_set == 0
                ? text_collect_keyword_lines(dst.data(), text.data(), c.keyword.c_str())
                : text_collect_keyword_lines_set(dst.data(), text.data(), c.keyword.c_str(),
                                                 c.symbol_set);
        EXPECT_EQ(offset(first, text), c.first) << c.text;
        EXPECT_STREQ(dst.data(), c.lines.c_str()) << c.text;
    }
}

TEST(TextExtractColumn, GivesOneLinePerRecordWithTheField)
{
    struct Case {
        std::string text;
        int record_sep, field_sep, column;
        std::string out;
    };
    const Case cases[] = {
        {"a,b,g\nd,e\nf\n", '\n', ',', 1, "a\nd\nf\n\n"},
        {"a,b,g\nd,e\nf\n", '\n', ',', 2, "b\ne\n"},
        {"a,b,g\nd,e\nf\n", '\n', ',', 3, "g\n"},
        {"a,b,g\nd,e\nf\n", '\n', ',', 4, ""},
        {"a,b,g\nd,e\nf\n", '\n', ',', 0, ""},
        {"a,b,g\nd,e\nf\n", '\n', ',', -1, ""},
        {"", '\n', ',', 1, "\n"},
        {"", '\n', ',', 2, ""},
        {"a,,b", '\n', ',', 2, "\n"},
        {"a,x\ny;b", ';', ',', 2, "xy\n"},
        {"a,x\ny;b", ';', ',', 1, "a\nb\n"},
        {"x\ny,z", ';', ',', 1, "x\ny\n"},
        {"\n\nx", ';', ',', 1, "x\n"},
        {"a\r,b\r\n", '\n', ',', 1, "a\r\n\n"},
        {"a\xffx;c", ';' | 0x100, -1, 2, "x\n"},
        {"a\xffx\xffy", -1, ',', 1, "a\nx\ny\n"},
        {"a,b\nc", 0, ',', 2, "bc\n"},
        {"a,b\nc", 0x100, ',', 1, "a\n"},
    };
    for (const auto &c : cases) {
        auto text = heap(c.text);
        std::vector<char> dst(c.text.size() + 2, '#');
        EXPECT_EQ(text_extract_column(dst.data(), text.data(), c.record_sep, c.field_sep, c.column),
                  0);
        EXPECT_STREQ(dst.data(), c.out.c_str()) << c.text << " column " << c.column;
    }
}

TEST(TextSplitKeyValue, AppendsKeysOrValuesPerMode)
{
    const std::string kv = "name = value\n  key2=w\nnosep\nk=a=b\n";
    struct Case {
        std::string text;
        int separator, mode;
        std::string out;
        bool found;
    };
    const Case cases[] = {
        {kv, '=', 1, "name \nkey2\nk\n", true},
        {kv, '=', 2, " value\nw\na=b\n", true},
        {kv, '=', 3, "b\n", true},
        {kv, '=', 4, "", true},
        {kv, '=', 0, " value\nw\na=b\n", true},
        {kv, '=', 9, " value\nw\na=b\n", true},
        {"k=a=b=d", '=', 4, "d\n", true},
        {"k=a= b=d", '=', 4, "d\n", true},
        {"k=a=b=d", '=' | 0x100, 3, "b=d\n", true},
        {"nosep\n", '=', 2, "", false},
        {"", '=', 1, "", false},
        {"  =v\n=\n", '=', 1, "\n\n", true},
        {"  =v\n=\n", '=', 2, "v\n\n", true},
        {"  a   b  c d", ' ', 1, "a\n", true},
        {"  a   b  c d", ' ', 2, "  b  c d\n", true},
        {"  a   b  c d", ' ', 3, " c d\n", true},
        {"  a   b  c d", ' ', 4, "d\n", true},
        {"k=v\r\n", '=', 2, "v\r\n", true},
        {"k\xe9v", 0xe9, 2, "v\n", true},
        {"k\xe9v", -23, 1, "k\n", true},
        {"a\nb", '\n', 2, "", false},
        {"a\nb", 0, 2, "", false},
    };
    for (const auto &c : cases) {
        auto text = heap(c.text);
        std::vector<char> dst(c.text.size() + 1, '#');
        char *result = text_split_key_value(dst.data(), text.data(), c.separator, c.mode);
        EXPECT_EQ(result, c.found ? dst.data() : nullptr) << c.text << " mode " << c.mode;
        EXPECT_STREQ(dst.data(), c.out.c_str()) << c.text << " mode " << c.mode;
    }
}

TEST(TextSelLongLines, AreHandledWhole)
{
    const std::string blanks(1 << 20, ' ');
    const std::string text = "x\n" + blanks + "key=" + std::string(1 << 20, '=') + "v";
    auto buf = heap(text);
    EXPECT_EQ(text_find_keyword_line(buf.data(), "key", 3), buf.data() + 2);
    std::vector<char> dst(text.size() + 2);
    EXPECT_EQ(text_collect_keyword_lines(dst.data(), buf.data(), "key"),
              buf.data() + 2 + blanks.size());
    EXPECT_EQ(dst.data(), text.substr(2 + blanks.size()));
    text_split_key_value(dst.data(), buf.data(), '=', 4);
    EXPECT_EQ(dst.data(), std::string((1 << 20) - 2, '=') + "v\n");
    text_extract_column(dst.data(), buf.data(), '\n', '=', (1 << 20) + 2);
    EXPECT_STREQ(dst.data(), "v\n");
}

// The models: plain std::string versions of each operation.

bool word_char(char c, int symbol_set)
{
    std::string set = symbol_set == 1 ? "-_" : symbol_set == 2 ? "!&-_{}" : "_";
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && set.find(c) != std::string::npos);
}

// Offsets of each matching line's start and keyword, and the collected lines.
struct keyword_model {
    long line = kNull, first = kNull;
    std::string collected;
};

keyword_model model_keyword(const std::string &text, const std::string &keyword, int symbol_set)
{
    keyword_model m;
    size_t start = 0;
    for (const std::string &line : lines_of(text)) {
        size_t at = 0;
        while (at < line.size() && is_blank(line[at]))
            ++at;
        std::string rest = line.substr(at);
        bool nl = start + line.size() < text.size();
        if (rest.starts_with(keyword) &&
            (rest.size() == keyword.size() || !word_char(rest[keyword.size()], symbol_set))) {
            if (m.line == kNull) {
                m.line = static_cast<long>(start);
                m.first = static_cast<long>(start + at);
            }
            m.collected += rest + (nl ? "\n" : "");
        }
        start += line.size() + 1;
    }
    return m;
}

std::vector<std::string> split(const std::string &s, char sep)
{
    std::vector<std::string> parts(1);
    for (char c : s)
        if (c == sep)
            parts.emplace_back();
        else
            parts.back() += c;
    return parts;
}

std::string model_column(const std::string &text, char rs, char fs, int column)
{
    std::string out;
    for (const std::string &record : split(text, rs)) {
        std::vector<std::string> fields = split(record, fs);
        if (column < 1 || static_cast<size_t>(column) > fields.size())
            continue;
        std::string field = fields[column - 1];
        if (static_cast<size_t>(column) == fields.size())
            std::erase(field, '\n');
        out += field + "\n";
    }
    return out;
}

std::optional<std::string> model_split(const std::string &text, char sep, int mode)
{
    std::optional<std::string> out;
    for (const std::string &line : split(text, '\n')) {
        size_t at = 0;
        while (at < line.size() && is_blank(line[at]))
            ++at;
        size_t cut = line.find(sep, at);
        if (cut == std::string::npos)
            continue;
        std::string key = line.substr(at, cut - at), value = line.substr(cut + 1);
        if (mode == 1)
            out = out.value_or("") + key + "\n";
        else if (mode == 3 || mode == 4)
            out = out.value_or("") + model_split(value, sep, mode - 1).value_or("");
        else
            out = out.value_or("") + value + "\n";
    }
    return out;
}

TEST(TextSelModel, OperationsMatchTheModel)
{
    std::mt19937 rng(kSeed);
    const std::string keywords[] = {"", "a", "ab", "a-", "b{", "\xe9"};
    const char seps[] = {'\n', ',', ';', ' ', '=', '\xe9', '\0'};
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    for (int round = 0; round < kRounds; ++round) {
        std::string text = random_text(rng, "ab  \t\n\n\r,;=-{_\xe9", 48);
        auto buf = heap(text);
        std::vector<char> dst(text.size() + 2, '#');

        const std::string &keyword = keywords[pick(std::size(keywords))];
        int symbol_set = pick(4);
        keyword_model m = model_keyword(text, keyword, symbol_set);
        const char *kw = keyword.c_str();
        ASSERT_EQ(offset(text_find_keyword_line(buf.data(), kw, symbol_set), buf), m.line) << text;
        const char *first =
            symbol_set == 3 && round % 2
                ? text_collect_keyword_lines(dst.data(), buf.data(), kw)
                : text_collect_keyword_lines_set(dst.data(), buf.data(), kw, symbol_set);
        ASSERT_EQ(offset(first, buf), m.first) << text;
        ASSERT_EQ(dst.data(), m.collected) << text;

        char rs = seps[pick(std::size(seps) - 1)], fs = seps[pick(std::size(seps))];
        int column = pick(5) - 1;
        // Only the low 8 bits of a separator count.
        int high = (round & 3) << 8;
        text_extract_column(dst.data(), buf.data(), static_cast<unsigned char>(rs) | high,
                            static_cast<unsigned char>(fs) | high, column);
        ASSERT_EQ(dst.data(), model_column(text, rs, fs, column)) << text << " col " << column;

        char sep = seps[pick(std::size(seps))];
        int mode = pick(6);
        std::vector<char> kv(text.size() + 1, '#');
        char *result = text_split_key_value(kv.data(), buf.data(), sep | high, mode);
        std::optional<std::string> expect = model_split(text, sep, mode);
        ASSERT_EQ(result, expect ? kv.data() : nullptr) << text << " mode " << mode;
        ASSERT_EQ(kv.data(), expect.value_or("")) << text << " mode " << mode;
    }
}

} // namespace
