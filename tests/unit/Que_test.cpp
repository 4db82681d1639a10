#include "firmware/drivers/Que.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <deque>
#include <random>
#include <vector>

namespace {

// A queue over a buffer with guard bytes on both sides, so writes outside Len show up.
struct GuardedQueue {
    static constexpr uint8_t kGuard = 0xA5;
    static constexpr std::size_t kGuardLen = 32;
    std::vector<uint8_t> storage;
    Q_t q{};

    explicit GuardedQueue(uint16_t len) : storage(len + 2 * kGuardLen, kGuard)
    {
        q.Buffer = storage.data() + kGuardLen;
        VarInitQ(&q, len);
        for (uint16_t i = 0; i < len; i++) {
            q.Buffer[i] = 0;
        }
    }
    bool guardsIntact() const
    {
        for (std::size_t i = 0; i < kGuardLen; i++) {
            if (storage[i] != kGuard || storage[storage.size() - 1 - i] != kGuard) {
                return false;
            }
        }
        return true;
    }
};

std::vector<uint8_t> drain(Q_t* q)
{
    std::vector<uint8_t> out;
    uint8_t b = 0;
    while (DeQ1(q, &b)) {
        out.push_back(b);
    }
    return out;
}

TEST(Que, CapacityIsOneLessThanTheBuffer)
{
    GuardedQueue g(1024);
    EXPECT_TRUE(QMT(&g.q));
    EXPECT_EQ(QFree(&g.q), 1023);
    for (int i = 0; i < 1023; i++) {
        EnQ1(&g.q, static_cast<uint8_t>(i));
    }
    EXPECT_EQ(QLen(&g.q), 1023);
    EXPECT_EQ(QFree(&g.q), 0);
    EnQ1(&g.q, 0xEE);  // dropped silently
    EXPECT_EQ(QLen(&g.q), 1023);

    const std::vector<uint8_t> out = drain(&g.q);
    ASSERT_EQ(out.size(), 1023U);
    for (std::size_t i = 0; i < out.size(); i++) {
        ASSERT_EQ(out[i], static_cast<uint8_t>(i));
    }
    EXPECT_TRUE(QMT(&g.q));
    EXPECT_TRUE(g.guardsIntact());
}

TEST(Que, EnQIsAllOrNothing)
{
    GuardedQueue g(161);
    std::array<uint8_t, 160> bytes{};
    ASSERT_TRUE(EnQ(&g.q, bytes.data(), 145));
    ASSERT_EQ(QFree(&g.q), 15);

    std::array<uint8_t, 16> record{};
    EXPECT_FALSE(EnQ(&g.q, record.data(), 16));
    EXPECT_EQ(QLen(&g.q), 145);
    EXPECT_EQ(g.q.insert, 145);
    EXPECT_FALSE(EnQ(&g.q, record.data(), 0));
    EXPECT_FALSE(EnQ(&g.q, nullptr, 4));
    EXPECT_TRUE(EnQ(&g.q, record.data(), 15));
    EXPECT_EQ(QFree(&g.q), 0);
    EXPECT_TRUE(g.guardsIntact());
}

TEST(Que, WrappingAppendAndTakeKeepOrder)
{
    GuardedQueue g(161);
    std::array<uint8_t, 150> filler{};
    uint16_t n = 150;
    ASSERT_TRUE(EnQ(&g.q, filler.data(), 150));
    ASSERT_TRUE(DeQ(&g.q, nullptr, &n));
    ASSERT_EQ(g.q.insert, 150);
    ASSERT_EQ(g.q.remove, 150);

    std::array<uint8_t, 16> record{};
    for (uint8_t i = 0; i < 16; i++) {
        record[i] = static_cast<uint8_t>(0x10 + i);
    }
    ASSERT_TRUE(EnQ(&g.q, record.data(), 16));
    EXPECT_EQ(g.q.insert, 5);
    EXPECT_EQ(g.q.Buffer[160], 0x1A);  // the 11th byte is the last of the buffer
    EXPECT_EQ(g.q.Buffer[0], 0x1B);
    EXPECT_EQ(g.q.Buffer[4], 0x1F);

    std::array<uint8_t, 16> out{};
    uint16_t len = 16;
    ASSERT_TRUE(DeQ(&g.q, out.data(), &len));
    EXPECT_EQ(len, 16);
    EXPECT_EQ(out, record);
    EXPECT_EQ(g.q.remove, 5);
    EXPECT_TRUE(QMT(&g.q));
    EXPECT_TRUE(g.guardsIntact());
}

// The reader that interrupts EnQ between the copy up to the end of the buffer and the copy of the rest.
// The record's source ends on a page the test takes away, so EnQ faults as it starts on the bytes that
// wrap round; the fault handler is that reader, then gives the page back and EnQ carries on.
struct MidCopyReader {
    static inline Q_t* q = nullptr;
    static inline uint8_t* page = nullptr;
    static inline std::size_t pageSize = 0;
    static inline int looks = 0;
    static inline uint16_t seen = 0;

    static void onFault(int)
    {
        looks++;
        seen = QLen(q);
        mprotect(page, pageSize, PROT_READ | PROT_WRITE);
    }
};

TEST(Que, ReaderBetweenTheTwoCopiesOfAWrappingRecordSeesNothing)
{
    GuardedQueue g(161);
    std::array<uint8_t, 150> filler{};
    uint16_t n = 150;
    ASSERT_TRUE(EnQ(&g.q, filler.data(), 150));
    ASSERT_TRUE(DeQ(&g.q, nullptr, &n));

    const auto pageSize = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* pages = mmap(nullptr, 2 * pageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    MidCopyReader::q = &g.q;
    MidCopyReader::page = static_cast<uint8_t*>(pages) + pageSize;
    MidCopyReader::pageSize = pageSize;
    // 11 bytes fit before the end of the buffer, and they are the 11 before the page boundary.
    uint8_t* const record = MidCopyReader::page - 11;
    for (uint8_t i = 0; i < 16; i++) {
        record[i] = static_cast<uint8_t>(0x10 + i);
    }
    struct sigaction reader {};
    struct sigaction previous {};
    reader.sa_handler = MidCopyReader::onFault;
    ASSERT_EQ(sigaction(SIGSEGV, &reader, &previous), 0);
    ASSERT_EQ(mprotect(MidCopyReader::page, pageSize, PROT_NONE), 0);

    const bool queued = EnQ(&g.q, record, 16);
    sigaction(SIGSEGV, &previous, nullptr);

    EXPECT_TRUE(queued);
    EXPECT_EQ(MidCopyReader::looks, 1);
    EXPECT_EQ(MidCopyReader::seen, 0);
    std::array<uint8_t, 16> out{};
    uint16_t len = 16;
    ASSERT_TRUE(DeQ(&g.q, out.data(), &len));
    EXPECT_EQ(len, 16);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.end()), std::vector<uint8_t>(record, record + 16));
    munmap(pages, 2 * pageSize);
}

TEST(Que, DeQTakesWhatIsThere)
{
    GuardedQueue g(161);
    const uint8_t seven[7] = {1, 2, 3, 4, 5, 6, 7};
    ASSERT_TRUE(EnQ(&g.q, seven, 7));

    std::array<uint8_t, 16> out{};
    uint16_t len = 16;
    EXPECT_TRUE(DeQ(&g.q, out.data(), &len));
    EXPECT_EQ(len, 7);
    EXPECT_EQ(out[6], 7);
    EXPECT_EQ(out[7], 0);  // nothing written past what was taken

    len = 16;
    EXPECT_FALSE(DeQ(&g.q, out.data(), &len));
    EXPECT_EQ(len, 0);
    uint8_t b = 0;
    EXPECT_FALSE(DeQ1(&g.q, &b));

    // Null data discards and still advances.
    ASSERT_TRUE(EnQ(&g.q, seven, 7));
    len = 3;
    EXPECT_TRUE(DeQ(&g.q, nullptr, &len));
    EXPECT_EQ(QLen(&g.q), 4);
    ASSERT_TRUE(DeQ1(&g.q, &b));
    EXPECT_EQ(b, 4);
    EXPECT_FALSE(DeQ(&g.q, out.data(), nullptr));
}

TEST(Que, DegenerateBuffersHoldNothing)
{
    for (uint16_t len : {uint16_t{0}, uint16_t{1}}) {
        GuardedQueue g(len);
        const uint8_t one = 9;
        EnQ1(&g.q, one);
        EXPECT_FALSE(EnQ(&g.q, &one, 1));
        EXPECT_EQ(QLen(&g.q), 0);
        EXPECT_EQ(QFree(&g.q), 0);
        EXPECT_TRUE(QMT(&g.q));
        EXPECT_TRUE(g.guardsIntact());
    }
}

// Random interleaving of every operation against a reference model, over many wraps of odd-sized
// buffers: catches off-by-one errors in the wrap arithmetic that the fixed cases miss.
TEST(Que, MatchesAReferenceModelOverManyWraps)
{
    std::mt19937 rng(1234);
    for (uint16_t len : {uint16_t{2}, uint16_t{3}, uint16_t{17}, uint16_t{161}}) {
        GuardedQueue g(len);
        std::deque<uint8_t> model;
        uint8_t next = 0;
        for (int step = 0; step < 20000; step++) {
            const unsigned op = rng() % 4;
            const uint16_t n = static_cast<uint16_t>(rng() % (len + 2U));
            if (op == 0) {
                EnQ1(&g.q, next);
                if (model.size() < len - 1U) {
                    model.push_back(next);
                }
                next++;
            } else if (op == 1) {
                std::vector<uint8_t> in(n + 1U);
                for (auto& b : in) {
                    b = next++;
                }
                const bool fits = n > 0 && model.size() + n <= len - 1U;
                ASSERT_EQ(EnQ(&g.q, in.data(), n), fits);
                if (fits) {
                    model.insert(model.end(), in.begin(), in.begin() + n);
                }
            } else if (op == 2) {
                uint8_t b = 0;
                ASSERT_EQ(DeQ1(&g.q, &b), !model.empty());
                if (!model.empty()) {
                    ASSERT_EQ(b, model.front());
                    model.pop_front();
                }
            } else {
                std::vector<uint8_t> out(n + 1U, 0);
                uint16_t got = n;
                const uint16_t expect = static_cast<uint16_t>(std::min<std::size_t>(n, model.size()));
                ASSERT_EQ(DeQ(&g.q, out.data(), &got), expect > 0);
                ASSERT_EQ(got, expect);
                for (uint16_t i = 0; i < got; i++) {
                    ASSERT_EQ(out[i], model.front());
                    model.pop_front();
                }
            }
            ASSERT_EQ(QLen(&g.q), model.size());
            ASSERT_EQ(QFree(&g.q), len - 1U - model.size());
            ASSERT_EQ(QMT(&g.q), model.empty());
            ASSERT_LT(g.q.insert, len);
            ASSERT_LT(g.q.remove, len);
        }
        EXPECT_TRUE(g.guardsIntact());
    }
}

}  // namespace
