// Linked into every test program: a test still running after
// SKRIVO_TEST_DEADLINE_SECONDS (set per program in tests/CMakeLists.txt) - a
// worker never told to stop, a join that never returns, a child that never
// exits - ends the program with a message naming it instead of hanging until
// the test driver's timeout. SKRIVO_TEST_DEADLINE (seconds, 0 = none)
// overrides it, e.g. under a debugger.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#ifndef SKRIVO_TEST_DEADLINE_SECONDS
#define SKRIVO_TEST_DEADLINE_SECONDS 120
#endif

namespace {

char g_running[256] = "";

void OnDeadline(int) {
    static const char text[] = "\ntest deadline passed, still running: ";
    (void)!::write(2, text, sizeof text - 1);
    (void)!::write(2, g_running, std::strlen(g_running));
    (void)!::write(2, "\n", 1);
    ::_exit(124);
}

class Deadline : public ::testing::EmptyTestEventListener {
public:
    explicit Deadline(unsigned seconds) : m_seconds(seconds) {}
    void OnTestStart(const ::testing::TestInfo& t) override {
        std::snprintf(g_running, sizeof g_running, "%s.%s", t.test_suite_name(), t.name());
        ::alarm(m_seconds);
    }
    void OnTestEnd(const ::testing::TestInfo&) override { ::alarm(0); }

private:
    unsigned m_seconds;
};

const bool kArmed = [] {
    unsigned seconds = SKRIVO_TEST_DEADLINE_SECONDS;
    if (const char* s = std::getenv("SKRIVO_TEST_DEADLINE"))
        seconds = static_cast<unsigned>(std::strtoul(s, nullptr, 10));
    if (seconds > 0) {
        std::signal(SIGALRM, OnDeadline);
        ::testing::UnitTest::GetInstance()->listeners().Append(new Deadline(seconds));
    }
    return true;
}();

} // namespace
