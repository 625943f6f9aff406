// Small ELF files made in memory for the version-information tests: an ELF header, a few
// sections and the section header table at the end. Tests change the headers before
// writing the file to make hostile variants; `readelf -S -W` reads the sound ones.
#pragma once

#include <elf.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/system/version_info.h"

template <class Ehdr, class Shdr, unsigned char kClass>
struct ElfImage {
    Ehdr header{};
    std::vector<Shdr> sections;
    std::string body;  // the bytes between the ELF header and the section header table

    // A file with a .text section, optionally a version section holding `record`, and
    // the section-name table last.
    static ElfImage make(bool withVersion, const VS_FIXEDFILEINFO& record) {
        ElfImage image;
        const std::string names = std::string("\0.text\0", 7) + kKestruneVersionSection +
                                  std::string("\0.shstrtab\0", 11);
        const auto textName = 1u, versionName = 7u;
        const auto namesName = static_cast<unsigned>(7 + std::strlen(kKestruneVersionSection) + 1);
        auto offsetOfBody = [&] { return sizeof(Ehdr) + image.body.size(); };
        image.sections.push_back(Shdr{});
        Shdr text{};
        text.sh_name = textName;
        text.sh_type = SHT_PROGBITS;
        text.sh_offset = offsetOfBody();
        text.sh_size = 16;
        image.body.append(16, '\x90');
        image.sections.push_back(text);
        if (withVersion) {
            Shdr version{};
            version.sh_name = versionName;
            version.sh_type = SHT_PROGBITS;
            version.sh_flags = SHF_ALLOC;
            version.sh_offset = offsetOfBody();
            version.sh_size = sizeof(record);
            image.body.append(reinterpret_cast<const char*>(&record), sizeof(record));
            image.sections.push_back(version);
        }
        Shdr strtab{};
        strtab.sh_name = namesName;
        strtab.sh_type = SHT_STRTAB;
        strtab.sh_offset = offsetOfBody();
        strtab.sh_size = names.size();
        image.body += names;
        image.sections.push_back(strtab);
        while ((sizeof(Ehdr) + image.body.size()) % 8) image.body.push_back('\0');

        Ehdr& h = image.header;
        std::memcpy(h.e_ident, ELFMAG, SELFMAG);
        h.e_ident[EI_CLASS] = kClass;
        h.e_ident[EI_DATA] = ELFDATA2LSB;
        h.e_ident[EI_VERSION] = EV_CURRENT;
        h.e_type = ET_DYN;
        h.e_machine = kClass == ELFCLASS64 ? EM_X86_64 : EM_386;
        h.e_version = EV_CURRENT;
        h.e_ehsize = sizeof(Ehdr);
        h.e_shoff = sizeof(Ehdr) + image.body.size();
        h.e_shentsize = sizeof(Shdr);
        h.e_shnum = static_cast<decltype(h.e_shnum)>(image.sections.size());
        h.e_shstrndx = static_cast<decltype(h.e_shstrndx)>(image.sections.size() - 1);
        return image;
    }

    // Index of the version section in `sections`.
    static constexpr size_t kVersionIndex = 2;

    std::string bytes() const {
        std::string out(reinterpret_cast<const char*>(&header), sizeof(header));
        out += body;
        for (const Shdr& s : sections) out.append(reinterpret_cast<const char*>(&s), sizeof(s));
        return out;
    }
};
using Elf64Image = ElfImage<Elf64_Ehdr, Elf64_Shdr, ELFCLASS64>;
using Elf32Image = ElfImage<Elf32_Ehdr, Elf32_Shdr, ELFCLASS32>;

inline VS_FIXEDFILEINFO versionRecord(DWORD ms, DWORD ls) {
    VS_FIXEDFILEINFO r{};
    r.dwSignature = VS_FFI_SIGNATURE;
    r.dwStrucVersion = 0x00010000;
    r.dwFileVersionMS = ms;
    r.dwFileVersionLS = ls;
    r.dwProductVersionMS = ms;
    r.dwProductVersionLS = ls;
    return r;
}

inline bool writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}
