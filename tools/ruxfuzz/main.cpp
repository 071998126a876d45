// ruxfuzz: a hostile client of the plug-in's sink "SB" against a live host.
// See Usage().
#include "tools/common/ToolArguments.h"
#include "tools/ruxfuzz/EngineStateBackup.h"
#include "tools/ruxfuzz/FuzzCampaign.h"
#include "tools/ruxfuzz/HolderProcess.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

namespace {

enum ExitCode { Passed = 0, HostFailed = 1, BadArguments = 2, SetupFailed = 3 };

void Usage()
{
    std::printf(
        "usage: ruxfuzz [OPTIONS]\n"
        "Starts ruxhost with the plug-in (\"ruxhost -\", steps new and start), then sends batch\n"
        "after batch of hostile traffic to the plug-in's sink \"SB\": genuine handshakes followed\n"
        "by malformed frames and items, the plug-in's commands with hostile members, unknown\n"
        "commands, deep and wide items, many connections at once, churn and idle connections,\n"
        "settings queries whose reply sinks (served by this process) drip or never answer,\n"
        "processes holding greeted connections up to every share (then a newcomer must get in),\n"
        "and a process lowered to low integrity (whose connections must not be served).\n"
        "After each batch it asks \"RequestSBSetting\" as the user interface does and expects the\n"
        "ten settings back (while it holds idle connections, ruxui-console asks instead; after\n"
        "stalling queries ruxui-console asks too, and must be answered within 5 s). At the end it destroys the client and compares the host's own handle\n"
        "count and private bytes (ruxhost step \"resources\") with their values after the start.\n"
        "The engine's registry state is set aside first and put back at the end.\n"
        "\n"
        "Options:\n"
        "  --seed N            seed of the batches (default 1); a run is repeatable\n"
        "  --frames N          stop after N hostile frames, or N/10 batches (default 10000)\n"
        "  --first-batch K     start at batch K of the seed, to replay a failure (default 0)\n"
        "  --classes LIST      comma-separated batch classes, or all (default all):\n"
        "                      headers kinds requests items services deep wide queries\n"
        "                      commands connections churn idle stall lockout\n"
        "                      low-integrity\n"
        "  --wide-members N    members of the widest lists, 1000 to 65535 (default 65535)\n"
        "  --probe-timeout MS  how long the host may take to answer (default 10000)\n"
        "  --max-handle-growth N      handles the host may hold more after Destroy (default 16)\n"
        "  --max-private-growth MIB   private MiB it may hold more after Destroy (default 16)\n"
        "  --keep-going        after a host failure, start a new host and go on\n"
        "  --host PATH         ruxhost.exe (default: beside ruxfuzz.exe)\n"
        "  --dll PATH          the plug-in, passed to ruxhost --dll (default: ruxhost's own)\n"
        "  --console PATH      ruxui-console.exe, which asks while connections are held\n"
        "                      (default: beside ruxfuzz.exe)\n"
        "  --verbose           print every batch\n"
        "  --help              this text\n"
        "\n"
        "  --hold SINK N hello|open   (internal) hold N greeted connections to SINK until\n"
        "                      standard input ends, after a line \"held ANSWERED INTEGRITY\"\n"
        "\n"
        "Prints a progress line every 20 batches, a line per host failure (with the batch to\n"
        "replay), the host's figures and a summary line.\n"
        "Exit codes: 0 the host answered after every batch and came back to its figures,\n"
        "1 a host failure (died, stopped answering, Destroy hung, handles or memory kept),\n"
        "2 bad arguments, 3 the host or the reply sink could not be set up.\n");
}

int Fail(int code, const std::string& message)
{
    return FailWith("ruxfuzz", code, message);
}

std::wstring Widen(const char* text)
{
    int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring wide(length > 0 ? length - 1 : 0, L'\0');
    if (length > 1)
        MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), length);
    return wide;
}

std::wstring BesideSelf(const wchar_t* name)
{
    wchar_t self[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, length <= MAX_PATH ? length : MAX_PATH);
    size_t slash = path.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1)) + name;
}

int Run(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "--hold") == 0) {
        uint64_t count = 0;
        bool open = std::strcmp(argv[4], "open") == 0;
        if (!ParseDecimalArgument(argv[3], 1, 64, count) || (!open && std::strcmp(argv[4], "hello") != 0))
            return Fail(BadArguments, "usage: ruxfuzz --hold SINK N hello|open");
        return HolderProcess::RunChild(argv[2], static_cast<uint32_t>(count), open);
    }
    CampaignOptions options;
    options.hostPath = BesideSelf(L"ruxhost.exe");
    options.consolePath = BesideSelf(L"ruxui-console.exe");
    options.selfPath = BesideSelf(L"ruxfuzz.exe");
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            Usage();
            return Passed;
        }
        if (option == "--keep-going") {
            options.keepGoing = true;
            continue;
        }
        if (option == "--verbose") {
            options.verbose = true;
            continue;
        }
        static const char* const valued[] = {"--seed", "--frames", "--first-batch", "--classes", "--wide-members",
                                             "--probe-timeout", "--max-handle-growth", "--max-private-growth",
                                             "--host", "--dll", "--console"};
        bool known = false;
        for (const char* name : valued)
            known = known || option == name;
        if (!known)
            return Fail(BadArguments, "unknown option '" + option + "' (try --help)");
        if (i + 1 >= argc)
            return Fail(BadArguments, "option '" + option + "' needs a value (try --help)");
        const char* value = argv[++i];
        uint64_t number = 0;
        auto bad = [&] { return Fail(BadArguments, "bad value '" + std::string(value) + "' for " + option); };
        if (option == "--seed") {
            if (!ParseDecimalArgument(value, 0, UINT64_MAX, options.seed))
                return bad();
        } else if (option == "--frames") {
            if (!ParseDecimalArgument(value, 1, UINT64_MAX, options.frames))
                return bad();
        } else if (option == "--first-batch") {
            if (!ParseDecimalArgument(value, 0, UINT64_MAX / 2, options.firstBatch))
                return bad();
        } else if (option == "--classes") {
            if (!HostileBatch::ParseClasses(value, options.classes))
                return bad();
        } else if (option == "--wide-members") {
            if (!ParseDecimalArgument(value, 1000, 65535, number))
                return bad();
            options.wideMembers = static_cast<uint32_t>(number);
        } else if (option == "--probe-timeout") {
            if (!ParseDecimalArgument(value, 100, 600000, number))
                return bad();
            options.probeTimeoutMs = static_cast<DWORD>(number);
        } else if (option == "--max-handle-growth") {
            if (!ParseDecimalArgument(value, 0, 1000000, number))
                return bad();
            options.maxHandleGrowth = static_cast<unsigned long>(number);
        } else if (option == "--max-private-growth") {
            if (!ParseDecimalArgument(value, 0, 1u << 20, number))
                return bad();
            options.maxPrivateGrowth = number << 20;
        } else if (option == "--host") {
            options.hostPath = Widen(value);
        } else if (option == "--dll") {
            options.dllPath = Widen(value);
        } else {
            options.consolePath = Widen(value);
        }
    }

    EngineStateBackup engineState;
    std::string error;
    if (!engineState.Save(error))
        return Fail(SetupFailed, error);
    int code;
    {
        // The campaign ends its host before the engine's state is put back.
        FuzzCampaign campaign(options, stdout);
        code = campaign.Run();
    }
    if (!engineState.Restore(error)) {
        Fail(SetupFailed, error);
        return code == Passed ? SetupFailed : code;
    }
    return code;
}

}  // namespace

int main(int argc, char** argv)
{
    // Lines end in a bare LF: the output is read through pipes by scripts.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        return Fail(SetupFailed, e.what());
    }
}
