// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Raised when a profile file cannot be written: "Unable to write to <path>".
class EProfileFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Integer text as the Windows profile functions' callers read it (StrToIntDef): optional sign,
// decimal, or hexadecimal after "0x"/"$"; anything else, or a value outside 32 bits, is none.
std::optional<std::int32_t> ParseProfileInteger(std::string_view text);

// An INI file with the Windows profile-file rules: section and key names without regard to
// case, values trimmed and unquoted, the first occurrence of a section or key wins, sections
// in file order. Each read opens the file anew and a missing or unreadable file reads as
// empty. Each write rewrites the file keeping every other line as it was, and raises
// EProfileFileError when the file cannot be written.
class TProfileFile {
public:
    explicit TProfileFile(std::string path) : path_(std::move(path)) {}

    const std::string& FileName() const { return path_; }

    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view defaultValue) const;
    std::int32_t ReadInteger(std::string_view section, std::string_view key,
                             std::int32_t defaultValue) const;
    bool ReadBool(std::string_view section, std::string_view key, bool defaultValue) const;

    bool SectionExists(std::string_view section) const;
    bool ValueExists(std::string_view section, std::string_view key) const;
    // Key names of a section in file order; section names in file order.
    std::vector<std::string> ReadSection(std::string_view section) const;
    std::vector<std::string> ReadSections() const;

    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, std::int32_t value);
    void WriteBool(std::string_view section, std::string_view key, bool value);
    void EraseSection(std::string_view section);
    void DeleteKey(std::string_view section, std::string_view key);

private:
    std::string path_;
};

// The parsed form of a profile file's text, usable without a file (fuzzing, the simulator).
class TProfileText {
public:
    explicit TProfileText(std::string_view text);

    std::optional<std::string> Value(std::string_view section, std::string_view key) const;
    bool HasSection(std::string_view section) const;
    std::vector<std::string> Keys(std::string_view section) const;
    std::vector<std::string> Sections() const;

    // Sets a key, keeping every other line; returns the new text.
    std::string WithValue(std::string_view section, std::string_view key,
                          std::string_view value) const;
    std::string WithoutSection(std::string_view section) const;
    std::string WithoutKey(std::string_view section, std::string_view key) const;

private:
    struct Line {
        std::string raw;     // the line as it stood, without its line end
        std::string section; // for a section header: its name
        std::string key;     // for a key line: its name
        std::string value;   // for a key line: trimmed and unquoted value
        bool isSection = false;
        bool isKey = false;
    };
    std::vector<Line> lines_;
    std::string lineEnd_ = "\n";
    bool endsWithLineEnd_ = true;

    std::string Join(const std::vector<std::string>& lines) const;
};

std::string TrimText(std::string_view text);
// The whole content of a file, byte for byte; none when it cannot be opened.
std::optional<std::string> ReadFileText(const std::string& path);
