// sortOutBuffer on 1,000, 10,000 and 100,000 lines with tracing off (the
// logs are never opened). Before timing, each result is compared with what
// the exchange sort gives: the exchange sort itself for up to 10,000 lines,
// and for more an ordinary sort under the same byte-wise order, which yields
// the same text, equal lines being equal.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "share.h"
#include "text_model.h"

namespace {

constexpr size_t kExchangeLimit = 10000;

// Share-folder lines as an appliance lists them, some twice, some empty.
std::string make_lines(size_t count)
{
    std::mt19937 rng(static_cast<unsigned>(count));
    auto pick = [&rng](unsigned n) { return static_cast<unsigned>(rng() % n); };
    std::string text;
    char line[96];
    for (size_t i = 0; i < count; ++i) {
        int n = 0;
        if (pick(50) == 0)
            n = std::snprintf(line, sizeof line, "\n");
        else
            n = std::snprintf(line, sizeof line, "share%05u\tusbp%u\tgroup%u\t%s\n",
                              pick(static_cast<unsigned>(count)), 1 + pick(5), pick(20),
                              pick(3) == 0 ? "alluser" : "personal");
        text.append(line, static_cast<size_t>(n));
    }
    return text;
}

bool byte_less(const std::string &a, const std::string &b)
{
    int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
    return c != 0 ? c < 0 : a.size() < b.size();
}

// The expected result: the non-empty lines, sorted, each with a newline.
std::string expected(const std::string &text)
{
    std::vector<std::string> lines = text_model::nonempty_lines_of(text);
    if (lines.size() <= kExchangeLimit) {
        for (size_t i = 0; i + 1 < lines.size(); ++i)
            for (size_t j = i + 1; j < lines.size(); ++j)
                if (byte_less(lines[j], lines[i]))
                    std::swap(lines[i], lines[j]);
    } else {
        std::sort(lines.begin(), lines.end(), byte_less);
    }
    std::string out;
    for (const std::string &line : lines)
        out += line + "\n";
    return out;
}

void BM_sortOutBuffer(benchmark::State &state)
{
    const std::string text = make_lines(static_cast<size_t>(state.range(0)));
    char *out = nullptr;
    if (sortOutBuffer(text.c_str(), &out) != 0 || out == text.c_str() || expected(text) != out) {
        state.SkipWithError("the result differs from the exchange sort's");
        if (out != text.c_str())
            std::free(out);
        return;
    }
    std::free(out);
    for (auto _ : state) {
        sortOutBuffer(text.c_str(), &out);
        benchmark::DoNotOptimize(out);
        std::free(out);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_sortOutBuffer)
    ->ArgName("lines")
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
