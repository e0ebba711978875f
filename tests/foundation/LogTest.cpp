#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "base/Log.h"
#include "base/Text.h"
#include "support/TestSupport.h"

using namespace zel;

namespace {

// Set in the second process of TwoProcessesAppendWithoutLosingLines, which
// writes into the log of the first and leaves it alone otherwise.
bool IsSecondWriter() { return GetEnvironmentVariableA("ZEL_LOG_WRITER", nullptr, 0) > 0; }

class LogTest : public testing::Test {
protected:
    void SetUp() override {
        if (IsSecondWriter()) return;
        test::RemoveTree(GetLogDir());
        LogMode = LogDefaultMode;
    }
    void TearDown() override {
        if (IsSecondWriter()) return;
        LogMode = LogDefaultMode;
        test::RemoveTree(GetLogDir());
    }
    std::vector<std::string> Messages() {
        std::vector<std::string> out;
        for (const auto& line : test::SplitLines(test::ReadLog(test::TestDir()))) {
            EXPECT_GE(line.size(), 11u);
            EXPECT_EQ(line.substr(2, 1), ":");
            EXPECT_EQ(line.substr(8, 3), " : ");
            out.push_back(line.substr(11));
        }
        return out;
    }
};

}  // namespace

TEST_F(LogTest, DisabledLevelTouchesNothing) {
    WriteLog("trace", LogTrace);
    WriteLog("debug", LogDebug);
    WriteLogFmt("%s", {"debug"}, LogDebug);
    EXPECT_FALSE(DirectoryExists(GetLogDir()));
}

TEST_F(LogTest, LineFormatAndBytes) {
    WriteLog("Установка службы обновления ЗЕЛ", LogInfo);
    WriteLog("50% готово", LogError);
    WriteLogFmt("%-6s|%.2d", {"ab", 7}, LogWarning);
    std::string raw = test::ReadLog(test::TestDir());
    // Windows-1251 bytes, CR LF, no byte-order mark.
    EXPECT_NE(raw.find("\xD3\xF1\xF2\xE0\xED\xEE\xE2\xEA\xE0"), std::string::npos);  // "Установка"
    EXPECT_EQ(raw.substr(raw.size() - 2), "\r\n");
    EXPECT_NE(raw.substr(0, 3), "\xEF\xBB\xBF");
    auto m = Messages();
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0], "Установка службы обновления ЗЕЛ");
    EXPECT_EQ(m[1], "50% готово");
    EXPECT_EQ(m[2], "ab    |07");
    SYSTEMTIME d = {};
    d.wYear = 2026;
    d.wMonth = 3;
    d.wDay = 5;
    EXPECT_EQ(GetLogFileName(d), "US20260305.txt");
    EXPECT_EQ(GetLogDir(), test::TestDir() + "Logs\\");
}

TEST_F(LogTest, MessageWithLineBreaksIsWrittenUnchanged) {
    WriteLog("first\r\nsecond", LogInfo);
    std::string raw = test::ReadLog(test::TestDir());
    EXPECT_NE(raw.find(" : first\r\nsecond\r\n"), std::string::npos);
}

TEST_F(LogTest, FormattingErrorRaisesBeforeLevelTest) {
    EXPECT_THROW(WriteLogFmt("%d", {"x"}, LogTrace), EConvertError);
}

TEST_F(LogTest, ModeReport) {
    SetLogMode(0);  // 0 means 0x3C: no change
    EXPECT_FALSE(DirectoryExists(GetLogDir()));
    SetLogMode(0x3E);
    EXPECT_EQ(LogMode.load(), 0x3E);
    auto m = Messages();
    std::vector<std::string> expected = {"Изменился режим логирования: 3E", "  Fatal Errors: Да",
                                         "  Errors:       Да",             "  Warnings:     Да",
                                         "  Information   Да",             "  Debugging     Да",
                                         "  Trace         Нет"};
    EXPECT_EQ(m, expected);
    SetLogMode(0x3E);  // unchanged: nothing
    EXPECT_EQ(Messages().size(), 7u);
}

TEST_F(LogTest, ReportIsWrittenAtTheOldMode) {
    SetLogMode(0x01);
    EXPECT_EQ(Messages().size(), 7u);  // written under 0x3C
    WriteLog("info", LogInfo);
    WriteLog("trace", LogTrace);
    auto m = Messages();
    ASSERT_EQ(m.size(), 8u);
    EXPECT_EQ(m.back(), "trace");
    // From 0x01 the next report is written only if it shares bit 0x01.
    SetLogMode(static_cast<uint8_t>(256));  // the low byte 0 means 0x3C
    EXPECT_EQ(LogMode.load(), 0x3C);
    EXPECT_EQ(Messages().size(), 15u);
}

TEST_F(LogTest, ThreadsNeverInterleaveLines) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) WriteLogFmt("thread %d line %d %s", {t, i, std::string(200, 'x')}, LogInfo);
        });
    for (auto& th : threads) th.join();
    auto m = Messages();
    ASSERT_EQ(m.size(), 200u);
    for (const auto& line : m) EXPECT_EQ(line.substr(line.size() - 200), std::string(200, 'x'));
}

TEST_F(LogTest, LockedFileRaisesStreamError) {
    WriteLog("first", LogInfo);
    HANDLE h = CreateFileA(test::TodayLogPath(test::TestDir()).c_str(), GENERIC_READ, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_THROW(WriteLog("second", LogInfo), EStreamError);
    CloseHandle(h);
    WriteLog("third", LogInfo);  // the lock was released
    auto m = Messages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[1], "third");
}

// Nothing is written through a link: not into a folder that a link in place
// of the log's folder leads to, nor into a file elsewhere that the day's
// file is a second name of. The line is dropped, and the writer is told as
// of a file that cannot be opened.
TEST_F(LogTest, NothingIsWrittenThroughALink) {
    std::string elsewhere = test::TestDir() + "elsewhere\\";
    test::RemoveTree(elsewhere);
    ASSERT_TRUE(ForceDirectories(elsewhere));
    std::string logs = GetLogDir();
    ASSERT_TRUE(test::MakeFolderLink(elsewhere, logs));
    EXPECT_THROW(WriteLog("through the link", LogInfo), EStreamError);
    EXPECT_FALSE(TryWriteLog("through the link", LogError));
    SYSTEMTIME now;
    GetLocalTime(&now);
    EXPECT_FALSE(FileExists(elsewhere + GetLogFileName(now)));
    ASSERT_TRUE(test::RemoveFolderLink(logs));

    std::string outside = elsewhere + "outside.txt";
    test::WriteFileBytes(outside, "kept");
    ASSERT_TRUE(ForceDirectories(logs));
    ASSERT_TRUE(CreateHardLinkA(test::TodayLogPath(test::TestDir()).c_str(), outside.c_str(), nullptr));
    EXPECT_THROW(WriteLog("through the second name", LogInfo), EStreamError);
    EXPECT_EQ(test::ReadFileBytes(outside), "kept");
    test::RemoveTree(elsewhere);
}

// The service and an "install" run write the same day's file: every line of
// both ends up in it, whole.
TEST_F(LogTest, TwoProcessesAppendWithoutLosingLines) {
    const int count = 1500;
    const std::string who = IsSecondWriter() ? "second" : "first";
    HANDLE second = nullptr;
    if (!IsSecondWriter()) {
        SetEnvironmentVariableA("ZEL_LOG_WRITER", "1");
        second = test::StartProcess("\"" + GetProgramPath() +
                                    "\" --gtest_filter=LogTest.TwoProcessesAppendWithoutLosingLines");
        SetEnvironmentVariableA("ZEL_LOG_WRITER", nullptr);
        ASSERT_NE(second, nullptr);
        ASSERT_TRUE(test::WaitFor(
            [] { return test::ReadLog(test::TestDir()).find(" : second 0\r\n") != std::string::npos; }, 30000));
    }
    for (int i = 0; i < count; ++i) WriteLogFmt("%s %d", {who, i}, LogInfo);
    if (!second) return;
    ASSERT_EQ(WaitForSingleObject(second, 120000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeProcess(second, &code);
    CloseHandle(second);
    EXPECT_EQ(code, 0u);

    std::vector<int> seen[2] = {std::vector<int>(count), std::vector<int>(count)};
    int first[2] = {-1, -1}, last[2] = {-1, -1}, index = 0;
    for (const std::string& line : test::SplitLines(test::ReadLog(test::TestDir()))) {
        std::string m = line.size() > 11 ? line.substr(11) : std::string();
        int writer = m.rfind("first ", 0) == 0 ? 0 : m.rfind("second ", 0) == 0 ? 1 : -1;
        int n = writer < 0 ? -1 : StrToIntDef(m.substr(m.find(' ') + 1), -1);
        if (n < 0 || n >= count) {
            ADD_FAILURE() << "damaged line: " << line;
            continue;
        }
        ++seen[writer][n];
        if (first[writer] < 0) first[writer] = index;
        last[writer] = index++;
    }
    for (int w = 0; w < 2; ++w)
        for (int i = 0; i < count; ++i) EXPECT_EQ(seen[w][i], 1) << (w ? "second " : "first ") << i;
    // The two really wrote at the same time.
    EXPECT_LT(first[0], last[1]);
    EXPECT_LT(first[1], last[0]);
}
