// The C interface as hosts meet it: nemora_client.dll used by a program written
// in C through the import library, loaded by name only as foreign-function
// interfaces do, and the DLL file itself, which must export the C interface
// and nothing else, and need nothing but system DLLs.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/title_format.h"
#include "intake/pipe_listener.h"
#include "tests/client_support.h"
#include "tests/support/child_process.h"
#include "tests/support/console_process.h"

namespace nemora::test {
namespace {

const std::wstring kStart = L"[console] Nemora debug console started \u2014 waiting for client...";
const std::wstring kConnected = Widen(kConnectedLine);
const std::wstring kDisconnected = Widen(kDisconnectedLine);

TEST(CInterface, AHostWrittenInCReachesTheRealConsole) {
    ConsoleProcess console;
    ASSERT_TRUE(console.Start());
    ChildProcess host;
    ASSERT_TRUE(host.Start(BesideThisExecutable(L"client_c_host.exe"), L""));
    const auto exitCode = host.WaitForExit(kPatience);
    ASSERT_TRUE(exitCode.has_value());
    EXPECT_EQ(*exitCode, 0u) << host.Stderr();

    ASSERT_TRUE(console.WaitForText(kDisconnected));
    EXPECT_EQ(console.ViewLines(),
              (std::vector<std::wstring>{kStart, kConnected, L"from C", L"two", L"lines", L"cut",
                                         L"na\u00efve \u2713", L"printf 42 7 2.5 -1099511627776",
                                         L"last", kDisconnected}));
    EXPECT_EQ(console.Title(), FormatFpsTitle(42.0));
}

// The signatures as a foreign-function interface declares them, without the header.
struct nemora_client;
using Create = nemora_client* (*)();
using LineOf = void (*)(nemora_client*, const char*, std::size_t);
using Printf = void (*)(nemora_client*, const char*, ...);
using Fps = void (*)(nemora_client*, double);
using Flush = int (*)(nemora_client*, unsigned);
using Dropped = unsigned long long (*)(const nemora_client*);
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
    const auto fps = Find<Fps>(dll, "nemora_client_fps");
    const auto flush = Find<Flush>(dll, "nemora_client_flush");
    const auto dropped = Find<Dropped>(dll, "nemora_client_dropped");
    const auto destroy = Find<Destroy>(dll, "nemora_client_destroy");
    ASSERT_TRUE(create && line && print && fps && flush && dropped && destroy);

    nemora_client* client = create();
    ASSERT_NE(client, nullptr);
    line(client, text.data(), text.size());
    print(client, "%s %d", text.c_str(), 2);
    fps(client, 30.0);
    EXPECT_EQ(flush(client, static_cast<unsigned>(kPatience.count())), 1);
    EXPECT_EQ(dropped(client), 0u);
    destroy(client);
    ASSERT_TRUE(FreeLibrary(dll));
    // Really unloaded: had the writer thread outlived the client, running
    // code of the DLL, the host would now crash.
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
    EXPECT_TRUE(console.WaitForReading(30.0));
}

// The export and import directories of a DLL file, read from its PE headers.
struct PeDirectories {
    std::vector<std::string> exports;
    std::vector<std::string> imports;  // the DLLs it loads, delay-loaded ones too
};

bool ReadPeDirectories(const std::wstring& path, PeDirectories& out) {
    std::ifstream file(path.c_str(), std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file),
                                  std::istreambuf_iterator<char>()};
    const auto at = [&](std::size_t offset, std::size_t size) -> const char* {
        return offset <= bytes.size() && size <= bytes.size() - offset ? bytes.data() + offset
                                                                       : nullptr;
    };
    const auto read = [&](auto& value, std::size_t offset) {
        const char* p = at(offset, sizeof value);
        if (p != nullptr) {
            std::memcpy(&value, p, sizeof value);
        }
        return p != nullptr;
    };
    IMAGE_DOS_HEADER dos{};
    IMAGE_NT_HEADERS64 nt{};
    if (!read(dos, 0) || dos.e_magic != IMAGE_DOS_SIGNATURE ||
        !read(nt, static_cast<std::size_t>(dos.e_lfanew)) || nt.Signature != IMAGE_NT_SIGNATURE ||
        nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        return false;
    }
    std::vector<IMAGE_SECTION_HEADER> sections(nt.FileHeader.NumberOfSections);
    const std::size_t firstSection = static_cast<std::size_t>(dos.e_lfanew) +
                                     offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                                     nt.FileHeader.SizeOfOptionalHeader;
    for (std::size_t i = 0; i < sections.size(); ++i) {
        if (!read(sections[i], firstSection + i * sizeof(IMAGE_SECTION_HEADER))) {
            return false;
        }
    }
    // A relative virtual address to a file offset; 0 where no section holds it.
    const auto offsetOf = [&](DWORD rva) -> std::size_t {
        for (const IMAGE_SECTION_HEADER& s : sections) {
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.SizeOfRawData) {
                return rva - s.VirtualAddress + s.PointerToRawData;
            }
        }
        return 0;
    };
    const auto stringAt = [&](DWORD rva) {
        const std::size_t offset = offsetOf(rva);
        const char* p = at(offset, 1);
        return p == nullptr ? std::string() : std::string(p, strnlen(p, bytes.size() - offset));
    };
    const IMAGE_DATA_DIRECTORY* directories = nt.OptionalHeader.DataDirectory;

    const IMAGE_DATA_DIRECTORY& exportDir = directories[IMAGE_DIRECTORY_ENTRY_EXPORT];
    IMAGE_EXPORT_DIRECTORY exports{};
    if (exportDir.Size != 0 && read(exports, offsetOf(exportDir.VirtualAddress))) {
        for (DWORD i = 0; i < exports.NumberOfNames; ++i) {
            DWORD nameRva = 0;
            read(nameRva, offsetOf(exports.AddressOfNames) + i * sizeof nameRva);
            out.exports.push_back(stringAt(nameRva));
        }
        // Exports by ordinal alone would not show among the names.
        if (exports.NumberOfFunctions != exports.NumberOfNames) {
            out.exports.push_back("(exports by ordinal only)");
        }
    }
    const auto readImports = [&](int entry, auto descriptor, auto nameOf) {
        const IMAGE_DATA_DIRECTORY& dir = directories[entry];
        if (dir.Size == 0) {
            return;
        }
        for (std::size_t offset = offsetOf(dir.VirtualAddress);
             read(descriptor, offset) && nameOf(descriptor) != 0; offset += sizeof descriptor) {
            out.imports.push_back(stringAt(nameOf(descriptor)));
        }
    };
    readImports(IMAGE_DIRECTORY_ENTRY_IMPORT, IMAGE_IMPORT_DESCRIPTOR{},
                [](const IMAGE_IMPORT_DESCRIPTOR& d) { return d.Name; });
    readImports(IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT, IMAGE_DELAYLOAD_DESCRIPTOR{},
                [](const IMAGE_DELAYLOAD_DESCRIPTOR& d) { return d.DllNameRVA; });
    return true;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// DLLs that every Windows installation has in its system folder.
bool IsSystemDll(const std::string& name) {
    static const char* const kSystemDlls[] = {"kernel32.dll", "ntdll.dll", "msvcrt.dll",
                                              "ucrtbase.dll", "advapi32.dll"};
    const std::string lower = Lower(name);
    return lower.rfind("api-ms-win-", 0) == 0 ||
           std::find(std::begin(kSystemDlls), std::end(kSystemDlls), lower) !=
               std::end(kSystemDlls);
}

TEST(CInterface, TheDllExportsTheCInterfaceOnlyAndImportsSystemDllsOnly) {
    PeDirectories pe;
    ASSERT_TRUE(ReadPeDirectories(BesideThisExecutable(L"nemora_client.dll"), pe));
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
