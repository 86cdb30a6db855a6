// conf_list_parse over the input as a settings text: parsing it a second
// time adds no node, and every node's value is what conf_list_get gives.
#include "conflist.h"
#include "support.h"

namespace {

size_t nodes(const ConfNode *list)
{
    size_t n = 0;
    for (; list != nullptr; list = list->next)
        ++n;
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<char> text = fuzz::text_of({reinterpret_cast<const char *>(data), size});
    ConfNode *list = conf_list_new();
    fuzz::check(list != nullptr && conf_list_parse(list, text.data()) == 0, "parsed");
    size_t once = nodes(list);
    fuzz::check(conf_list_parse(list, text.data()) == 0 && nodes(list) == once,
                "keys set again keep their nodes");
    uint32_t index = 0;
    for (ConfNode *node = list; node != nullptr; node = node->next, ++index)
        fuzz::check(node->index == index && conf_list_get(list, node->key) == node->value,
                    "indices count up and each key finds its own node");
    conf_list_free(list);
    return 0;
}
