#include "tests/unit/xport_harness.hpp"

TEST(XportPool, CapacityFromArenaSize)
{
    Node n96;
    EXPECT_EQ(n96.ins.allocator.statistics.capacity_blocks, 96);

    Node tiny(0, 31);
    EXPECT_EQ(tiny.ins.allocator.statistics.capacity_blocks, 0);
    EXPECT_EQ(allocateBlock(&tiny.ins.allocator), nullptr);

    std::vector<XportPoolAllocatorBlock> huge(70000);
    XportInstance ins{};
    xportInit(&ins, huge.data(), huge.size() * sizeof(XportPoolAllocatorBlock), nullptr, nullptr, nullptr);
    EXPECT_EQ(ins.allocator.statistics.capacity_blocks, 65535);
}

TEST(XportPool, CountersAndLastInFirstOut)
{
    Node n;
    XportPoolAllocator* a = &n.ins.allocator;
    void* b[5];
    for (auto& p : b) {
        p = allocateBlock(a);
    }
    EXPECT_EQ(static_cast<char*>(b[1]) - static_cast<char*>(b[0]), 32);  // ascending from a fresh pool
    freeBlock(a, b[3]);
    freeBlock(a, b[1]);
    EXPECT_EQ(a->statistics.current_usage_blocks, 3);
    EXPECT_EQ(a->statistics.peak_usage_blocks, 5);
    EXPECT_EQ(allocateBlock(a), b[1]);
    EXPECT_EQ(a->statistics.current_usage_blocks, 4);
    EXPECT_EQ(a->statistics.peak_usage_blocks, 5);

    while (allocateBlock(a) != nullptr) {
    }
    const XportPoolAllocatorStatistics before = a->statistics;
    EXPECT_EQ(allocateBlock(a), nullptr);
    EXPECT_EQ(a->statistics.current_usage_blocks, before.current_usage_blocks);
    EXPECT_EQ(a->statistics.peak_usage_blocks, 96);
}

TEST(XportPoolDeathTest, ReleaseWithNothingInUseStops)
{
    Node n;
    XportPoolAllocatorBlock stray{};
    EXPECT_DEATH(freeBlock(&n.ins.allocator, &stray), "fatal stop");
}

TEST(XportPoolDeathTest, MisalignedArenaIsAWiringFault)
{
    alignas(XportPoolAllocatorBlock) uint8_t arena[4 * XPORT_MEM_BLOCK_SIZE];
    XportInstance ins{};
    EXPECT_DEATH(xportInit(&ins, arena + 1, sizeof arena - 1, nullptr, nullptr, nullptr), "fatal stop");
}
