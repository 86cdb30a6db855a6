// The line operations of the text utilities and of line selection over a
// 16 MiB text of settings, account and table lines, each beside the baseline
// of one memchr pass counting the newlines plus one memcpy of the text.
// bench/library_report.sh divides each time by the baseline's.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "text.h"
#include "textsel.h"

namespace {

constexpr size_t kTextSize = 16 << 20;

// Lines as the appliance's programs keep them: key=value settings (some
// indented, some with blanks around '='), comments, section heads, empty
// lines, colon-separated accounts and comma-separated share tables.
std::string make_text()
{
    static const char *const keys[] = {"workgroup", "server_string", "port", "netbios_name",
                                       "guest_ok",  "max_log_size",  "path", "valid_users"};
    static const char *const words[] = {"WORKGROUP", "Storage", "8080",        "/mnt/hda3/share",
                                        "yes",       "no",      "admin,guest", "1000"};
    std::mt19937 rng(20240607);
    auto pick = [&rng](unsigned n) { return static_cast<unsigned>(rng() % n); };
    std::string text;
    text.reserve(kTextSize + 256);
    char line[256];
    while (text.size() < kTextSize) {
        unsigned r = pick(16);
        const char *key = keys[pick(8)];
        const char *word = words[pick(8)];
        int n = 0;
        if (r < 7)
            n = std::snprintf(line, sizeof line, "%s=%s%u\n", key, word, pick(100));
        else if (r < 9)
            n = std::snprintf(line, sizeof line, "  %s = %s\n", key, word);
        else if (r == 9)
            n = std::snprintf(line, sizeof line, "# %s: %s, see the manual\n", key, word);
        else if (r == 10)
            n = std::snprintf(line, sizeof line, "[%s]\n", word);
        else if (r == 11)
            n = std::snprintf(line, sizeof line, "\n");
        else if (r < 14)
            n = std::snprintf(line, sizeof line, "user%u:x:%u:100:%s:/home/user%u:/bin/sh\n",
                              pick(1000), 1000 + pick(1000), word, pick(1000));
        else
            n = std::snprintf(line, sizeof line, "share%u,%s,%s,rw\n", pick(100), word, key);
        text.append(line, static_cast<size_t>(n));
    }
    return text;
}

const std::string &source()
{
    static const std::string text = make_text();
    return text;
}

// A writable copy of the text and a destination large enough for any result.
struct Buffers {
    std::vector<char> text;
    std::vector<char> dst;
    Buffers() : text(source().begin(), source().end()), dst(source().size() + 2)
    {
        text.push_back('\0');
    }
};

// Times op over the text; every run handles the whole 16 MiB.
template <typename Op>
void over_text(benchmark::State &state, Op op)
{
    Buffers b;
    for (auto _ : state) {
        op(b);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(source().size()));
}

void BM_baseline_memchr_memcpy(benchmark::State &state)
{
    over_text(state, [](Buffers &b) {
        const char *end = b.text.data() + source().size();
        size_t lines = 0;
        for (const char *p = b.text.data();
             (p = static_cast<const char *>(std::memchr(p, '\n', end - p))) != nullptr; ++p)
            ++lines;
        std::memcpy(b.dst.data(), b.text.data(), source().size() + 1);
        benchmark::DoNotOptimize(lines);
    });
}
BENCHMARK(BM_baseline_memchr_memcpy);

// Upper-casing an upper-cased text does the same work again.
void BM_text_to_upper(benchmark::State &state)
{
    over_text(state, [](Buffers &b) { benchmark::DoNotOptimize(text_to_upper(b.text.data())); });
}
BENCHMARK(BM_text_to_upper);

void BM_text_count_lines(benchmark::State &state)
{
    over_text(state, [](Buffers &b) { benchmark::DoNotOptimize(text_count_lines(b.text.data())); });
}
BENCHMARK(BM_text_count_lines);

// Removes the commas (about one byte in 150); the copy back is not timed.
void BM_text_remove_char(benchmark::State &state)
{
    over_text(state, [&state](Buffers &b) {
        text_remove_char(b.text.data(), ',');
        state.PauseTiming();
        std::memcpy(b.text.data(), source().c_str(), source().size() + 1);
        state.ResumeTiming();
    });
}
BENCHMARK(BM_text_remove_char);

void BM_text_next_line(benchmark::State &state)
{
    over_text(state, [](Buffers &b) {
        size_t lines = 0;
        for (const char *p = b.text.data(); *p != '\0'; p = text_next_line(p))
            ++lines;
        benchmark::DoNotOptimize(lines);
    });
}
BENCHMARK(BM_text_next_line);

// Each line's first non-blank, as the settings parser looks for it.
void BM_skip_blanks(benchmark::State &state)
{
    over_text(state, [](Buffers &b) {
        for (const char *p = b.text.data(); *p != '\0';) {
            const char *next = text_next_line(p);
            benchmark::DoNotOptimize(skip_blanks(p, static_cast<int>(next - p) + 1));
            p = next;
        }
    });
}
BENCHMARK(BM_skip_blanks);

// Every line copied in turn into a line buffer.
void BM_text_copy_line(benchmark::State &state)
{
    over_text(state, [](Buffers &b) {
        char line[1024];
        const char *p = b.text.data();
        while (p != nullptr && *p != '\0')
            p = text_copy_line(line, static_cast<int>(sizeof line) - 1, p);
        benchmark::DoNotOptimize(line);
    });
}
BENCHMARK(BM_text_copy_line);

void BM_filter_lines(benchmark::State &state)
{
    over_text(state, [](Buffers &b) { filter_lines(b.dst.data(), b.text.data(), "#\\;"); });
}
BENCHMARK(BM_filter_lines);

// A keyword that no line begins with: the whole text is searched.
void BM_text_find_keyword_line(benchmark::State &state)
{
    over_text(state, [](Buffers &b) {
        benchmark::DoNotOptimize(text_find_keyword_line(b.text.data(), "security", 3));
    });
}
BENCHMARK(BM_text_find_keyword_line);

// About one line in sixteen begins with the keyword.
void BM_text_collect_keyword_lines(benchmark::State &state)
{
    over_text(state, [](Buffers &b) {
        benchmark::DoNotOptimize(text_collect_keyword_lines(b.dst.data(), b.text.data(), "port"));
    });
}
BENCHMARK(BM_text_collect_keyword_lines);

void BM_text_collect_keyword_lines_set(benchmark::State &state)
{
    over_text(state, [](Buffers &b) {
        benchmark::DoNotOptimize(
            text_collect_keyword_lines_set(b.dst.data(), b.text.data(), "guest_ok", 1));
    });
}
BENCHMARK(BM_text_collect_keyword_lines_set);

// Columns of the ':' separated lines; other lines have one field or none.
void BM_text_extract_column(benchmark::State &state)
{
    const int column = static_cast<int>(state.range(0));
    over_text(state, [column](Buffers &b) {
        text_extract_column(b.dst.data(), b.text.data(), '\n', ':', column);
    });
}
BENCHMARK(BM_text_extract_column)->Arg(1)->Arg(2)->Arg(6);

// Records separated by ',' rather than lines: last fields hold newlines.
void BM_text_extract_column_records(benchmark::State &state)
{
    over_text(state,
              [](Buffers &b) { text_extract_column(b.dst.data(), b.text.data(), ',', ':', 2); });
}
BENCHMARK(BM_text_extract_column_records);

void BM_text_split_key_value(benchmark::State &state)
{
    const int mode = static_cast<int>(state.range(0));
    over_text(state, [mode](Buffers &b) {
        benchmark::DoNotOptimize(text_split_key_value(b.dst.data(), b.text.data(), '=', mode));
    });
}
BENCHMARK(BM_text_split_key_value)->Arg(1)->Arg(2)->Arg(3)->Arg(4);

// Mode 4 over ':': the accounts' fourth field onwards.
void BM_text_split_key_value_colon(benchmark::State &state)
{
    over_text(state, [](Buffers &b) {
        benchmark::DoNotOptimize(text_split_key_value(b.dst.data(), b.text.data(), ':', 4));
    });
}
BENCHMARK(BM_text_split_key_value_colon);

} // namespace

BENCHMARK_MAIN();
