#include "platform/Sync.h"

#include <atomic>
#include <chrono>
#include <sched.h>
#include <system_error>

namespace sk {
namespace {

std::atomic<uint64_t> g_nextThreadId{1};
thread_local uint64_t t_threadId = 0;

using Clock = std::chrono::steady_clock;

Clock::time_point DeadlineAfter(uint32_t timeoutMs) { return Clock::now() + std::chrono::milliseconds(timeoutMs); }

} // namespace

// --------------------------------------------------------------------- Event

Event::Event(Mode mode, bool initiallySet) : m_mode(mode), m_set(initiallySet) {}

void Event::Set() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_mode == AutoReset && m_waiters > m_handOffs) {
            // Like the original: a Set that finds a waiter releases it and
            // leaves the event unset, so two Sets release two waiters even
            // when the first has not run yet.
            ++m_handOffs;
        } else {
            m_set = true;
        }
    }
    if (m_mode == AutoReset)
        m_cv.notify_one();
    else
        m_cv.notify_all();
}

WaitResult Event::Wait(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto ready = [this] { return m_set || m_handOffs > 0; };
    bool got = ready();
    if (!got && timeoutMs != 0) {
        ++m_waiters;
        if (timeoutMs == kInfinite) {
            m_cv.wait(lock, ready);
            got = true;
        } else {
            got = m_cv.wait_until(lock, DeadlineAfter(timeoutMs), ready);
        }
        --m_waiters;
    }
    if (!got)
        return WaitResult::Timeout;
    if (m_handOffs > 0)
        --m_handOffs;
    else if (m_mode == AutoReset)
        m_set = false;
    return WaitResult::Signalled;
}

bool Event::IsSet() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_set;
}

// -------------------------------------------------------------------- Thread

struct Thread::State {
    std::mutex mutex;
    std::condition_variable cv;
    Proc proc;
    bool resumed = false;
    bool ended = false;
};

Thread::Thread() = default;

Thread::~Thread() {
    if (m_thread.joinable()) {
        if (m_thread.get_id() == std::this_thread::get_id())
            m_thread.detach(); // a thread releasing its own object
        else
            m_thread.join();
    }
}

bool Thread::Create(Proc proc) {
    if (m_state || !proc)
        return false;
    m_state = std::make_shared<State>();
    m_state->proc = std::move(proc);
    m_id = g_nextThreadId.fetch_add(1, std::memory_order_relaxed);
    return true;
}

bool Thread::Resume() {
    if (!m_state)
        return false;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        if (m_state->resumed)
            return false;
        m_state->resumed = true;
    }
    std::shared_ptr<State> st = m_state;
    const uint64_t id = m_id;
    try {
        m_thread = std::thread([st, id] {
            t_threadId = id;
            try {
                st->proc();
            } catch (...) {
                // an escaping exception ends the thread, not the process
            }
            std::lock_guard<std::mutex> lock(st->mutex);
            st->proc = nullptr; // release captured state on this thread
            st->ended = true;
            st->cv.notify_all();
        });
    } catch (const std::system_error&) {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->resumed = false;
        return false;
    }
    return true;
}

bool Thread::SetPriority(int priority) { return m_state != nullptr && priority >= -15 && priority <= 15; }

WaitResult Thread::Join(uint32_t timeoutMs) {
    if (!m_state)
        return WaitResult::Signalled; // nothing was ever created: nothing to wait for
    std::unique_lock<std::mutex> lock(m_state->mutex);
    auto ended = [this] { return m_state->ended; };
    if (m_state->ended)
        return WaitResult::Signalled;
    if (!m_state->resumed && timeoutMs == kInfinite)
        return WaitResult::Timeout;
    if (timeoutMs == kInfinite) {
        m_state->cv.wait(lock, ended);
        return WaitResult::Signalled;
    }
    if (timeoutMs == 0)
        return WaitResult::Timeout;
    return m_state->cv.wait_until(lock, DeadlineAfter(timeoutMs), ended) ? WaitResult::Signalled
                                                                          : WaitResult::Timeout;
}

// ------------------------------------------------------------------- helpers

WaitResult WaitForAll(const std::vector<Thread*>& threads, uint32_t timeoutMs) {
    const auto deadline = DeadlineAfter(timeoutMs == kInfinite ? 0 : timeoutMs);
    for (Thread* t : threads) {
        if (!t)
            continue;
        uint32_t left = kInfinite;
        if (timeoutMs != kInfinite) {
            const auto now = Clock::now();
            left = now >= deadline ? 0
                                   : static_cast<uint32_t>(
                                         std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
        }
        if (t->Join(left) == WaitResult::Timeout)
            return WaitResult::Timeout;
    }
    return WaitResult::Signalled;
}

uint64_t CurrentThreadId() {
    if (t_threadId == 0)
        t_threadId = g_nextThreadId.fetch_add(1, std::memory_order_relaxed);
    return t_threadId;
}

unsigned ProcessorCount() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0)
            return static_cast<unsigned>(n);
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return hw > 0 ? hw : 1;
}

} // namespace sk
