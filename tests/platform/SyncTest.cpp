// Events, critical sections and threads: the waits the engine's workers rely on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/Sync.h"

namespace {

using sk::Event;
using sk::Thread;
using sk::WaitResult;
using Clock = std::chrono::steady_clock;
constexpr auto kSignalled = WaitResult::Signalled, kTimeout = WaitResult::Timeout;

// A zero time-out polls; a timed wait ends after its time or at a Set from
// another thread (one that never ended would trip the program's deadline).
TEST(Event, WaitsPollTimeOutOrEndAtASetAndAutoResetConsumesOneSignal) {
    const struct { const char* name; Event::Mode mode; bool initial, set; WaitResult first, second; } cases[] = {
        {"auto, unset", Event::AutoReset, false, false, kTimeout, kTimeout},
        {"auto, set", Event::AutoReset, false, true, kSignalled, kTimeout},
        {"auto, set twice counts once", Event::AutoReset, true, true, kSignalled, kTimeout},
        {"manual, set stays set", Event::ManualReset, false, true, kSignalled, kSignalled},
    };
    for (const auto& c : cases) {
        Event ev(c.mode, c.initial);
        if (c.set) ev.Set();
        EXPECT_EQ(ev.Wait(0), c.first) << c.name;
        EXPECT_EQ(ev.Wait(0), c.second) << c.name;
    }
    Event ev;
    const auto start = Clock::now();
    EXPECT_EQ(ev.Wait(120), kTimeout);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(120));
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ev.Set();
    });
    EXPECT_EQ(ev.Wait(sk::kInfinite), kSignalled);
    setter.join();
    EXPECT_FALSE(ev.IsSet()) << "the successful wait consumed the signal";
}

// (Several threads waiting on one manual-reset event are the engine's
// workers and the montage library's readers, whose tests cover them; no
// two threads wait on one auto-reset event.)

// A thread created suspended runs only after Resume, a never resumed one is
// discarded without running, destroying a running one waits for it, and an
// escaping exception ends it, not the program.
TEST(Thread, RunsOnlyAfterResumeAndEndsCleanly) {
    std::atomic<bool> ran{false}, never{false}, finished{false};
    std::atomic<uint64_t> idInside{0};
    Thread t;
    ASSERT_TRUE(t.Create([&] {
        ran = true;
        idInside = sk::CurrentThreadId();
        return 42u;
    }));
    EXPECT_NE(t.Id(), 0u) << "the id is known while suspended";
    EXPECT_NE(t.Id(), sk::CurrentThreadId());
    EXPECT_FALSE(t.Create([] { return 0u; })) << "one procedure per thread";
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(t.Join(20), kTimeout);
    EXPECT_EQ(t.Join(sk::kInfinite), kTimeout) << "nothing can end a suspended thread: no hang";
    ASSERT_TRUE(t.Resume());
    EXPECT_FALSE(t.Resume()) << "resumed once only";
    EXPECT_EQ(t.Join(sk::kInfinite), kSignalled);
    EXPECT_TRUE(ran.load());
    EXPECT_EQ(idInside.load(), t.Id());
    {
        Thread discarded, running;
        ASSERT_TRUE(discarded.Create([&] { return never = true, 0u; }));
        ASSERT_TRUE(running.Create([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return finished = true, 0u;
        }));
        ASSERT_TRUE(running.Resume());
    }
    EXPECT_FALSE(never.load()) << "a never resumed thread is discarded without running";
    EXPECT_TRUE(finished.load()) << "destroying a running thread waits for it";
    Thread thrower;
    ASSERT_TRUE(thrower.Create([]() -> uint32_t { throw std::runtime_error("boom"); }));
    ASSERT_TRUE(thrower.Resume());
    EXPECT_EQ(thrower.Join(), kSignalled);
    EXPECT_GE(sk::ProcessorCount(), 1u);
}

TEST(Thread, WaitForAllTimesOutUntilEveryThreadEnded) {
    Event release(Event::ManualReset);
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
    const auto start = Clock::now();
    EXPECT_EQ(sk::WaitForAll(list, 0), kTimeout);
    EXPECT_EQ(sk::WaitForAll(list, 80), kTimeout);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(80));
    release.Set();
    EXPECT_EQ(sk::WaitForAll(list, sk::kInfinite), kSignalled);
    EXPECT_EQ(done.load(), 3);
    EXPECT_EQ(sk::WaitForAll({}, 0), kSignalled);
}

} // namespace
