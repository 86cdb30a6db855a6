// Share folders on a tmpfs at /mnt in the sandbox, the real /bin/chgrp, and
// the line sort against the exchange sort it stands for.
#include "share.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "alloc_fault.h"
#include "text_model.h"
#include "errlog.h"
#include "logs.h"
#include "sandbox.h"

namespace {

using Reports = std::pair<std::string, std::string>;
const Reports kNone{"000000", ""};
constexpr gid_t kGroup = 4321;
constexpr gid_t kOther = 4322;
constexpr size_t kTextMax = 1023;

// Logs open with tracing, the trace emptied.
void open_logs()
{
    logs::fresh(true);
    errlog_open(0, nullptr);
    EXPECT_EQ(::truncate(logs::kTrace.c_str(), 0), 0);
}

// The record and the trace text since the last call; the logs start afresh.
Reports reports()
{
    Reports got{logs::record(), logs::trace()};
    open_logs();
    return got;
}

// errno values left by a shell, which no test can foresee.
Reports masked(const Reports &got)
{
    static const std::regex number("errno=[0-9]+");
    return {got.first, std::regex_replace(got.second, number, "errno=N")};
}

// A report text as the trace log takes it.
std::string text(const std::string &s)
{
    return s.substr(0, kTextMax);
}

gid_t gid_of(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_gid : static_cast<gid_t>(-1);
}

void make(const std::string &path, gid_t gid, bool dir = true)
{
    if (dir)
        ASSERT_EQ(::mkdir(path.c_str(), 0755), 0) << path;
    else
        sandbox::write_file(path, "x");
    ASSERT_EQ(::chown(path.c_str(), 0, gid), 0) << path;
}

TEST(Share, ConvertWords)
{
    sandbox::run([] {
        open_logs();
        const struct {
            int (*convert)(const char *);
            const char *word;
            int want;
            const char *trace;
        } cases[] = {
            {CnvPermission, "personal", 0, ""},
            {CnvPermission, "group", 1, ""},
            {CnvPermission, "nobody", 2, ""},
            {CnvPermission, "alluser", 3, ""},
            {CnvPermission, nullptr, 3, ""},
            {CnvPermission, "Personal", -1, "CnvPermission: Err/Invalid permission : Personal\n"},
            {CnvPermission, "", -1, "CnvPermission: Err/Invalid permission : \n"},
            {CnvPermission, "group ", -1, "CnvPermission: Err/Invalid permission : group \n"},
            {CnvPlace, "hda", 0, ""},
            {CnvPlace, "usbp1", 1, ""},
            {CnvPlace, "usbp4", 4, ""},
            {CnvPlace, "usbp5", 5, ""},
            {CnvPlace, "usb1", -1, "CnvPlace: Err/Invalid place : usb1\n"},
            {CnvPlace, "HDA", -1, "CnvPlace: Err/Invalid place : HDA\n"},
            {CnvPlace, "usbp6", -1, "CnvPlace: Err/Invalid place : usbp6\n"},
            {CnvPlace, nullptr, -1, "CnvPlace: Err/Invalid place : (null)\n"},
        };
        for (const auto &c : cases) {
            const char *word = c.word != nullptr ? c.word : "(null)";
            EXPECT_EQ(c.convert(c.word), c.want) << word;
            EXPECT_EQ(reports(), Reports("000000", c.trace)) << word;
        }
    });
}

using Listed = std::vector<std::pair<std::string, std::string>>;

// The records as (place, name), each root's sorted, the roots in their order.
Listed listed(gid_t gid, int want_count)
{
    ShareEntry unset{};
    ShareEntry *array = &unset;
    int n = share_list_by_group(&array, gid);
    EXPECT_EQ(n, want_count);
    Listed got;
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(std::memchr(array[i].name, '\0', sizeof array[i].name) != nullptr, true);
        got.emplace_back(array[i].place, array[i].name);
    }
    if (n == 0) {
        EXPECT_EQ(array, nullptr);
    }
    std::free(array);
    for (auto from = got.begin(); from != got.end();) {
        auto to =
            std::find_if(from, got.end(), [&](const auto &e) { return e.first != from->first; });
        std::sort(from, to);
        from = to;
    }
    return got;
}

TEST(Share, ListByGroup)
{
    sandbox::run([] {
        open_logs();
        sandbox::tmpfs("/mnt");
        EXPECT_EQ(listed(0, 0), Listed{});

        const std::string hda = "/mnt/hda3/share/";
        const std::string usb2 = "/mnt/usb2/share/";
        make("/mnt/hda3", kGroup);
        make(hda, kOther);
        make(hda + "docs", kGroup);
        make(hda + "photos", kGroup, false);
        make(hda + "other", kOther);
        make(hda + "fifteen_bytes_x", kGroup);
        make(hda + "sixteen_bytes_xx", kGroup);
        ASSERT_EQ(::symlink("docs", (hda + "link").c_str()), 0);
        ASSERT_EQ(::symlink("nowhere", (hda + "dangling").c_str()), 0);
        make("/mnt/usb2", kOther);
        make(usb2, kGroup);
        make(usb2 + "music", kGroup);
        make("/mnt/usb5", kGroup);
        make("/mnt/usb5/share", kOther);
        make("/mnt/usb5/share/root_owned", 0);

        EXPECT_EQ(listed(kGroup, 8), (Listed{{"hda", ".."},
                                             {"hda", "docs"},
                                             {"hda", "fifteen_bytes_x"},
                                             {"hda", "link"},
                                             {"hda", "photos"},
                                             {"usbp2", "."},
                                             {"usbp2", "music"},
                                             {"usbp5", ".."}}));
        // An unreadable status is no group 0.
        EXPECT_EQ(listed(0, 1), (Listed{{"usbp5", "root_owned"}}));
        EXPECT_EQ(listed(kOther, 4),
                  (Listed{{"hda", "."}, {"hda", "other"}, {"usbp2", ".."}, {"usbp5", "."}}));
        EXPECT_EQ(reports(), kNone);

        // The array cannot grow: no partial list, nothing left allocated.
        for (int k : {1, 2, 7}) {
            ShareEntry unset{};
            ShareEntry *array = &unset;
            alloc_fault::watch(k);
            int n = share_list_by_group(&array, kGroup);
            alloc_fault::stop();
            EXPECT_EQ(n, -1) << k;
            EXPECT_EQ(array, nullptr) << k;
            EXPECT_EQ(alloc_fault::outstanding(), std::vector<void *>{}) << k;
            EXPECT_EQ(reports(), Reports("002010", "A memory is insufficient. errno=12\n")) << k;
        }
    });
}

// The id of a group that the machine's /etc/group names.
gid_t group_id(const char *name)
{
    const struct group *entry = ::getgrnam(name);
    EXPECT_NE(entry, nullptr) << name;
    return entry != nullptr ? entry->gr_gid : static_cast<gid_t>(-1);
}

TEST(Share, ChgrpRunsTheRealCommand)
{
    sandbox::run([] {
        open_logs();
        sandbox::tmpfs("/mnt");
        const gid_t staff_gid = group_id("staff");
        const gid_t users_gid = group_id("users");
        const std::string root = "/mnt/usb3/share/";
        for (const std::string &dir : {std::string("/mnt/usb3"), root, root + "docs",
                                       root + "docs/sub", root + "my docs", root + "it's"})
            make(dir, kOther);
        make(root + "docs/sub/f", kOther, false);

        const std::string run = "Execution of a command went wrong. cmdline=";
        const struct {
            const char *place, *folder, *group;
            int want;
            std::string path;
            gid_t gid;
            Reports reports;
        } cases[] = {
            {"usbp3",
             "docs",
             "staff",
             0,
             root + "docs/sub/f",
             staff_gid,
             {"000000", "/bin/chgrp -R staff \"/mnt/usb3/share/docs\"\n"}},
            {"usbp3",
             "my docs",
             "4321",
             0,
             root + "my docs",
             kGroup,
             {"000000", "/bin/chgrp -R 4321 \"/mnt/usb3/share/my docs\"\n"}},
            {"usbp3",
             "it's",
             "users",
             0,
             root + "it's",
             users_gid,
             {"000000", "/bin/chgrp -R users \"/mnt/usb3/share/it's\"\n"}},
            {"usbp3",
             "missing",
             "staff",
             1,
             root + "docs",
             staff_gid,
             {"002008", "/bin/chgrp -R staff \"/mnt/usb3/share/missing\"\n" + run +
                            "/bin/chgrp -R staff \"/mnt/usb3/share/missing\", errno=N\n"}},
            {"usbp3",
             "docs",
             "no_such_group",
             1,
             root + "docs",
             staff_gid,
             {"002008", "/bin/chgrp -R no_such_group \"/mnt/usb3/share/docs\"\n" + run +
                            "/bin/chgrp -R no_such_group \"/mnt/usb3/share/docs\", errno=N\n"}},
            {"usb3", "docs", "users", 1, root + "docs", staff_gid, kNone},
            {nullptr, "docs", "users", 1, root + "docs", staff_gid, kNone},
        };
        for (const auto &c : cases) {
            EXPECT_EQ(share_chgrp(c.place, c.folder, c.group), c.want)
                << c.folder << " " << c.group;
            EXPECT_EQ(gid_of(c.path), c.gid) << c.path;
            EXPECT_EQ(masked(reports()), c.reports) << c.folder;
        }
        EXPECT_EQ(gid_of(root + "docs/sub"), staff_gid);
        EXPECT_EQ(gid_of("/mnt/usb3"), kOther);
        EXPECT_EQ(gid_of(root), kOther);
    });
}

TEST(Share, ChgrpRefusesCraftedNames)
{
    sandbox::run([] {
        open_logs();
        sandbox::tmpfs("/mnt");
        const std::string root = "/mnt/usb3/share/";
        for (const std::string &dir : {std::string("/mnt/usb3"), root, root + "docs"})
            make(dir, kOther);
        const std::string marker = "/tmp/ran";
        const std::string touch = "touch " + marker;
        const std::string folder_fits(990 - 1, 'f');
        const struct {
            std::string folder, group;
        } cases[] = {
            {"docs", "staff;" + touch},
            {"docs", "$(" + touch + ")"},
            {"docs", "`" + touch + "`"},
            {"docs", "staff " + root + "docs"},
            {"docs", "--reference=/"},
            {"docs", "-v"},
            {"docs", ""},
            {"docs", "staff\n" + touch},
            {"docs\"; " + touch + "; \"", "staff"},
            {"$(" + touch + ")", "staff"},
            {"`" + touch + "`", "staff"},
            {"docs\\", "staff"},
            {"$HOME", "staff"},
            {"..", "staff"},
            {"../..", "staff"},
            {"docs/../..", "staff"},
            {"docs/..", "staff"},
            {"../usb3/share/docs", "staff"},
            {folder_fits + "f", "0"},
            {"docs", std::string(990, '0')},
        };
        for (const auto &c : cases) {
            EXPECT_EQ(share_chgrp("usbp3", c.folder.c_str(), c.group.c_str()), 1)
                << c.folder << " " << c.group;
            EXPECT_EQ(reports(), kNone) << c.folder << " " << c.group;
            EXPECT_FALSE(sandbox::exists(marker)) << c.folder << " " << c.group;
        }
        EXPECT_EQ(share_chgrp("usbp3", nullptr, "staff"), 1);
        EXPECT_EQ(share_chgrp("usbp3", "docs", nullptr), 1);
        EXPECT_EQ(reports(), kNone);
        EXPECT_EQ(gid_of("/mnt/usb3"), kOther);
        EXPECT_EQ(gid_of(root + "docs"), kOther);

        // Names that just fit run, and names of dots stay inside the root.
        const std::string cmd = "/bin/chgrp -R 0 \"/mnt/usb3/share/" + folder_fits + "\"";
        EXPECT_EQ(share_chgrp("usbp3", folder_fits.c_str(), "0"), 1);
        EXPECT_EQ(masked(reports()).second,
                  text(cmd + "\n") +
                      text("Execution of a command went wrong. cmdline=" + cmd + ", errno=N\n"));
        const struct {
            const char *folder;
            int want;
        } dots[] = {{".", 0}, {"docs/.", 0}, {"...", 1}, {"..docs", 1}, {"docs..", 1}};
        for (const auto &c : dots) {
            EXPECT_EQ(share_chgrp("usbp3", c.folder, "4321"), c.want) << c.folder;
            EXPECT_EQ(reports().second.find("/bin/chgrp -R 4321 \"/mnt/usb3/share/" +
                                            std::string(c.folder) + "\"\n"),
                      0u)
                << c.folder;
        }
        EXPECT_EQ(gid_of(root + "docs"), kGroup);
        EXPECT_EQ(gid_of("/mnt/usb3"), kOther);
    });
}

struct Sorted {
    std::string out, trace;
};

// The exchange sort, as it stands, with every trace text it writes.
Sorted exchange_sort(const std::string &in)
{
    Sorted got{"", text("sortOutBuffer: inbuf=" + in + "\n")};
    std::vector<std::string> a = text_model::nonempty_lines_of(in);
    for (const std::string &line : a)
        got.trace += text("sortOutBuffer: p=" + line + "\n");
    for (size_t i = 0; i + 1 < a.size(); ++i) {
        for (size_t j = i + 1; j < a.size(); ++j)
            if (std::strcmp(a[i].c_str(), a[j].c_str()) > 0)
                std::swap(a[i], a[j]);
        got.trace += text("sortOutBuffer: sort after a[" + std::to_string(i) + "]=" + a[i] + "\n");
    }
    for (const std::string &line : a)
        got.out += line + "\n";
    return got;
}

// sortOutBuffer's result and every text it traced, read from the debug echo
// on standard output, which the trace log's rotation does not cut.
Sorted sort_echoed(const std::string &in)
{
    std::fflush(stdout);
    const std::string file = sandbox::scratch("stdout");
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    int saved = ::dup(1);
    ::dup2(fd, 1);
    char *out = nullptr;
    int rc = sortOutBuffer(in.c_str(), &out);
    std::fflush(stdout);
    ::dup2(saved, 1);
    ::close(saved);
    ::close(fd);
    EXPECT_EQ(rc, 0);
    Sorted got{out != nullptr ? out : "(null)", sandbox::read_file(file)};
    if (in.empty())
        EXPECT_EQ(out, in.c_str());
    else if (out != in.c_str())
        std::free(out);
    return got;
}

TEST(Share, SortLines)
{
    sandbox::run([] {
        open_logs();
        const struct {
            std::string in, out, trace;
        } cases[] = {
            {"pear\napple\nfig\n", "apple\nfig\npear\n",
             "sortOutBuffer: inbuf=pear\napple\nfig\n\n"
             "sortOutBuffer: p=pear\nsortOutBuffer: p=apple\nsortOutBuffer: p=fig\n"
             "sortOutBuffer: sort after a[0]=apple\nsortOutBuffer: sort after a[1]=fig\n"},
            {"one", "one\n", "sortOutBuffer: inbuf=one\nsortOutBuffer: p=one\n"},
            {"b\n\n\na\n\nc", "a\nb\nc\n",
             "sortOutBuffer: inbuf=b\n\n\na\n\nc\nsortOutBuffer: p=b\nsortOutBuffer: p=a\n"
             "sortOutBuffer: p=c\nsortOutBuffer: sort after a[0]=a\n"
             "sortOutBuffer: sort after a[1]=b\n"},
            {"\n\n\n", "", "sortOutBuffer: inbuf=\n\n\n\n"},
            {"", "", "sortOutBuffer: inbuf=\n"},
            {"x\r\nx\na\r\n", "a\r\nx\nx\r\n",
             "sortOutBuffer: inbuf=x\r\nx\na\r\n\nsortOutBuffer: p=x\r\nsortOutBuffer: p=x\n"
             "sortOutBuffer: p=a\r\nsortOutBuffer: sort after a[0]=a\r\n"
             "sortOutBuffer: sort after a[1]=x\n"},
            {"\xe9\nz\nZ\n", "Z\nz\n\xe9\n",
             "sortOutBuffer: inbuf=\xe9\nz\nZ\n\nsortOutBuffer: p=\xe9\nsortOutBuffer: p=z\n"
             "sortOutBuffer: p=Z\nsortOutBuffer: sort after a[0]=Z\n"
             "sortOutBuffer: sort after a[1]=z\n"},
        };
        for (const auto &c : cases) {
            char *out = nullptr;
            EXPECT_EQ(sortOutBuffer(c.in.c_str(), &out), 0) << c.in;
            ASSERT_NE(out, nullptr);
            EXPECT_EQ(out == c.in.c_str(), c.in.empty()) << c.in;
            EXPECT_EQ(out, c.out) << c.in;
            if (out != c.in.c_str())
                std::free(out);
            EXPECT_EQ(reports(), Reports("000000", c.trace)) << c.in;
        }
    });
}

TEST(Share, SortTracesAsTheExchangeSort)
{
    sandbox::run([] {
        open_logs();
        ASSERT_EQ(::setenv("VARNOK_DEBUG_MODE", "on", 1), 0);
        std::mt19937 random(20240601);
        const std::string bytes = "aabbc \r\xe9\xff\x01\n\n\n";
        for (int round = 0; round < 400; ++round) {
            std::string in(random() % (round < 300 ? 60 : 3000), '\0');
            for (char &c : in)
                c = bytes[random() % bytes.size()];
            const Sorted want = exchange_sort(in);
            const Sorted got = sort_echoed(in);
            EXPECT_EQ(got.out, want.out) << in;
            EXPECT_EQ(got.trace, want.trace) << in;
        }
    });
}

TEST(Share, SortManyLines)
{
    sandbox::run([] {
        logs::fresh(false);
        std::mt19937 random(7);
        std::string in;
        std::vector<std::string> lines;
        for (int i = 0; i < 100000; ++i) {
            lines.push_back(std::to_string(random() % 50000) + "\xe9" + std::to_string(i % 7));
            in += lines.back() + (i % 1000 == 0 ? "\n\n" : "\n");
        }
        std::sort(lines.begin(), lines.end());
        std::string want;
        for (const std::string &line : lines)
            want += line + "\n";
        char *out = nullptr;
        ASSERT_EQ(errlog_trace_fd, -1);
        EXPECT_EQ(sortOutBuffer(in.c_str(), &out), 0);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(out, want);
        std::free(out);
    });
}

TEST(Share, SortShortOfMemory)
{
    sandbox::run([] {
        open_logs();
        const std::string in = "b\na";
        const std::string traced = "sortOutBuffer: inbuf=b\na\n";
        const Reports want[] = {
            {"000000", traced},
            {"000000", traced},
            {"002009", traced + "A memory is insufficient. errno=12\n"},
        };
        for (int k = 1; k <= 3; ++k) {
            char *out = nullptr;
            alloc_fault::watch(k);
            int rc = sortOutBuffer(in.c_str(), &out);
            alloc_fault::stop();
            EXPECT_EQ(rc, 16) << k;
            EXPECT_EQ(out, in.c_str()) << k;
            EXPECT_EQ(alloc_fault::outstanding(), std::vector<void *>{}) << k;
            EXPECT_EQ(reports(), want[k - 1]) << k;
        }
        char *out = nullptr;
        alloc_fault::watch(4);
        EXPECT_EQ(sortOutBuffer(in.c_str(), &out), 0);
        alloc_fault::stop();
        EXPECT_EQ(alloc_fault::calls(), 3);
        EXPECT_EQ(alloc_fault::outstanding(), std::vector<void *>{out});
        EXPECT_STREQ(out, "a\nb\n");
        std::free(out);
    });
}

} // namespace
