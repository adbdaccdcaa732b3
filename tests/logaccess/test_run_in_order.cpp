#include "common/RunInOrder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace qelt;

// Parts made at uneven speeds on several threads are handed on in their order, never made far
// ahead of the handing on; a failing part, a last part and a refusing hand each end the run
// right there.
TEST(RunInOrder, HandsPartsOnInOrderAndStopsWhereTheRunEnds)
{
    struct Case
    {
        std::size_t failAt;   // make throws for this part
        std::size_t lastAt;   // make says this part is the last
        std::size_t refuseAt; // hand returns false for this part
        std::size_t handedParts;
        bool throws;
    };
    constexpr std::size_t Count = 60;
    constexpr std::size_t Ahead = 3;
    const Case cases[] = {
        {Count, Count, Count, Count, false}, {25, Count, Count, 25, true},
        {Count, 25, Count, 26, false},       {40, 25, Count, 26, false},
        {Count, Count, 25, 26, false},       {0, Count, Count, 0, true},
    };
    for (const Case& c : cases) {
        for (const unsigned threads : {1u, 2u, 4u}) {
            std::vector<std::string> made(Count);
            std::vector<std::size_t> handed;
            std::atomic<std::size_t> handedCount{0};
            std::atomic<std::size_t> madeCount{0};
            std::atomic<bool> tooFarAhead{false};
            std::mt19937 random(static_cast<unsigned>(c.failAt + c.lastAt + threads));
            std::vector<int> delays(Count);
            for (int& delay : delays)
                delay = static_cast<int>(random() % 300);
            bool threw = false;
            try {
                RunInOrder(
                    Count, threads, Ahead,
                    [&](std::size_t k) {
                        // The run counts a part as handed on just before hand is called.
                        if (k >= handedCount + Ahead + 1)
                            tooFarAhead = true;
                        std::this_thread::sleep_for(std::chrono::microseconds(delays[k]));
                        if (k == c.failAt)
                            throw std::runtime_error("part failed");
                        made[k] = "part " + std::to_string(k);
                        ++madeCount;
                        return k == c.lastAt;
                    },
                    [&](std::size_t k) {
                        EXPECT_EQ(made[k], "part " + std::to_string(k));
                        handed.push_back(k);
                        ++handedCount;
                        return k != c.refuseAt;
                    });
            } catch (const std::runtime_error& error) {
                threw = true;
                EXPECT_STREQ(error.what(), "part failed");
            }
            SCOPED_TRACE("threads " + std::to_string(threads) + ", fail at " +
                         std::to_string(c.failAt));
            EXPECT_EQ(threw, c.throws);
            ASSERT_EQ(handed.size(), c.handedParts);
            for (std::size_t k = 0; k < handed.size(); ++k)
                EXPECT_EQ(handed[k], k);
            EXPECT_FALSE(tooFarAhead);
            EXPECT_LE(madeCount.load(), c.handedParts + Ahead);
        }
    }
}

// A cancel flag set while the parts are made stops the run without an error.
TEST(RunInOrder, StopsWhenCancelled)
{
    std::atomic<bool> cancel{false};
    std::size_t handed = 0;
    RunInOrder(
        1000, 2, 4, [&](std::size_t) { return false; },
        [&](std::size_t k) {
            ++handed;
            if (k == 10)
                cancel = true;
            return true;
        },
        &cancel);
    EXPECT_EQ(handed, 11u);
}
