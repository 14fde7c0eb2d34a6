// BlockAlloc and BlockFree for the native tests. Blocks that are not asked to
// be zero-filled come back filled with 0xCD, so code that relies on zeros it
// never asked for shows up.
#include "test_alloc.h"

#include <stdlib.h>
#include <string.h>

#include <set>

#include <gtest/gtest.h>

#include "pure/socketlist.h"

namespace {

int gFailAt = 0; // countdown to the allocation that fails; 0 = none
std::set<const void*> gLive;
std::vector<AllocRecord> gAllocLog;
std::vector<const void*> gFreeLog;

} // namespace

void TestAllocReset()
{
    gFailAt = 0;
    gAllocLog.clear();
    gFreeLog.clear();
}

void TestAllocFailNth(int n)
{
    gFailAt = n;
}

size_t TestAllocLiveBlocks()
{
    return gLive.size();
}

bool TestAllocIsLive(const void* block)
{
    return gLive.count(block) != 0;
}

const std::vector<AllocRecord>& TestAllocLog()
{
    return gAllocLog;
}

const std::vector<const void*>& TestFreeLog()
{
    return gFreeLog;
}

void* BlockAlloc(size_t bytes, bool zeroFill)
{
    if (gFailAt > 0 && --gFailAt == 0) {
        gAllocLog.push_back({bytes, zeroFill, NULL});
        return NULL;
    }
    // At least one byte, so that every block is a distinct live pointer.
    void* block = malloc(bytes != 0 ? bytes : 1);
    if (block == NULL)
        return NULL;
    memset(block, zeroFill ? 0x00 : 0xCD, bytes);
    gLive.insert(block);
    gAllocLog.push_back({bytes, zeroFill, block});
    return block;
}

void BlockFree(void* block)
{
    gFreeLog.push_back(block);
    if (block == NULL)
        return;
    if (gLive.erase(block) == 0) {
        ADD_FAILURE() << "BlockFree of a block that is not live: " << block;
        return; // leave it alone rather than corrupt the heap
    }
    free(block);
}
