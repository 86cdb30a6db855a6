// Advisory whole-file locks between real processes.
#include "plock.h"

#include "errlog.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "logs.h"
#include "sandbox.h"

namespace {

const std::string kLockFile = "/tmp/app.lock";

// A process that takes the lock, tells so through a pipe, and on command
// unlocks ('u'), closes ('c') or exits ('x').
struct Holder {
    pid_t pid = -1;
    int to_holder = -1;
    int from_holder = -1;

    void start()
    {
        int up[2], down[2];
        ASSERT_EQ(::pipe(up), 0);
        ASSERT_EQ(::pipe(down), 0);
        pid = ::fork();
        if (pid == 0) {
            int fd = plock_init(kLockFile.c_str());
            char c = plock_lock(fd) == 0 ? 'L' : 'E';
            (void)!::write(up[1], &c, 1);
            while (::read(down[0], &c, 1) == 1) {
                if (c == 'u')
                    plock_unlock(fd);
                else if (c == 'c')
                    plock_close(fd);
                else
                    _exit(0);
                (void)!::write(up[1], &c, 1);
            }
            _exit(0);
        }
        to_holder = down[1];
        from_holder = up[0];
        char c = 0;
        ASSERT_EQ(::read(from_holder, &c, 1), 1);
        ASSERT_EQ(c, 'L');
    }

    void order(char c) const { ASSERT_EQ(::write(to_holder, &c, 1), 1); }
};

TEST(Plock, TrylockSeesABusyLockWithoutReport)
{
    sandbox::run([] {
        logs::fresh(true);
        ASSERT_EQ(errlog_open(0, nullptr), 0);
        std::string trace = logs::trace();
        Holder holder;
        holder.start();
        int fd = plock_init(kLockFile.c_str());
        ASSERT_GE(fd, 0);
        EXPECT_EQ(plock_trylock(fd), 1);
        EXPECT_EQ(logs::record(), "000000");
        EXPECT_EQ(logs::trace(), trace);
        holder.order('u');
        char c;
        ASSERT_EQ(::read(holder.from_holder, &c, 1), 1);
        EXPECT_EQ(plock_trylock(fd), 0);
        EXPECT_EQ(plock_unlock(fd), 0);
        EXPECT_EQ(plock_close(fd), 0);
        holder.order('x');
        ::waitpid(holder.pid, nullptr, 0);
    });
}

// plock_lock waits while another process holds the lock and returns once
// the holder unlocks, closes the file, or ends.
TEST(Plock, LockWaitsForUnlockCloseOrExit)
{
    for (char release : {'u', 'c', 'x'}) {
        SCOPED_TRACE(release);
        sandbox::run([release] {
            Holder holder;
            holder.start();
            int got[2];
            ASSERT_EQ(::pipe(got), 0);
            pid_t waiter = ::fork();
            if (waiter == 0) {
                int fd = plock_init(kLockFile.c_str());
                char c = plock_lock(fd) == 0 ? 'L' : 'E';
                (void)!::write(got[1], &c, 1);
                _exit(0);
            }
            ASSERT_TRUE(logs::waiting_for_lock(waiter));
            struct pollfd p {
                got[0], POLLIN, 0
            };
            EXPECT_EQ(::poll(&p, 1, 0), 0) << "the waiter got the lock while it was held";
            holder.order(release);
            char c = 0;
            ASSERT_EQ(::read(got[0], &c, 1), 1);
            EXPECT_EQ(c, 'L');
            if (release != 'x')
                holder.order('x');
            ::waitpid(waiter, nullptr, 0);
            ::waitpid(holder.pid, nullptr, 0);
        });
    }
}

TEST(Plock, FailuresAreReportedWithTheirPair)
{
    sandbox::run([] {
        logs::fresh(true);
        ASSERT_EQ(errlog_open(0, nullptr), 0);
        EXPECT_EQ(plock_init("/tmp/missing/app.lock"), -1);
        EXPECT_EQ(logs::record(), "001001");
        EXPECT_TRUE(logs::trace().ends_with("plock_init error errno=2\n"));

        ASSERT_EQ(errlog_open(0, nullptr), 0);
        sandbox::write_file(kLockFile, "");
        int ro = ::open(kLockFile.c_str(), O_RDONLY);
        EXPECT_EQ(plock_lock(ro), -1);
        EXPECT_EQ(logs::record(), "001002");
        EXPECT_TRUE(logs::trace().ends_with("plock_lock error errno=9\n"));

        ASSERT_EQ(errlog_open(0, nullptr), 0);
        EXPECT_EQ(plock_trylock(ro), -1);
        EXPECT_EQ(logs::record(), "001003");
        EXPECT_TRUE(logs::trace().ends_with("plock_trylock error errno=9\n"));

        ASSERT_EQ(errlog_open(0, nullptr), 0);
        EXPECT_EQ(plock_unlock(-1), -1);
        EXPECT_EQ(logs::record(), "001004");
        EXPECT_TRUE(logs::trace().ends_with("plock_unlock error errno=9\n"));

        ASSERT_EQ(errlog_open(0, nullptr), 0);
        std::string trace = logs::trace();
        EXPECT_EQ(plock_close(ro), 0);
        EXPECT_EQ(plock_close(ro), -1);
        EXPECT_EQ(logs::record(), "000000");
        EXPECT_EQ(logs::trace(), trace);
    });
}

TEST(Plock, OwnLockIsReentrantAndCoversTheGrowingFile)
{
    sandbox::run([] {
        ::umask(022);
        sandbox::write_file(kLockFile, "content", 0640);
        int fd = plock_init(kLockFile.c_str());
        ASSERT_GE(fd, 0);
        struct stat st {};
        ASSERT_EQ(::stat(kLockFile.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        EXPECT_EQ(sandbox::read_file(kLockFile), "content");

        EXPECT_EQ(plock_unlock(fd), 0) << "unlocking an unlocked file";
        EXPECT_EQ(plock_lock(fd), 0);
        EXPECT_EQ(plock_lock(fd), 0);
        EXPECT_EQ(plock_trylock(fd), 0);
        ASSERT_EQ(::pwrite(fd, std::string(100, 'g').data(), 100, 200), 100);

        // Another process finds even the bytes appended since locked; one
        // unlock releases the lock taken three times.
        auto other_try = [](off_t start) {
            pid_t pid = ::fork();
            if (pid == 0) {
                int fd2 = ::open(kLockFile.c_str(), O_WRONLY);
                struct flock fl {};
                fl.l_type = F_WRLCK;
                fl.l_start = start;
                fl.l_len = 10;
                _exit(::fcntl(fd2, F_SETLK, &fl) == 0 ? 0 : 1);
            }
            int status = 0;
            ::waitpid(pid, &status, 0);
            return WEXITSTATUS(status);
        };
        EXPECT_EQ(other_try(250), 1);
        EXPECT_EQ(plock_unlock(fd), 0);
        EXPECT_EQ(other_try(250), 0);

        ASSERT_EQ(plock_close(fd), 0);
        int created = plock_init("/tmp/new.lock");
        ASSERT_EQ(::stat("/tmp/new.lock", &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u & ~022u);
        EXPECT_EQ(st.st_size, 0);
        plock_close(created);
    });
}

} // namespace
