#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Sync.h"

namespace {

bool TryFromOtherThread(sk::CriticalSection& cs) {
    bool got = false;
    std::thread t([&] {
        got = cs.TryEnter();
        if (got)
            cs.Leave();
    });
    t.join();
    return got;
}

TEST(CriticalSection, OwnerMayEnterAgainAndMustLeaveAsOften) {
    sk::CriticalSection cs;
    cs.Enter();
    cs.Enter();
    EXPECT_TRUE(cs.TryEnter()) << "the owner re-enters without blocking";
    cs.Leave();
    cs.Leave();
    EXPECT_FALSE(TryFromOtherThread(cs)) << "still held once";
    cs.Leave();
    EXPECT_TRUE(TryFromOtherThread(cs));
}

TEST(CriticalSection, GuardsAPlainCounterAcrossThreads) {
    sk::CriticalSection cs;
    long counter = 0; // deliberately not atomic: the lock must make it safe
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                sk::CriticalSectionLock outer(cs);
                std::lock_guard<sk::CriticalSection> inner(cs); // nested on the same thread
                ++counter;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 20000);
}

} // namespace
