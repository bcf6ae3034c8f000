// Linked into every test program: a test process that outlives its deadline
// (a worker never told to stop, a join that never returns) ends with a
// message instead of hanging until the test driver's timeout. Each test runs
// in its own process, so the deadline bounds one test. SKRIVO_TEST_DEADLINE
// (seconds, 0 = none) overrides it, e.g. under a debugger.

#include <csignal>
#include <cstdlib>
#include <unistd.h>

namespace {

void OnDeadline(int) {
    static const char text[] = "\ntest deadline passed: the test still waits (on a thread, a child or a lock)\n";
    (void)!::write(2, text, sizeof text - 1);
    ::_exit(124);
}

const bool kArmed = [] {
    unsigned seconds = 60;
    if (const char* s = std::getenv("SKRIVO_TEST_DEADLINE"))
        seconds = static_cast<unsigned>(std::strtoul(s, nullptr, 10));
    if (seconds > 0) {
        std::signal(SIGALRM, OnDeadline);
        ::alarm(seconds);
    }
    return true;
}();

} // namespace
