// Every operation of text.h, chosen by the first byte, over exact-size
// heap buffers: a text cut at its first NUL, dst sized as documented.
#include <cctype>
#include <string>

#include "support.h"
#include "text.h"

namespace {

std::string upper_model(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// text_copy_line over raw bytes: a NUL is copied like any byte.
void copy_line(fuzz::Input in)
{
    int max_len = static_cast<signed char>(in.byte());
    std::vector<char> src(in.bytes.begin(), in.bytes.end());
    size_t nl = in.bytes.find('\n');
    // The source must have max_len readable bytes unless a newline comes first.
    if (max_len > static_cast<int>(src.size()) && nl == std::string_view::npos)
        max_len = static_cast<int>(src.size());
    std::vector<char> dst(std::max(max_len, 0) + 1);
    const char *next = text_copy_line(dst.data(), max_len, src.data());
    if (nl != std::string_view::npos && static_cast<int>(nl) < max_len)
        fuzz::check(next == src.data() + nl + 1 && dst[nl + 1] == '\0' &&
                        std::equal(src.begin(), src.begin() + nl + 1, dst.begin()),
                    "the line and its newline are copied and ended");
    else
        fuzz::check(next == nullptr &&
                        std::equal(src.begin(), src.begin() + std::max(max_len, 0), dst.begin()),
                    "max_len bytes are copied");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in{{reinterpret_cast<const char *>(data), size}};
    unsigned char op = in.byte() % 8;
    if (op == 7) {
        copy_line(in);
        return 0;
    }
    int param = static_cast<signed char>(in.byte());
    std::string_view chars = in.string(8);
    std::vector<char> buf = fuzz::text_of(in.bytes);
    char *text = buf.data();
    const std::string before = text;
    const size_t len = before.size();
    switch (op) {
    case 0:
        fuzz::check(text_to_upper(text) == text && text == upper_model(before), "upper-cased");
        break;
    case 1: {
        int lines = text_count_lines(text);
        auto newlines = static_cast<int>(std::count(before.begin(), before.end(), '\n'));
        fuzz::check(lines == (len == 0 ? 0 : newlines == 0 ? 1 : newlines), "lines counted");
        break;
    }
    case 2: {
        std::string model = before;
        if ((param & 0xff) != 0)
            std::erase(model, static_cast<char>(param));
        fuzz::check(text_remove_char(text, param) == 0 && text == model, "character removed");
        break;
    }
    case 3: {
        size_t nl = before.find('\n');
        fuzz::check(text_next_line(text) == text + (nl == std::string::npos ? len : nl + 1),
                    "next line found");
        break;
    }
    case 4:
        for (const char *at = text; at <= text + len; ++at) {
            int word = text_is_word_char(at, param);
            fuzz::check((word == 0 || word == -1) && text_in_symbol_set(at, param) >= 0 &&
                            (param == 1 || param == 2 || word == text_is_ident_char(at)),
                        "class tests agree");
        }
        break;
    case 5: {
        int bound = std::min(param, static_cast<int>(len) + 1);
        const char *end = skip_blanks(text, bound);
        fuzz::check(end >= text && end <= text + std::max(bound, 0), "skip stays in its bound");
        break;
    }
    default: {
        std::vector<char> set = fuzz::text_of(chars);
        std::vector<char> dst(len + 1);
        filter_lines(dst.data(), text, set.data());
        fuzz::check(std::strlen(dst.data()) <= len, "the filtered text is no longer");
        break;
    }
    }
    return 0;
}
