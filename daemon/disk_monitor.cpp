#include "disk_monitor.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>

#include "console.h"
#include "line_reader.h"
#include "owned.h"
#include "paths.h"
#include "run_tool.h"
#include "spindown_conf.h"

namespace {

constexpr int kFanAttempts = 5;
constexpr size_t kTextSize = 1024;
constexpr int kReadsField = 4;
constexpr int kWritesField = 8;

// Large enough for the whole file on any appliance, so that a sample costs
// one read and the end-of-file read.
char sampleBuffer[64 * 1024];

bool isSeparator(char c)
{
    return c == ' ' || c == '\t';
}

// Whether stored holds exactly seen: byte by byte, without measuring stored
// first, counter texts being short.
bool sameText(const char *stored, std::string_view seen)
{
    if (stored == nullptr)
        return false;
    for (char c : seen) {
        if (*stored != c || c == '\0')
            return false;
        ++stored;
    }
    return *stored == '\0';
}

// Field scanning a word at a time, where bytes lie in a word from the lowest
// up; elsewhere byte by byte.
using Word = std::uintptr_t;
constexpr bool kWordScan = std::endian::native == std::endian::little;
constexpr Word kEveryByte = ~Word{0} / 0xff; // 0x01 in each byte
constexpr Word kHighBits = kEveryByte * 0x80;

Word loadWord(const char *p)
{
    Word w = 0;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// The index of the lowest non-zero byte of a non-zero word.
size_t lowestByte(Word w)
{
    return static_cast<size_t>(std::countr_zero(w)) / 8;
}

// Past the blanks and tabs from p on.
const char *skipSeparators(const char *p, const char *end)
{
    if constexpr (kWordScan) {
        while (static_cast<size_t>(end - p) >= sizeof(Word)) {
            Word notBlank = loadWord(p) ^ (kEveryByte * ' ');
            if (notBlank == 0) {
                p += sizeof(Word);
                continue;
            }
            p += lowestByte(notBlank);
            if (*p != '\t')
                return p;
            ++p;
        }
    }
    while (p != end && isSeparator(*p))
        ++p;
    return p;
}

// Past the field that begins at p: up to the next blank or tab. A field's
// bytes are nearly all above the blank; the first byte below 0x21 in a word
// is flagged exactly by the subtraction (borrows only run upward).
const char *skipField(const char *p, const char *end)
{
    if constexpr (kWordScan) {
        while (static_cast<size_t>(end - p) >= sizeof(Word)) {
            Word w = loadWord(p);
            Word low = (w - kEveryByte * 0x21) & ~w & kHighBits;
            if (low == 0) {
                p += sizeof(Word);
                continue;
            }
            p += lowestByte(low);
            if (isSeparator(*p))
                return p;
            ++p; // a control byte such as the newline belongs to the field
        }
    }
    while (p != end && !isSeparator(*p))
        ++p;
    return p;
}

// The field at or after pos, which moves past it; empty at the line's end.
// Inlined: it runs three times for every line of the file.
[[gnu::always_inline]] inline std::string_view nextField(std::string_view line, size_t &pos)
{
    const char *end = line.data() + line.size();
    const char *start = skipSeparators(line.data() + pos, end);
    const char *stop = skipField(start, end);
    pos = static_cast<size_t>(stop - line.data());
    return {start, static_cast<size_t>(stop - start)};
}

// Fields 4 to 8 of a line from pos on, which is past field 3: field 4 and
// field 8. false when the line ends before field 8.
bool takeCounters(std::string_view line, size_t pos, DiskstatsFields &fields)
{
    std::string_view rio = nextField(line, pos);
    for (int field = kReadsField + 1; field < kWritesField; ++field)
        nextField(line, pos);
    std::string_view wio = nextField(line, pos);
    if (rio.empty() || wio.empty())
        return false;
    fields.rio = rio;
    fields.wio = wio;
    return true;
}

void storeText(char *&stored, std::string_view seen)
{
    std::free(stored);
    stored = ::strndup(seen.data(), seen.size());
}

// Copies text into a NUL-terminated kTextSize buffer, cut to fit.
void copyText(char (&dst)[kTextSize], std::string_view text)
{
    size_t len = text.size() < kTextSize ? text.size() : kTextSize - 1;
    std::memcpy(dst, text.data(), len);
    dst[len] = '\0';
}

void sample(DiskEntry &entry, const DiskstatsFields &seen)
{
    if (debugModeOn()) {
        char rio[kTextSize];
        char wio[kTextSize];
        copyText(rio, seen.rio);
        copyText(wio, seen.wio);
        debugPrintf(paths::kMsgSample, entry.sd, entry.count, rio, wio);
    }
    if (sameText(entry.rio, seen.rio) && sameText(entry.wio, seen.wio)) {
        ++entry.count;
        return;
    }
    storeText(entry.rio, seen.rio);
    storeText(entry.wio, seen.wio);
    entry.count = 0;
    if (entry.ide == 1)
        fanCtrl(1);
}

// Whether text begins with the bytes of name, compared from the last: names
// of one length mostly differ at their ends (sda, sdb; sda1, sda2).
bool sameBytes(const char *text, std::string_view name)
{
    for (size_t i = name.size(); i-- > 0;)
        if (text[i] != name[i])
            return false;
    return true;
}

// The table's watched disks for one sample, in index order. A line's name is
// compared only with the names that end in its last byte and are as long,
// so most lines are passed over after one look-up.
class WatchList {
public:
    WatchList()
    {
        static_assert(kDiskTableSize <= 8, "one bit per entry in a byte");
        for (DiskEntry &entry : diskTable) {
            if (entry.sd == nullptr)
                break;
            entries_[size_] = &entry;
            lengths_[size_] = std::strlen(entry.sd);
            if (lengths_[size_] > 0)
                byLastByte_[lastByte(entry.sd, lengths_[size_])] |= 1u << size_;
            ++size_;
        }
    }

    [[nodiscard]] bool empty() const { return size_ == 0; }

    // The first entry whose sd is name (not empty), or null.
    [[nodiscard]] DiskEntry *find(std::string_view name) const
    {
        for (unsigned m = byLastByte_[lastByte(name.data(), name.size())]; m != 0; m &= m - 1) {
            auto i = static_cast<size_t>(std::countr_zero(m));
            if (lengths_[i] == name.size() && sameBytes(entries_[i]->sd, name))
                return entries_[i];
        }
        return nullptr;
    }

private:
    static unsigned char lastByte(const char *text, size_t len)
    {
        return static_cast<unsigned char>(text[len - 1]);
    }

    DiskEntry *entries_[kDiskTableSize] = {};
    size_t lengths_[kDiskTableSize] = {};
    unsigned char byLastByte_[UCHAR_MAX + 1] = {};
    size_t size_ = 0;
};

void spinDownInternal(const DiskEntry &entry)
{
    debugPrint(paths::kMsgIdeSpinDown);
    fanCtrl(0);
    // Put together by hand, as the pid file is: with debug mode off, no
    // printf code ever runs in the daemon, so none of it stays resident.
    constexpr size_t prefixLen = sizeof(paths::kDevicePrefix) - 1;
    char device[kTextSize];
    size_t len = std::strlen(entry.sd);
    if (prefixLen + len >= sizeof device)
        return; // a cut name would name another device
    std::memcpy(device, paths::kDevicePrefix, prefixLen);
    std::memcpy(device + prefixLen, entry.sd, len + 1);
    ToolArg hdparm(paths::kHdparm);
    ToolArg spinDown(paths::kHdparmSpinDown);
    char *argv[] = {hdparm.text, spinDown.text, device, nullptr};
    runWithTimeout(paths::kHdparm, argv);
}

void spinDownUsb(const DiskEntry &entry)
{
    debugPrint(paths::kMsgUsbSpinDown);
    char sg[kTextSize];
    if (entry.sg == nullptr || std::strlen(entry.sg) >= sizeof sg)
        return; // no path when its copy failed; a cut one would name another device
    std::strcpy(sg, entry.sg);
    ToolArg sgStart(paths::kSgStart);
    ToolArg stop(paths::kSgStartStop);
    char *argv[] = {sgStart.text, sg, stop.text, nullptr};
    runWithTimeout(paths::kSgStart, argv);
}

} // namespace

bool diskstatsParseLine(std::string_view line, DiskstatsFields &fields)
{
    size_t pos = 0;
    nextField(line, pos);
    nextField(line, pos);
    std::string_view name = nextField(line, pos);
    if (name.empty() || !takeCounters(line, pos, fields))
        return false;
    fields.name = name;
    return true;
}

int checkUsbHddIO()
{
    debugPrint(paths::kMsgCheck);
    owned::unique_fd fd(::open(paths::kDiskstats, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        debugPrint(paths::kMsgDiskstatsOpenError);
        return 1;
    }
    const WatchList watched;
    LineReader reader(fd.get(), sampleBuffer);
    std::string_view line;
    while (reader.next(line)) {
        if (line.empty() || line[0] == '\n' || watched.empty())
            continue;
        // Only the lines of watched disks are read past their name.
        size_t pos = 0;
        nextField(line, pos);
        nextField(line, pos);
        DiskstatsFields seen{nextField(line, pos), {}, {}};
        if (seen.name.empty())
            continue;
        DiskEntry *entry = watched.find(seen.name);
        if (entry != nullptr && takeCounters(line, pos, seen))
            sample(*entry, seen);
    }
    return 0;
}

int spinDownUsbHdd(int minute)
{
    debugPrint(paths::kMsgSpinDown);
    for (size_t i = 0; i < kDiskTableSize && diskTable[i].sd != nullptr; ++i) {
        const DiskEntry &entry = diskTable[i];
        debugPrintf(paths::kMsgEntry, entry.sd, static_cast<int>(i), entry.used, entry.count,
                    minute);
        if (entry.used != 1 || entry.count != minute)
            continue;
        if (entry.ide == 1)
            spinDownInternal(entry);
        else
            spinDownUsb(entry);
    }
    return 0;
}

int fanCtrl(int state)
{
    owned::unique_fd fd(::open(paths::kFanDevice, O_RDWR | O_SYNC | O_CLOEXEC));
    if (!fd.valid()) {
        debugPrint(paths::kMsgFanOpenError);
        return 1;
    }
    // The request's size field is 4, so the driver reads four bytes: the
    // state byte first, the rest zero.
    unsigned char arg[4] = {static_cast<unsigned char>(state), 0, 0, 0};
    for (int attempt = 0; attempt < kFanAttempts; ++attempt) {
        if (::ioctl(fd.get(), paths::kFanRequest, arg) == 0)
            return 0;
        sleepWholeSecond();
    }
    debugPrint(paths::kMsgFanIoctlError);
    return 1;
}
