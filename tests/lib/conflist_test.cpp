// The settings list: in memory, and loaded from real files in the sandbox.
#include "conflist.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "alloc_fault.h"
#include "errlog.h"
#include "logs.h"
#include "sandbox.h"

namespace {

using Entry = std::tuple<uint32_t, std::string, std::string>;
using Entries = std::vector<Entry>;

// The list as (index, key, value) along next.
Entries entries(const ConfNode *list)
{
    Entries got;
    for (; list != nullptr; list = list->next)
        got.emplace_back(list->index, list->key, list->value);
    return got;
}

// The entries of a list holding pairs, with the head first and gap-free indices.
Entries listing(const std::vector<std::pair<std::string, std::string>> &pairs)
{
    Entries want{{0, "", ""}};
    for (const auto &[key, value] : pairs) {
        if (key.empty())
            std::get<2>(want[0]) = value;
        else
            want.emplace_back(static_cast<uint32_t>(want.size()), key, value);
    }
    return want;
}

struct List {
    ConfNode *head = conf_list_new();
    List() = default;
    List(const List &) = delete;
    List &operator=(const List &) = delete;
    ~List() { conf_list_free(head); }
};

TEST(ConfList, NewListHoldsOnlyTheHead)
{
    List list;
    ASSERT_NE(list.head, nullptr);
    EXPECT_EQ(entries(list.head), listing({}));
    EXPECT_EQ(conf_list_find(list.head, ""), list.head);
    EXPECT_EQ(conf_list_last(list.head), list.head);
    EXPECT_EQ(conf_list_find(list.head, "a"), nullptr);
    const char *absent = conf_list_get(list.head, "a");
    EXPECT_STREQ(absent, "");
    EXPECT_NE(absent, list.head->value) << "the static string, not the head's";
    EXPECT_EQ(conf_list_get(list.head, "other"), absent);
}

TEST(ConfList, SetAppendsNewKeysAndReplacesValuesInPlace)
{
    List list;
    for (const char *key : {"alpha", "beta", "gamma"})
        EXPECT_EQ(conf_list_set(list.head, key, key), 0);
    EXPECT_EQ(entries(list.head),
              listing({{"alpha", "alpha"}, {"beta", "beta"}, {"gamma", "gamma"}}));

    ConfNode *beta = conf_list_find(list.head, "beta");
    std::string value = "second";
    EXPECT_EQ(conf_list_set(list.head, "beta", value.c_str()), 0);
    value = "caller's own";
    EXPECT_EQ(conf_list_find(list.head, "beta"), beta);
    EXPECT_EQ(entries(list.head),
              listing({{"alpha", "alpha"}, {"beta", "second"}, {"gamma", "gamma"}}));
    EXPECT_EQ(conf_list_last(list.head), conf_list_find(list.head, "gamma"));

    EXPECT_EQ(conf_list_set(list.head, "", "head value"), 0);
    EXPECT_EQ(conf_list_set(list.head, "Beta", "case counts"), 0);
    EXPECT_STREQ(conf_list_get(list.head, ""), "head value");
    EXPECT_EQ(entries(list.head).size(), 5u);

    // An empty value and an absent key read alike; find tells them apart.
    EXPECT_EQ(conf_list_set(list.head, "empty", ""), 0);
    EXPECT_STREQ(conf_list_get(list.head, "empty"), "");
    EXPECT_NE(conf_list_find(list.head, "empty"), nullptr);
    EXPECT_EQ(conf_list_find(list.head, "absent"), nullptr);
}

TEST(ConfList, NullListIsAccepted)
{
    EXPECT_EQ(conf_list_set(nullptr, "a", "1"), -1);
    EXPECT_EQ(conf_list_find(nullptr, ""), nullptr);
    EXPECT_STREQ(conf_list_get(nullptr, "a"), "");
    EXPECT_EQ(conf_list_last(nullptr), nullptr);
    EXPECT_EQ(conf_list_parse(nullptr, "a=1\n"), 0);
    conf_list_free(nullptr);
    conf_node_free(nullptr);

    List list;
    EXPECT_EQ(conf_list_parse(list.head, nullptr), 0);
    EXPECT_EQ(entries(list.head), listing({}));
}

TEST(ConfList, ParseLines)
{
    const struct {
        const char *text;
        Entries want;
    } cases[] = {
        {"", listing({})},
        {"\n\n", listing({})},
        {"a=1\nb=2\na=3\n", listing({{"a", "3"}, {"b", "2"}})},
        {" \t key=v\n", listing({{"key", "v"}})},
        {"k = v\n", listing({{"k ", " v"}})},
        {"a\tb=c", listing({{"a\tb", "c"}})},
        {"=head\nx=1", listing({{"", "head"}, {"x", "1"}})},
        {"  =blank key\n", listing({{"", "blank key"}})},
        {"k=\n", listing({{"k", ""}})},
        {"k=a=b\n", listing({{"k", "a=b"}})},
        {"first=1\nlast=no newline", listing({{"first", "1"}, {"last", "no newline"}})},
        {"a=1\r\nb=\r\n", listing({{"a", "1\r"}, {"b", "\r"}})},
        {"no equals\n\n \t\nx=1\n   \n", listing({{"x", "1"}})},
        {"#k=v\n ;c=d\n", listing({{"#k", "v"}, {";c", "d"}})},
        {"k=\xe9\xff\n", listing({{"k", "\xe9\xff"}})},
    };
    for (const auto &c : cases) {
        List list;
        EXPECT_EQ(conf_list_parse(list.head, c.text), 0);
        EXPECT_EQ(entries(list.head), c.want) << c.text;
    }
}

// A text that ends at a page with no access behind it: any read past its
// terminator faults.
TEST(ConfList, ParseReadsNothingBeyondTheText)
{
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    auto *area = static_cast<char *>(
        ::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(area, MAP_FAILED);
    ASSERT_EQ(::mprotect(area + page, page, PROT_NONE), 0);
    const struct {
        std::string text;
        Entries want;
    } cases[] = {
        {"a=1", listing({{"a", "1"}})},
        {"a=1\n", listing({{"a", "1"}})},
        {"a=", listing({{"a", ""}})},
        {"=", listing({})},
        {"a", listing({})},
        {" ", listing({})},
        {"\n", listing({})},
    };
    for (const auto &c : cases) {
        char *at = area + page - c.text.size() - 1;
        std::memcpy(at, c.text.c_str(), c.text.size() + 1);
        List list;
        EXPECT_EQ(conf_list_parse(list.head, at), 0);
        EXPECT_EQ(entries(list.head), c.want) << c.text;
    }
    ::munmap(area, 2 * page);
}

TEST(ConfList, FreeReleasesEveryNodeAndString)
{
    List list;
    for (const char *key : {"a", "b", "c", "d"})
        conf_list_set(list.head, key, "v");
    std::vector<void *> want;
    for (ConfNode *n = list.head; n != nullptr; n = n->next)
        want.insert(want.end(), {n, n->key, n->value});
    ASSERT_EQ(want.size(), 15u);

    alloc_fault::watch();
    conf_list_free(list.head);
    alloc_fault::stop();
    list.head = nullptr;
    std::vector<void *> got = alloc_fault::released();
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);

    ConfNode *node = conf_node_new("k", "v");
    ASSERT_NE(node, nullptr);
    EXPECT_STREQ(node->key, "k");
    EXPECT_STREQ(node->value, "v");
    want = {node, node->key, node->value};
    alloc_fault::watch();
    conf_node_free(node);
    alloc_fault::stop();
    got = alloc_fault::released();
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
}

// The blocks a list owns.
std::vector<void *> blocks_of(const ConfNode *list)
{
    std::vector<void *> got;
    for (; list != nullptr; list = list->next)
        got.insert(got.end(), {const_cast<ConfNode *>(list), list->key, list->value});
    return got;
}

// Fails each heap call of fn in turn until a run needs no more, and gives
// that run's result. After every failure check sees the result, and no block
// made by fn is left unless the list holds it.
template <typename Fn, typename Check>
auto each_shortage(const ConfNode *list, Fn fn, Check check)
{
    for (int k = 1;; ++k) {
        alloc_fault::watch(k);
        auto rc = fn();
        alloc_fault::stop();
        if (alloc_fault::calls() < k) {
            EXPECT_GT(k, 1) << "no heap call seen";
            return rc;
        }
        check(rc, k);
        const std::vector<void *> owned = blocks_of(list);
        for (void *block : alloc_fault::outstanding())
            EXPECT_NE(std::find(owned.begin(), owned.end(), block), owned.end())
                << "leaked at call " << k;
    }
}

TEST(ConfList, ShortageOfMemoryLeavesTheListAsItWas)
{
    auto none = [](ConfNode *got, int k) { EXPECT_EQ(got, nullptr) << k; };
    conf_list_free(each_shortage(nullptr, conf_list_new, none));
    conf_node_free(each_shortage(
        nullptr, [] { return conf_node_new("k", "v"); }, none));

    List list;
    conf_list_set(list.head, "old", "value");
    for (const char *key : {"new", "old", ""}) {
        const Entries before = entries(list.head);
        int rc = each_shortage(
            list.head, [&] { return conf_list_set(list.head, key, "other"); },
            [&](int got, int k) {
                EXPECT_EQ(got, -1) << key << " " << k;
                EXPECT_EQ(entries(list.head), before) << key << " " << k;
            });
        EXPECT_EQ(rc, 0);
        EXPECT_STREQ(conf_list_get(list.head, key), "other");
    }
    EXPECT_EQ(entries(list.head), listing({{"old", "other"}, {"new", "other"}, {"", "other"}}));
}

// Many lines at once give the list as if each line had been parsed on its
// own, also over keys already in the list (the first node of a key wins, as
// conf_list_find finds it).
TEST(ConfList, ParseOfManyLinesAgreesWithOneLineAtATime)
{
    std::mt19937 rng(11);
    const char *const keys[] = {"", "a", "b", "ab", "ba", "a b", "k1", "k2", "k10", "\xe9"};
    for (int round = 0; round < 200; ++round) {
        std::string text;
        for (size_t n = 32 + rng() % 64; n > 0; --n) {
            text += rng() % 8 == 0 ? " " : "";
            text += keys[rng() % std::size(keys)];
            text += rng() % 10 == 0 ? "\n" : "=" + std::to_string(rng() % 100) + "\n";
        }
        List whole;
        List single;
        for (List *list : {&whole, &single}) {
            conf_list_set(list->head, "k2", "before");
            ConfNode *twice = conf_node_new("k2", "second node");
            twice->index = conf_list_last(list->head)->index + 1;
            conf_list_last(list->head)->next = twice;
        }
        conf_list_parse(whole.head, text.c_str());
        for (size_t at = 0; at < text.size();) {
            size_t nl = text.find('\n', at);
            conf_list_parse(single.head, text.substr(at, nl - at).c_str());
            at = nl + 1;
        }
        ASSERT_EQ(entries(whole.head), entries(single.head)) << text;
    }
}

TEST(ConfList, ParseOfManyLinesShortOfMemory)
{
    std::string text;
    for (int i = 0; i < 40; ++i)
        text += "key" + std::to_string(i % 30) + "=" + std::to_string(i) + "\n";
    List full;
    conf_list_parse(full.head, text.c_str());
    const Entries want = entries(full.head);
    // Short for a setting, the parse stops there: the keys are a prefix of all.
    List list;
    each_shortage(
        list.head, [&] { return conf_list_parse(list.head, text.c_str()); },
        [&](int got, int k) {
            EXPECT_EQ(got, 0) << k;
            const Entries now = entries(list.head);
            ASSERT_LE(now.size(), want.size()) << k;
            for (size_t i = 0; i < now.size(); ++i)
                EXPECT_EQ(std::get<1>(now[i]), std::get<1>(want[i])) << k;
        });
    EXPECT_EQ(entries(list.head), want);
}

// The record left by a call; the next report starts the logs afresh.
std::string record_of(int rc, int want)
{
    EXPECT_EQ(rc, want);
    std::string got = logs::record();
    errlog_close();
    ::unlink(logs::kRecord.c_str());
    return got;
}

TEST(ConfList, LoadFiles)
{
    sandbox::run([] {
        logs::fresh(false);
        const std::string dir = sandbox::scratch("conf");
        ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
        const struct {
            const char *name;
            const char *content;
            Entries want;
        } cases[] = {
            {"empty", "", listing({})},
            {"comments", "#a=1\n\\b=2\n;c=3\n  #d=4\n\t;e=5\nf=6\n#g=7",
             listing({{"#d", "4"}, {";e", "5"}, {"f", "6"}})},
            {"crlf", "x=1\r\ny = 2\r\n\r\n", listing({{"x", "1\r"}, {"y ", " 2\r"}})},
            {"repeats", "k=1\nj=2\nk=3", listing({{"k", "3"}, {"j", "2"}})},
        };
        for (const auto &c : cases) {
            const std::string path = dir + "/" + c.name;
            sandbox::write_file(path, c.content);
            List list;
            EXPECT_EQ(record_of(conf_list_load(list.head, path.c_str()), 0), "") << c.name;
            EXPECT_EQ(entries(list.head), c.want) << c.name;
        }

        // A second file overrides the keys of the first and appends its own.
        List list;
        EXPECT_EQ(conf_list_load(list.head, (dir + "/repeats").c_str()), 0);
        sandbox::write_file(dir + "/more", "j=two\nm=new\n");
        EXPECT_EQ(conf_list_load(list.head, (dir + "/more").c_str()), 0);
        EXPECT_EQ(entries(list.head), listing({{"k", "3"}, {"j", "two"}, {"m", "new"}}));

        // Failures leave the list alone; the file helpers record their codes.
        const Entries before = entries(list.head);
        EXPECT_EQ(record_of(conf_list_load(list.head, (dir + "/missing").c_str()), -1), "002005");
        EXPECT_EQ(record_of(conf_list_load(list.head, dir.c_str()), -1), "002004");
        EXPECT_EQ(entries(list.head), before);
        EXPECT_EQ(record_of(conf_list_load(nullptr, (dir + "/more").c_str()), 0), "");
    });
}

TEST(ConfList, LoadTenThousandKeys)
{
    sandbox::run([] {
        logs::fresh(false);
        std::string text;
        std::vector<std::pair<std::string, std::string>> want;
        for (int i = 0; i < 10000; ++i) {
            std::string key = "setting_" + std::to_string(i);
            text += key + "=" + std::to_string(i * 7) + "\n";
            want.emplace_back(key, std::to_string(i * 7));
        }
        text += "# the end\nsetting_5000=again\n";
        want[5000].second = "again";
        const std::string path = sandbox::scratch("big.conf");
        sandbox::write_file(path, text);
        List list;
        EXPECT_EQ(conf_list_load(list.head, path.c_str()), 0);
        EXPECT_EQ(entries(list.head), listing(want));
        EXPECT_EQ(conf_list_last(list.head)->index, 10000u);
    });
}

TEST(ConfList, LoadShortOfMemory)
{
    sandbox::run([] {
        logs::fresh(false);
        const std::string path = sandbox::scratch("two.conf");
        sandbox::write_file(path, "a=1\nb=2\n");
        List list;
        conf_list_set(list.head, "a", "old");
        int rc = each_shortage(
            list.head, [&] { return conf_list_load(list.head, path.c_str()); },
            [&](int got, int k) {
                EXPECT_EQ(got, -1) << k;
                const Entries now = entries(list.head);
                EXPECT_TRUE(now == listing({{"a", "old"}}) || now == listing({{"a", "1"}})) << k;
            });
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(entries(list.head), listing({{"a", "1"}, {"b", "2"}}));
    });
}

} // namespace
