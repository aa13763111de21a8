// Global memory: every block is fixed; the handle is its address. A table of live blocks
// lets the calls refuse handles that were never allocated or were freed already.
#include "win32_posix.h"

#include <cstdlib>
#include <mutex>
#include <unordered_map>

namespace {

// Larger requests (a size computed from bad values) fail cleanly instead of reaching an
// allocator that may abort on them; no block of this product comes near 4 GiB.
constexpr SIZE_T kLargestBlock = SIZE_T(0xFFFFFFFFu);

struct Block {
    SIZE_T size;
    DWORD locks;
};

struct Blocks {
    std::mutex lock;
    std::unordered_map<void*, Block> live;  // guarded by lock
};

Blocks& TheBlocks()
{
    static Blocks* blocks = new Blocks;  // never destroyed: frees may come during exit
    return *blocks;
}

}  // namespace

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes)
{
    if (bytes > kLargestBlock) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const SIZE_T allocated = bytes == 0 ? 1 : bytes;
    void* memory = (flags & GMEM_ZEROINIT) ? std::calloc(1, allocated) : std::malloc(allocated);
    if (memory == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    Blocks& blocks = TheBlocks();
    std::lock_guard<std::mutex> hold(blocks.lock);  // guards the live block table
    blocks.live[memory] = Block{bytes, 0};
    return memory;
}

LPVOID WINAPI GlobalLock(HGLOBAL memory)
{
    Blocks& blocks = TheBlocks();
    std::lock_guard<std::mutex> hold(blocks.lock);  // guards the live block table
    auto found = blocks.live.find(memory);
    if (found == blocks.live.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    ++found->second.locks;
    return memory;
}

BOOL WINAPI GlobalUnlock(HGLOBAL memory)
{
    Blocks& blocks = TheBlocks();
    std::lock_guard<std::mutex> hold(blocks.lock);  // guards the live block table
    auto found = blocks.live.find(memory);
    if (found == blocks.live.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (found->second.locks > 0 && --found->second.locks > 0)
        return TRUE;  // still locked
    SetLastError(NO_ERROR);
    return FALSE;
}

HGLOBAL WINAPI GlobalFree(HGLOBAL memory)
{
    if (memory == nullptr)
        return nullptr;
    Blocks& blocks = TheBlocks();
    {
        std::lock_guard<std::mutex> hold(blocks.lock);  // guards the live block table
        if (blocks.live.erase(memory) == 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return memory;
        }
    }
    std::free(memory);
    return nullptr;
}

SIZE_T WINAPI GlobalSize(HGLOBAL memory)
{
    Blocks& blocks = TheBlocks();
    std::lock_guard<std::mutex> hold(blocks.lock);  // guards the live block table
    auto found = blocks.live.find(memory);
    if (found == blocks.live.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return found->second.size;
}
