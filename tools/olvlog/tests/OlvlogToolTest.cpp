// olvlog.exe as a user runs it: its output and exit code for plain, encrypted,
// damaged and missing files, the rotation pair, the filters, JSON lines,
// following a log that another process writes and rotates, and --version.
#include "log/reader/LogFileReader.h"
#include "log/OlvLog.h"
#include "tests/support/ChildScenario.h"
#include "tests/support/LogSupport.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

// A program of the build run to its end, output compared as text.
ProcessResult RunTool(const std::vector<std::wstring>& args, const wchar_t* program = L"olvlog.exe")
{
    return RunProcess(BesideTestProgram(program), args, {}, 10000, DropCarriageReturns);
}

// A plain log file as the logger writes it: the header, then each record's
// UTF-16 units padded with U+0000 to whole 16-byte blocks.
std::string PlainLog(const std::vector<std::wstring>& records)
{
    std::string bytes("OLVLOG.0\xFF\xFE", 10);
    bytes.resize(24, '\0');
    for (const std::wstring& record : records) {
        std::wstring padded = record;
        while (padded.size() % 8 != 0)
            padded.push_back(L'\0');
        for (wchar_t unit : padded) {
            bytes.push_back(static_cast<char>(unit & 0xFF));
            bytes.push_back(static_cast<char>(unit >> 8));
        }
    }
    return bytes;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

}  // namespace

// AppendLine PATH MESSAGE
OLV_CHILD_SCENARIO(AppendLine)
{
    return AppendOneLine(args.at(0), args.at(1));
}

TEST(OlvlogTool, PrintsTheLinesOfAPlainLog)
{
    TempFolder folder;
    std::wstring path = folder / L"plain.log";
    {
        ScopedLogFlags plain(L"1");
        ScopedLog log(path, 1, 1 << 20, false);
        ASSERT_EQ(log.result, OlvLogOpened);
        OlvLog_Print(OlvLogInfo, L"first %d", 1);
        OlvLog_Print(OlvLogError, L"second \x00e9");
    }
    ProcessResult run = RunTool({path});
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    std::vector<std::wstring> lines = LogFileReader::Lines(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(run.out.find("] first 1\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("] second \xC3\xA9\n"), std::string::npos) << "UTF-8 output";
    EXPECT_EQ(run.err, "");
}

// Exit codes, with the one-line usage errors, and damage reported by its byte
// offset with the lines before and after it printed.
TEST(OlvlogTool, ExitCodesTellEncryptedDamagedMissingAndUsage)
{
    TempFolder folder;
    std::string encrypted = "OLVLOG.1";
    encrypted += std::string("\x40\0\0\0", 4) + std::string(64 + 16, 'k');
    WriteFileBytes(folder / L"encrypted.log", encrypted);
    WriteFileBytes(folder / L"foreign.log", "just some text, no log");
    std::string cut("OLVLOG.0\xFF\xFE", 10);
    cut += std::string(14, '\0') + std::string("[\0001\0:\0002\0:\0003\0:\0002\0]\0 \0x\0\r\0\n\0\0\0\0\0\0\0", 32) + "abc";
    WriteFileBytes(folder / L"cut.log", cut);
    std::string zeros = PlainLog({L"[1:2:3:2] before\r\n"}) + std::string(32, '\0');
    zeros += PlainLog({L"[1:2:3:2] after\r\n"}).substr(24);
    WriteFileBytes(folder / L"zeros.log", zeros);

    struct Case {
        std::vector<std::wstring> arguments;
        DWORD exitCode;
        const char* inErr;
    };
    const Case cases[] = {
        {{folder / L"encrypted.log"}, 4, "encrypted (OLVLOG.1): give --key PRIVATE_KEY_FILE"},
        {{folder / L"foreign.log"}, 3, "not a log file"},
        {{folder / L"cut.log"}, 3, "damaged at byte 56 (3 bytes): no log record starts here"},
        {{folder / L"zeros.log"}, 3, "damaged at byte 72 (32 bytes): U+0000 where a record should start"},
        {{folder / L"missing.log"}, 2, "cannot open"},
        {{}, 1, "usage"},
        {{L"--bogus"}, 1, "usage"},
        {{L"--pid", L"1a4", L"x.log"}, 1, "0x1a4"},
        {{L"--tid", L"0x100000000", L"x.log"}, 1, "--tid"},
        {{L"--pid", L"4294967296", L"x.log"}, 1, "--pid"},
        {{L"--level"}, 1, "--level needs a value"},
    };
    for (const Case& c : cases) {
        ProcessResult run = RunTool(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        EXPECT_NE(run.err.find(c.inErr), std::string::npos) << run.err;
        if (c.exitCode == 1) {
            EXPECT_EQ(Lines(run.err).size(), 1u) << "one line: " << run.err;
        }
    }
    ProcessResult damaged = RunTool({folder / L"cut.log"});
    EXPECT_EQ(damaged.out, "[1:2:3:2] x\n") << "lines before the damage are printed";
    ProcessResult recovered = RunTool({folder / L"zeros.log"});
    EXPECT_EQ(recovered.out, "[1:2:3:2] before\n[1:2:3:2] after\n") << "and the lines after it";
}

TEST(OlvlogTool, HelpGoesToStandardOutputAndNamesEveryOption)
{
    ProcessResult run = RunTool({L"--help"});
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_NE(run.out.find("usage: olvlog"), std::string::npos);
    std::string examples;
    for (const std::string& line : Lines(run.out)) {
        if (line.find_first_not_of(' ') != std::string::npos && line.compare(line.find_first_not_of(' '), 7, "olvlog ") == 0)
            examples += line + "\n";
    }
    for (const std::string option : {"--key", "--no-old", "--level", "--pid", "--tid", "--grep", "--follow", "--json",
                                     "--version", "--help"}) {
        const size_t at = examples.find(" " + option);
        const char after = at == std::string::npos ? '?' : examples[at + 1 + option.size()];
        EXPECT_TRUE(after == ' ' || after == '\n') << option << " has no example";
    }
}

// Given live files, the tool reads each one's ".old" first (when there is one),
// the files in the order given; --no-old reads the live file alone.
TEST(OlvlogTool, ReadsTheRotationPairOldFirstAndFilesInTheOrderGiven)
{
    TempFolder folder;
    WriteFileBytes(folder / L"a.log.old", PlainLog({L"[1:2:3:2] a old\r\n"}));
    WriteFileBytes(folder / L"a.log", PlainLog({L"[1:2:3:2] a live\r\n"}));
    WriteFileBytes(folder / L"b.log", PlainLog({L"[1:2:3:2] b live\r\n"}));
    struct Case {
        std::vector<std::wstring> arguments;
        const char* out;
    };
    const Case cases[] = {
        {{folder / L"b.log", folder / L"a.log"}, "[1:2:3:2] b live\n[1:2:3:2] a old\n[1:2:3:2] a live\n"},
        {{L"--no-old", folder / L"a.log"}, "[1:2:3:2] a live\n"},
        {{folder / L"a.log.old"}, "[1:2:3:2] a old\n"},
    };
    for (const Case& c : cases) {
        ProcessResult run = RunTool(c.arguments);
        EXPECT_EQ(run.exitCode, 0u) << run.err;
        EXPECT_EQ(run.out, c.out);
    }
}

// Each filter, and a further line of a message (no prefix of its own), which
// goes with its record.
TEST(OlvlogTool, FiltersKeepLinesByLevelProcessThreadAndText)
{
    TempFolder folder;
    const std::wstring path = folder / L"mixed.log";
    WriteFileBytes(path, PlainLog({L"[10:1a4:1b8:1] trace from 1a4\r\n", L"[11:1a4:1b9:3] error in WORKER\r\nits detail\r\n",
                               L"[12:99:1b8:2] information from 99\r\n", L"[13:1a4:1b8:5] fatal \x00c9p\x00e9\x65\r\n"}));
    const std::string trace = "[10:1a4:1b8:1] trace from 1a4", error = "[11:1a4:1b9:3] error in WORKER",
                      detail = "its detail", information = "[12:99:1b8:2] information from 99",
                      fatal = "[13:1a4:1b8:5] fatal \xC3\x89p\xC3\xA9\x65";
    struct Case {
        std::vector<std::wstring> filters;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {{L"--level", L"3"}, {error, detail, fatal}},
        {{L"--pid", L"0x1a4"}, {trace, error, detail, fatal}},
        {{L"--pid", L"420"}, {trace, error, detail, fatal}},
        {{L"--pid", L"0x1A4", L"--tid", L"0x1b8"}, {trace, fatal}},
        {{L"--tid", L"0x1b8", L"--level", L"2"}, {information, fatal}},
        {{L"--grep", L"worker"}, {error}},
        {{L"--grep", L"DETAIL"}, {detail}},
        {{L"--grep", L"\x00e9p\x00c9"}, {fatal}},
        {{L"--pid", L"7"}, {}},
        {{L"--pid", L"4294967295"}, {}},
        {{L"--tid", L"0xFFFFFFFF"}, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::wstring> args = c.filters;
        args.push_back(path);
        ProcessResult run = RunTool(args);
        EXPECT_EQ(run.exitCode, 0u) << run.err;
        EXPECT_EQ(Lines(run.out), c.lines) << testing::PrintToString(c.filters);
    }
}

// Every character a message can hold comes out as valid JSON: quotes,
// backslashes and control characters escaped, characters beyond the BMP as
// UTF-8, and surrogates without their partner as \u escapes.
TEST(OlvlogTool, JsonLinesEscapeAnyText)
{
    TempFolder folder;
    const std::wstring path = folder / L"text.log";
    WriteFileBytes(path, PlainLog({L"[1:2:3:4] q\"b\\c\x0001\t\x001f\x007f|a\rb\nc|\xD83D\xDE00|\xD800x\xDC00|\x2028|\x00e9\r\n",
                               L"[ffffffff:0:a:1] \r\nno prefix\r\n"}));
    ProcessResult run = RunTool({L"--json", path});
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_EQ(Lines(run.out),
              (std::vector<std::string>{
                  "{\"tick\":1,\"pid\":2,\"tid\":3,\"level\":4,\"text\":\"q\\\"b\\\\c\\u0001\\t\\u001f\x7f|a\\rb\\nc|"
                  "\xF0\x9F\x98\x80|\\ud800x\\udc00|\\u2028|\xC3\xA9\"}",
                  "{\"tick\":4294967295,\"pid\":0,\"tid\":10,\"level\":1,\"text\":\"\"}",
                  "{\"tick\":4294967295,\"pid\":0,\"tid\":10,\"level\":1,\"text\":\"no prefix\"}",
              }));
}

// Two processes append to one encrypted file in turn; the tool decrypts all of
// it with the private key, says what it needs without one, and refuses a key
// of another pair, a file that is no key (quoting it short), and a header
// whose key length the logger never writes (damage, not a wrong key).
TEST(OlvlogTool, DecryptsAnEncryptedLogWithThePrivateKey)
{
    OLV_REQUIRE_DEV_KEY();
    EncryptingLogs encrypting;
    TempFolder folder;
    const std::wstring path = folder / L"encrypted.log";
    ASSERT_TRUE(LogLines(path, {L"parent \x00e9 1"}));
    ASSERT_EQ(RunChildScenario("AppendLine", {path, L"child"}).exitCode, 0u);
    ASSERT_TRUE(LogLines(path, {L"parent 2"}, true));
    ASSERT_EQ(HeaderOf(FileBytes(path)).magic, "OLVLOG.1");

    const std::wstring devKey = folder / L"dev-private.key";
    WriteFileBytes(devKey, DevPrivateKeyText);
    std::string other = DevPrivateKeyText;
    const size_t exponent = other.find("privateExponent ");
    ASSERT_NE(exponent, std::string::npos);
    char& digit = other[exponent + 16 + 100];
    digit = digit == '1' ? '2' : '1';
    const std::wstring otherKey = folder / L"other-private.key";
    WriteFileBytes(otherKey, other);
    const std::wstring notAKey = folder / L"not-a.key";
    WriteFileBytes(notAKey, "bits 512\nmodulus 00\n");
    const std::wstring binaryKey = folder / L"binary.key";
    WriteFileBytes(binaryKey, std::string(4000, '\x01'));
    const std::string longBlob = std::string("OLVLOG.1\x80\0\0\0", 12) + std::string(128 + 16, 'k');
    const std::wstring longBlobLog = folder / L"long-blob.log";
    WriteFileBytes(longBlobLog, longBlob);

    ProcessResult run = RunTool({L"--key", devKey, path});
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_EQ(run.err, "");
    std::vector<std::string> messages;
    for (const std::string& line : Lines(run.out))
        messages.push_back(line.substr(line.find("] ") + 2));
    EXPECT_EQ(messages, (std::vector<std::string>{"parent \xC3\xA9 1", "child", "parent 2"}));

    struct Case {
        std::vector<std::wstring> arguments;
        DWORD exitCode;
        std::string inErr;
    };
    const Case cases[] = {
        {{path}, 4, "give --key PRIVATE_KEY_FILE"},
        {{L"--key", otherKey, path}, 5, "does not match"},
        {{L"--key", notAKey, path}, 2, "not a private key file"},
        {{L"--key", binaryKey, path}, 2, "unknown field \"" + std::string(32, '?') + "\"..."},
        {{L"--key", folder / L"missing.key", path}, 2, "cannot open the key file"},
        {{L"--key", devKey, longBlobLog}, 3, "impossible key blob length (128 bytes"},
        {{path, L"--key"}, 1, "usage"},
    };
    for (const Case& c : cases) {
        ProcessResult failed = RunTool(c.arguments);
        EXPECT_EQ(failed.exitCode, c.exitCode) << failed.err;
        EXPECT_NE(failed.err.find(c.inErr), std::string::npos) << failed.err;
        EXPECT_LT(failed.err.size(), 400u) << "a readable message";
        EXPECT_EQ(failed.out, "");
    }
}

// olvlog --follow while this process writes an encrypted log that rotates
// every few lines: every line arrives once, in order, from the old file and
// from each new one (whose key is unsealed again). Each line is written only
// after the one before it was printed, so no two rotations fall between two
// looks of the tool; the waits only bound a failure.
TEST(OlvlogTool, FollowPrintsNewLinesAcrossRotations)
{
    OLV_REQUIRE_DEV_KEY();
    EncryptingLogs encrypting;
    TempFolder folder;
    const std::wstring path = folder / L"followed.log";
    const std::wstring devKey = folder / L"dev-private.key";
    WriteFileBytes(devKey, DevPrivateKeyText);

    ScopedLog log(path, 1, 400, false);
    ASSERT_EQ(log.result, OlvLogOpened);
    OlvLog_Print(OlvLogError, L"follow line %02d", 0);
    RunningProcess follower(BesideTestProgram(L"olvlog.exe"), {L"--follow", L"--key", devKey, path}, {},
                            DropCarriageReturns);
    ASSERT_TRUE(follower.Started());
    const int count = 16;
    for (int i = 0; i < count; ++i) {
        char expected[32];
        std::snprintf(expected, sizeof(expected), "] follow line %02d\n", i);
        ASSERT_TRUE(follower.WaitForOutput(expected)) << "line " << i << " not printed; so far:\n"
                                                      << follower.Output();
        if (i + 1 < count)
            OlvLog_Print(OlvLogError, L"follow line %02d", i + 1);
    }
    EXPECT_TRUE(FileExists(path + L".old")) << "the log did not rotate";
    std::vector<std::string> messages;
    for (const std::string& line : Lines(follower.Output()))
        messages.push_back(line.substr(line.find("] ") + 2));
    std::vector<std::string> expected;
    for (int i = 0; i < count; ++i)
        expected.push_back((i < 10 ? "follow line 0" : "follow line ") + std::to_string(i));
    EXPECT_EQ(messages, expected);
    EXPECT_EQ(follower.Stop().err, "") << "no damage, no warning";
}

// Every tool answers --version with the version RUXUI.dll carries; olvlog also
// names the key this build seals with, and tells whether a key file opens it.
TEST(ToolVersions, EveryToolAnswersWithTheVersionOfThePlugIn)
{
    const std::wstring dll = BesideTestProgram(L"RUXUI.dll");
    DWORD handle = 0;
    std::vector<unsigned char> data(GetFileVersionInfoSizeW(dll.c_str(), &handle));
    ASSERT_FALSE(data.empty());
    ASSERT_TRUE(GetFileVersionInfoW(dll.c_str(), 0, static_cast<DWORD>(data.size()), data.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    const std::string version = std::to_string(HIWORD(fixed->dwProductVersionMS)) + "." +
                                std::to_string(LOWORD(fixed->dwProductVersionMS)) + "." +
                                std::to_string(HIWORD(fixed->dwProductVersionLS)) + "." +
                                std::to_string(LOWORD(fixed->dwProductVersionLS));
    for (const wchar_t* tool : {L"olvlog", L"ruxhost", L"ruxui-console", L"vtctl"}) {
        ProcessResult run = RunTool({L"--version"}, (std::wstring(tool) + L".exe").c_str());
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_EQ(Lines(run.out).at(0), std::string(tool, tool + std::wcslen(tool)) + " " + version);
    }

    TempFolder folder;
    WriteFileBytes(folder / L"dev-private.key", DevPrivateKeyText);
    ProcessResult keys = RunTool({L"--version", L"--key", folder / L"dev-private.key"});
    EXPECT_EQ(keys.exitCode, 0u) << keys.err;
    // The development key's fingerprint, computed once with another MD5 (Python's hashlib).
    if (DevKeyIsBuiltIn()) {
        EXPECT_NE(keys.out.find("built-in log key: 3f99cc3e433350a9"), std::string::npos) << keys.out;
        EXPECT_NE(keys.out.find(": 3f99cc3e433350a9 (opens the logs this build writes)"), std::string::npos) << keys.out;
    } else {
        EXPECT_NE(keys.out.find("(another key pair"), std::string::npos) << keys.out;
    }
}
