// First-fit placement in a dynamic string buffer in logarithmic time, for owners that add many
// thousands of texts to one buffer (an Interfile header's values).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "velmar/support.h"

namespace velmar::support {

// Stores texts exactly where AddToDStringBuffer would (the lowest-numbered block with room),
// without scanning every block: a tree over the blocks keeps the largest room of each range.
// The room it knows for a block is an upper bound: texts added to the buffer by others only
// lower it, so a block it skips never had room, and a block it picks is checked before use.
class DStringIndex {
public:
    // As AddToDStringBuffer(buffer, text), same result, same placement.
    char *add(DStringBuffer *buffer, const char *text);

private:
    void follow(const DStringBuffer *buffer);  // takes in blocks the buffer gained since
    void setRoom(size_t block, uint32_t room);
    // Lowest block whose known room is at least `need`, or SIZE_MAX.
    size_t firstWithRoom(uint32_t need) const;

    std::vector<uint32_t> tree_;  // tree_[leaves_ + b] is block b's room; inner nodes the larger child
    size_t leaves_ = 0;
    size_t known_ = 0;  // blocks taken in
};

}  // namespace velmar::support
