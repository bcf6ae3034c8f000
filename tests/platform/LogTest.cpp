#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/Log.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace {

std::string ReadAll(const std::filesystem::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(Log, CaptureRecordsExactTextLevelFileAndLine) {
    sk::LogCapture cap;
    EXPECT_TRUE(CTaviLogManager::IsLoggingOn());
    const int line = __LINE__ + 1;
    SKLOG(8, L"CSkrivoer::WriteString - Error writing to file: %d", 112);
    SKLOG(1, L"CEDFAnnotationData::CEDFAnnotationWriter::Write - Writing annotation %S with offset %S", "Lights off",
          "+0");
    SKLOG(32, L"%s - %I64d", L"CSkrivoer::WriteRecords", int64_t{1} << 40);
    const auto msgs = cap.Messages();
    ASSERT_EQ(msgs.size(), 3u);
    EXPECT_EQ(msgs[0].text, L"CSkrivoer::WriteString - Error writing to file: 112");
    EXPECT_EQ(msgs[0].level, 8u);
    EXPECT_EQ(msgs[0].component, L"SKRIVO");
    EXPECT_EQ(msgs[0].file, "LogTest.cpp");
    EXPECT_EQ(msgs[0].line, line);
    EXPECT_EQ(msgs[1].text,
              L"CEDFAnnotationData::CEDFAnnotationWriter::Write - Writing annotation Lights off with offset +0");
    EXPECT_EQ(msgs[2].text, L"CSkrivoer::WriteRecords - 1099511627776");
    EXPECT_TRUE(cap.Contains(L"CSkrivoer::WriteString - Error writing to file: 112", 8));
    EXPECT_FALSE(cap.Contains(L"CSkrivoer::WriteString - Error writing to file: 112", 1));
    EXPECT_EQ(cap.Texts(32).size(), 1u);
    cap.Clear();
    EXPECT_TRUE(cap.Messages().empty());
}

TEST(Log, EventLogRecordsCarryCodeFileLineAndText) {
    sk::LogCapture outer;
    int line;
    {
        sk::LogCapture inner;
        line = __LINE__ + 1;
        SK_EVENTLOG_EXCEPTION(L"header does not end at byte 256");
        SK_EVENTLOG_EXCEPTION_CAT(L"", 3);
        COrlException(0x1234u, "dir\\Other.cpp", 9).Report();
        const auto recs = inner.EventRecords();
        ASSERT_EQ(recs.size(), 3u);
        EXPECT_EQ(recs[0].code, 0xC1010001u);
        EXPECT_EQ(recs[0].text, L"header does not end at byte 256");
        EXPECT_EQ(recs[0].file, "LogTest.cpp");
        EXPECT_EQ(recs[0].line, line);
        EXPECT_EQ(recs[1].category, 3);
        EXPECT_EQ(recs[2].file, "Other.cpp") << "Windows separators are cut too";
        EXPECT_EQ(inner.EventCount(), 2u);
        EXPECT_EQ(inner.EventCount(0x1234u), 1u);
    }
    EXPECT_EQ(outer.EventRecords().size(), 3u) << "nested captures both see everything";
    SK_EVENTLOG_EXCEPTION(L"after");
    EXPECT_EQ(outer.EventCount(), 3u);
}

TEST(Log, CaptureIsThreadSafe) {
    sk::LogCapture cap;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                SKLOG(8, L"worker %d message %d", t, i);
                if (i % 50 == 0)
                    SK_EVENTLOG_EXCEPTION(L"w");
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(cap.Messages().size(), 800u);
    EXPECT_EQ(cap.EventCount(), 16u);
    EXPECT_TRUE(cap.Contains(L"worker 3 message 199"));
}

// Without a capture, the level mask decides what is written, and where.
TEST(Log, LevelMaskAndOutputFilesFromTheEnvironment) {
    sk::test::TempDir dir("log");
    {
        sk::test::ScopedEnv file("SKRIVO_LOG_FILE", (dir / "skrivo.log").string());
        sk::test::ScopedEnv events("SKRIVO_EVENTLOG_FILE", (dir / "events.log").string());
        sk::test::ScopedEnv levels("SKRIVO_LOG_LEVELS", "0x9");
        CTaviLogManager::Reconfigure();
        CTaviLoggerComponent* c = sk::SkrivoLogger();
        EXPECT_TRUE(c->IsLevelOn(8));
        EXPECT_TRUE(c->IsLevelOn(1));
        EXPECT_FALSE(c->IsLevelOn(32));
        SKLOG(8, L"level eight");
        SKLOG(32, L"level thirty-two");
        SKLOG(1, L"level one ü");
        SK_EVENTLOG_EXCEPTION(L"consistency");
        CTaviLogManager::GetComponent(L"OTHER")->Write(8, __FILE__, 7, L"%s", L"other component");
        const std::string log = ReadAll(dir / "skrivo.log");
        EXPECT_NE(log.find("[SKRIVO] L8 LogTest.cpp("), std::string::npos) << log;
        EXPECT_NE(log.find("): level eight\n"), std::string::npos);
        EXPECT_NE(log.find("level one \xc3\xbc"), std::string::npos) << "UTF-8 in the file";
        EXPECT_EQ(log.find("thirty-two"), std::string::npos);
        EXPECT_NE(log.find("[OTHER] L8 LogTest.cpp(7): other component"), std::string::npos);
        const std::string ev = ReadAll(dir / "events.log");
        EXPECT_NE(ev.find("EVENT 0xC1010001 LogTest.cpp("), std::string::npos) << ev;
        EXPECT_NE(ev.find("consistency"), std::string::npos);
    }
    {
        sk::test::ScopedEnv levels("SKRIVO_LOG_LEVELS", "0");
        CTaviLogManager::Reconfigure();
        EXPECT_FALSE(CTaviLogManager::IsLoggingOn());
        sk::LogCapture cap;
        EXPECT_TRUE(CTaviLogManager::IsLoggingOn()) << "a capture turns everything on";
    }
    CTaviLogManager::Reconfigure();
    EXPECT_EQ(sk::SkrivoLogger(), CTaviLogManager::GetComponent(L"SKRIVO")) << "one component, kept";
}

} // namespace
