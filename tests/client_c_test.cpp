// The C interface as hosts meet it: nemora_client.dll used by a program written
// in C through the import library, loaded by name only as foreign-function
// interfaces do, and the DLL file itself, which must export the C interface
// and nothing else, and need nothing but system DLLs.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/title_format.h"
#include "intake/pipe_listener.h"
#include "tests/client_c_host.h"
#include "tests/client_support.h"
#include "tests/support/child_process.h"
#include "tests/support/line_lists.h"
#include "driver/console_process.h"

namespace nemora::test {
namespace {

// The same C host, built by MinGW and (where the build can) for the MSVC ABI.
class CHost : public ::testing::TestWithParam<const wchar_t*> {};

// The fields wider than the DLL hands to the C runtime, as this process's C
// runtime formats them.
std::wstring WideFields() {
    char text[1024];
    // Not a literal here: the format's %0100.5d, which C defines, draws a warning.
    const char* format = WIDE_FIELDS_FORMAT;
    std::snprintf(text, sizeof text, format, WIDE_FIELDS_ARGUMENTS);
    return Widen(text);
}

TEST_P(CHost, ReachesTheRealConsole) {
    ConsoleProcess console;
    ASSERT_TRUE(console.Start());
    ChildProcess host;
    ASSERT_TRUE(host.Start(BesideThisExecutable(GetParam()), L""));
    const auto exitCode = host.WaitForExit(kPatience);
    ASSERT_TRUE(exitCode.has_value());
    EXPECT_EQ(*exitCode, 0u) << host.Stderr();

    const std::vector<std::wstring> expected = Concat<std::wstring>(
        {{kStart, kConnected, L"from C", L"two", L"lines", L"cut", L"na\u00efve \u2713",
          L"printf 42 7 2.5 -1099511627776",
          L"1.500000|0.12  |-5|abcdef0123|  w\u00e9|\u2713|0000000000000000",
          L"-1 4294967295 deadbeef|7  |whole|cu", L"vprintf too 3", L"wide abc|abc||\u00e9",
          WideFields(), NEMORA_WIDE(NEMORA_CLIENT_FORMAT_REFUSED) L"refused %d %n", L"puts",
          L"split", L"last", kDisconnected},
         // The second client: UTF-16 text, and the host's OutputDebugString calls.
         {kConnected, L"wide J\u00f6rg \u30b2\u30fc\u30e0", L"cut", L"putsw \u2713",
          L"J\u00f6rg|\u2713|  2.5|hs|hS|c|C |", L"OutputDebugStringA", L"in C",
          L"OutputDebugStringW in C", kDisconnected}});
    ASSERT_TRUE(WaitUntil([&] { return console.ViewLines().size() >= expected.size(); }));
    EXPECT_EQ(console.ViewLines(), expected);
    EXPECT_EQ(console.Title(), FormatFpsTitle(42.0));
}

INSTANTIATE_TEST_SUITE_P(CInterface, CHost,
                         ::testing::Values(L"client_c_host.exe"
#ifdef NEMORA_MSVC_ABI_HOST
                                           ,
                                           L"client_c_host_msvc.exe"
#endif
                                           ),
                         [](const auto& info) {
                             return std::wstring(info.param).find(L"msvc") != std::wstring::npos
                                        ? "BuiltForTheMsvcAbi"
                                        : "BuiltByMinGW";
                         });

#ifdef NEMORA_TEST_RUST_HOST
// examples/rust: lines written with Rust's standard library alone, then a
// client of the DLL declared in Rust.
TEST(CInterface, ARustHostReachesTheRealConsoleWithStdAndThroughTheDll) {
    ConsoleProcess console;
    ASSERT_TRUE(console.Start());
    ChildProcess host;
    ASSERT_TRUE(host.Start(BesideThisExecutable(L"nemora_rust_host.exe"), L""));
    const auto exitCode = host.WaitForExit(kPatience);
    ASSERT_TRUE(exitCode.has_value());
    EXPECT_EQ(*exitCode, 0u) << host.Stderr();

    const std::vector<std::wstring> expected(
        {kStart, kConnected, L"from Rust std", L"na\u00efve \u2713", kDisconnected, kConnected,
         L"from Rust through the DLL", L"two", L"lines", L"na\u00efve \u2713", L"puts",
         L"from Rust", kDisconnected});
    ASSERT_TRUE(WaitUntil([&] { return console.ViewLines().size() >= expected.size(); }));
    EXPECT_EQ(console.ViewLines(), expected);
    // The title follows readings on a path of its own: it may come after the last line.
    WaitUntil([&] { return console.Title() == FormatFpsTitle(42.0); });
    EXPECT_EQ(console.Title(), FormatFpsTitle(42.0));
}
#endif

// The signatures as a foreign-function interface declares them, without the header.
struct nemora_client;
using Create = nemora_client* (*)();
using LineOf = void (*)(nemora_client*, const char*, std::size_t);
using Printf = void (*)(nemora_client*, const char*, ...);
using Flush = int (*)(nemora_client*, unsigned);
using Destroy = void (*)(nemora_client*);

template <typename Function>
Function Find(HMODULE dll, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

// Loads the DLL, writes `text` through a client of its own, destroys the
// client and unloads the DLL.
void LogThroughTheLoadedDll(const std::string& text) {
    const std::wstring path = BesideThisExecutable(L"nemora_client.dll");
    HMODULE dll = LoadLibraryW(path.c_str());
    ASSERT_NE(dll, nullptr);
    const auto create = Find<Create>(dll, "nemora_client_create");
    const auto line = Find<LineOf>(dll, "nemora_client_line");
    const auto print = Find<Printf>(dll, "nemora_client_printf");
    const auto flush = Find<Flush>(dll, "nemora_client_flush");
    const auto destroy = Find<Destroy>(dll, "nemora_client_destroy");
    ASSERT_TRUE(create && line && print && flush && destroy);

    nemora_client* client = create();
    ASSERT_NE(client, nullptr);
    line(client, text.data(), text.size());
    print(client, "%s %d", text.c_str(), 2);
    EXPECT_EQ(flush(client, static_cast<unsigned>(kPatience.count())), 1);
    destroy(client);
    ASSERT_TRUE(FreeLibrary(dll));
    // Really unloaded: a writer thread that outlived its client would now crash the host.
    EXPECT_EQ(GetModuleHandleW(path.c_str()), nullptr);
}

TEST(CInterface, LoadedByNameUsedAndUnloadedWhileTheHostRunsOn) {
    ConsoleIntake console;
    ASSERT_TRUE(console.WaitUntilListening());
    LogThroughTheLoadedDll("first load");
    ASSERT_TRUE(console.WaitForLines(4));
    // The host goes on, and loads it again.
    LogThroughTheLoadedDll("second load");
    ASSERT_TRUE(console.WaitForLines(8));
    EXPECT_EQ(console.Lines(), (std::vector<Line>{kConnectedLine, "first load", "first load 2",
                                                  kDisconnectedLine, kConnectedLine, "second load",
                                                  "second load 2", kDisconnectedLine}));
}

// The export and import tables of a DLL file, mapped as an image but not run
// (its imports are not loaded either).
struct PeTables {
    std::vector<std::string> exports;
    std::vector<std::string> imports;  // the DLLs it loads, delay-loaded ones too
};

bool ReadPeTables(const std::wstring& path, PeTables& out) {
    const HMODULE image = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (image == nullptr) {
        return false;
    }
    // The low bits of such a handle mark it as a resource mapping.
    const auto* base =
        reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(image) & ~std::uintptr_t{3});
    const auto at = [base](DWORD rva) { return base + rva; };
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        at(reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew));
    const IMAGE_DATA_DIRECTORY* directories = nt->OptionalHeader.DataDirectory;

    if (const IMAGE_DATA_DIRECTORY& dir = directories[IMAGE_DIRECTORY_ENTRY_EXPORT]; dir.Size) {
        const auto* exports =
            reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(at(dir.VirtualAddress));
        const auto* names = reinterpret_cast<const DWORD*>(at(exports->AddressOfNames));
        out.exports.assign(exports->NumberOfFunctions - exports->NumberOfNames, "(by ordinal)");
        for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
            out.exports.emplace_back(at(names[i]));
        }
    }
    if (const IMAGE_DATA_DIRECTORY& dir = directories[IMAGE_DIRECTORY_ENTRY_IMPORT]; dir.Size) {
        for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(at(dir.VirtualAddress));
             d->Name != 0; ++d) {
            out.imports.emplace_back(at(d->Name));
        }
    }
    if (const IMAGE_DATA_DIRECTORY& dir = directories[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT];
        dir.Size) {
        for (auto* d = reinterpret_cast<const IMAGE_DELAYLOAD_DESCRIPTOR*>(at(dir.VirtualAddress));
             d->DllNameRVA != 0; ++d) {
            out.imports.emplace_back(at(d->DllNameRVA));
        }
    }
    FreeLibrary(image);
    return true;
}

// DLLs that every Windows installation has in its system folder.
bool IsSystemDll(const std::string& name) {
    for (const char* system : {"kernel32.dll", "ntdll.dll", "msvcrt.dll", "ucrtbase.dll"}) {
        if (_stricmp(name.c_str(), system) == 0) {
            return true;
        }
    }
    return _strnicmp(name.c_str(), "api-ms-win-", 11) == 0;
}

TEST(CInterface, TheDllExportsTheCInterfaceOnlyAndImportsSystemDllsOnly) {
    PeTables pe;
    ASSERT_TRUE(ReadPeTables(BesideThisExecutable(L"nemora_client.dll"), pe));
    for (const std::string& name : pe.exports) {
        std::printf("export %s\n", name.c_str());
        EXPECT_EQ(name.rfind("nemora_client_", 0), 0u) << name;
    }
    for (const std::string& name : pe.imports) {
        std::printf("import %s\n", name.c_str());
        EXPECT_TRUE(IsSystemDll(name)) << name;
    }
    EXPECT_FALSE(pe.exports.empty());
    EXPECT_FALSE(pe.imports.empty());
}

}  // namespace
}  // namespace nemora::test
