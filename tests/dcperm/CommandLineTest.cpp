// The real dcperm.exe: switches, messages in both languages, exit codes,
// console and log output.
#include <gtest/gtest.h>

#include "DcpermHelpers.h"
#include "support/TestSupport.h"

using namespace dcperm::test;
using zel::test::ReadFileBytes;
using zel::test::TestDir;
using zel::test::WriteFileBytes;

namespace {

const char* const En = "en_US.UTF-8";

std::string Q(const std::string& path) { return "\"" + path + "\""; }

std::string ScriptWithErrorInLine5() {
    return WriteScript("error5.txt", "; test\r\nAppId default\r\nenabledcom y\r\n\r\nbogus line\r\nedit y\r\n");
}

}  // namespace

TEST(CommandLineTest, CommandLineErrors) {
    std::string good = WriteScript("comments.txt", "; nothing to do\r\n");
    struct Case {
        std::string args;
        int code;
        std::string out;
    } cases[] = {
        {"", 3, "Ошибка в строке параметров\r\n\r\n"},
        {"/x " + Q(good), 3, "Неизвестный параметр /x\r\n\r\n"},
        {"/bb " + Q(good), 3, "Неизвестный параметр /bb\r\n\r\n"},
        {"b " + Q(good), 3, "Неизвестный параметр b\r\n\r\n"},
        {"/b", 3, "Указанный файл скрипта \"/b\" не найден\r\n\r\n"},
        {"/o " + Q(good), 3, "Не указано имя файла протокола\r\n\r\n"},
        {"/? " + Q(good), 3, "Неизвестный параметр " + good + "\r\n\r\n"},
        {"/i /?", 3, "Указанный файл скрипта \"/?\" не найден\r\n\r\n"},
        {Q(TestDir() + "scripts"), 3, "Указанный файл скрипта \"" + TestDir() + "scripts\" не найден\r\n\r\n"},
        {"/o " + Q(TestDir() + "no\\such\\dir\\log.txt") + " " + Q(good), 3, "Ошибка при попытке открытия файла протокола\r\n\r\n"},
        {"/o " + Q(TestDir() + "scripts") + " " + Q(good), 3, "Ошибка при попытке открытия файла протокола\r\n\r\n"},
        {"-S " + Q(good), 0, ""},
        {"/I " + Q(good), 0, "Анализ скрипта...\r\nУспешно\r\nВыполнение скрипта...\r\nВыполнение завершено\r\n\r\n"},
        {Q(ScriptWithErrorInLine5()), 2, "Ошибка скрипта (Строка 5): Неизвестная команда\r\nВыполнение скрипта прервано\r\n\r\n"},
    };
    for (const auto& c : cases) {
        RunResult r = RunDcperm(c.args, En);
        EXPECT_EQ(c.code, r.exitCode) << c.args;
        EXPECT_EQ(c.out, r.out) << c.args;
    }

    // A long script name is not cut off the message.
    std::string longName = TestDir() + std::string(240, 'n') + "\\" + std::string(60, 'm') + ".txt";
    RunResult r = RunDcperm(Q(longName), En);
    EXPECT_EQ(3, r.exitCode);
    EXPECT_EQ("Указанный файл скрипта \"" + longName + "\" не найден\r\n\r\n", r.out);
}

TEST(CommandLineTest, RussianMessagesAndHelp) {
    // The inherited locale of the test run is Russian; pipes get code page 1251.
    RunResult r = RunDcperm("");
    EXPECT_EQ(3, r.exitCode);
    EXPECT_EQ("Ошибка в строке параметров\r\n\r\n", r.out);
    r = RunDcperm("/x y");
    EXPECT_EQ("Неизвестный параметр /x\r\n\r\n", r.out);
    r = RunDcperm(Q(ScriptWithErrorInLine5()));
    EXPECT_EQ(2, r.exitCode);
    EXPECT_EQ("Ошибка скрипта (Строка 5): Неизвестная команда\r\nВыполнение скрипта прервано\r\n\r\n", r.out);

    r = RunDcperm("-?");
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ(0u, r.out.find("Командная строка:\r\ndcperm [/?] [/b] [/s] [/i] [/o <ФайлПротокола>] <ФайлСкрипта>\r\n"))
        << r.out;
    EXPECT_NE(std::string::npos, r.out.find("%POWERUSERS%"));

}

// The English texts: under Wine a child process cannot be given another
// user locale, so the English table and help are read from the program
// itself in the language the formatter picks on an English system.
TEST(CommandLineTest, EnglishTexts) {
    HMODULE m = LoadLibraryExA((zel::test::BinDir() + "dcperm.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, m);
    auto text = [&](DWORD id, WORD lang, const char* arg) {
        const char* args[8] = {arg, "", "", "", "", "", "", ""};
        auto* list = reinterpret_cast<va_list*>(const_cast<char**>(args));
        char buf[512] = {};
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, m, id, lang, buf,
                                 sizeof buf, list);
        return std::string(buf, n);
    };
    EXPECT_EQ("Invalid command line.\r\n", text(14, 1033, ""));
    EXPECT_EQ("Unknown switch /x.\r\n", text(15, 1033, "/x"));
    EXPECT_EQ("Invalid \"Rights\" value.\r\n", text(11, 1033, ""));
    EXPECT_EQ("Can''t open script file.\r\n", text(17, 1033, ""));
    EXPECT_EQ("Fatal error!.\r\n", text(27, 1033, ""));
    EXPECT_EQ("Script Error (Line %1):.\r\n", text(100, 1033, "%1"));
    EXPECT_EQ("Критическя ошибка!.\r\n", text(27, 1049, ""));
    EXPECT_EQ("Указанный файл скрипта \"a b\" не найден.\r\n", text(16, 1049, "a b"));

    HRSRC res = FindResourceA(m, MAKEINTRESOURCEA(1033), MAKEINTRESOURCEA(10));
    ASSERT_NE(nullptr, res);
    std::string help(static_cast<const char*>(LockResource(LoadResource(m, res))), SizeofResource(m, res));
    EXPECT_EQ(0u, help.find("Command line:\r\n"
                            "dcperm [/?] [/b] [/s] [/i] [/o <LogFileName>] <ScriptFileName>\r\n"
                            "/? - Out this help\r\n"
                            "/b - Break if any error on execute occured\r\n"
                            "/s - Do not output messages on console\r\n"
                            "/o LogFileName - Output messages in log file\r\n"
                            "/i - output detail information\r\n"))
        << help;
    EXPECT_NE(std::string::npos, help.find("RPC_C_IMP_LEVEL_DELEGATE"));
    FreeLibrary(m);
}

TEST(CommandLineTest, SilentRunWritesOnlyTheLog) {
    std::string log = TestDir() + "out\\log.txt";
    WriteFileBytes(log, "earlier run\r\n");
    RunResult r = RunDcperm("/s /o " + Q(log) + " " + Q(ScriptWithErrorInLine5()), En);
    EXPECT_EQ(2, r.exitCode);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("earlier run\r\nОшибка скрипта (Строка 5): Неизвестная команда\r\nВыполнение скрипта прервано\r\n\r\n", ReadFileBytes(log));

    // Without /s both get the texts; a new log file is created; the log of
    // a Russian run holds the ANSI texts.
    std::string fresh = TestDir() + "out\\fresh.txt";
    DeleteFileA(fresh.c_str());
    r = RunDcperm("/i /o " + Q(fresh) + " " + Q(WriteScript("empty.txt", "")));
    EXPECT_EQ(0, r.exitCode);
    std::string expected = "Анализ скрипта...\r\nУспешно\r\nВыполнение скрипта...\r\nВыполнение завершено\r\n\r\n";
    EXPECT_EQ(expected, r.out);
    EXPECT_EQ(expected, ReadFileBytes(fresh));

    // Messages of command-line parsing never reach the log.
    r = RunDcperm("/s /o " + Q(fresh) + " /x " + Q(ScriptWithErrorInLine5()), En);
    EXPECT_EQ(3, r.exitCode);
    EXPECT_EQ("Неизвестный параметр /x\r\n\r\n", r.out);
    EXPECT_EQ(expected, ReadFileBytes(fresh));
}

TEST(CommandLineTest, HostileScripts) {
    // Binary garbage, an overlong line, a line of many tokens, zero bytes,
    // lone CR line ends: a script error or success, never a crash.
    std::string garbage;
    unsigned seed = 99;
    for (int i = 0; i < 100000; ++i) {
        seed = seed * 1103515245 + 12345;
        garbage.push_back(static_cast<char>(seed >> 16));
    }
    RunResult r = RunDcperm(Q(WriteScript("garbage.bin", "\x01\x02zz" + garbage)), En);
    EXPECT_EQ(2, r.exitCode);
    EXPECT_EQ(0u, r.out.find("Ошибка скрипта (Строка 1): Неизвестная команда\r\n")) << r.out;

    std::string longLine = "; " + std::string(3 << 20, 'c') + "\r\n" + std::string(1 << 20, 'x') + "\r\n";
    r = RunDcperm(Q(WriteScript("long.txt", longLine)), En);
    EXPECT_EQ(2, r.exitCode);
    EXPECT_EQ("Ошибка скрипта (Строка 2): Неизвестная команда\r\nВыполнение скрипта прервано\r\n\r\n", r.out);

    std::string many = "AppId default\rset +access rights 1";
    for (int i = 0; i < 40; ++i) many += " | 1";
    many += " %EVERYONE%\n";
    r = RunDcperm(Q(WriteScript("many.txt", many)), En);
    EXPECT_EQ(2, r.exitCode);
    EXPECT_EQ("Ошибка скрипта (Строка 2): Не указано имя пользователя или группы\r\nВыполнение скрипта прервано\r\n\r\n", r.out);

    static const char zeros[] = "\0\0;\0\r\n\0\r\nedit\0y\r\n";
    r = RunDcperm(Q(WriteScript("zeros.txt", std::string(zeros, sizeof zeros - 1))), En);
    EXPECT_EQ(2, r.exitCode);
    EXPECT_EQ("Ошибка скрипта (Строка 3): Неизвестная команда\r\nВыполнение скрипта прервано\r\n\r\n", r.out);
}
