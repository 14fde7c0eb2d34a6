// Heap blocks for the list code when it runs natively: BlockAlloc and
// BlockFree over malloc/free, with a way to make a chosen allocation fail and
// a record of which blocks are still live, so tests can see leaks and frees.
#ifndef HARBINEL_TEST_ALLOC_H
#define HARBINEL_TEST_ALLOC_H

#include <stddef.h>

#include <vector>

struct AllocRecord {
    size_t bytes;
    bool zeroFill;
    void* block; // null for an allocation that was made to fail
};

// Forgets the failure plan and both logs. Blocks still live stay live.
void TestAllocReset();
// The nth allocation from now (1 = the next one) returns null; 0 = none.
void TestAllocFailNth(int n);
size_t TestAllocLiveBlocks();
bool TestAllocIsLive(const void* block);
// Allocations and frees since the last reset, in order.
const std::vector<AllocRecord>& TestAllocLog();
const std::vector<const void*>& TestFreeLog();

#endif
