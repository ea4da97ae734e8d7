#include "cabforge/ui/shell_tree_rules.h"

#include <cstring>

namespace shell_tree_rules {

namespace {

std::size_t countAt(const unsigned char *at) {
    return static_cast<std::size_t>(at[0]) | static_cast<std::size_t>(at[1]) << 8;
}

} // namespace

std::size_t idListSize(const void *list) {
    const unsigned char *at = static_cast<const unsigned char *>(list);
    std::size_t size = 0;
    for (std::size_t count = countAt(at); count != 0; count = countAt(at + size))
        size += count;
    return size + 2;
}

std::size_t joinedSize(const void *first, const void *second) {
    return idListSize(first) - 2 + idListSize(second);
}

void joinIdLists(const void *first, const void *second, void *out) {
    const std::size_t head = idListSize(first) - 2;
    unsigned char *to = static_cast<unsigned char *>(out);
    std::memcpy(to, first, head);
    std::memcpy(to + head, second, idListSize(second));
}

} // namespace shell_tree_rules
