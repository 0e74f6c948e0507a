// What a block given back to the C allocator still holds, so that a test can tell whether a secret
// was wiped before its memory was released.
#pragma once

#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

// The C library hands the block released last back to the next request of its size; its first two
// pointers are the allocator's own links. Returns the bytes after them in the next block of `size`,
// or nothing when another block came back than `released` (when given): a sanitizer's allocator
// keeps released blocks aside.
inline std::optional<std::vector<unsigned char>> leftInNextBlock(size_t size,
                                                                 const void* released = nullptr) {
    constexpr size_t kLinks = 2 * sizeof(void*);
    auto* block = static_cast<unsigned char*>(malloc(size));
    std::optional<std::vector<unsigned char>> left;
    if (block != nullptr && size > kLinks && (released == nullptr || block == released)) {
        left.emplace(size - kLinks);
        memcpy(left->data(), block + kLinks, size - kLinks);
    }
    free(block);
    return left;
}
