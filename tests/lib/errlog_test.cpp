// The error-code record and the trace log, on a real /var/lock/ostrel in the sandbox.
#include "errlog.h"
#include "plock.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>

#include "logs.h"
#include "sandbox.h"

namespace {

const std::regex kHeader(R"(------ \d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d ------\n)");

// The trace log after the header and words lines of an opening.
std::string after_header(const std::string &trace)
{
    size_t first = trace.find('\n');
    size_t second = first == std::string::npos ? first : trace.find('\n', first + 1);
    return second == std::string::npos ? "" : trace.substr(second + 1);
}

int open_fds()
{
    int n = 0;
    DIR *dir = ::opendir("/proc/self/fd");
    while (::readdir(dir) != nullptr)
        ++n;
    ::closedir(dir);
    return n;
}

// Runs fn with standard output sent to a file; what it wrote.
template <typename Fn>
std::string stdout_of(Fn fn)
{
    std::fflush(stdout);
    int saved = ::dup(1);
    int fd = ::open("/tmp/.sandbox/stdout", O_RDWR | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 1);
    fn();
    std::fflush(stdout);
    ::dup2(saved, 1);
    ::close(saved);
    ::close(fd);
    return sandbox::read_file("/tmp/.sandbox/stdout");
}

TEST(Errlog, FirstReportOpensResetsAndRecords)
{
    sandbox::run([] {
        logs::fresh(true);
        sandbox::write_file(logs::kRecord, "002002");
        EXPECT_EQ(errlog_write(2, 5, "System call error func=stat, file=%s, errno=%d\n", "/x", 2),
                  0);
        EXPECT_EQ(logs::record(), "002005");
        std::string trace = logs::trace();
        EXPECT_TRUE(std::regex_search(trace, kHeader)) << trace;
        EXPECT_EQ(after_header(trace), "System call error func=stat, file=/x, errno=2\n");
        EXPECT_EQ(trace.find('\n', trace.find('\n') + 1), trace.find('\n') + 1)
            << "empty words line";

        // A second code is dropped whole; a text-only report still appends.
        EXPECT_EQ(errlog_write(2, 8, "dropped\n"), 0);
        EXPECT_EQ(errlog_write(0, 0, "plain\n"), 0);
        EXPECT_EQ(errlog_write(0, 7, "half pair\n"), 0);
        EXPECT_EQ(errlog_write(3, 0, "other half\n"), 0);
        EXPECT_EQ(logs::record(), "002005");
        EXPECT_EQ(after_header(logs::trace()),
                  "System call error func=stat, file=/x, errno=2\nplain\nhalf pair\nother half\n");

        // A report after closing opens again and resets the record.
        errlog_close();
        errlog_close();
        EXPECT_EQ(errlog_fd, -1);
        EXPECT_EQ(errlog_write(1, 4, nullptr), 0);
        EXPECT_EQ(logs::record(), "001004");

        // A record cut short fails the report, which writes nothing.
        ASSERT_EQ(::truncate(logs::kRecord.c_str(), 3), 0);
        EXPECT_EQ(errlog_write(0, 0, "lost\n"), -1);
        EXPECT_EQ(logs::trace().find("lost"), std::string::npos);
    });
}

TEST(Errlog, OpenWritesWordsAndKeepsNoDescriptorOfEarlierOpenings)
{
    sandbox::run([] {
        logs::fresh(true);
        ::umask(0);
        char a[] = "prog", b[] = "-x", c[] = "arg";
        char *words[] = {a, b, c};
        EXPECT_EQ(errlog_open(3, words), 0);
        EXPECT_EQ(logs::record(), "000000");
        std::string trace = logs::trace();
        EXPECT_EQ(trace.substr(trace.find('\n') + 1), "prog -x arg \n");

        struct stat st {};
        ASSERT_EQ(::stat(logs::kRecord.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        ASSERT_EQ(::stat(logs::kTrace.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);

        ::close(0); // so that the record is opened as descriptor 0
        int fds = open_fds();
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(errlog_open(-1, nullptr), 0);
        EXPECT_EQ(open_fds(), fds);
        EXPECT_TRUE(std::regex_search(logs::trace(), std::regex("------\n\n$")));

        // Tracing is decided at opening: the marker's later removal does not stop it.
        ::unlink(logs::kMarker.c_str());
        errlog_trace("still %s\n", "tracing");
        EXPECT_NE(logs::trace().find("still tracing\n"), std::string::npos);
    });
}

TEST(Errlog, WithoutMarkerOnlyCodesAreKept)
{
    sandbox::run([] {
        logs::fresh(false);
        EXPECT_EQ(errlog_trace("nothing %d\n", 1), 0);
        EXPECT_EQ(errlog_fd, -1) << "errlog_trace never opens the logs";
        EXPECT_EQ(errlog_write(2, 3, "text\n"), 0);
        EXPECT_EQ(logs::record(), "002003");
        EXPECT_FALSE(sandbox::exists(logs::kTrace));
        // A marker made after the opening does not start tracing.
        sandbox::write_file(logs::kMarker, "");
        errlog_write(0, 0, "late\n");
        EXPECT_FALSE(sandbox::exists(logs::kTrace));
    });
}

TEST(Errlog, PairsThatDoNotFitTheRecordAreRefused)
{
    sandbox::run([] {
        logs::fresh(true);
        ASSERT_EQ(errlog_open(0, nullptr), 0);
        for (auto [major, minor] : {std::pair{1000, 1}, {1, 1000}, {-1, 5}, {2, -9}}) {
            EXPECT_EQ(errlog_write(major, minor, "bad %d\n", major), -1) << major << "/" << minor;
            EXPECT_EQ(logs::record(), "000000");
        }
        EXPECT_EQ(after_header(logs::trace()), "");
        EXPECT_EQ(errlog_write(999, 999, nullptr), 0);
        EXPECT_EQ(logs::record(), "999999");
    });
}

TEST(Errlog, TextsAreCutAt1023AndNotFormattedTwice)
{
    sandbox::run([] {
        logs::fresh(true);
        ASSERT_EQ(errlog_open(0, nullptr), 0);
        std::string size_before = logs::trace();
        std::string longtext(2000, 'y');
        ::setenv("VARNOK_DEBUG_MODE", "on", 1);
        std::string echoed = stdout_of([&] { errlog_write(0, 0, "%s", longtext.c_str()); });
        EXPECT_EQ(echoed, std::string(1023, 'y'));
        EXPECT_EQ(logs::trace().size(), size_before.size() + 1023);

        errlog_trace("%s\n", "cmd 100%d done");
        EXPECT_TRUE(logs::trace().ends_with("cmd 100%d done\n"));
    });
}

TEST(Errlog, EchoOnlyForExactlyOn)
{
    sandbox::run([] {
        logs::fresh(true);
        ASSERT_EQ(errlog_open(0, nullptr), 0);
        struct Case {
            const char *value;
            bool echo;
        };
        for (Case c : {Case{"on", true},
                       {nullptr, false},
                       {"", false},
                       {"ON", false},
                       {"On", false},
                       {"o", false},
                       {"on ", false},
                       {"one", false},
                       {"on1", false}}) {
            if (c.value == nullptr)
                ::unsetenv("VARNOK_DEBUG_MODE");
            else
                ::setenv("VARNOK_DEBUG_MODE", c.value, 1);
            std::string out = stdout_of([] { errlog_write(0, 0, "echo %d\n", 5); });
            EXPECT_EQ(out, c.echo ? "echo 5\n" : "") << (c.value ? c.value : "(unset)");
        }
        // Without a trace log nothing is echoed either.
        ::setenv("VARNOK_DEBUG_MODE", "on", 1);
        errlog_close();
        ::unlink(logs::kMarker.c_str());
        EXPECT_EQ(stdout_of([] { errlog_write(0, 0, "quiet\n"); }), "");
    });
}

TEST(Errlog, RotatesOnlyPastTheLimit)
{
    sandbox::run([] {
        logs::fresh(true);
        ASSERT_EQ(errlog_open(0, nullptr), 0);
        // With standard input closed, the first rotation reopens the trace log as descriptor 0.
        ::close(0);
        size_t used = logs::trace().size();
        std::string pad(500, 'p');
        while (5120 - used > 1000) {
            errlog_write(0, 0, "%s", pad.c_str());
            used += pad.size();
        }
        std::string fill(5120 - used, 'f');
        errlog_write(0, 0, "%s", fill.c_str());
        EXPECT_EQ(logs::trace().size(), 5120u) << "exactly 5120 does not rotate";
        EXPECT_FALSE(sandbox::exists(logs::kBackup));

        std::string full = logs::trace();
        errlog_write(0, 0, "z");
        EXPECT_TRUE(sandbox::read_file(logs::kBackup) == full) << "the full log became the backup";
        EXPECT_EQ(logs::trace(), "z");

        // The next rotation replaces the backup: one generation only.
        std::string big(1023, 'b');
        for (int i = 0; i < 6; ++i)
            errlog_write(0, 0, "%s", big.c_str());
        EXPECT_TRUE(sandbox::read_file(logs::kBackup) == "z" + big + big + big + big + big);
        EXPECT_TRUE(logs::trace() == big);
        errlog_close();
        EXPECT_EQ(::fcntl(0, F_GETFD), -1) << "descriptor 0 closed";
    });
}

TEST(Errlog, MissingDirectoryFailsAndCreatesNothing)
{
    sandbox::run([] {
        sandbox::tmpfs("/var/lock");
        EXPECT_EQ(errlog_open(0, nullptr), -1);
        EXPECT_EQ(errlog_write(2, 5, "x\n"), -1);
        EXPECT_EQ(errlog_write(0, 0, "x\n"), -1);
        EXPECT_EQ(errlog_trace("x\n"), 0);
        EXPECT_FALSE(sandbox::exists(logs::kDir));
        EXPECT_EQ(errlog_fd, -1);
    });
}

TEST(Errlog, FullFileSystemLosesTextsOnly)
{
    sandbox::run([] {
        logs::fresh(true, "size=16k");
        ASSERT_EQ(errlog_open(0, nullptr), 0);
        // Fill every free block.
        int fd = ::open((logs::kDir + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
        std::string chunk(4096, 'x');
        while (::write(fd, chunk.data(), chunk.size()) > 0) {
        }
        while (::write(fd, "x", 1) > 0) {
        }
        ::close(fd);
        size_t before = logs::trace().size();
        errno = 0;
        std::string text(3000, 't');
        EXPECT_EQ(errlog_write(2, 9, "%s", text.c_str()), 0);
        EXPECT_EQ(errno, 0) << "the caller's errno is kept";
        EXPECT_EQ(logs::record(), "002009");
        EXPECT_LE(logs::trace().size(), before + 3000);
        ::unlink((logs::kDir + "/filler").c_str());
        EXPECT_EQ(errlog_write(0, 0, "after\n"), 0);
        EXPECT_TRUE(logs::trace().ends_with("after\n"));

        // A record that cannot be written fails the opening.
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
        struct rlimit none = {0, limit.rlim_max};
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &none), 0);
        EXPECT_EQ(errlog_open(0, nullptr), -1);
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    });
}

TEST(Errlog, FailedLockIsReportedOnceAndTheCallWritesNothing)
{
    sandbox::run([] {
        logs::fresh(true);
        ASSERT_EQ(errlog_open(0, nullptr), 0);
        // The holder keeps the error log's lock and waits for one this process
        // holds: a lock request of ours then fails at once (EDEADLK).
        int mine = ::open("/tmp/held", O_RDWR | O_CREAT, 0600);
        struct flock fl {};
        fl.l_type = F_WRLCK;
        ASSERT_EQ(::fcntl(mine, F_SETLK, &fl), 0);
        pid_t holder = ::fork();
        if (holder == 0) {
            int fd = ::open(logs::kRecord.c_str(), O_RDWR);
            ::fcntl(fd, F_SETLKW, &fl);
            ::fcntl(::open("/tmp/held", O_RDWR), F_SETLKW, &fl);
            _exit(0);
        }
        ASSERT_TRUE(logs::waiting_for_lock(holder));

        EXPECT_EQ(errlog_write(2, 5, "outer report\n"), -1);
        EXPECT_EQ(logs::record(), "001002");
        EXPECT_EQ(after_header(logs::trace()), "plock_lock error errno=35\n");

        // Without a trace log an opening writes no header, so it takes no lock.
        ::unlink(logs::kMarker.c_str());
        EXPECT_EQ(errlog_open(0, nullptr), 0);
        EXPECT_EQ(logs::record(), "000000");

        ::close(mine);
        ::waitpid(holder, nullptr, 0);
        EXPECT_EQ(errlog_write(0, 0, "later\n"), 0) << "the lock works again";
    });
}

// Eight processes, 2,000 reports each: every text in either file is whole.
TEST(Errlog, ConcurrentWritersNeverMixTexts)
{
    sandbox::run([] {
        logs::fresh(true);
        constexpr int kWriters = 8;
        constexpr int kReports = 2000;
        auto text = [](int w, int i) {
            return "w" + std::to_string(w) + " r" + std::to_string(i) + " " +
                   std::string(static_cast<size_t>(10 + (w * 37 + i * 11) % 90), char('a' + w)) +
                   "\n";
        };
        for (int w = 0; w < kWriters; ++w) {
            if (::fork() == 0) {
                char name[] = "writer";
                char *words[] = {name};
                errlog_open(1, words);
                for (int i = 0; i < kReports; ++i) {
                    bool coded = i % 100 == 0;
                    errlog_write(coded ? w + 1 : 0, coded ? i / 100 + 1 : 0, "%s",
                                 text(w, i).c_str());
                }
                _exit(0);
            }
        }
        int status = 0;
        while (::wait(&status) > 0)
            EXPECT_EQ(status, 0);

        std::regex report(R"(w(\d) r(\d+) [a-h]+)");
        int texts = 0;
        for (const std::string &path : {logs::kTrace, logs::kBackup}) {
            std::string content = sandbox::read_file(path);
            EXPECT_LE(content.size(), 5120u) << path;
            EXPECT_FALSE(content.empty()) << path;
            EXPECT_EQ(content.back(), '\n');
            std::istringstream lines(content);
            std::string line;
            std::smatch m;
            while (std::getline(lines, line)) {
                if (line.empty() || line == "writer " || std::regex_match(line + "\n", kHeader))
                    continue;
                ASSERT_TRUE(std::regex_match(line, m, report)) << path << ": " << line;
                EXPECT_EQ(line + "\n", text(std::stoi(m[1]), std::stoi(m[2]))) << path;
                ++texts;
            }
        }
        EXPECT_GT(texts, 20);
        std::string record = logs::record();
        ASSERT_TRUE(std::regex_match(record, std::regex(R"(\d{6})"))) << record;
        int major = std::stoi(record.substr(0, 3));
        int minor = std::stoi(record.substr(3));
        EXPECT_TRUE(record == "000000" ||
                    (major >= 1 && major <= kWriters && minor >= 1 && minor <= kReports / 100))
            << record;
    });
}

} // namespace
