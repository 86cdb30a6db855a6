// consoleQuote: the quoted text fits its buffer and, read back as the shell
// reads it between double quotes and busybox's echo prints it, is the
// message (cut at kTraceSize - 1 bytes).
#include <string>

#include "console.h"
#include "support.h"

namespace {

bool is_special(char c)
{
    return c == '\\' || c == '"' || c == '$' || c == '`';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<char> message = fuzz::text_of({reinterpret_cast<const char *>(data), size});
    std::vector<char> quoted(kQuotedSize);
    size_t n = consoleQuote(quoted.data(), message.data());
    fuzz::check(n < kQuotedSize && std::strlen(quoted.data()) == n, "the length is right");
    std::string back;
    for (size_t i = 0; i < n; ++i) {
        std::string_view rest(quoted.data() + i, n - i);
        if (rest[0] == '\\') {
            fuzz::check(rest.size() >= 2 && is_special(rest[1]), "a backslash quotes a special");
            back += rest[1];
            ++i;
        } else {
            fuzz::check(!is_special(rest[0]), "nothing is left unquoted");
            back += rest[0];
        }
    }
    fuzz::check(back == std::string_view(message.data()).substr(0, kTraceSize - 1),
                "the shell and echo give the message back");
    return 0;
}
