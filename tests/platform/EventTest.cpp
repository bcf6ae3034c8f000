#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/Sync.h"

namespace {

using Clock = std::chrono::steady_clock;
using sk::Event;
using sk::WaitResult;

long long ElapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

struct PollCase {
    const char* name;
    Event::Mode mode;
    bool initiallySet;
    bool setBefore;
    bool resetBefore;
    WaitResult first;
    WaitResult second;
};

TEST(Event, ZeroTimeoutPollsAndAutoResetConsumesOneSignal) {
    const PollCase cases[] = {
        {"auto, unset", Event::AutoReset, false, false, false, WaitResult::Timeout, WaitResult::Timeout},
        {"auto, set", Event::AutoReset, false, true, false, WaitResult::Signalled, WaitResult::Timeout},
        {"auto, initially set", Event::AutoReset, true, false, false, WaitResult::Signalled, WaitResult::Timeout},
        {"auto, set twice counts once", Event::AutoReset, true, true, false, WaitResult::Signalled,
         WaitResult::Timeout},
        {"manual, set stays set", Event::ManualReset, false, true, false, WaitResult::Signalled,
         WaitResult::Signalled},
        {"manual, reset clears", Event::ManualReset, true, false, true, WaitResult::Timeout, WaitResult::Timeout},
        {"auto, set then reset", Event::AutoReset, false, true, true, WaitResult::Timeout, WaitResult::Timeout},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Event ev(c.mode, c.initiallySet);
        if (c.setBefore)
            ev.Set();
        if (c.resetBefore)
            ev.Reset();
        const auto start = Clock::now();
        EXPECT_EQ(ev.Wait(0), c.first);
        EXPECT_EQ(ev.Wait(0), c.second);
        EXPECT_LT(ElapsedMs(start), 50) << "a zero time-out must not wait";
    }
}

TEST(Event, TimedWaitTimesOutAfterItsTime) {
    Event ev;
    const auto start = Clock::now();
    EXPECT_EQ(ev.Wait(120), WaitResult::Timeout);
    const auto ms = ElapsedMs(start);
    EXPECT_GE(ms, 120);
    EXPECT_LT(ms, 2000);
}

TEST(Event, SetFromAnotherThreadEndsAWaitEarly) {
    Event ev;
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ev.Set();
    });
    const auto start = Clock::now();
    EXPECT_EQ(ev.Wait(5000), WaitResult::Signalled);
    EXPECT_LT(ElapsedMs(start), 4000);
    setter.join();
    EXPECT_FALSE(ev.IsSet()) << "the successful wait consumed the signal";
}

// One Set of an auto-reset event releases exactly one of several waiters; a
// manual-reset event releases them all.
TEST(Event, AutoResetWakesOneWaiterManualResetWakesAll) {
    auto waitFor = [](std::atomic<int>& v, int atLeast) {
        const auto start = Clock::now();
        while (v.load() < atLeast && ElapsedMs(start) < 3000)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // room for a wrong extra wake-up
    };
    for (auto mode : {Event::AutoReset, Event::ManualReset}) {
        SCOPED_TRACE(mode == Event::AutoReset ? "auto" : "manual");
        Event ev(mode);
        std::atomic<int> woken{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 3; ++i)
            waiters.emplace_back([&] {
                if (ev.Wait(10000) == WaitResult::Signalled)
                    ++woken;
            });
        ev.Set();
        if (mode == Event::AutoReset) {
            waitFor(woken, 1);
            EXPECT_EQ(woken.load(), 1);
            ev.Set();
            ev.Set(); // two Sets release two waiters, however quickly they follow
        }
        waitFor(woken, 3);
        EXPECT_EQ(woken.load(), 3);
        for (auto& t : waiters)
            t.join();
    }
}

} // namespace
