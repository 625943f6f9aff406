#include "platform/system/version_info.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/system/files.h"
#include "platform/system/last_error.h"

namespace {

// Version records are 52 bytes; anything far larger is not one of ours.
constexpr uint64_t kMaxVersionSection = 64 * 1024;

// One open file, read by offset.
class ReadOnlyFile {
  public:
    ReadOnlyFile() = default;
    ~ReadOnlyFile() { close(); }
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    // Opens a regular file; false with the last error set otherwise.
    bool open(const std::string& native) {
        close();
        fd_ = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) {
            SetLastError(lastErrorFromErrno(errno));
            return false;
        }
        struct stat st {};
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
            close();
            SetLastError(ERROR_FILE_NOT_FOUND);
            return false;
        }
        size_ = static_cast<uint64_t>(st.st_size);
        return true;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        size_ = 0;
    }
    uint64_t size() const { return size_; }
    // True when [offset, offset + length) lies inside the file.
    bool contains(uint64_t offset, uint64_t length) const {
        return offset <= size_ && length <= size_ - offset;
    }
    // Reads exactly `length` bytes at `offset`; false for a range outside the file.
    bool readAt(uint64_t offset, void* out, size_t length) const {
        if (fd_ < 0 || !contains(offset, length) || offset > static_cast<uint64_t>(LLONG_MAX))
            return false;
        auto* dst = static_cast<char*>(out);
        while (length > 0) {
            ssize_t n = ::pread(fd_, dst, length, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            dst += n;
            offset += static_cast<uint64_t>(n);
            length -= static_cast<size_t>(n);
        }
        return true;
    }

  private:
    int fd_ = -1;
    uint64_t size_ = 0;
};

struct Elf32Layout {
    using Ehdr = Elf32_Ehdr;
    using Shdr = Elf32_Shdr;
};
struct Elf64Layout {
    using Ehdr = Elf64_Ehdr;
    using Shdr = Elf64_Shdr;
};

// The section named kKestruneVersionSection, found through the section header table
// (System V gABI, "Sections": e_shoff/e_shnum/e_shentsize locate the table, e_shstrndx
// the section holding the names; the extended numbering keeps the real count in
// section 0's sh_size and the real name index in its sh_link). Every offset, count and
// length read from the file is checked against the file's size before use.
template <class Layout>
bool findVersionSection(const ReadOnlyFile& file, uint64_t& offset, uint64_t& size) {
    using Shdr = typename Layout::Shdr;
    typename Layout::Ehdr eh{};
    if (!file.readAt(0, &eh, sizeof(eh))) return false;
    if (eh.e_shoff == 0 || eh.e_shentsize < sizeof(Shdr) || !file.contains(eh.e_shoff, 0))
        return false;
    auto header = [&](uint64_t index, Shdr& out) {
        return file.readAt(eh.e_shoff + index * eh.e_shentsize, &out, sizeof(out));
    };
    uint64_t count = eh.e_shnum;
    uint64_t namesIndex = eh.e_shstrndx;
    if (count == 0 || namesIndex == SHN_XINDEX) {
        Shdr first{};
        if (!header(0, first)) return false;
        if (count == 0) count = first.sh_size;
        if (namesIndex == SHN_XINDEX) namesIndex = first.sh_link;
    }
    // The table must lie inside the file; that also bounds every index below.
    if (count == 0 || count > (file.size() - eh.e_shoff) / eh.e_shentsize) return false;
    if (namesIndex >= count) return false;
    Shdr names{};
    if (!header(namesIndex, names) || names.sh_type == SHT_NOBITS ||
        !file.contains(names.sh_offset, names.sh_size))
        return false;

    const size_t wantedLength = std::strlen(kKestruneVersionSection) + 1;
    std::vector<char> name(wantedLength);
    for (uint64_t i = 1; i < count; ++i) {
        Shdr sh{};
        if (!header(i, sh)) return false;
        if (sh.sh_name >= names.sh_size || names.sh_size - sh.sh_name < wantedLength) continue;
        if (!file.readAt(names.sh_offset + sh.sh_name, name.data(), wantedLength)) return false;
        if (std::memcmp(name.data(), kKestruneVersionSection, wantedLength) != 0) continue;
        if (sh.sh_type == SHT_NOBITS || sh.sh_size < sizeof(VS_FIXEDFILEINFO) ||
            sh.sh_size > kMaxVersionSection || !file.contains(sh.sh_offset, sh.sh_size))
            return false;
        offset = sh.sh_offset;
        size = sh.sh_size;
        return true;
    }
    return false;
}

bool endsWithNoCase(const std::string& text, const char* suffix) {
    size_t n = std::strlen(suffix);
    return text.size() >= n && ::strncasecmp(text.c_str() + text.size() - n, suffix, n) == 0;
}

bool isRegularFile(const std::string& native) {
    struct stat st {};
    return ::stat(native.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string programPath() {
    char resolved[PATH_MAX];
    return ::realpath("/proc/self/exe", resolved) ? std::string(resolved) : std::string();
}

// The file a version query means, in the file system's encoding; empty when a bare
// name is found nowhere on the search path.
std::string resolveModuleFile(const std::string& ansiName) {
    std::string native = nativePath(ansiName);
    if (native.find('/') != std::string::npos) return native;
    std::vector<std::string> candidates{native};
    if (endsWithNoCase(native, ".dll"))
        candidates.push_back("lib" + native.substr(0, native.size() - 4) + ".so");
    std::vector<std::string> folders;
    std::string program = programPath();
    if (auto slash = program.find_last_of('/'); slash != std::string::npos)
        folders.push_back(program.substr(0, slash == 0 ? 1 : slash));
    if (const char* path = std::getenv("LD_LIBRARY_PATH")) {
        std::string list = path;
        for (size_t start = 0; start <= list.size();) {
            size_t end = list.find(':', start);
            if (end == std::string::npos) end = list.size();
            // An empty entry would mean the working folder, which a page must not steer.
            if (end > start) folders.push_back(list.substr(start, end - start));
            start = end + 1;
        }
    }
    for (const auto& folder : folders)
        for (const auto& candidate : candidates) {
            std::string full = folder + (folder.back() == '/' ? "" : "/") + candidate;
            if (isRegularFile(full)) return full;
        }
    return std::string();
}

// Opens the named module and finds its version section; false with the last error set.
bool locateVersion(LPCSTR name, ReadOnlyFile& file, uint64_t& offset, uint64_t& size) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::string native = *name ? resolveModuleFile(name) : std::string();
    if (native.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    if (!file.open(native)) return false;
    unsigned char ident[EI_NIDENT] = {};
    bool found = false;
    if (file.readAt(0, ident, sizeof(ident)) && std::memcmp(ident, ELFMAG, SELFMAG) == 0 &&
        ident[EI_VERSION] == EV_CURRENT) {
        // Only the byte order this process uses is read: a record in the other order
        // could not be handed out as a VS_FIXEDFILEINFO anyway.
        constexpr unsigned char hostOrder =
            __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;
        if (ident[EI_DATA] == hostOrder) {
            if (ident[EI_CLASS] == ELFCLASS64)
                found = findVersionSection<Elf64Layout>(file, offset, size);
            else if (ident[EI_CLASS] == ELFCLASS32)
                found = findVersionSection<Elf32Layout>(file, offset, size);
        }
    }
    if (!found) SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return found;
}

}  // namespace

DWORD GetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle) {
    if (lpdwHandle) *lpdwHandle = 0;
    ReadOnlyFile file;
    uint64_t offset = 0, size = 0;
    if (!locateVersion(lptstrFilename, file, offset, size)) return 0;
    return static_cast<DWORD>(size);
}

BOOL GetFileVersionInfoA(LPCSTR lptstrFilename, DWORD /*dwHandle*/, DWORD dwLen, LPVOID lpData) {
    if (!lpData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ReadOnlyFile file;
    uint64_t offset = 0, size = 0;
    if (!locateVersion(lptstrFilename, file, offset, size)) return FALSE;
    // VerQueryValueA reads a whole record from the block, so a block shorter than one is
    // never handed out.
    if (dwLen < sizeof(VS_FIXEDFILEINFO)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    size_t length = static_cast<size_t>(size < dwLen ? size : dwLen);
    if (!file.readAt(offset, lpData, length)) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

BOOL VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, UINT* puLen) {
    if (lplpBuffer) *lplpBuffer = nullptr;
    if (puLen) *puLen = 0;
    if (!pBlock || !lpSubBlock || !lplpBuffer || !puLen ||
        reinterpret_cast<uintptr_t>(pBlock) % alignof(VS_FIXEDFILEINFO) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The block holds the fixed record only: no string tables or translations.
    if (std::strcmp(lpSubBlock, "\\") != 0) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return FALSE;
    }
    DWORD signature = 0;
    std::memcpy(&signature, pBlock, sizeof(signature));
    if (signature != VS_FFI_SIGNATURE) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return FALSE;
    }
    *lplpBuffer = const_cast<LPVOID>(pBlock);
    *puLen = sizeof(VS_FIXEDFILEINFO);
    return TRUE;
}

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    if (!lpFilename) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string native;
    if (!hModule) {
        native = programPath();
    } else {
        Dl_info info{};
        if (::dladdr(hModule, &info) == 0) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        // The loader names the main program by its command line (or not at all), so it
        // is recognised by its base address, where its own program headers live.
        Dl_info program{};
        bool inProgram = !info.dli_fname || !*info.dli_fname;
        if (!inProgram && ::dladdr(reinterpret_cast<void*>(::getauxval(AT_PHDR)), &program) != 0)
            inProgram = program.dli_fbase == info.dli_fbase;
        if (inProgram) {
            native = programPath();
        } else {
            char resolved[PATH_MAX];
            native = ::realpath(info.dli_fname, resolved) ? std::string(resolved) : info.dli_fname;
        }
    }
    if (native.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    std::string ansi = ansiPath(native);
    if (nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (ansi.size() >= nSize) {
        std::memcpy(lpFilename, ansi.data(), nSize - 1);
        lpFilename[nSize - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    std::memcpy(lpFilename, ansi.c_str(), ansi.size() + 1);
    return static_cast<DWORD>(ansi.size());
}
