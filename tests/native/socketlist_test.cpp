// The port and connection lists and the two memory routines of the port
// monitor. The heap is the tests' own (test_alloc.cpp), so every test can
// check that no block leaks and that a failed allocation changes nothing.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pure/socketlist.h"
#include "test_alloc.h"

namespace {

const size_t kAddressBytes = 16;

// An IPv4 socket address as the program stores it: family, port in network
// byte order, address, eight bytes of padding.
struct Address {
    unsigned char bytes[kAddressBytes];
};

Address MakeAddress(unsigned char last, uint16_t port)
{
    Address a = {{2, 0, (unsigned char)(port >> 8), (unsigned char)port, 192, 0, 2, last, 0, 0, 0,
                  0, 0, 0, 0, 0}};
    return a;
}

std::vector<int32_t> PortsOf(const SocketNode* head)
{
    std::vector<int32_t> ports;
    for (const SocketNode* n = head; n != nullptr; n = n->next)
        ports.push_back(n->port);
    return ports;
}

std::vector<SocketHandle> SocketsOf(const SocketNode* head)
{
    std::vector<SocketHandle> sockets;
    for (const SocketNode* n = head; n != nullptr; n = n->next)
        sockets.push_back(n->socket);
    return sockets;
}

std::vector<const SocketNode*> NodesOf(const SocketNode* head)
{
    std::vector<const SocketNode*> nodes;
    for (const SocketNode* n = head; n != nullptr; n = n->next)
        nodes.push_back(n);
    return nodes;
}

class SocketListTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        TestAllocReset();
        liveAtStart_ = TestAllocLiveBlocks();
    }

    void TearDown() override
    {
        ListFreeAll(head_);
        TestAllocReset();
        EXPECT_EQ(TestAllocLiveBlocks(), liveAtStart_) << "blocks leaked";
    }

    // Appends (socket, port) with an address of its own; the node must come back.
    SocketNode* Append(SocketHandle socket, int32_t port)
    {
        Address a = MakeAddress((unsigned char)socket, (uint16_t)port);
        SocketNode* node = ListAppend(head_, socket, port, a.bytes, kAddressBytes);
        EXPECT_NE(node, nullptr);
        return node;
    }

    size_t LiveSinceStart() const
    {
        return TestAllocLiveBlocks() - liveAtStart_;
    }

    SocketNode* head_ = nullptr;
    size_t liveAtStart_ = 0;
};

// ---- ListAppend ---------------------------------------------------------------

TEST_F(SocketListTest, AppendToEmptyListMakesTheNodeTheHead)
{
    Address a = MakeAddress(7, 1033);
    SocketNode* node = ListAppend(head_, 100, 31337, a.bytes, kAddressBytes);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(head_, node);
    EXPECT_EQ(node->next, nullptr);
    EXPECT_EQ(node->socket, 100u);
    EXPECT_EQ(node->port, 31337);
    EXPECT_EQ(node->warned, 0u);
    ASSERT_NE(node->address, nullptr);
    EXPECT_EQ(memcmp(node->address, a.bytes, kAddressBytes), 0);
    EXPECT_EQ(LiveSinceStart(), 2u);
}

TEST_F(SocketListTest, AppendToNonEmptyListReturnsTheNewLastNode)
{
    SocketNode* first = Append(1, 80);
    SocketNode* second = Append(2, 81);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(head_, first);
    EXPECT_EQ(first->next, second);
    EXPECT_EQ(second->next, nullptr);
    EXPECT_EQ(second->port, 81);
}

TEST_F(SocketListTest, AppendKeepsTheOrderOfAppending)
{
    Append(1, 80);
    Append(2, 81);
    Append(3, 82);
    EXPECT_EQ(PortsOf(head_), (std::vector<int32_t>{80, 81, 82}));
    EXPECT_EQ(SocketsOf(head_), (std::vector<SocketHandle>{1, 2, 3}));
}

TEST_F(SocketListTest, AppendKeepsDuplicates)
{
    Append(1, 31337);
    Append(1, 31337);
    EXPECT_EQ(PortsOf(head_), (std::vector<int32_t>{31337, 31337}));
}

TEST_F(SocketListTest, NodeOwnsACopyOfTheAddress)
{
    Address a = MakeAddress(7, 1033);
    const Address original = a;
    SocketNode* node = ListAppend(head_, 5, 12345, a.bytes, kAddressBytes);
    ASSERT_NE(node, nullptr);
    EXPECT_NE(node->address, (void*)a.bytes);
    EXPECT_TRUE(TestAllocIsLive(node->address));
    memset(a.bytes, 0xEE, sizeof a.bytes); // the caller reuses its buffer
    EXPECT_EQ(memcmp(node->address, original.bytes, kAddressBytes), 0);
}

TEST_F(SocketListTest, AddressBlockIsExactlyTheByteCountAndNotZeroFilled)
{
    Address a = MakeAddress(7, 1033);
    SocketNode* node = ListAppend(head_, 5, 80, a.bytes, kAddressBytes);
    ASSERT_NE(node, nullptr);
    const std::vector<AllocRecord>& log = TestAllocLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].block, node->address);
    EXPECT_EQ(log[0].bytes, kAddressBytes);
    EXPECT_FALSE(log[0].zeroFill);
    EXPECT_EQ(log[1].block, (void*)node);
    EXPECT_TRUE(log[1].zeroFill);
}

struct FailCase {
    const char* name;
    int failingAllocation; // 1 = the address block, 2 = the node
    int nodesBefore;
};

TEST_F(SocketListTest, FailedAllocationLeavesTheListAsItWas)
{
    const FailCase cases[] = {
        {"address block, empty list", 1, 0},
        {"node, empty list", 2, 0},
        {"address block, three nodes", 1, 3},
        {"node, three nodes", 2, 3},
    };
    for (const FailCase& c : cases) {
        SCOPED_TRACE(c.name);
        ListFreeAll(head_);
        for (int i = 0; i < c.nodesBefore; ++i)
            Append(10 + i, 80 + i);
        const std::vector<const SocketNode*> nodesBefore = NodesOf(head_);
        const std::vector<int32_t> portsBefore = PortsOf(head_);
        const SocketNode* headBefore = head_;
        const size_t liveBefore = TestAllocLiveBlocks();

        TestAllocFailNth(c.failingAllocation);
        Address a = MakeAddress(9, 9999);
        EXPECT_EQ(ListAppend(head_, 99, 9999, a.bytes, kAddressBytes), nullptr);
        TestAllocFailNth(0);

        EXPECT_EQ(head_, headBefore);
        EXPECT_EQ(NodesOf(head_), nodesBefore);
        EXPECT_EQ(PortsOf(head_), portsBefore);
        EXPECT_EQ(TestAllocLiveBlocks(), liveBefore) << "a block leaked";
        if (!nodesBefore.empty()) {
            EXPECT_EQ(nodesBefore.back()->next, nullptr);
        }
    }
}

TEST_F(SocketListTest, ListWorksAgainAfterAFailedAllocation)
{
    Append(1, 80);
    TestAllocFailNth(2);
    Address a = MakeAddress(2, 81);
    EXPECT_EQ(ListAppend(head_, 2, 81, a.bytes, kAddressBytes), nullptr);
    Append(3, 82);
    EXPECT_EQ(PortsOf(head_), (std::vector<int32_t>{80, 82}));
}

// ---- ListRemoveByPort and ListRemoveBySocket -----------------------------------

TEST_F(SocketListTest, RemoveByPortTakesOnlyTheDuplicateNearestTheHead)
{
    Append(1, 31337);
    Append(2, 80);
    Append(3, 31337);

    ListRemoveByPort(head_, 31337);
    EXPECT_EQ(PortsOf(head_), (std::vector<int32_t>{80, 31337}));
    EXPECT_EQ(SocketsOf(head_), (std::vector<SocketHandle>{2, 3}));
    EXPECT_EQ(LiveSinceStart(), 4u);

    ListRemoveByPort(head_, 31337);
    EXPECT_EQ(PortsOf(head_), (std::vector<int32_t>{80}));
    EXPECT_EQ(LiveSinceStart(), 2u);
}

TEST_F(SocketListTest, RemoveBySocketTakesOnlyTheFirstMatch)
{
    Append(7, 80);
    Append(7, 81);
    ListRemoveBySocket(head_, 7);
    EXPECT_EQ(PortsOf(head_), (std::vector<int32_t>{81}));
    EXPECT_EQ(LiveSinceStart(), 2u);
}

struct RemoveCase {
    const char* name;
    bool bySocket;
    int32_t key;
    std::vector<int32_t> portsAfter;
};

TEST_F(SocketListTest, RemoveFromHeadMiddleAndTail)
{
    // Sockets 1, 2, 3 carry ports 80, 81, 82.
    const RemoveCase cases[] = {
        {"port at the head", false, 80, {81, 82}},   {"port in the middle", false, 81, {80, 82}},
        {"port at the tail", false, 82, {80, 81}},   {"socket at the head", true, 1, {81, 82}},
        {"socket in the middle", true, 2, {80, 82}}, {"socket at the tail", true, 3, {80, 81}},
    };
    for (const RemoveCase& c : cases) {
        SCOPED_TRACE(c.name);
        ListFreeAll(head_);
        Append(1, 80);
        Append(2, 81);
        Append(3, 82);
        TestAllocReset();
        if (c.bySocket)
            ListRemoveBySocket(head_, (SocketHandle)c.key);
        else
            ListRemoveByPort(head_, c.key);
        EXPECT_EQ(PortsOf(head_), c.portsAfter);
        EXPECT_EQ(LiveSinceStart(), 4u);
        EXPECT_EQ(TestFreeLog().size(), 2u) << "both blocks of the node are freed";
    }
}

TEST_F(SocketListTest, RemovingTheOnlyNodeEmptiesTheList)
{
    Append(1, 80);
    ListRemoveByPort(head_, 80);
    EXPECT_EQ(head_, nullptr);
    Append(2, 81);
    ListRemoveBySocket(head_, 2);
    EXPECT_EQ(head_, nullptr);
    EXPECT_EQ(LiveSinceStart(), 0u);
}

TEST_F(SocketListTest, RemovedNodeFreesItsAddressThenItself)
{
    Append(1, 80);
    SocketNode* node = Append(2, 81);
    const void* address = node->address;
    TestAllocReset();
    ListRemoveBySocket(head_, 2);
    EXPECT_EQ(TestFreeLog(), (std::vector<const void*>{address, node}));
}

TEST_F(SocketListTest, RemovingSomethingAbsentChangesNothing)
{
    // Sockets and ports are compared each on its own field: socket 80 is not
    // port 80, and port 2 is not socket 2.
    Append(1, 80);
    Append(2, 81);
    const std::vector<const SocketNode*> before = NodesOf(head_);
    TestAllocReset();

    ListRemoveByPort(head_, 2);
    ListRemoveByPort(head_, 31337);
    ListRemoveBySocket(head_, 80);
    ListRemoveBySocket(head_, kInvalidSocket);

    EXPECT_EQ(NodesOf(head_), before);
    EXPECT_TRUE(TestFreeLog().empty());
}

TEST_F(SocketListTest, RemovingFromAnEmptyListChangesNothing)
{
    ListRemoveByPort(head_, 80);
    ListRemoveBySocket(head_, 1);
    EXPECT_EQ(head_, nullptr);
    EXPECT_TRUE(TestFreeLog().empty());
}

// ---- ListFindBySocket ------------------------------------------------------------

TEST_F(SocketListTest, FindReturnsTheFirstMatchOrNull)
{
    EXPECT_EQ(ListFindBySocket(nullptr, 1), nullptr);

    SocketNode* a = Append(1, 80);
    SocketNode* b = Append(2, 81);
    SocketNode* c = Append(2, 82);
    EXPECT_EQ(ListFindBySocket(head_, 1), a);
    EXPECT_EQ(ListFindBySocket(head_, 2), b);
    EXPECT_EQ(ListFindBySocket(head_, 3), nullptr);
    EXPECT_EQ(ListFindBySocket(head_, 80), nullptr) << "ports are not sockets";
    // Starting further down finds only what lies from there on.
    EXPECT_EQ(ListFindBySocket(c, 2), c);
    EXPECT_EQ(ListFindBySocket(b, 1), nullptr);
    EXPECT_EQ(PortsOf(head_), (std::vector<int32_t>{80, 81, 82}));
}

TEST_F(SocketListTest, FindsAPortWithoutASocketByTheInvalidValue)
{
    Append(1, 80);
    SocketNode* unopened =
        ListAppend(head_, kInvalidSocket, 81, MakeAddress(0, 0).bytes, kAddressBytes);
    EXPECT_EQ(ListFindBySocket(head_, kInvalidSocket), unopened);
}

// ---- ListFreeAll -------------------------------------------------------------------

TEST_F(SocketListTest, FreeAllFreesBothBlocksOfEveryNode)
{
    std::vector<const void*> expectedFrees;
    for (int i = 0; i < 3; ++i) {
        SocketNode* node = Append(i + 1, 80 + i);
        expectedFrees.push_back(node->address);
        expectedFrees.push_back(node);
    }
    TestAllocReset();
    ListFreeAll(head_);
    EXPECT_EQ(head_, nullptr);
    EXPECT_EQ(LiveSinceStart(), 0u);
    EXPECT_EQ(TestFreeLog(), expectedFrees);
}

TEST_F(SocketListTest, ListCanBeUsedAgainAfterFreeAll)
{
    Append(1, 80);
    Append(2, 81);
    ListFreeAll(head_);
    SocketNode* node = Append(3, 82);
    EXPECT_EQ(head_, node);
    EXPECT_EQ(PortsOf(head_), (std::vector<int32_t>{82}));
}

TEST_F(SocketListTest, FreeAllOnAnEmptyListDoesNothing)
{
    TestAllocReset();
    ListFreeAll(head_);
    EXPECT_EQ(head_, nullptr);
    EXPECT_TRUE(TestFreeLog().empty());
}

// ---- CopyWords -----------------------------------------------------------------------

struct CopyCase {
    size_t byteCount;
    size_t copied;
};

TEST(CopyWords, CopiesWholeSixteenBitUnits)
{
    const CopyCase cases[] = {{0, 0}, {1, 0}, {2, 2}, {5, 4}, {16, 16}, {17, 16}};
    for (const CopyCase& c : cases) {
        for (size_t offset : {0u, 1u}) { // the routine must not need aligned buffers
            SCOPED_TRACE("byte count " + std::to_string(c.byteCount) + ", offset " +
                         std::to_string(offset));
            unsigned char src[40];
            unsigned char dst[40];
            for (size_t i = 0; i < sizeof src; ++i)
                src[i] = (unsigned char)(i + 1);
            memset(dst, 0xAA, sizeof dst);
            CopyWords(dst + offset, src + offset, c.byteCount);
            for (size_t i = 0; i < sizeof dst; ++i) {
                bool inside = i >= offset && i < offset + c.copied;
                ASSERT_EQ(dst[i], inside ? src[i] : 0xAA) << "byte " << i;
            }
        }
    }
}

// ---- FillDwords ----------------------------------------------------------------------

const size_t kRecvBufferBytes = 2049;

TEST(FillDwords, ClearsTheReceiveBufferAndNothingBeyond)
{
    std::vector<unsigned char> mem(kRecvBufferBytes + 64, 0xAA);
    FillDwords(mem.data(), kRecvBufferBytes, 0);
    for (size_t i = 0; i < kRecvBufferBytes; ++i)
        ASSERT_EQ(mem[i], 0) << "byte " << i;
    for (size_t i = kRecvBufferBytes; i < mem.size(); ++i)
        ASSERT_EQ(mem[i], 0xAA) << "byte " << i << " past the end";
}

TEST(FillDwords, RepeatsTheValueAsItLiesInMemory)
{
    const uint32_t value = 0x11223344;
    unsigned char valueBytes[4];
    memcpy(valueBytes, &value, 4);
    const size_t counts[] = {0, 1, 3, 4, 5, 31, 32, 33, 63, 64, 65, 100, kRecvBufferBytes};
    for (size_t count : counts) {
        for (size_t offset : {0u, 1u, 3u}) {
            SCOPED_TRACE("byte count " + std::to_string(count) + ", offset " +
                         std::to_string(offset));
            std::vector<unsigned char> mem(offset + count + 64, 0xAA);
            FillDwords(mem.data() + offset, count, value);
            for (size_t i = 0; i < mem.size(); ++i) {
                bool inside = i >= offset && i < offset + count;
                unsigned char expected = inside ? valueBytes[(i - offset) % 4] : 0xAA;
                ASSERT_EQ(mem[i], expected) << "byte " << i;
            }
        }
    }
}

} // namespace
