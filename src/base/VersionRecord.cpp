// SPDX-License-Identifier: MIT
#include "base/VersionRecord.h"

#include "base/ExecutablePaths.h"

#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <optional>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace {
constexpr char kMagic[8] = {'Z', 'E', 'M', 'B', 'V', 'E', 'R', '1'};
constexpr const char* kSectionName = ".zemb_version";

// The record every executable of the project carries in its ".zemb_version" section.
struct VersionRecord {
    char magic[8];
    std::uint16_t words[4];
    std::uint32_t flags;
};

class TFileDescriptor {
public:
    explicit TFileDescriptor(const std::string& path)
        : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~TFileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    TFileDescriptor(const TFileDescriptor&) = delete;
    TFileDescriptor& operator=(const TFileDescriptor&) = delete;

    bool ReadAt(void* buffer, std::size_t size, std::uint64_t offset) const {
        if (fd_ < 0 || offset > static_cast<std::uint64_t>(INT64_MAX)) {
            return false;
        }
        return ::pread(fd_, buffer, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
    }

private:
    int fd_;
};

// Finds the version record in a 64-bit little-endian ELF file; any other file has none.
std::optional<VersionRecord> ReadVersionRecord(const std::string& fileName) {
    TFileDescriptor file(fileName);
    Elf64_Ehdr header{};
    if (!file.ReadAt(&header, sizeof header, 0) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_shentsize != sizeof(Elf64_Shdr) ||
        header.e_shstrndx >= header.e_shnum) {
        return std::nullopt;
    }
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    if (!file.ReadAt(sections.data(), sections.size() * sizeof(Elf64_Shdr), header.e_shoff)) {
        return std::nullopt;
    }
    const Elf64_Shdr& names = sections[header.e_shstrndx];
    if (names.sh_size > (1u << 24)) {
        return std::nullopt;
    }
    std::vector<char> nameTable(names.sh_size + 1, '\0');
    if (!file.ReadAt(nameTable.data(), names.sh_size, names.sh_offset)) {
        return std::nullopt;
    }
    for (const Elf64_Shdr& section : sections) {
        if (section.sh_name >= names.sh_size || section.sh_type == SHT_NOBITS ||
            std::strcmp(&nameTable[section.sh_name], kSectionName) != 0 ||
            section.sh_size < sizeof(VersionRecord)) {
            continue;
        }
        VersionRecord record{};
        if (file.ReadAt(&record, sizeof record, section.sh_offset) &&
            std::memcmp(record.magic, kMagic, sizeof kMagic) == 0) {
            return record;
        }
    }
    return std::nullopt;
}
} // namespace

std::string FormatBuildString(const TVersionWords& words, std::uint32_t fileFlags) {
    std::string text = std::to_string(words[0]) + "." + std::to_string(words[1]) + "." +
                       std::to_string(words[2]) + "." + std::to_string(words[3]);
    static constexpr struct {
        std::uint32_t bit;
        const char* word;
    } kFlagWords[] = {{0x08, "PRIVATE"}, {0x01, "DEBUG"}, {0x02, "PRERELEASE"}, {0x20, "SPECIAL"}};
    for (const auto& flag : kFlagWords) {
        if (fileFlags & flag.bit) {
            text += " ";
            text += flag.word;
        }
    }
    return text;
}

void GetFileVersionString(const std::string& fileName, TVersionWords& words, std::string& text) {
    text.clear();
    auto record = ReadVersionRecord(fileName);
    if (!record) {
        return;
    }
    words = {record->words[0], record->words[1], record->words[2], record->words[3]};
    text = FormatBuildString(words, record->flags);
}

std::string GetOwnVersionString() {
    TVersionWords words{};
    std::string text;
    GetFileVersionString(ExecutablePath(), words, text);
    return text;
}

std::string GetLocalComputerName() {
    char name[257] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    std::string text(name, ::strnlen(name, sizeof name));
    return text.substr(0, 16);
}

std::string GetLocalUserName() {
    std::vector<char> buffer(4096);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !found->pw_name) {
        return {};
    }
    return found->pw_name;
}
