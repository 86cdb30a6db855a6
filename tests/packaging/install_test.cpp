// The installed library as the appliance's programs use it: a C program built
// against an install into a fresh prefix, or against the Debian packages
// unpacked into a root (TORPOR_DEB_ROOT, set by the package test), found once
// through pkg-config and once through CMake's find_package, then run against
// the real log directory of a sandbox.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "logs.h"
#include "sandbox.h"
#include "shell.h"

namespace {

using shell::quote;

const std::string kBuildDir = TORPOR_BUILD_DIR;
const std::string kConsumerDir = TORPOR_CONSUMER_DIR;
const std::string kLockFile = "/tmp/consumer.lock";

struct Installed {
    std::string prefix;
    std::string libdir;
    std::string pkg_config; // the command with its environment, ending in a space
};

// The build installed into a fresh prefix, as a firmware builder would; or
// the packages' /usr below TORPOR_DEB_ROOT, with pkg-config told of that root.
void install(Installed &installed)
{
    const char *deb_root = std::getenv("TORPOR_DEB_ROOT");
    if (deb_root != nullptr) {
        const std::string root = deb_root;
        installed.prefix = root + "/usr";
        installed.libdir = installed.prefix + "/lib/" TORPOR_MULTIARCH;
        installed.pkg_config = "PKG_CONFIG_SYSROOT_DIR=" + quote(root) + " ";
    } else {
        installed.prefix = sandbox::scratch("prefix");
        installed.libdir = installed.prefix + "/lib";
        shell::Result result = shell::logged(quote(TORPOR_CMAKE) + " --install " +
                                             quote(kBuildDir) + " --prefix " +
                                             quote(installed.prefix));
        ASSERT_EQ(result.status, 0);
    }
    installed.pkg_config += "PKG_CONFIG_LIBDIR=" + quote(installed.libdir + "/pkgconfig") + " " +
                            quote(TORPOR_PKG_CONFIG) + " ";
}

// Runs a consumer program and checks what it left in the error and trace log.
void expect_consumer_works(const std::string &program, const std::string &environment = "")
{
    logs::fresh(true);
    shell::Result run = shell::run(environment + quote(program) + " " + kLockFile);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "consumer done\n");
    EXPECT_EQ(logs::record(), "002005");
    std::string trace = logs::trace();
    EXPECT_NE(trace.find("\n" + program + " " + kLockFile + " \n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("consumer reported, errno=0\n"), std::string::npos) << trace;
    EXPECT_TRUE(sandbox::exists(kLockFile));
}

// The shared objects a program names in its dynamic section.
std::string needed(const std::string &program)
{
    return shell::run("readelf -d " + quote(program) + " | grep NEEDED").output;
}

TEST(Install, PkgConfigFindsTheLibrary)
{
    sandbox::run([] {
        Installed installed;
        ASSERT_NO_FATAL_FAILURE(install(installed));
        const std::string &pkg = installed.pkg_config;

        EXPECT_EQ(shell::run(pkg + "--modversion torpor").output, TORPOR_VERSION "\n");
        shell::Result flags = shell::run(pkg + "--cflags --libs torpor");
        ASSERT_EQ(flags.status, 0) << flags.output;
        EXPECT_EQ(flags.output, "-I" + installed.prefix + "/include/torpor -L" + installed.libdir +
                                    " -ltorpor \n");

        const std::string program = sandbox::scratch("consumer");
        shell::Result build = shell::logged(
            quote(TORPOR_CC) + " " TORPOR_CONSUMER_FLAGS " -Wall -Werror -o " + quote(program) +
            " " + quote(kConsumerDir + "/consumer.c") + " $(" + pkg + "--cflags --libs torpor)");
        ASSERT_EQ(build.status, 0);
        EXPECT_NE(needed(program).find("[libtorpor.so.1]"), std::string::npos)
            << "linked against the shared library by its soname";
        expect_consumer_works(program, "LD_LIBRARY_PATH=" + quote(installed.libdir) + " ");
    });
}

TEST(Install, FindPackageFindsBothLibraries)
{
    sandbox::run([] {
        Installed installed;
        ASSERT_NO_FATAL_FAILURE(install(installed));

        const std::string build = sandbox::scratch("consumer-build");
        const std::string flags = quote(TORPOR_CONSUMER_FLAGS);
        shell::Result configure =
            shell::logged(quote(TORPOR_CMAKE) + " -S " + quote(kConsumerDir) + " -B " +
                          quote(build) + " -DCMAKE_PREFIX_PATH=" + quote(installed.prefix) +
                          " -DCMAKE_C_FLAGS=" + flags + " -DCMAKE_EXE_LINKER_FLAGS=" + flags);
        ASSERT_EQ(configure.status, 0);
        ASSERT_EQ(shell::logged(quote(TORPOR_CMAKE) + " --build " + quote(build)).status, 0);

        EXPECT_NE(needed(build + "/consumer_shared").find("[libtorpor.so.1]"), std::string::npos);
        expect_consumer_works(build + "/consumer_shared");

        EXPECT_EQ(needed(build + "/consumer_static").find("libtorpor"), std::string::npos)
            << "the static library is linked in";
        expect_consumer_works(build + "/consumer_static");
    });
}

} // namespace
