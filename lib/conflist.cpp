#include "conflist.h"

#include <cstdlib>
#include <cstring>
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
    ConfNode *added = node_of(key, value);
    if (added == nullptr)
        return -1;
    added->index = node->index + 1;
    node->next = added;
    return 0;
}

// Sets every key=value line; false, at the first line that memory runs short
// for, with the lines before it set.
bool parse_text(ConfNode *list, const char *text)
{
    if (list == nullptr)
        return true;
    const char *line = text;
    while (*line != '\0') {
        const char *end = strchrnul(line, '\n');
        const char *start = text_span::skip_blanks_to(line, end);
        const auto *eq = static_cast<const char *>(std::memchr(start, '=', end - start));
        if (eq != nullptr) {
            std::string_view key(start, static_cast<size_t>(eq - start));
            std::string_view value(eq + 1, static_cast<size_t>(end - eq - 1));
            if (set_entry(list, key, value) != 0)
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
