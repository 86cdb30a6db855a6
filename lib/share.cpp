#include "share.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "errlog.h"
#include "fileutil.h"
#include "owned.h"

namespace {

constexpr std::array<std::string_view, 4> kPermissions = {"personal", "group", "nobody", "alluser"};
constexpr int kPermissionForNull = 3;

struct Place {
    const char *name;
    const char *root;
};
constexpr std::array<Place, 6> kPlaces = {{
    {"hda", "/mnt/hda3/share"},
    {"usbp1", "/mnt/usb1/share"},
    {"usbp2", "/mnt/usb2/share"},
    {"usbp3", "/mnt/usb3/share"},
    {"usbp4", "/mnt/usb4/share"},
    {"usbp5", "/mnt/usb5/share"},
}};
static_assert(std::all_of(kPlaces.begin(), kPlaces.end(), [](const Place &p) {
    return std::string_view(p.name).size() < sizeof(ShareEntry::place);
}));

constexpr char kBadPermissionMsg[] = "CnvPermission: Err/Invalid permission : %s\n";
constexpr char kBadPlaceMsg[] = "CnvPlace: Err/Invalid place : %s\n";
constexpr char kNullText[] = "(null)";

constexpr size_t kPathSize = 1024;
constexpr size_t kCommandSize = 1024;
constexpr char kChgrpFormat[] = "/bin/chgrp -R %s \"%s/%s\"";
// Characters that keep their meaning inside double quotes.
constexpr std::string_view kQuoteBreakers = "\"`$\\";

constexpr char kSortInputMsg[] = "sortOutBuffer: inbuf=%s\n";
constexpr char kSortLineMsg[] = "sortOutBuffer: p=%s\n";
constexpr char kSortPassMsg[] = "sortOutBuffer: sort after a[%d]=%s\n";
constexpr int kSortNoMemory = 16;

// The place's row, or null.
const Place *place_row(const char *place)
{
    if (place == nullptr)
        return nullptr;
    auto row = std::find_if(kPlaces.begin(), kPlaces.end(),
                            [&](const Place &p) { return std::strcmp(p.name, place) == 0; });
    return row != kPlaces.end() ? &*row : nullptr;
}

// Appends the records of root's entries that belong to gid. false when the
// array cannot grow; it then stays as it was.
bool list_root(ShareEntry *&array, int &count, const Place &row, gid_t gid)
{
    owned::unique_dir dir(::opendir(row.root));
    if (!dir)
        return true;
    // readdir_r is deprecated; readdir is safe on a stream that no other
    // thread uses, and this one is local.
    // cppcheck-suppress readdirCalled
    while (const struct dirent *entry = ::readdir(dir.get())) {
        size_t len = std::strlen(entry->d_name);
        if (len >= sizeof(ShareEntry::name))
            continue;
        char path[kPathSize] = {};
        int n = std::snprintf(path, sizeof path, "%s/%s", row.root, entry->d_name);
        struct stat st {};
        if (n < 0 || static_cast<size_t>(n) >= sizeof path || ::stat(path, &st) != 0 ||
            st.st_gid != gid)
            continue;
        auto *grown = static_cast<ShareEntry *>(
            mem_realloc(array, (static_cast<size_t>(count) + 1) * sizeof(ShareEntry)));
        if (grown == nullptr)
            return false;
        array = grown;
        ShareEntry &added = array[count++];
        added = ShareEntry{};
        std::memcpy(added.name, entry->d_name, len);
        std::memcpy(added.place, row.name, std::strlen(row.name));
    }
    return true;
}

// A group name or number that the shell and chgrp take as it stands: letters,
// digits, '.', '_' and '-', not starting with '-' (which would be an option).
bool plain_group(std::string_view group)
{
    if (group.empty() || group.front() == '-')
        return false;
    return std::all_of(group.begin(), group.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == '-';
    });
}

// A folder that stays one word inside double quotes and inside its share
// root: nothing that ends the quotes or expands, and no ".." component.
bool plain_folder(std::string_view folder)
{
    if (folder.find_first_of(kQuoteBreakers) != std::string_view::npos)
        return false;
    for (size_t start = 0; start <= folder.size();) {
        size_t slash = std::min(folder.find('/', start), folder.size());
        if (folder.substr(start, slash - start) == "..")
            return false;
        start = slash + 1;
    }
    return true;
}

// The number of non-empty lines.
size_t count_lines(const char *text)
{
    size_t n = 0;
    for (const char *p = text; *p != '\0'; ++p)
        if (*p != '\n' && (p[1] == '\n' || p[1] == '\0'))
            ++n;
    return n;
}

// Cuts text in place into its non-empty lines, stored in order.
void cut_lines(char *text, char **lines)
{
    for (char *p = text; *p != '\0';) {
        char *end = strchrnul(p, '\n');
        bool last = *end == '\0';
        if (end > p) {
            *end = '\0';
            *lines++ = p;
        }
        if (last)
            break;
        p = end + 1;
    }
}

} // namespace

extern "C" int CnvPermission(const char *word)
{
    if (word == nullptr)
        return kPermissionForNull;
    auto it = std::find(kPermissions.begin(), kPermissions.end(), word);
    if (it != kPermissions.end())
        return static_cast<int>(it - kPermissions.begin());
    errlog_trace(kBadPermissionMsg, word);
    return -1;
}

extern "C" int CnvPlace(const char *place)
{
    const Place *row = place_row(place);
    if (row != nullptr)
        return static_cast<int>(row - kPlaces.data());
    errlog_trace(kBadPlaceMsg, place != nullptr ? place : kNullText);
    return -1;
}

extern "C" int share_list_by_group(ShareEntry **out, gid_t gid)
{
    ShareEntry *array = nullptr;
    int count = 0;
    bool listed = std::all_of(kPlaces.begin(), kPlaces.end(),
                              [&](const Place &row) { return list_root(array, count, row, gid); });
    if (!listed) {
        std::free(array);
        *out = nullptr;
        return -1;
    }
    *out = array;
    return count;
}

extern "C" int share_chgrp(const char *place, const char *folder, const char *group)
{
    const Place *row = place_row(place);
    if (row == nullptr || folder == nullptr || group == nullptr || !plain_group(group) ||
        !plain_folder(folder))
        return 1;
    char cmdline[kCommandSize] = {};
    int n = std::snprintf(cmdline, sizeof cmdline, kChgrpFormat, group, row->root, folder);
    if (n < 0 || static_cast<size_t>(n) >= sizeof cmdline)
        return 1;
    return exec_command(cmdline) == 0 ? 0 : 1;
}

// Sorted with a fast sort, traced as the exchange sort would trace: its pass
// i leaves the i-th smallest line at i, which is what the pass line shows.
extern "C" int sortOutBuffer(const char *inbuf, char **outbuf)
{
    errlog_trace(kSortInputMsg, inbuf);
    // The caller gets its own text back through a char ** of the C interface;
    // it never writes through it.
    *outbuf = const_cast<char *>(inbuf); // NOLINT(cppcoreguidelines-pro-type-const-cast)
    if (*inbuf == '\0')
        return 0;
    size_t len = std::strlen(inbuf);
    size_t room = len + 1 + (inbuf[len - 1] != '\n' ? 1 : 0);
    owned::unique_block<char> work(static_cast<char *>(std::malloc(len + 1)));
    owned::unique_block<char> result(static_cast<char *>(std::malloc(room)));
    if (!work || !result)
        return kSortNoMemory;
    std::memcpy(work.get(), inbuf, len + 1);

    size_t n = count_lines(work.get());
    owned::unique_block<char *> lines(
        static_cast<char **>(mem_alloc(std::max<size_t>(n, 1) * sizeof(char *))));
    if (!lines)
        return kSortNoMemory;
    cut_lines(work.get(), lines.get());
    std::span<char *> table(lines.get(), n);
    const bool tracing = errlog_trace_fd != -1;
    for (size_t i = 0; tracing && i < n; ++i)
        errlog_trace(kSortLineMsg, table[i]);

    std::sort(table.begin(), table.end(),
              [](const char *a, const char *b) { return std::strcmp(a, b) < 0; });
    for (size_t i = 0; tracing && i + 1 < n; ++i)
        errlog_trace(kSortPassMsg, static_cast<int>(i), table[i]);

    char *w = result.get();
    for (const char *line : table) {
        size_t l = std::strlen(line);
        std::memcpy(w, line, l);
        w += l;
        *w++ = '\n';
    }
    *w = '\0';
    *outbuf = result.release();
    return 0;
}
