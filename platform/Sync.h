#pragma once
// Threads, events and locks with the semantics of their Windows originals:
// auto- and manual-reset events, waits with a time-out in milliseconds (0 =
// poll, kInfinite = no limit), a recursive critical section, and threads that
// are created suspended and start running only when resumed.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/SkrivoExport.h"

namespace sk {

inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

enum class WaitResult { Signalled, Timeout };

class SKRIVO_API Event {
public:
    enum Mode { AutoReset, ManualReset };
    explicit Event(Mode mode = AutoReset, bool initiallySet = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    // Auto-reset: a successful wait consumes the signal; each Set releases
    // one waiting thread, and a Set with nobody waiting leaves the event set
    // for the next wait (Sets then do not add up). Manual-reset: the event
    // stays set and releases every waiter.
    WaitResult Wait(uint32_t timeoutMs = kInfinite);
    // Looks without consuming.
    bool IsSet() const;

private:
    const Mode m_mode;
    bool m_set;
    unsigned m_waiters = 0;  // threads inside Wait
    unsigned m_handOffs = 0; // auto-reset signals given to waiters, not yet taken
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
};

// Recursive: the owning thread may enter again; it must leave as often.
class SKRIVO_API CriticalSection {
public:
    CriticalSection() = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    void Enter() { m_mutex.lock(); }
    void Leave() { m_mutex.unlock(); }
    // BasicLockable, so std::lock_guard / std::scoped_lock work too.
    void lock() { Enter(); }
    void unlock() { Leave(); }

private:
    std::recursive_mutex m_mutex;
};

class CriticalSectionLock {
public:
    explicit CriticalSectionLock(CriticalSection& cs) : m_cs(cs) { m_cs.Enter(); }
    ~CriticalSectionLock() { m_cs.Leave(); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

private:
    CriticalSection& m_cs;
};

// A thread created suspended. Create() stores the procedure and gives the
// thread its id at once; the procedure starts only at Resume(). Priorities are
// accepted and ignored (every thread of this library runs at normal priority).
// Destroying a Thread whose procedure runs waits for the procedure to end; a
// thread never resumed is discarded without running.
class SKRIVO_API Thread {
public:
    using Proc = std::function<void()>;
    enum Priority { PriorityLowest = -2, PriorityBelowNormal = -1, PriorityNormal = 0,
                    PriorityAboveNormal = 1, PriorityHighest = 2 };

    Thread();
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // False when already created.
    bool Create(Proc proc);
    // Starts the procedure; false when not created, already resumed, or the
    // OS refused a thread.
    bool Resume();
    bool SetPriority(int priority);
    // Waits for the procedure to end. A thread that was never resumed times
    // out (at once for kInfinite, as nothing could ever end it).
    WaitResult Join(uint32_t timeoutMs = kInfinite);

    // Process-unique, non-zero, known from Create() on; 0 before.
    uint64_t Id() const { return m_id; }

private:
    struct State;
    std::shared_ptr<State> m_state;
    std::thread m_thread;
    uint64_t m_id = 0;
    bool m_resumed = false;
};

// Waits until every thread (null entries are skipped) has ended, or the time
// runs out.
SKRIVO_API WaitResult WaitForAll(const std::vector<Thread*>& threads, uint32_t timeoutMs);

// The id of the calling thread in the numbering of Thread::Id() (threads not
// made by sk::Thread get one on first ask).
SKRIVO_API uint64_t CurrentThreadId();

// Online processors, at least 1.
SKRIVO_API unsigned ProcessorCount();

} // namespace sk
