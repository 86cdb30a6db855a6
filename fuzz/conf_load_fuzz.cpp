// loadSpinDownConf over a configuration file that is the input, written to
// /tmp/spindownd.conf in the fuzzer's private mount namespace.
#include "spindown_conf.h"
#include "support.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ::unsetenv("VARNOK_DEBUG_MODE");
    fuzz::private_paths();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::write_file("/tmp/spindownd.conf", {reinterpret_cast<const char *>(data), size});
    reloadRequested = 1;
    fuzz::check(loadSpinDownConf() == 0, "the file is read");
    fuzz::check(reloadRequested == 0 && SpinDownTime != 0, "request cleared, time not 0");
    bool ended = false;
    for (const DiskEntry &e : diskTable) {
        ended = ended || e.used == 0;
        fuzz::check(e.used == 0 ? e.sd == nullptr
                                : !ended && e.sd != nullptr && e.sg != nullptr && e.count == 0 &&
                                      e.rio[0] == '\0' && e.wio[0] == '\0',
                    "entries in use form a prefix, each with its texts and no sample");
    }
    return 0;
}
