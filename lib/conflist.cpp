#include "conflist.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string_view>

#include "fileutil.h"
#include "owned.h"
#include "text.h"
#include "text_span.h"

namespace {

constexpr char kCommentChars[] = "#\\;";
// Room the file buffers keep beyond the file's size.
constexpr size_t kLoadSlack = 10;

// What conf_list_get gives for an absent key; never released.
const char kNoValue[] = "";

char *copy_of(std::string_view s)
{
    auto *copy = static_cast<char *>(std::malloc(s.size() + 1));
    if (copy == nullptr)
        return nullptr;
    std::memcpy(copy, s.data(), s.size());
    copy[s.size()] = '\0';
    return copy;
}

ConfNode *node_of(std::string_view key, std::string_view value)
{
    owned::unique_block<ConfNode> node(static_cast<ConfNode *>(std::malloc(sizeof(ConfNode))));
    owned::unique_block<char> k(copy_of(key));
    owned::unique_block<char> v(copy_of(value));
    if (!node || !k || !v)
        return nullptr;
    node->index = 0;
    node->key = k.release();
    node->value = v.release();
    node->next = nullptr;
    return node.release();
}

bool key_is(const ConfNode *node, std::string_view key)
{
    return std::strncmp(node->key, key.data(), key.size()) == 0 && node->key[key.size()] == '\0';
}

// A new value replaces the old one only once it has been copied.
int replace_value(ConfNode *node, std::string_view value)
{
    char *copy = copy_of(value);
    if (copy == nullptr)
        return -1;
    std::free(node->value);
    node->value = copy;
    return 0;
}

// The new node behind last, or null when memory is short.
ConfNode *append_node(ConfNode *last, std::string_view key, std::string_view value)
{
    ConfNode *added = node_of(key, value);
    if (added == nullptr)
        return nullptr;
    added->index = last->index + 1;
    last->next = added;
    return added;
}

// One walk finds the key or, failing that, the node to append behind. A
// shortage of memory gives -1 and leaves the list as it was.
int set_entry(ConfNode *list, std::string_view key, std::string_view value)
{
    if (list == nullptr)
        return -1;
    ConfNode *node = list;
    for (;; node = node->next) {
        if (key_is(node, key))
            return replace_value(node, value);
        if (node->next == nullptr)
            break;
    }
    return append_node(node, key, value) != nullptr ? 0 : -1;
}

// From this many lines on, a parse looks keys up in a key_index.
constexpr size_t kIndexFrom = 32;

// The first node of every key of a list, by hash, and the list's last node,
// for the length of one parse: n settings then cost n look-ups, not n walks
// of a growing list. Never more than half full.
class key_index {
public:
    // For the nodes of list and up to more keys to come. Not ready for a
    // null list, nor when memory is short: the parse then walks the list.
    key_index(ConfNode *list, size_t more)
    {
        if (list == nullptr)
            return;
        size_t nodes = 0;
        for (ConfNode *node = list; node != nullptr; node = node->next, ++nodes)
            last_ = node;
        size_t size = 16;
        while (size < 2 * (nodes + more))
            size *= 2;
        slots_.reset(static_cast<ConfNode **>(std::calloc(size, sizeof(ConfNode *))));
        mask_ = size - 1;
        for (ConfNode *node = list; ready() && node != nullptr; node = node->next) {
            size_t slot = 0;
            if (find(node->key, slot) == nullptr)
                slots_.get()[slot] = node;
        }
    }

    [[nodiscard]] bool ready() const { return slots_ != nullptr; }

    // As set_entry.
    int set(std::string_view key, std::string_view value)
    {
        size_t slot = 0;
        if (ConfNode *node = find(key, slot))
            return replace_value(node, value);
        ConfNode *added = append_node(last_, key, value);
        if (added == nullptr)
            return -1;
        last_ = added;
        slots_.get()[slot] = added;
        return 0;
    }

private:
    // The node of key, or null; slot is where the search ended.
    ConfNode *find(std::string_view key, size_t &slot) const
    {
        // FNV-1a, in size_t (its 64-bit constants cut to 32 bits where
        // size_t is that narrow).
        constexpr auto kOffset = static_cast<size_t>(14695981039346656037ull);
        constexpr auto kPrime = static_cast<size_t>(1099511628211ull);
        size_t hash = std::accumulate(key.begin(), key.end(), kOffset, [](size_t h, char c) {
            return (h ^ static_cast<unsigned char>(c)) * kPrime;
        });
        for (slot = hash & mask_; slots_.get()[slot] != nullptr; slot = (slot + 1) & mask_)
            if (key_is(slots_.get()[slot], key))
                return slots_.get()[slot];
        return nullptr;
    }

    owned::unique_block<ConfNode *> slots_;
    size_t mask_ = 0;
    ConfNode *last_ = nullptr;
};

// Sets every key=value line; false, at the first line that memory runs short
// for, with the lines before it set.
bool parse_text(ConfNode *list, const char *text)
{
    if (list == nullptr)
        return true;
    const char *text_end = text + std::strlen(text);
    const auto lines = static_cast<size_t>(std::count(text, text_end, '\n')) + 1;
    key_index index(lines >= kIndexFrom ? list : nullptr, lines);
    const char *line = text;
    while (*line != '\0') {
        const char *end = strchrnul(line, '\n');
        const char *start = text_span::skip_blanks_to(line, end);
        const auto *eq = static_cast<const char *>(std::memchr(start, '=', end - start));
        if (eq != nullptr) {
            std::string_view key(start, static_cast<size_t>(eq - start));
            std::string_view value(eq + 1, static_cast<size_t>(end - eq - 1));
            int rc = index.ready() ? index.set(key, value) : set_entry(list, key, value);
            if (rc != 0)
                return false;
        }
        if (*end == '\0')
            break;
        line = end + 1;
    }
    return true;
}

} // namespace

extern "C" ConfNode *conf_list_new(void)
{
    return node_of("", "");
}

extern "C" ConfNode *conf_node_new(const char *key, const char *value)
{
    return node_of(key, value);
}

extern "C" ConfNode *conf_list_last(ConfNode *node)
{
    if (node == nullptr)
        return nullptr;
    while (node->next != nullptr)
        node = node->next;
    return node;
}

extern "C" ConfNode *conf_list_find(ConfNode *list, const char *key)
{
    for (ConfNode *node = list; node != nullptr; node = node->next)
        if (std::strcmp(node->key, key) == 0)
            return node;
    return nullptr;
}

extern "C" const char *conf_list_get(ConfNode *list, const char *key)
{
    const ConfNode *node = conf_list_find(list, key);
    return node != nullptr ? node->value : kNoValue;
}

extern "C" int conf_list_set(ConfNode *list, const char *key, const char *value)
{
    return set_entry(list, key, value);
}

extern "C" void conf_node_free(ConfNode *node)
{
    if (node == nullptr)
        return;
    std::free(node->key);
    std::free(node->value);
    std::free(node);
}

// Every node from the one given to the end, each next read before its node
// goes; given the head, that is the whole list.
extern "C" void conf_list_free(ConfNode *list)
{
    while (list != nullptr) {
        ConfNode *next = list->next;
        conf_node_free(list);
        list = next;
    }
}

extern "C" int conf_list_parse(ConfNode *list, const char *text)
{
    if (text != nullptr)
        parse_text(list, text);
    return 0;
}

// -1 also when memory runs short for the buffers or for a setting; the lines
// before that setting stay set.
extern "C" int conf_list_load(ConfNode *list, const char *path)
{
    int size = file_size(path);
    if (size < 0)
        return -1;
    size_t room = static_cast<size_t>(size) + kLoadSlack;
    owned::unique_block<char> raw(static_cast<char *>(std::malloc(room)));
    owned::unique_block<char> filtered(static_cast<char *>(std::malloc(room)));
    if (!raw || !filtered)
        return -1;
    if (file_read(raw.get(), path, size) != 0)
        return -1;
    filter_lines(filtered.get(), raw.get(), kCommentChars);
    return parse_text(list, filtered.get()) ? 0 : -1;
}
