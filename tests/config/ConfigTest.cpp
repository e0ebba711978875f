#include <gtest/gtest.h>

#include "base/Log.h"
#include "catalogue/Requests.h"
#include "config/ExtConfig.h"
#include "config/Tools.h"
#include "support/TestSupport.h"

using namespace zel;

namespace {

class ConfigTest : public testing::Test {
protected:
    void SetUp() override {
        RemoveFile(GetConfigPath());
        test::RemoveTree(GetLogDir());
        LogMode = LogDefaultMode;
        PollPeriod = DefaultPollPeriod;
        ServerURL = DefaultServerURL;
        RequestMethod = "POST";
    }
    void TearDown() override { SetUp(); }

    void WriteConfig(const std::string& text) { test::WriteFileBytes(GetConfigPath(), text); }

    // The messages of today's log without their time stamps.
    std::vector<std::string> Messages() { return test::LogMessages(test::TestDir()); }
    bool Logged(const std::string& message) {
        for (const auto& m : Messages())
            if (m == message) return true;
        return false;
    }
};

}  // namespace

TEST_F(ConfigTest, ReadsKeysAndLogsOnlyChanges) {
    LogMode = 0x3E;  // lets the setters' debug lines through
    WriteConfig("URL=http://host:81/zel\r\nmethod=GET\nLogLevel=62\rPeriod=36000000000\r\n");
    ReadConfig();
    EXPECT_EQ(ServerURL, "http://host:81/zel");
    EXPECT_EQ(RequestMethod, "GET");
    EXPECT_EQ(LogMode.load(), 62);
    EXPECT_EQ(PollPeriod.load(), -36000000000LL);
    std::vector<std::string> expected = {"Изменился адрес сервера ЗЕЛ: http://host:81/zel",
                                         "Изменился метод запросов к серверу ЗЕЛ: GET",
                                         "Изменился период опроса сервера ЗЕЛ: 1 час"};
    EXPECT_EQ(Messages(), expected);

    // An unchanged file writes nothing.
    ReadConfig();
    EXPECT_EQ(Messages().size(), 3u);

    // Deleting the file returns everything to the defaults, one line each.
    RemoveFile(GetConfigPath());
    ReadConfig();
    EXPECT_EQ(ServerURL, DefaultServerURL);
    EXPECT_EQ(RequestMethod, "POST");
    EXPECT_EQ(LogMode.load(), LogDefaultMode);
    EXPECT_EQ(PollPeriod.load(), DefaultPollPeriod);
    EXPECT_TRUE(Logged(std::string("Изменился адрес сервера ЗЕЛ: ") + DefaultServerURL));
    EXPECT_TRUE(Logged("Изменился метод запросов к серверу ЗЕЛ: POST"));
    EXPECT_TRUE(Logged("Изменился режим логирования: 3C"));
    // The period line is written after the mode went back to 0x3C: not logged.
    EXPECT_FALSE(Logged("Изменился период опроса сервера ЗЕЛ: 20 мин"));
}

TEST_F(ConfigTest, LineRulesAndValueFallbacks) {
    LogMode = 0x3E;
    // First matching line wins, values are not trimmed, a blank before the
    // key hides it, lines without "=" and unknown keys are ignored.
    WriteConfig("no equals sign\n LogLevel=1\nURL= http://a/ \nUrl=http://second\nOther=1\n"
                "Method=post\nLOGLEVEL=318\nPeriod=-10000000\n");
    ReadConfig();
    EXPECT_EQ(ServerURL, " http://a/ ");
    EXPECT_EQ(RequestMethod, "POST");  // by the fallback
    EXPECT_EQ(LogMode.load(), 0x3E);  // the low byte of 318
    EXPECT_EQ(PollPeriod.load(), -10000000LL);
    EXPECT_TRUE(Logged("Изменился период опроса сервера ЗЕЛ: 1 cек"));

    // Non-numeric values count as absent.
    WriteConfig("LogLevel=abc\nPeriod=12e9\nURL=\n");
    LogMode = 0x3E;
    ReadConfig();
    EXPECT_EQ(LogMode.load(), LogDefaultMode);
    EXPECT_EQ(PollPeriod.load(), DefaultPollPeriod);
    EXPECT_EQ(ServerURL, DefaultServerURL);

    // The "debug" mode goes back to 0x3C when the file has no LogLevel.
    test::RemoveTree(GetLogDir());
    LogMode = 0x3E;
    WriteConfig("Period=12000000000\n");
    ReadConfig();
    EXPECT_EQ(LogMode.load(), LogDefaultMode);
    EXPECT_EQ(PollPeriod.load(), DefaultPollPeriod);
    EXPECT_TRUE(Logged("Изменился режим логирования: 3C"));

    // The low byte of 256 is 0, which means 0x3C.
    LogMode = 0x3E;
    WriteConfig("LogLevel=256\n");
    ReadConfig();
    EXPECT_EQ(LogMode.load(), LogDefaultMode);

    // A hexadecimal LogLevel is read by the run-time's rules.
    WriteConfig("LogLevel=$3F\n");
    ReadConfig();
    EXPECT_EQ(LogMode.load(), 0x3F);
}

TEST_F(ConfigTest, EmptyBinaryHugeAndLockedFiles) {
    WriteConfig("");
    LogMode = 0x3E;
    ServerURL = "http://old";
    ReadConfig();
    EXPECT_EQ(ServerURL, DefaultServerURL);
    EXPECT_EQ(LogMode.load(), LogDefaultMode);

    // Binary content with NUL bytes: the lines around it still count.
    WriteConfig(std::string("\x00\xFF\x01garbage\x00\r\nMethod=GET\r\n\x00\x00=\xFE", 29));
    ReadConfig();
    EXPECT_EQ(RequestMethod, "GET");

    // A file far larger than any settings file is refused as a read error.
    std::string huge(6 * 1024 * 1024, 'x');
    WriteConfig("Method=POST\n" + huge);
    ReadConfig();
    EXPECT_EQ(RequestMethod, "GET");
    EXPECT_TRUE(Logged("Ошибка при чтении файла настроек .config"));
    EXPECT_EQ(ReadConfigInt("Method", 7), 7);

    // A large but plausible file is read completely.
    WriteConfig(std::string(300000, '#') + "\nSecFlags=3\n");
    EXPECT_EQ(ReadConfigInt("SecFlags", 12), 3);

    // A file locked by another writer: error line, settings unchanged.
    test::RemoveTree(GetLogDir());
    WriteConfig("Method=POST\nSecFlags=5\n");
    HANDLE h = CreateFileA(GetConfigPath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ReadConfig();
    EXPECT_EQ(RequestMethod, "GET");
    EXPECT_EQ(ReadConfigInt("SecFlags", 12), 12);
    CloseHandle(h);
    auto m = Messages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0], "Ошибка при чтении файла настроек .config");
    EXPECT_EQ(ReadConfigInt("SecFlags", 12), 5);
}

TEST_F(ConfigTest, ReadConfigIntDefaults) {
    EXPECT_EQ(ReadConfigInt("SecFlags", 12), 12);  // no file
    WriteConfig("SecFlags=\nX=0x10\nY=-3\nZ=1 2\n");
    EXPECT_EQ(ReadConfigInt("SecFlags", 12), 12);
    EXPECT_EQ(ReadConfigInt("x", 1), 16);
    EXPECT_EQ(ReadConfigInt("Y", 1), -3);
    EXPECT_EQ(ReadConfigInt("Z", 1), 1);
    EXPECT_EQ(ReadConfigInt("Absent", 4), 4);
    EXPECT_FALSE(DirectoryExists(GetLogDir()));
}

TEST_F(ConfigTest, PollPeriodAndDuration) {
    LogMode = 0x3E;
    SetPollPeriod(0);  // 20 minutes already: nothing
    EXPECT_FALSE(DirectoryExists(GetLogDir()));
    SetPollPeriod(12000000000LL);  // positive means the same 20 minutes
    EXPECT_FALSE(DirectoryExists(GetLogDir()));
    SetPollPeriod(54150000000LL);
    EXPECT_EQ(PollPeriod.load(), -54150000000LL);
    EXPECT_EQ(Messages(), std::vector<std::string>{"Изменился период опроса сервера ЗЕЛ: 1 час 30 мин 15 cек"});

    EXPECT_EQ(FormatDuration(-12000000000LL), "20 мин");
    EXPECT_EQ(FormatDuration(-36000000000LL), "1 час");
    EXPECT_EQ(FormatDuration(-9999999LL), "");
    EXPECT_EQ(FormatDuration(-36010000000LL), "1 час 1 cек");
    EXPECT_EQ(FormatDuration(-25 * 36000000000LL - 5990000000LL), "25 час 9 мин 59 cек");
    // The seconds' unit begins with the Latin letter c.
    EXPECT_EQ(FormatDuration(-10000000LL), "1 \x63\xE5\xEA");
}
