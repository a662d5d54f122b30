// First-fit placement in a dynamic string buffer through a max-tree of the blocks' room.
#include "support/dstrindex.h"

#include <cstring>

namespace velmar::support {

void DStringIndex::setRoom(size_t block, uint32_t room) {
    size_t node = leaves_ + block;
    tree_[node] = room;
    for (node /= 2; node >= 1; node /= 2) {
        uint32_t larger = tree_[2 * node] > tree_[2 * node + 1] ? tree_[2 * node] : tree_[2 * node + 1];
        if (tree_[node] == larger) break;  // the ranges above already hold the right figure
        tree_[node] = larger;
    }
}

void DStringIndex::follow(const DStringBuffer *buffer) {
    auto count = static_cast<size_t>(buffer->blockCount);
    if (count <= known_) return;
    if (count > leaves_) {
        size_t leaves = leaves_ == 0 ? 64 : leaves_;
        while (leaves < count) leaves *= 2;
        std::vector<uint32_t> tree(2 * leaves, 0);
        for (size_t b = 0; b < known_; ++b) tree[leaves + b] = tree_[leaves_ + b];
        for (size_t node = leaves - 1; node >= 1; --node)
            tree[node] = tree[2 * node] > tree[2 * node + 1] ? tree[2 * node] : tree[2 * node + 1];
        tree_.swap(tree);
        leaves_ = leaves;
    }
    auto size = static_cast<uint32_t>(buffer->blockSize);
    for (; known_ < count; ++known_) setRoom(known_, buffer->used[known_] < size ? size - buffer->used[known_] : 0);
}

size_t DStringIndex::firstWithRoom(uint32_t need) const {
    if (leaves_ == 0 || tree_[1] < need) return SIZE_MAX;
    size_t node = 1;
    while (node < leaves_) node = tree_[2 * node] >= need ? 2 * node : 2 * node + 1;
    return node - leaves_ < known_ ? node - leaves_ : SIZE_MAX;
}

char *DStringIndex::add(DStringBuffer *buffer, const char *text) {
    if (buffer == nullptr || text == nullptr || text[0] == '\0') return AddToDStringBuffer(buffer, text);
    size_t length = std::strlen(text) + 1;
    if (length > static_cast<size_t>(buffer->blockSize)) return nullptr;
    auto need = static_cast<uint32_t>(length);
    auto size = static_cast<uint32_t>(buffer->blockSize);
    follow(buffer);
    // Each pass that finds too little room lowers that block's figure below `need`, so the
    // search ends within one pass per block.
    size_t passes = known_;
    for (size_t block = firstWithRoom(need); block != SIZE_MAX && passes-- > 0; block = firstWithRoom(need)) {
        uint32_t room = buffer->used[block] < size ? size - buffer->used[block] : 0;
        if (room >= need) {
            char *copy = buffer->blocks[block] + buffer->used[block];
            std::memcpy(copy, text, length);
            buffer->used[block] += need;
            setRoom(block, room - need);
            return copy;
        }
        setRoom(block, room);  // others filled it since: learn its true room and look again
    }
    // No block has room: the buffer opens one (its own search finds none either).
    char *copy = AddToDStringBuffer(buffer, text);
    follow(buffer);
    return copy;
}

}  // namespace velmar::support
