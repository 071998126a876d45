// Encrypted logs end to end: the header of a new file and what its blob
// unseals to, the stream key shared through the registry (between files and
// processes), the "OLVLOGFLAGS" switch, the plain fallback with its error
// record, rotation, and records appended by several processes.
#include "LogTestSupport.h"

#include "log/OlvLog.h"

#include <gtest/gtest.h>


using namespace logtest;

namespace {

constexpr uint64_t LargeFile = 64ull << 20;

std::vector<std::wstring> DecryptedMessages(const std::wstring& path)
{
    std::vector<std::wstring> messages;
    for (const std::wstring& line : LogFileReader::Lines(path, &DevPrivateKey()))
        messages.push_back(Message(line));
    return messages;
}

std::vector<unsigned char> Slice(const std::vector<unsigned char>& bytes, size_t offset, size_t length)
{
    if (bytes.size() < offset + length)
        return {};
    return std::vector<unsigned char>(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                                      bytes.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

// A public key that seals nothing: `bits` below 505 (0x406), or a zero modulus (0x401).
RsaPublicKey UnusableKey(uint16_t bits)
{
    RsaPublicKey key{};
    key.bits = bits;
    key.exponent[sizeof(key.exponent) - 1] = 3;
    if (bits != 512)
        key.modulus[sizeof(key.modulus) - 1] = 0xF1;  // any non-zero number: the length alone refuses it
    return key;
}

struct SealingKeyOverride {
    explicit SealingKeyOverride(const RsaPublicKey* key) { LogSealingKey.store(key); }
    ~SealingKeyOverride() { LogSealingKey.store(nullptr); }
};

struct SeedSourceOverride {
    explicit SeedSourceOverride(StreamKeySeedSource source) { LogKeySeedSource.store(source); }
    ~SeedSourceOverride() { LogKeySeedSource.store(&SystemSeedSource); }
};

std::atomic<int> SeedsMade{0};
std::atomic<int> SeedsMadeImpersonating{0};

// A seed source that counts whether the thread impersonates while the stream
// key is made.
bool CountingSeedSource(void* context, uint8_t* bytes, uint32_t length)
{
    ++SeedsMade;
    HANDLE token = nullptr;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
        CloseHandle(token);
        ++SeedsMadeImpersonating;
    }
    return SystemSeedSource(context, bytes, length);
}


// Counts the pauses of an opener that waits for another process's key value,
// without pausing, for one scope; `appearing`, when given, is stored as that
// value during the last pause.
struct CountedKeyPauses {
    explicit CountedKeyPauses(const std::vector<unsigned char>* appearing)
    {
        count.store(0);
        milliseconds.store(0);
        value = appearing;
        LogKeyValuePause.store(&Count);
    }
    ~CountedKeyPauses() { LogKeyValuePause.store(&Sleep); }
    static void WINAPI Count(DWORD ms)
    {
        milliseconds += ms;
        if (++count == KeyValueReads - 1 && value != nullptr)
            SharedKeyScope::Plant(value);
    }
    static inline std::atomic<unsigned> count{0};
    static inline std::atomic<unsigned> milliseconds{0};
    static inline const std::vector<unsigned char>* value = nullptr;
};

}  // namespace

// Every case starts with logs that encrypt ("OLVLOGFLAGS" unset), the user's
// shared stream key set aside, and a folder of its own.
class LogEncryption : public testing::Test {
protected:
    EncryptingLogs encryptingLogs;
    TempFolder folder;
};

// The layout byte by byte: magic, blob length 64, a blob that unseals to the
// registry's 32-byte key and 32 zero bytes, the encrypted byte-order record,
// then lines that decrypt to the exact text. A second file under the same key
// has the same blob and the same first record.
TEST_F(LogEncryption, NewFileIsSealedWithTheSharedKeyAndDecryptsToTheExactLines)
{
    OLV_REQUIRE_DEV_KEY();
    const std::wstring first = folder / L"first.log";
    const std::wstring second = folder / L"second.log";
    {
        ScopedLog log(first, 1, LargeFile, false);
        ASSERT_EQ(log.result, OlvLogOpened);
        EXPECT_TRUE(CurrentLog.load()->encrypt);
        OlvLog_Print(OlvLogInfo, L"first line %d", 1);
        OlvLog_Print(OlvLogError, L"second line \x00e9 %s", L"wide");
    }
    ASSERT_TRUE(LogLines(second, {L"other file"}, true));

    DWORD type = 0;
    std::optional<std::vector<unsigned char>> stored = SharedKeyScope::Value(&type);
    ASSERT_TRUE(stored.has_value()) << "the first open stores the key";
    ASSERT_EQ(stored->size(), 32u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ((*stored)[0], 0x00);
    EXPECT_EQ((*stored)[1], 0x02);
    EXPECT_EQ((*stored)[10], 0x00);
    for (size_t i = 2; i < 10; ++i)
        EXPECT_NE((*stored)[i], 0x00) << "byte " << i;

    std::vector<unsigned char> bytes = FileBytes(first);
    ASSERT_GE(bytes.size(), 92u);
    EncryptedHeader header = HeaderOf(bytes);
    EXPECT_EQ(header.magic, "OLVLOG.1");
    EXPECT_EQ(header.blobLength, 64u);
    std::vector<unsigned char> expectedBlock(*stored);
    expectedBlock.resize(64, 0);
    EXPECT_EQ(UnsealedBlock(header.blob), expectedBlock);
    EXPECT_EQ((bytes.size() - 76) % 16, 0u);
    const std::vector<unsigned char> byteOrder = EncryptedByteOrderBlock(*stored);
    EXPECT_EQ(Slice(bytes, 76, 16), byteOrder);
    EXPECT_EQ(std::search(bytes.begin(), bytes.end(), std::begin(L"first"), std::end(L"first") - 1), bytes.end());

    LogFileContents contents = LogFileReader::Read(first, &DevPrivateKey());
    EXPECT_EQ(contents.format, LogFileFormat::Encrypted);
    EXPECT_EQ(contents.keyCheck, LogFileKeyCheck::Opened);
    EXPECT_EQ(contents.problem, L"");
    ASSERT_EQ(contents.lines.size(), 2u);
    EXPECT_EQ(Message(contents.lines[0]), L"first line 1");
    EXPECT_EQ(Message(contents.lines[1]), L"second line \x00e9 wide");

    std::vector<unsigned char> other = FileBytes(second);
    EXPECT_EQ(HeaderOf(other).blob, header.blob);
    EXPECT_EQ(Slice(other, 76, 16), byteOrder);
    EXPECT_EQ(DecryptedMessages(second), std::vector<std::wstring>{L"other file"});

    // Without the key the reader says what it needs and gives no lines.
    LogFileContents locked = LogFileReader::Read(first);
    EXPECT_EQ(locked.keyCheck, LogFileKeyCheck::Missing);
    EXPECT_TRUE(locked.lines.empty());
}

// Odd values switch encryption off and keep away from the registry; even,
// empty, non-numeric or absent values leave it on.
TEST_F(LogEncryption, OddFlagsMeanPlainFilesAndNoRegistryAccess)
{
    struct Case {
        const wchar_t* flags;  // null: not set
        bool encrypted;
    };
    // The value is read up to 62 characters; a longer one reads as none.
    const std::wstring longest = std::wstring(61, L'0') + L"1";
    const std::wstring tooLong = L"0" + longest;
    const Case cases[] = {
        {L"1", false}, {L"7", false}, {L" 3", false}, {L"-1", false},         {L"2", true},
        {L"", true},   {L"0", true},  {L"x1", true},  {longest.c_str(), false}, {tooLong.c_str(), true},
        {nullptr, true},
    };
    for (const Case& c : cases) {
        const std::wstring label = c.flags ? L"\"" + std::wstring(c.flags) + L"\"" : L"unset";
        SharedKeyScope::Remove();
        ScopedLogFlags caseFlags(c.flags);
        const std::wstring path = folder / (L"flags" + std::to_wstring(&c - cases) + L".log");
        ASSERT_TRUE(LogLines(path, {L"flags"}));
        std::vector<unsigned char> bytes = FileBytes(path);
        ASSERT_GE(bytes.size(), 8u);
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), c.encrypted ? "OLVLOG.1" : "OLVLOG.0")
            << std::string(label.begin(), label.end());
        EXPECT_EQ(SharedKeyScope::KeyExists(), c.encrypted) << std::string(label.begin(), label.end());
        if (!c.encrypted) {
            EXPECT_EQ(Messages(path), std::vector<std::wstring>{L"flags"});
        }
    }
}

// A "key" value of another length counts as missing: the opener waits for
// another process to store one (101 reads, 100 pauses of 30 ms), then makes
// its own and replaces it. A value that appears during the last pause is read
// once more and taken, and no key is made.
TEST_F(LogEncryption, SixteenByteValueIsReplacedByAThirtyTwoByteKey)
{
    OLV_REQUIRE_DEV_KEY();
    SeedSourceOverride seed(&CountingSeedSource);
    std::vector<unsigned char> appearing(32, 0x6D);
    appearing[0] = 0x00;
    appearing[1] = 0x02;
    appearing[10] = 0x00;
    for (bool appears : {false, true}) {
        SCOPED_TRACE(appears ? "a value appears" : "no value appears");
        const std::vector<unsigned char> shortValue(16, 0x5A);
        ASSERT_TRUE(SharedKeyScope::Plant(&shortValue));
        const std::wstring path = folder / (appears ? L"appeared.log" : L"short.log");
        SeedsMade.store(0);
        {
            CountedKeyPauses pauses(appears ? &appearing : nullptr);
            ASSERT_TRUE(LogLines(path, {L"after the wait"}));
            EXPECT_EQ(CountedKeyPauses::count.load(), 100u);
            EXPECT_EQ(CountedKeyPauses::milliseconds.load(), 3000u);
        }
        EXPECT_EQ(SeedsMade.load(), appears ? 0 : 1);
        std::optional<std::vector<unsigned char>> stored = SharedKeyScope::Value();
        ASSERT_TRUE(stored.has_value());
        ASSERT_EQ(stored->size(), 32u);
        EXPECT_TRUE(!appears || *stored == appearing);
        std::vector<unsigned char> expectedBlock(*stored);
        expectedBlock.resize(64, 0);
        EXPECT_EQ(UnsealedBlock(HeaderOf(FileBytes(path)).blob), expectedBlock);
        EXPECT_EQ(DecryptedMessages(path), std::vector<std::wstring>{L"after the wait"});
    }
}

// A key that cannot be sealed gives a plain file that records the wrap error,
// whether the key was just generated (and then still stored) or read from the
// registry. The test seals with an unusable public key through LogSealingKey.
TEST_F(LogEncryption, KeyThatCannotBeSealedGivesAPlainFileWithTheErrorRecord)
{
    struct Case {
        uint16_t bits;
        bool keyStored;
        const wchar_t* record;
    };
    const Case cases[] = {
        {504, false, L"stream_key_init_error=0x406"},
        {504, true, L"stream_key_init_error=0x406"},
        {512, false, L"stream_key_init_error=0x401"},
    };
    for (const Case& c : cases) {
        SharedKeyScope::Remove();
        if (c.keyStored) {
            std::vector<unsigned char> value(32, 0x11);
            value[0] = 0x00;
            value[1] = 0x02;
            value[10] = 0x00;
            ASSERT_TRUE(SharedKeyScope::Plant(&value));
        }
        const RsaPublicKey unusable = UnusableKey(c.bits);
        SealingKeyOverride sealing(&unusable);
        const std::wstring path = folder / (L"unsealed" + std::to_wstring(&c - cases) + L".log");
        {
            ScopedLog log(path, 1, LargeFile, false);
            ASSERT_EQ(log.result, OlvLogOpened);
            EXPECT_FALSE(CurrentLog.load()->encrypt);
            OlvLog_Print(OlvLogError, L"still logged");
        }
        LogFileContents contents = LogFileReader::Read(path);
        EXPECT_EQ(contents.format, LogFileFormat::Plain);
        EXPECT_EQ(contents.keyInitError, c.record) << c.bits << (c.keyStored ? " stored" : " generated");
        ASSERT_EQ(contents.lines.size(), 1u);
        EXPECT_EQ(Message(contents.lines[0]), L"still logged");
        EXPECT_EQ(contents.problem, L"");
        std::optional<std::vector<unsigned char>> stored = SharedKeyScope::Value();
        ASSERT_TRUE(stored.has_value()) << "a generated key is stored even when it cannot be sealed";
        EXPECT_EQ(stored->size(), 32u);
    }
}

// When the system's generator fails there is no key at all: nothing is stored,
// and the new file is plain with the error record.
TEST_F(LogEncryption, FailedSeedStoresNothingAndGivesAPlainFile)
{
    SeedSourceOverride seed([](void*, uint8_t*, uint32_t) { return false; });
    const std::wstring path = folder / L"noseed.log";
    ASSERT_TRUE(LogLines(path, {L"plain after all"}));
    LogFileContents contents = LogFileReader::Read(path);
    EXPECT_EQ(contents.format, LogFileFormat::Plain);
    EXPECT_EQ(contents.keyInitError, L"stream_key_init_error=0x410");
    EXPECT_EQ(contents.lines.size(), 1u);
    EXPECT_FALSE(SharedKeyScope::Value().has_value());
}

// Processes share the key: a child appends to the parent's encrypted file
// between two of the parent's opens, and the whole file decodes under the one
// key in its header; the child's own new file carries the same key.
TEST_F(LogEncryption, ProcessesTakingTurnsOnOneFileShareTheKey)
{
    OLV_REQUIRE_DEV_KEY();
    const std::wstring path = folder / L"turns.log";
    const std::wstring childOwn = folder / L"child.log";
    ASSERT_TRUE(LogLines(path, {L"parent one"}));
    EXPECT_EQ(RunChildScenario("Append", {path, L"child"}).exitCode, 0u);
    EXPECT_EQ(RunChildScenario("Append", {childOwn, L"own"}).exitCode, 0u);
    ASSERT_TRUE(LogLines(path, {L"parent two"}, true));
    LogFileContents contents = LogFileReader::Read(path, &DevPrivateKey());
    EXPECT_EQ(contents.problem, L"");
    std::vector<std::wstring> messages;
    for (const std::wstring& line : contents.lines)
        messages.push_back(Message(line));
    EXPECT_EQ(messages, (std::vector<std::wstring>{L"parent one", L"child", L"parent two"}));
    EXPECT_EQ(HeaderOf(FileBytes(childOwn)).blob, HeaderOf(FileBytes(path)).blob);
    EXPECT_EQ(DecryptedMessages(childOwn), std::vector<std::wstring>{L"own"});
}

// A process opening an existing file whose header it would not write itself
// (another stream key after a restart, the other format, or a key it cannot
// seal) rotates it first: appended, its records would decode under no header.
// Each file then reads whole with the key, the earlier lines in ".old".
TEST_F(LogEncryption, ExistingFileWithAnotherHeaderIsRotatedBeforeAppending)
{
    OLV_REQUIRE_DEV_KEY();
    const RsaPublicKey unusable = UnusableKey(504);
    struct Turn {
        const wchar_t* flags;         // "OLVLOGFLAGS", null: not set
        bool restart;                 // the volatile key is gone before this open
        const RsaPublicKey* sealing;  // null: the built-in key
    };
    const Turn encrypting{nullptr, false, nullptr};
    const Turn plain{L"1", false, nullptr};
    const struct {
        const char* what;
        Turn first;
        Turn second;
        LogFileFormat oldFormat;
        LogFileFormat liveFormat;
    } cases[] = {
        {"restart", encrypting, {nullptr, true, nullptr}, LogFileFormat::Encrypted, LogFileFormat::Encrypted},
        {"plain, then encrypting", plain, encrypting, LogFileFormat::Plain, LogFileFormat::Encrypted},
        {"encrypting, then plain", encrypting, plain, LogFileFormat::Encrypted, LogFileFormat::Plain},
        {"key that cannot be sealed", encrypting, {nullptr, false, &unusable}, LogFileFormat::Encrypted,
         LogFileFormat::Plain},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SharedKeyScope::Remove();
        const std::wstring path = folder / (L"turns" + std::to_wstring(&c - cases) + L".log");
        for (const Turn* turn : {&c.first, &c.second}) {
            if (turn->restart)
                SharedKeyScope::Remove();
            ScopedLogFlags turnFlags(turn->flags);
            SealingKeyOverride sealing(turn->sealing);
            ScopedLog log(path, 1, LargeFile, false);
            ASSERT_EQ(log.result, OlvLogOpened);
            OlvLog_Print(OlvLogError, turn == &c.first ? L"first" : L"second");
        }
        const struct {
            std::wstring path;
            LogFileFormat format;
            const wchar_t* line;
        } files[] = {{path + L".old", c.oldFormat, L"first"}, {path, c.liveFormat, L"second"}};
        for (const auto& file : files) {
            LogFileContents contents = LogFileReader::Read(file.path, &DevPrivateKey());
            EXPECT_EQ(contents.format, file.format) << file.line;
            EXPECT_EQ(contents.problem, L"") << file.line;
            std::vector<std::wstring> messages;
            for (const std::wstring& line : contents.lines)
                messages.push_back(Message(line));
            EXPECT_EQ(messages, std::vector<std::wstring>{file.line});
        }
    }
}

// Rotation of an encrypted file: the ".old" file keeps its header, the new live
// file gets a fresh one, and the two together hold the end of the sequence.
TEST_F(LogEncryption, RotatedEncryptedFileIsFollowedByANewHeader)
{
    OLV_REQUIRE_DEV_KEY();
    const std::wstring path = folder / L"trace.log";
    const std::wstring old = path + L".old";
    const int total = 60;
    {
        ScopedLog log(path, 1, 1024, false);
        ASSERT_EQ(log.result, OlvLogOpened);
        for (int i = 0; i < total; ++i)
            OlvLog_Print(OlvLogError, L"line %d", i);
    }
    ASSERT_TRUE(FileExists(old));
    std::vector<unsigned char> oldBytes = FileBytes(old);
    std::vector<unsigned char> liveBytes = FileBytes(path);
    EXPECT_EQ(HeaderOf(oldBytes).magic, "OLVLOG.1");
    EXPECT_EQ(HeaderOf(liveBytes).magic, "OLVLOG.1");
    EXPECT_EQ(Slice(liveBytes, 76, 16), Slice(oldBytes, 76, 16));

    std::vector<std::wstring> messages = DecryptedMessages(old);
    std::vector<std::wstring> live = DecryptedMessages(path);
    ASSERT_FALSE(messages.empty());
    ASSERT_FALSE(live.empty());
    messages.insert(messages.end(), live.begin(), live.end());
    for (size_t i = 0; i < messages.size(); ++i)
        EXPECT_EQ(messages[i], L"line " + std::to_wstring(total - static_cast<int>(messages.size()) + static_cast<int>(i)));
    EXPECT_EQ(LogFileReader::Read(path, &DevPrivateKey()).problem, L"");
    EXPECT_EQ(LogFileReader::Read(old, &DevPrivateKey()).problem, L"");
}

// Two processes write one encrypted file at once and rotate it; every record
// found decodes whole, in its writer's order (CheckTwoWritersAtOnce).
TEST_F(LogEncryption, TwoProcessesWritingAtOnceDecodeInEveryRecordFound)
{
    OLV_REQUIRE_DEV_KEY();
    CheckTwoWritersAtOnce(folder / L"shared.log", 400, L"32768", &DevPrivateKey());
}

// A record that is not a whole number of blocks loses its partial block when
// it is encrypted; the rest still decrypts.
TEST_F(LogEncryption, PartialBlockOfARecordIsCutWhenEncrypting)
{
    OLV_REQUIRE_DEV_KEY();
    const std::wstring path = folder / L"cut.log";
    {
        ScopedLog log(path, 1, LargeFile, false);
        ASSERT_EQ(log.result, OlvLogOpened);
        // Two whole blocks (a line and its padding), then 8 bytes.
        alignas(16) wchar_t record[20] = {L'[', L'1', L':', L'2', L':', L'3', L':', L'2', L']', L' ',
                                          L'a', L'b', L'c', L'\r', L'\n', 0,   L'g', L'h', L'\r', L'\n'};
        WriteRecord(CurrentLog.load(), record, sizeof(record));
    }
    EXPECT_EQ(FileBytes(path).size(), 92u + 32u);
    EXPECT_EQ(DecryptedMessages(path), std::vector<std::wstring>{L"abc"});
}

// A key without a usable value means another process is about to store one:
// the opener reads again for about 3 s and takes the value that appears
// meanwhile instead of storing its own.
TEST_F(LogEncryption, OpenerWaitsForTheValueAnotherProcessIsAboutToStore)
{
    OLV_REQUIRE_DEV_KEY();
    ASSERT_TRUE(SharedKeyScope::Plant(nullptr));
    const std::wstring path = folder / L"waited.log";
    const std::wstring events = L"olvlog-key-" + std::to_wstring(GetCurrentProcessId());
    UniqueEvent waiting(CreateEventW(nullptr, TRUE, FALSE, (events + L"-waiting").c_str()));
    UniqueEvent planted(CreateEventW(nullptr, TRUE, FALSE, (events + L"-planted").c_str()));
    ASSERT_TRUE(waiting.valid() && planted.valid());
    RunningProcess child = StartChildScenario("AppendOnceTheKeyWaits", {path, L"waited", events});
    ASSERT_TRUE(child.Started());
    // The value appears while the child waits between two of its reads.
    ASSERT_TRUE(child.WaitForEvent(waiting.get()));
    std::vector<unsigned char> value(32, 0x6D);
    value[0] = 0x00;
    value[1] = 0x02;
    value[10] = 0x00;
    ASSERT_TRUE(SharedKeyScope::Plant(&value));
    SetEvent(planted.get());
    EXPECT_EQ(child.Finish().exitCode, 0u);

    std::vector<unsigned char> expectedBlock(value);
    expectedBlock.resize(64, 0);
    EXPECT_EQ(UnsealedBlock(HeaderOf(FileBytes(path)).blob), expectedBlock);
    EXPECT_EQ(SharedKeyScope::Value(), value) << "the waiting opener stored nothing of its own";
    EXPECT_EQ(DecryptedMessages(path), std::vector<std::wstring>{L"waited"});
}


// A log opened, or reopened by a log call, on a thread that impersonates a
// client acts as the process: the key would otherwise be read from and made in
// the client's hive (RtlFormatCurrentUserKeyPath follows impersonation), and a
// reopen's header check would take the file for another key's and rotate it.
// Wine has one user, so the test asks the seed source, which runs while a key
// is made, whether the thread impersonates then; and afterwards the thread
// impersonates as it did.
TEST_F(LogEncryption, KeyIsMadeAsTheProcessOnAThreadThatImpersonates)
{
    OLV_REQUIRE_DEV_KEY();
    SeedSourceOverride seed(&CountingSeedSource);
    SeedsMade.store(0);
    SeedsMadeImpersonating.store(0);
    const std::wstring path = folder / L"impersonating.log";
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    {
        ScopedLog log(path, 1, LargeFile, false);
        EXPECT_EQ(log.result, OlvLogOpened);
        // A reopen by a log call on this thread, with the key to be made again.
        SharedKeyScope::Remove();
        EXPECT_EQ(ZwClose(CurrentLog.load()->file.get()), STATUS_SUCCESS);
        OlvLog_Print(OlvLogError, L"after the reopen");
    }
    HANDLE token = nullptr;
    const bool stillImpersonating = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) != FALSE;
    if (token != nullptr)
        CloseHandle(token);
    RevertToSelf();
    EXPECT_TRUE(stillImpersonating);
    EXPECT_EQ(SeedsMade.load(), 2);
    EXPECT_EQ(SeedsMadeImpersonating.load(), 0);
    EXPECT_EQ(DecryptedMessages(path), std::vector<std::wstring>{L"after the reopen"});
}
