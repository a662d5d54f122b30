// Dynamic string buffer: texts stored in fixed-size blocks, first fit, freed all at once.
#include <cstdlib>
#include <cstring>

#include "velmar/support.h"

extern "C" {

VELMAR_API DStringBuffer *InitDStringBuffer(int32_t blockSize) {
    if (blockSize < 1) return nullptr;
    auto *buffer = static_cast<DStringBuffer *>(std::calloc(1, sizeof(DStringBuffer)));
    if (buffer == nullptr) return nullptr;
    buffer->used = static_cast<uint32_t *>(std::calloc(1, sizeof(uint32_t)));
    buffer->blocks = static_cast<char **>(std::calloc(1, sizeof(char *)));
    char *block = static_cast<char *>(std::malloc(static_cast<size_t>(blockSize)));
    if (buffer->used == nullptr || buffer->blocks == nullptr || block == nullptr) {
        std::free(block);
        std::free(buffer->blocks);
        std::free(buffer->used);
        std::free(buffer);
        return nullptr;
    }
    buffer->blockSize = blockSize;
    buffer->blockCount = 1;
    buffer->blocks[0] = block;
    block[0] = '\0';  // the shared empty text
    buffer->used[0] = 1;
    return buffer;
}

VELMAR_API char *AddToDStringBuffer(DStringBuffer *buffer, const char *text) {
    if (buffer == nullptr || text == nullptr) return nullptr;
    if (text[0] == '\0') return buffer->blocks[0];
    size_t n = std::strlen(text) + 1;
    auto blockSize = static_cast<size_t>(buffer->blockSize);
    if (n > blockSize) return nullptr;
    int index = -1;
    for (int i = 0; i < buffer->blockCount; ++i) {
        if (buffer->used[i] + n <= blockSize) {
            index = i;
            break;
        }
    }
    if (index < 0) {
        if (buffer->blockCount == INT16_MAX) return nullptr;
        int count = buffer->blockCount + 1;
        auto *used = static_cast<uint32_t *>(std::calloc(static_cast<size_t>(count), sizeof(uint32_t)));
        auto *blocks = static_cast<char **>(std::calloc(static_cast<size_t>(count), sizeof(char *)));
        char *block = static_cast<char *>(std::malloc(blockSize));
        if (used == nullptr || blocks == nullptr || block == nullptr) {
            std::free(used);
            std::free(blocks);
            std::free(block);
            return nullptr;
        }
        std::memcpy(used, buffer->used, sizeof(uint32_t) * static_cast<size_t>(buffer->blockCount));
        std::memcpy(blocks, buffer->blocks, sizeof(char *) * static_cast<size_t>(buffer->blockCount));
        used[count - 1] = 0;
        blocks[count - 1] = block;
        std::free(buffer->used);
        std::free(buffer->blocks);
        buffer->used = used;
        buffer->blocks = blocks;
        buffer->blockCount = static_cast<int16_t>(count);
        index = count - 1;
    }
    char *copy = buffer->blocks[index] + buffer->used[index];
    std::memcpy(copy, text, n);
    buffer->used[index] += static_cast<uint32_t>(n);
    return copy;
}

VELMAR_API void DoneDStringBuffer(DStringBuffer **buffer) {
    if (buffer == nullptr || *buffer == nullptr) return;
    DStringBuffer *b = *buffer;
    for (int i = 0; i < b->blockCount; ++i) std::free(b->blocks[i]);
    std::free(b->blocks);
    std::free(b->used);
    std::free(b);
    *buffer = nullptr;
}

}  // extern "C"
