// Every operation of textsel.h, chosen by the first byte, over exact-size
// heap buffers: a text cut at its first NUL, dst sized as documented.
#include <cstring>

#include "support.h"
#include "textsel.h"

namespace {

// A located result is null or points into the text, never into dst.
void check_in_text(const char *at, const char *text, size_t len)
{
    fuzz::check(at == nullptr || (at >= text && at <= text + len), "result points into text");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in{{reinterpret_cast<const char *>(data), size}};
    unsigned char op = in.byte() % 5;
    int a = static_cast<signed char>(in.byte());
    int b = static_cast<signed char>(in.byte());
    std::string_view word = in.string(12);
    std::vector<char> keyword =
        fuzz::text_of(word.substr(0, std::min(word.find('\n'), word.size())));
    std::vector<char> buf = fuzz::text_of(in.bytes);
    const char *text = buf.data();
    const size_t len = std::strlen(text);
    std::vector<char> dst(len + (op == 3 ? 2 : 1));
    switch (op) {
    case 0: {
        const char *line = text_find_keyword_line(text, keyword.data(), a);
        check_in_text(line, text, len);
        fuzz::check(line == nullptr || line == text || line[-1] == '\n', "a line's start");
        break;
    }
    case 1:
        check_in_text(text_collect_keyword_lines(dst.data(), text, keyword.data()), text, len);
        break;
    case 2:
        check_in_text(text_collect_keyword_lines_set(dst.data(), text, keyword.data(), a), text,
                      len);
        break;
    case 3:
        if ((a & 0xff) == 0)
            a = '\n'; // record_sep must not be 0
        fuzz::check(text_extract_column(dst.data(), text, a, b, b % 8) == 0, "always 0");
        break;
    default: {
        char *result = text_split_key_value(dst.data(), text, a, b % 6);
        fuzz::check(result == nullptr || result == dst.data(), "dst or null");
        break;
    }
    }
    fuzz::check(std::strlen(dst.data()) < dst.size(), "dst is ended within its size");
    return 0;
}
