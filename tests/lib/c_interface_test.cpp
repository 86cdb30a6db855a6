// The library's headers and calls, from a translation unit compiled as C.
#include "c_interface.h"

#include <gtest/gtest.h>

#include "logs.h"
#include "sandbox.h"

TEST(CInterface, CallsFromC)
{
    sandbox::run([] {
        logs::fresh(true);
        sandbox::mtab_kernel();
        EXPECT_EQ(c_interface_run("/tmp"), 0);
        EXPECT_EQ(logs::record(), "002005");
        std::string trace = logs::trace();
        EXPECT_NE(trace.find("c-caller \nfrom C name, errno=2\nhda\n"), std::string::npos) << trace;
    });
}
