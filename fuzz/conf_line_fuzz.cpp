// confParseLine and confMinutes over one configuration line as the load
// hands it over: at most 1023 bytes, ended at a NUL.
#include <cstring>

#include "spindown_conf.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view bytes(reinterpret_cast<const char *>(data), std::min<size_t>(size, 1023));
    std::vector<char> line = fuzz::text_of(bytes);
    const char *end = line.data() + std::strlen(line.data());
    ConfFields f{};
    if (!confParseLine(line.data(), f))
        return 0;
    for (const char *field : {f.ide, f.usbp, f.sd, f.sg, f.sec})
        fuzz::check(field >= line.data() && field < end && *field != '\0' &&
                        std::strchr(field, '\t') == nullptr,
                    "a field is a non-empty part of the line without tabs");
    fuzz::check(std::strlen(f.sd) >= 5, "the device field holds at least /dev/");
    (void)confMinutes(f.sec);
    return 0;
}
