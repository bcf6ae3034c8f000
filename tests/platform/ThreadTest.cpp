#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>

#include "platform/Sync.h"

namespace {

using sk::Thread;
using sk::WaitResult;

TEST(Thread, CreatedSuspendedRunsOnlyAfterResume) {
    std::atomic<bool> ran{false};
    std::atomic<uint64_t> idInside{0};
    Thread t;
    EXPECT_EQ(t.Id(), 0u);
    ASSERT_TRUE(t.Create([&] {
        ran = true;
        idInside = sk::CurrentThreadId();
        return 42u;
    }));
    EXPECT_NE(t.Id(), 0u) << "the id is known while suspended";
    EXPECT_FALSE(t.Create([] { return 0u; })) << "one procedure per thread";
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_FALSE(ran.load());
    EXPECT_TRUE(t.IsRunning()) << "a suspended thread has not ended";
    EXPECT_EQ(t.Join(0), WaitResult::Timeout);
    EXPECT_EQ(t.Join(20), WaitResult::Timeout);
    EXPECT_EQ(t.Join(sk::kInfinite), WaitResult::Timeout) << "nothing can end a suspended thread: no hang";
    EXPECT_TRUE(t.SetPriority(Thread::PriorityNormal));

    ASSERT_TRUE(t.Resume());
    EXPECT_FALSE(t.Resume()) << "resumed once only";
    EXPECT_EQ(t.Join(sk::kInfinite), WaitResult::Signalled);
    EXPECT_TRUE(ran.load());
    EXPECT_TRUE(t.HasEnded());
    EXPECT_FALSE(t.IsRunning());
    EXPECT_EQ(t.ExitCode(), 42u);
    EXPECT_EQ(idInside.load(), t.Id());
}

TEST(Thread, NeverResumedThreadIsDiscardedWithoutRunning) {
    std::atomic<bool> ran{false};
    {
        Thread t;
        ASSERT_TRUE(t.Create([&] {
            ran = true;
            return 0u;
        }));
    }
    EXPECT_FALSE(ran.load());
}

TEST(Thread, IdsAreUniqueAndDistinctFromOtherThreads) {
    std::set<uint64_t> ids{sk::CurrentThreadId()};
    Thread threads[5];
    for (auto& t : threads) {
        ASSERT_TRUE(t.Create([] { return 0u; }));
        EXPECT_TRUE(ids.insert(t.Id()).second);
    }
    EXPECT_EQ(sk::CurrentThreadId(), *ids.begin()) << "stable for the calling thread";
}

TEST(Thread, EscapingExceptionEndsThreadWithFailureCode) {
    Thread t;
    ASSERT_TRUE(t.Create([]() -> uint32_t { throw std::runtime_error("boom"); }));
    ASSERT_TRUE(t.Resume());
    EXPECT_EQ(t.Join(), WaitResult::Signalled);
    EXPECT_EQ(t.ExitCode(), 0xFFFFFFFFu);
}

TEST(Thread, DestroyingARunningThreadWaitsForIt) {
    std::atomic<bool> finished{false};
    {
        Thread t;
        ASSERT_TRUE(t.Create([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            finished = true;
            return 0u;
        }));
        ASSERT_TRUE(t.Resume());
    }
    EXPECT_TRUE(finished.load());
}

TEST(Thread, WaitForAllTimesOutUntilEveryThreadEnded) {
    sk::Event release(sk::Event::ManualReset);
    std::atomic<int> done{0};
    auto threads = std::make_unique<Thread[]>(3);
    std::vector<Thread*> list{nullptr};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(threads[i].Create([&, i] {
            if (i > 0) // thread 0 ends at once, the others wait for the release
                release.Wait();
            ++done;
            return 0u;
        }));
        ASSERT_TRUE(threads[i].Resume());
        list.push_back(&threads[i]);
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sk::WaitForAll(list, 0), WaitResult::Timeout);
    EXPECT_EQ(sk::WaitForAll(list, 80), WaitResult::Timeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(80));
    release.Set();
    EXPECT_EQ(sk::WaitForAll(list, sk::kInfinite), WaitResult::Signalled);
    EXPECT_EQ(done.load(), 3);
    EXPECT_EQ(sk::WaitForAll({}, 0), WaitResult::Signalled);
}

TEST(Thread, ProcessorCountIsAtLeastOneAndAtMostTheMachine) {
    const unsigned n = sk::ProcessorCount();
    EXPECT_GE(n, 1u);
    if (std::thread::hardware_concurrency() > 0) {
        EXPECT_LE(n, std::thread::hardware_concurrency());
    }
}

} // namespace
