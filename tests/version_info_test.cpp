#include "platform/system/version_info.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>
#include <stdio.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "platform/system/last_error.h"
#include "platform/text/codepage.h"
#include "tests/elf_fixture.h"
#include "tests/scoped_state.h"

namespace {

std::string commandOutput(const std::string& cmd) {
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof(buffer), p)) > 0) out.append(buffer, n);
        pclose(p);
    }
    return out;
}

// The version section's bytes as objcopy extracts them.
std::string objcopySection(const std::string& file, const std::string& scratch) {
    commandOutput("objcopy -O binary --only-section=" + std::string(kKestruneVersionSection) +
                  " '" + file + "' '" + scratch + "' 2>&1");
    std::ifstream in(scratch, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Reads a file's version record through the three calls; the file version "a.b.c.d".
std::string versionThroughCalls(const std::string& file) {
    DWORD handle = 1;
    DWORD size = GetFileVersionInfoSizeA(file.c_str(), &handle);
    EXPECT_EQ(handle, 0u);
    if (size == 0) return "error " + std::to_string(GetLastError());
    std::vector<DWORD> block((size + 3) / 4);
    if (!GetFileVersionInfoA(file.c_str(), 0, size, block.data())) return "read failed";
    LPVOID value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), "\\", &value, &length)) return "query failed";
    EXPECT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(value);
    return std::to_string(info->dwFileVersionMS >> 16) + "." +
           std::to_string(info->dwFileVersionMS & 0xFFFF) + "." +
           std::to_string(info->dwFileVersionLS >> 16) + "." +
           std::to_string(info->dwFileVersionLS & 0xFFFF);
}

const std::string kBuildDir = KSCAPI_BINARY_DIR;

TEST(VersionInfo, BuiltBinariesCarryTheProjectVersion) {
    for (const std::string& file : {kBuildDir + "/libKestruneATL.so",
                                    std::filesystem::canonical("/proc/self/exe").string()}) {
        TempFolder dir;
        std::string expected = objcopySection(file, dir.path() + "/section.bin");
        ASSERT_GE(expected.size(), sizeof(VS_FIXEDFILEINFO)) << file;
        DWORD size = GetFileVersionInfoSizeA(file.c_str(), nullptr);
        ASSERT_EQ(size, expected.size()) << file;
        std::vector<DWORD> block((size + 3) / 4);
        ASSERT_TRUE(GetFileVersionInfoA(file.c_str(), 0, size, block.data()));
        EXPECT_EQ(std::memcmp(block.data(), expected.data(), size), 0) << file;
        EXPECT_EQ(versionThroughCalls(file), "4.0.1.2") << file;
    }
}

TEST(VersionInfo, CraftedFilesOfBothClassesAreRead) {
    TempFolder dir;
    const auto record = versionRecord(0x00010002, 0x00030004);
    struct Case {
        const char* name;
        std::string bytes;
        std::string version;
    } cases[] = {
        {"v64.so", Elf64Image::make(true, record).bytes(), "1.2.3.4"},
        {"v32.so", Elf32Image::make(true, record).bytes(), "1.2.3.4"},
        {"n64.so", Elf64Image::make(false, record).bytes(), "error 1813"},
        {"n32.so", Elf32Image::make(false, record).bytes(), "error 1813"},
    };
    for (const auto& c : cases) {
        std::string file = dir.path() + "/" + c.name;
        ASSERT_TRUE(writeFile(file, c.bytes));
        // The fixture is an ELF file readelf accepts, with the section where expected.
        std::string sections = commandOutput("readelf -S -W '" + file + "' 2>&1");
        EXPECT_EQ(sections.find(kKestruneVersionSection) != std::string::npos,
                  c.version == "1.2.3.4")
            << sections;
        EXPECT_EQ(versionThroughCalls(file), c.version) << c.name;
    }
}

TEST(VersionInfo, HostileHeadersFailCleanly) {
    const auto record = versionRecord(0x00010002, 0x00030004);
    using Change = std::function<void(Elf64Image&)>;
    const size_t v = Elf64Image::kVersionIndex;
    struct Case {
        const char* what;
        Change change;
    } cases[] = {
        {"bad magic", [](Elf64Image& i) { i.header.e_ident[1] = 'X'; }},
        {"unknown class", [](Elf64Image& i) { i.header.e_ident[EI_CLASS] = 3; }},
        {"32-bit class on a 64-bit layout",
         [](Elf64Image& i) { i.header.e_ident[EI_CLASS] = ELFCLASS32; }},
        {"other byte order", [](Elf64Image& i) { i.header.e_ident[EI_DATA] = ELFDATA2MSB; }},
        {"bad ident version", [](Elf64Image& i) { i.header.e_ident[EI_VERSION] = 0; }},
        {"no section table", [](Elf64Image& i) { i.header.e_shoff = 0; }},
        {"table past the end", [](Elf64Image& i) { i.header.e_shoff = 1u << 30; }},
        {"table offset wraps", [](Elf64Image& i) { i.header.e_shoff = ~uint64_t{0} - 8; }},
        {"short entries", [](Elf64Image& i) { i.header.e_shentsize = sizeof(Elf64_Shdr) - 1; }},
        {"too many sections", [](Elf64Image& i) { i.header.e_shnum = 0xFEFF; }},
        {"huge entries", [](Elf64Image& i) { i.header.e_shentsize = 0xFFFF; }},
        {"name table index past count", [](Elf64Image& i) { i.header.e_shstrndx = 9; }},
        {"extended count of zero",
         [](Elf64Image& i) { i.header.e_shnum = 0; }},  // section 0 says 0 too
        {"extended count too large",
         [](Elf64Image& i) {
             i.header.e_shnum = 0;
             i.sections[0].sh_size = ~uint64_t{0};
         }},
        {"extended name index past count",
         [](Elf64Image& i) {
             i.header.e_shstrndx = SHN_XINDEX;
             i.sections[0].sh_link = 77;
         }},
        {"name table past the end", [](Elf64Image& i) { i.sections.back().sh_offset = 1u << 30; }},
        {"name table size wraps", [](Elf64Image& i) { i.sections.back().sh_size = ~uint64_t{0}; }},
        {"name table without bytes", [](Elf64Image& i) { i.sections.back().sh_type = SHT_NOBITS; }},
        {"name offset past the table", [=](Elf64Image& i) { i.sections[v].sh_name = 0x7FFFFFFF; }},
        {"name runs off the table end",
         [=](Elf64Image& i) {
             i.sections[v].sh_name = static_cast<Elf64_Word>(i.sections.back().sh_size - 4);
         }},
        {"section past the end", [=](Elf64Image& i) { i.sections[v].sh_offset = 1u << 30; }},
        {"section size wraps", [=](Elf64Image& i) { i.sections[v].sh_size = ~uint64_t{0}; }},
        {"section shorter than a record", [=](Elf64Image& i) { i.sections[v].sh_size = 51; }},
        {"section longer than the file", [=](Elf64Image& i) { i.sections[v].sh_size = 4096; }},
        {"section without bytes", [=](Elf64Image& i) { i.sections[v].sh_type = SHT_NOBITS; }},
    };
    TempFolder dir;
    const std::string file = dir.path() + "/hostile.so";
    for (const auto& c : cases) {
        Elf64Image image = Elf64Image::make(true, record);
        c.change(image);
        ASSERT_TRUE(writeFile(file, image.bytes()));
        SetLastError(0);
        EXPECT_EQ(GetFileVersionInfoSizeA(file.c_str(), nullptr), 0u) << c.what;
        EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND) << c.what;
        std::vector<DWORD> block(32, 0x55555555);
        SetLastError(0);
        EXPECT_FALSE(GetFileVersionInfoA(file.c_str(), 0, 128, block.data())) << c.what;
        EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND) << c.what;
        EXPECT_EQ(block[0], 0x55555555u) << c.what;
    }
}

TEST(VersionInfo, ExtendedNumberingIsFollowed) {
    Elf64Image image = Elf64Image::make(true, versionRecord(0x00050006, 0x00070008));
    image.sections[0].sh_size = image.sections.size();
    image.sections[0].sh_link = static_cast<Elf64_Word>(image.sections.size() - 1);
    image.header.e_shnum = 0;
    image.header.e_shstrndx = SHN_XINDEX;
    TempFolder dir;
    std::string file = dir.path() + "/extended.so";
    ASSERT_TRUE(writeFile(file, image.bytes()));
    EXPECT_EQ(versionThroughCalls(file), "5.6.7.8");
}

TEST(VersionInfo, EveryTruncationFailsCleanly) {
    TempFolder dir;
    std::string file = dir.path() + "/cut.so";
    for (const std::string& whole : {Elf64Image::make(true, versionRecord(1, 2)).bytes(),
                                     Elf32Image::make(true, versionRecord(1, 2)).bytes()}) {
        for (size_t length = 0; length < whole.size(); ++length) {
            ASSERT_TRUE(writeFile(file, whole.substr(0, length)));
            SetLastError(0);
            ASSERT_EQ(GetFileVersionInfoSizeA(file.c_str(), nullptr), 0u) << length;
            ASSERT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND) << length;
        }
    }
}

TEST(VersionInfo, MissingAndUnusableFiles) {
    TempFolder dir;
    std::string text = dir.path() + "/notes.txt";
    ASSERT_TRUE(writeFile(text, "not an ELF file at all, just text\n"));
    struct Case {
        std::string name;
        DWORD error;
    } cases[] = {
        {dir.path() + "/absent.so", ERROR_FILE_NOT_FOUND},
        {dir.path(), ERROR_FILE_NOT_FOUND},  // a folder
        {text, ERROR_RESOURCE_TYPE_NOT_FOUND},
        {"", ERROR_FILE_NOT_FOUND},
        {"NoSuchModule.dll", ERROR_FILE_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_EQ(GetFileVersionInfoSizeA(c.name.c_str(), nullptr), 0u) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
        DWORD block[16];
        SetLastError(0);
        EXPECT_FALSE(GetFileVersionInfoA(c.name.c_str(), 0, sizeof(block), block)) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
    SetLastError(0);
    EXPECT_EQ(GetFileVersionInfoSizeA(nullptr, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(VersionInfo, BareNamesAreSearchedLikeLibraries) {
    TempFolder dir;
    ASSERT_TRUE(writeFile(dir.path() + "/libProbe.so",
                          Elf64Image::make(true, versionRecord(0x00090008, 0x00070006)).bytes()));
    ASSERT_TRUE(writeFile(dir.path() + "/Plain.dll",
                          Elf64Image::make(true, versionRecord(0x00010001, 0x00010001)).bytes()));
    struct Case {
        const char* libraryPath;  // "@" stands for the folder
        const char* name;
        std::string version;
    } cases[] = {
        {"@", "Probe.dll", "9.8.7.6"},
        {"@", "probe.DLL", "error 2"},  // the file system's names are case-sensitive
        {"@", "Probe.DLL", "9.8.7.6"},  // the suffix is not
        {"@", "libProbe.so", "9.8.7.6"},
        {"@", "Plain.dll", "1.1.1.1"},
        {"/nonexistent::@/", "Probe.dll", "9.8.7.6"},
        {"/nonexistent", "Probe.dll", "error 2"},
        {nullptr, "Probe.dll", "error 2"},
        // The program's own folder comes first: the module built beside the tests.
        {"@", "KestruneATL.dll", "4.0.1.2"},
    };
    for (const auto& c : cases) {
        std::optional<std::string> value;
        if (c.libraryPath) {
            std::string path = c.libraryPath;
            for (size_t at; (at = path.find('@')) != std::string::npos;)
                path.replace(at, 1, dir.path());
            value = path;
        }
        ScopedEnvVar libraryPath("LD_LIBRARY_PATH", value);
        EXPECT_EQ(versionThroughCalls(c.name), c.version)
            << c.name << " with " << (c.libraryPath ? c.libraryPath : "(unset)");
    }
}

TEST(VersionInfo, ShortBuffersAndQueries) {
    const std::string file = kBuildDir + "/libKestruneATL.so";
    DWORD size = GetFileVersionInfoSizeA(file.c_str(), nullptr);
    ASSERT_GE(size, sizeof(VS_FIXEDFILEINFO));
    DWORD block[64];
    SetLastError(0);
    EXPECT_FALSE(GetFileVersionInfoA(file.c_str(), 0, sizeof(VS_FIXEDFILEINFO) - 1, block));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    SetLastError(0);
    EXPECT_FALSE(GetFileVersionInfoA(file.c_str(), 0, sizeof(block), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    // A larger buffer receives the section and nothing more.
    std::memset(block, 0xAB, sizeof(block));
    ASSERT_TRUE(GetFileVersionInfoA(file.c_str(), 0, sizeof(block), block));
    EXPECT_EQ(reinterpret_cast<BYTE*>(block)[size], 0xAB);

    LPVOID value = reinterpret_cast<LPVOID>(1);
    UINT length = 9;
    struct Case {
        const void* block;
        const char* subBlock;
        DWORD error;
    } cases[] = {
        {block, "\\StringFileInfo\\040904B0\\FileVersion", ERROR_RESOURCE_TYPE_NOT_FOUND},
        {block, "\\VarFileInfo\\Translation", ERROR_RESOURCE_TYPE_NOT_FOUND},
        {block, "", ERROR_RESOURCE_TYPE_NOT_FOUND},
        {block, nullptr, ERROR_INVALID_PARAMETER},
        {nullptr, "\\", ERROR_INVALID_PARAMETER},
        {reinterpret_cast<const BYTE*>(block) + 1, "\\", ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(VerQueryValueA(c.block, c.subBlock, &value, &length))
            << (c.subBlock ? c.subBlock : "(null)");
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(value, nullptr);
        EXPECT_EQ(length, 0u);
    }
    block[0] = 0xFEEF04BE;  // one off the signature
    SetLastError(0);
    EXPECT_FALSE(VerQueryValueA(block, "\\", &value, &length));
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
}

int addressInTheProgram = 0;

// A library loaded for one test, with its load address (its ELF header is mapped there,
// so the address lies inside the module).
class LoadedLibrary {
  public:
    explicit LoadedLibrary(const std::string& path)
        : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
        link_map* map = nullptr;
        if (handle_ && dlinfo(handle_, RTLD_DI_LINKMAP, &map) == 0)
            base_ = reinterpret_cast<HMODULE>(map->l_addr);
    }
    ~LoadedLibrary() {
        if (handle_) dlclose(handle_);
    }
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;
    HMODULE base() const { return base_; }

  private:
    void* handle_;
    HMODULE base_ = nullptr;
};

TEST(ModuleFileName, MainProgramAndLoadedLibraries) {
    const std::string self = std::filesystem::canonical("/proc/self/exe").string();
    char path[4096];
    ASSERT_EQ(GetModuleFileNameA(nullptr, path, sizeof(path)), self.size());
    EXPECT_EQ(path, self);
    ASSERT_EQ(GetModuleFileNameA(&addressInTheProgram, path, sizeof(path)), self.size());
    EXPECT_EQ(path, self);

    LoadedLibrary module(kBuildDir + "/libKestruneATL.so");
    ASSERT_NE(module.base(), nullptr) << dlerror();
    DWORD n = GetModuleFileNameA(module.base(), path, sizeof(path));
    std::string expected = std::filesystem::canonical(kBuildDir + "/libKestruneATL.so").string();
    EXPECT_EQ(std::string(path, n), expected);

    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(reinterpret_cast<HMODULE>(0x10), path, sizeof(path)), 0u);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(ModuleFileName, ShortBuffersAreCut) {
    const std::string self = std::filesystem::canonical("/proc/self/exe").string();
    struct Case {
        DWORD size;
        DWORD result;
        std::string text;
        DWORD error;
    } cases[] = {
        {5, 5, self.substr(0, 4), ERROR_INSUFFICIENT_BUFFER},
        {static_cast<DWORD>(self.size()), static_cast<DWORD>(self.size()),
         self.substr(0, self.size() - 1), ERROR_INSUFFICIENT_BUFFER},
        {static_cast<DWORD>(self.size() + 1), static_cast<DWORD>(self.size()), self, 0},
        {1, 1, "", ERROR_INSUFFICIENT_BUFFER},
    };
    for (const auto& c : cases) {
        std::string buffer(c.size + 8, '#');
        SetLastError(0);
        EXPECT_EQ(GetModuleFileNameA(nullptr, buffer.data(), c.size), c.result) << c.size;
        EXPECT_EQ(std::string(buffer.c_str()), c.text) << c.size;
        EXPECT_EQ(GetLastError(), c.error) << c.size;
    }
    char one = '#';
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, &one, 0), 0u);
    EXPECT_EQ(one, '#');
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(ModuleFileName, PathComesInTheAnsiCodePage) {
    ScopedAnsiCodePage big5(950);
    ASSERT_TRUE(big5.ok());
    TempFolder dir;
    // A copy of the module in a folder named 桌面 (UTF-8 on disk, Big5 AE E0 AD B1 in the
    // answer: python3 -c "print('桌面'.encode('big5').hex())").
    std::string folder = dir.path() + "/\xE6\xA1\x8C\xE9\x9D\xA2";
    std::filesystem::create_directory(folder);
    std::filesystem::copy_file(kBuildDir + "/libKestruneATL.so", folder + "/libCopy.so");
    LoadedLibrary copy(folder + "/libCopy.so");
    ASSERT_NE(copy.base(), nullptr) << dlerror();
    char path[4096];
    DWORD n = GetModuleFileNameA(copy.base(), path, sizeof(path));
    std::string canonicalDir = std::filesystem::canonical(dir.path()).string();
    EXPECT_EQ(std::string(path, n), canonicalDir + "/\xAE\xE0\xAD\xB1/libCopy.so");
    // The Big5 path leads back to the file.
    EXPECT_EQ(versionThroughCalls(path), "4.0.1.2");
}

}  // namespace
