// sortOutBuffer over the input as a text, with tracing on in the fuzzer's
// private /var/lock/ostrel: the result is the non-empty lines, sorted, each
// ended by a newline.
#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "errlog.h"
#include "share.h"
#include "text_model.h"
#include "support.h"

namespace {

std::string sorted_model(std::string_view text)
{
    std::vector<std::string> lines = text_model::nonempty_lines_of(std::string(text));
    std::sort(lines.begin(), lines.end());
    std::string joined;
    for (const std::string &line : lines)
        joined += line + "\n";
    return joined;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::private_paths();
    if (::mkdir("/var/lock/ostrel", 0755) != 0)
        fuzz::fail("mkdir /var/lock/ostrel");
    fuzz::write_file("/var/lock/ostrel/.trace.mode", "");
    if (errlog_open(0, nullptr) != 0 || errlog_trace_fd == -1)
        fuzz::fail("opening the logs with tracing on");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<char> text = fuzz::text_of({reinterpret_cast<const char *>(data), size});
    char *out = nullptr;
    fuzz::check(sortOutBuffer(text.data(), &out) == 0, "sorted");
    fuzz::check(text[0] == '\0' ? out == text.data() : out != text.data(),
                "the caller's own text only for an empty one");
    fuzz::check(out == text.data() || out == sorted_model(text.data()), "lines sorted");
    if (out != text.data())
        std::free(out);
    return 0;
}
