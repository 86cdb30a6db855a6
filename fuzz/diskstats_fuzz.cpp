// The /proc/diskstats handling: diskstatsSplit on each line of the input in a
// block of exactly the line's text and its NUL, as the sample splits it, then
// checkUsbHddIO twice over the input, bound onto /proc/diskstats in the
// fuzzer's private mount namespace.
#include <sys/mount.h>

#include "disk_monitor.h"
#include "spindown_conf.h"
#include "support.h"

namespace {

constexpr char kStats[] = "/tmp/diskstats";
// USB disks only, so that no sample reaches for a fan driver.
constexpr std::string_view kConf = "USB:\tusbp1\t/dev/sda\t/dev/sg0\t600\n"
                                   "USB:\tusbp2\t/dev/sdb1\t/dev/sg1\t60\n"
                                   "USB:\tusbp3\t/dev/a\t/dev/sg2\t0\n"
                                   "USB:\tusbp4\t/dev/\t/dev/sg3\t120\n";

bool is_separator(char c)
{
    return c == ' ' || c == '\t';
}

void parse_line(std::string_view piece)
{
    std::vector<char> line = fuzz::text_of(piece);
    std::string_view text(line.data(), line.size() - 1);
    char *p = line.data();
    char *field[kDiskstatsFields];
    if (!diskstatsSplit(p, field, 0, kDiskstatsName + 1) ||
        !diskstatsSplit(p, field, kDiskstatsName + 1, kDiskstatsFields))
        return;
    for (std::string_view f : field)
        fuzz::check(!f.empty() && f.data() >= text.data() &&
                        f.data() + f.size() <= text.data() + text.size() &&
                        std::none_of(f.begin(), f.end(), is_separator),
                    "a field is a non-empty part of the line without blanks");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ::unsetenv("VARNOK_DEBUG_MODE");
    fuzz::private_paths();
    fuzz::write_file("/tmp/spindownd.conf", kConf);
    fuzz::write_file(kStats, "");
    if (::mount(kStats, "/proc/diskstats", nullptr, MS_BIND, nullptr) != 0)
        fuzz::fail("bind onto /proc/diskstats");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view input(reinterpret_cast<const char *>(data), size);
    for (size_t at = 0; at < input.size();) {
        size_t end = std::min(input.find('\n', at), input.size() - 1) + 1;
        parse_line(input.substr(at, end - at));
        at = end;
    }
    fuzz::write_file(kStats, input);
    loadSpinDownConf();
    fuzz::check(checkUsbHddIO() == 0 && checkUsbHddIO() == 0, "the counters are read");
    return 0;
}
