// conf_list_load of settings files with 100, 1,000 and 10,000 keys (with
// comment and empty lines among them), each into a fresh list that is then
// freed. The files are written to a scratch directory of their own.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "conflist.h"

namespace {

std::string scratch_dir;
std::vector<std::string> files;

std::string settings_file(int keys)
{
    std::string path = scratch_dir + "/settings-" + std::to_string(keys) + ".conf";
    FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr)
        return "";
    for (int i = 0; i < keys; ++i) {
        if (i % 10 == 0)
            std::fprintf(f, "# group %d\n\n", i / 10);
        std::fprintf(f, "%skey%05d=value of key %d\n", i % 7 == 0 ? "  " : "", i, i);
    }
    std::fclose(f);
    files.push_back(path);
    return path;
}

void BM_conf_list_load(benchmark::State &state)
{
    const int keys = static_cast<int>(state.range(0));
    const std::string path = settings_file(keys);
    ConfNode *check = conf_list_new();
    char last[32];
    std::snprintf(last, sizeof last, "key%05d", keys - 1);
    const std::string want = "value of key " + std::to_string(keys - 1);
    if (path.empty() || conf_list_load(check, path.c_str()) != 0 ||
        want != conf_list_get(check, last)) {
        state.SkipWithError("the file does not load as written");
        conf_list_free(check);
        return;
    }
    conf_list_free(check);
    for (auto _ : state) {
        ConfNode *list = conf_list_new();
        benchmark::DoNotOptimize(conf_list_load(list, path.c_str()));
        conf_list_free(list);
    }
    state.SetItemsProcessed(state.iterations() * keys);
}
BENCHMARK(BM_conf_list_load)->ArgName("keys")->Arg(100)->Arg(1000)->Arg(10000);

} // namespace

int main(int argc, char **argv)
{
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/conflist_bench.XXXXXX";
    std::vector<char> dir(pattern.begin(), pattern.end());
    dir.push_back('\0');
    if (::mkdtemp(dir.data()) == nullptr) {
        std::perror("conflist_bench: scratch directory");
        return 1;
    }
    scratch_dir = dir.data();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const std::string &file : files)
        ::unlink(file.c_str());
    ::rmdir(scratch_dir.c_str());
    return 0;
}
