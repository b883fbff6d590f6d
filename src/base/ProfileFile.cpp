// SPDX-License-Identifier: MIT
#include "base/ProfileFile.h"

#include "base/Text.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

static bool IsBlank(unsigned char c) {
    return c <= ' ';
}

std::string TrimText(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsBlank(static_cast<unsigned char>(text[begin]))) {
        ++begin;
    }
    while (end > begin && IsBlank(static_cast<unsigned char>(text[end - 1]))) {
        --end;
    }
    return std::string(text.substr(begin, end - begin));
}

std::optional<std::int32_t> ParseProfileInteger(std::string_view text) {
    std::string_view s = text;
    bool negative = false;
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    int base = 10;
    if (!s.empty() && s.front() == '$') {
        base = 16;
        s.remove_prefix(1);
    } else if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty()) {
        return std::nullopt;
    }
    std::uint64_t magnitude = 0;
    auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), magnitude, base);
    if (error != std::errc() || end != s.data() + s.size()) {
        return std::nullopt;
    }
    if (base == 16) {
        // Hexadecimal covers the full 32-bit pattern: $FFFFFFFF is -1, as the readers expect.
        if (magnitude > 0xFFFFFFFFull) {
            return std::nullopt;
        }
        std::uint32_t bits = static_cast<std::uint32_t>(magnitude);
        if (negative) {
            bits = 0u - bits;
        }
        return static_cast<std::int32_t>(bits);
    }
    if (negative) {
        if (magnitude > 0x80000000ull) {
            return std::nullopt;
        }
        return static_cast<std::int32_t>(0 - static_cast<std::int64_t>(magnitude));
    }
    if (magnitude > 0x7FFFFFFFull) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(magnitude);
}

static std::string Unquote(std::string value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

TProfileText::TProfileText(std::string_view text) {
    if (text.find("\r\n") != std::string_view::npos) {
        lineEnd_ = "\r\n";
    }
    endsWithLineEnd_ = text.empty() || text.back() == '\n';
    std::string current;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        std::string_view raw =
            text.substr(pos, nl == std::string_view::npos ? text.npos : nl - pos);
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
        if (!raw.empty() && raw.back() == '\r') {
            raw.remove_suffix(1);
        }
        Line line;
        line.raw = std::string(raw);
        std::string trimmed = TrimText(raw);
        if (!trimmed.empty() && trimmed.front() == '[') {
            std::size_t close = trimmed.find(']');
            line.isSection = true;
            line.section = TrimText(std::string_view(trimmed).substr(
                1, close == std::string::npos ? std::string::npos : close - 1));
            current = line.section;
        } else if (!trimmed.empty() && trimmed.front() != ';' && trimmed.front() != '#') {
            std::size_t eq = trimmed.find('=');
            if (eq != std::string::npos) {
                line.isKey = true;
                line.section = current;
                line.key = TrimText(std::string_view(trimmed).substr(0, eq));
                line.value = Unquote(TrimText(std::string_view(trimmed).substr(eq + 1)));
            }
        }
        lines_.push_back(std::move(line));
    }
}

std::optional<std::string> TProfileText::Value(std::string_view section,
                                               std::string_view key) const {
    // The first section of that name holds the keys that count.
    bool inSection = false;
    bool seen = false;
    for (const Line& line : lines_) {
        if (line.isSection) {
            if (inSection) {
                return std::nullopt;
            }
            inSection = !seen && ZEMB::SameText(line.section, section);
            seen = seen || inSection;
        } else if (inSection && line.isKey && ZEMB::SameText(line.key, key)) {
            return line.value;
        }
    }
    return std::nullopt;
}

bool TProfileText::HasSection(std::string_view section) const {
    return std::any_of(lines_.begin(), lines_.end(), [&](const Line& line) {
        return line.isSection && ZEMB::SameText(line.section, section);
    });
}

std::vector<std::string> TProfileText::Keys(std::string_view section) const {
    std::vector<std::string> keys;
    bool inSection = false;
    for (const Line& line : lines_) {
        if (line.isSection) {
            if (inSection) {
                break;
            }
            inSection = ZEMB::SameText(line.section, section);
        } else if (inSection && line.isKey &&
                   std::none_of(keys.begin(), keys.end(), [&](const std::string& k) {
                       return ZEMB::SameText(k, line.key);
                   })) {
            keys.push_back(line.key);
        }
    }
    return keys;
}

std::vector<std::string> TProfileText::Sections() const {
    std::vector<std::string> sections;
    for (const Line& line : lines_) {
        if (line.isSection &&
            std::none_of(sections.begin(), sections.end(),
                         [&](const std::string& s) { return ZEMB::SameText(s, line.section); })) {
            sections.push_back(line.section);
        }
    }
    return sections;
}

std::string TProfileText::Join(const std::vector<std::string>& lines) const {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        text += lines[i];
        if (i + 1 < lines.size() || endsWithLineEnd_) {
            text += lineEnd_;
        }
    }
    return text;
}

std::string TProfileText::WithValue(std::string_view section, std::string_view key,
                                    std::string_view value) const {
    std::vector<std::string> out;
    out.reserve(lines_.size() + 2);
    std::string newLine = std::string(key) + "=" + std::string(value);
    bool inSection = false;
    bool sectionSeen = false;
    bool done = false;
    std::size_t insertAt = 0; // after the last key line of the section
    for (const Line& line : lines_) {
        if (line.isSection) {
            inSection = !sectionSeen && ZEMB::SameText(line.section, section);
            if (inSection) {
                sectionSeen = true;
                out.push_back(line.raw);
                insertAt = out.size();
                continue;
            }
        } else if (inSection && !done && line.isKey && ZEMB::SameText(line.key, key)) {
            out.push_back(newLine);
            done = true;
            continue;
        }
        out.push_back(line.raw);
        if (inSection && line.isKey) {
            insertAt = out.size();
        }
    }
    if (!done) {
        if (sectionSeen) {
            out.insert(out.begin() + static_cast<std::ptrdiff_t>(insertAt), newLine);
        } else {
            out.push_back("[" + std::string(section) + "]");
            out.push_back(newLine);
        }
    }
    TProfileText copy = *this;
    copy.endsWithLineEnd_ = true;
    return copy.Join(out);
}

std::string TProfileText::WithoutSection(std::string_view section) const {
    std::vector<std::string> out;
    bool inSection = false;
    for (const Line& line : lines_) {
        if (line.isSection) {
            inSection = ZEMB::SameText(line.section, section);
        }
        if (!inSection) {
            out.push_back(line.raw);
        }
    }
    return Join(out);
}

std::string TProfileText::WithoutKey(std::string_view section, std::string_view key) const {
    std::vector<std::string> out;
    bool inSection = false;
    for (const Line& line : lines_) {
        if (line.isSection) {
            inSection = ZEMB::SameText(line.section, section);
        }
        if (!(inSection && line.isKey && ZEMB::SameText(line.key, key))) {
            out.push_back(line.raw);
        }
    }
    return Join(out);
}

std::optional<std::string> ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

static std::string ReadWholeFile(const std::string& path) {
    return ReadFileText(path).value_or(std::string());
}

// For a rewrite: a missing file is empty, but a file that exists and cannot be read must not
// be replaced by the few lines we know.
static std::string ReadForUpdate(const std::string& path) {
    if (std::optional<std::string> text = ReadFileText(path)) {
        return std::move(*text);
    }
    std::error_code error;
    if (std::filesystem::exists(path, error) || error) {
        throw EProfileFileError("Unable to write to " + path);
    }
    return {};
}

static void WriteWholeFile(const std::string& path, const std::string& text) {
    // Written beside the file and renamed over it, so a failed write never leaves half a file.
    std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (out) {
            out << text;
            out.flush();
        }
        if (!out) {
            std::remove(temporary.c_str());
            throw EProfileFileError("Unable to write to " + path);
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        throw EProfileFileError("Unable to write to " + path);
    }
}

std::string TProfileFile::ReadString(std::string_view section, std::string_view key,
                                     std::string_view defaultValue) const {
    auto value = TProfileText(ReadWholeFile(path_)).Value(section, key);
    return value ? *value : std::string(defaultValue);
}

std::int32_t TProfileFile::ReadInteger(std::string_view section, std::string_view key,
                                       std::int32_t defaultValue) const {
    auto value = TProfileText(ReadWholeFile(path_)).Value(section, key);
    if (!value) {
        return defaultValue;
    }
    return ParseProfileInteger(*value).value_or(defaultValue);
}

bool TProfileFile::ReadBool(std::string_view section, std::string_view key,
                            bool defaultValue) const {
    return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

bool TProfileFile::SectionExists(std::string_view section) const {
    return TProfileText(ReadWholeFile(path_)).HasSection(section);
}

bool TProfileFile::ValueExists(std::string_view section, std::string_view key) const {
    return TProfileText(ReadWholeFile(path_)).Value(section, key).has_value();
}

std::vector<std::string> TProfileFile::ReadSection(std::string_view section) const {
    return TProfileText(ReadWholeFile(path_)).Keys(section);
}

std::vector<std::string> TProfileFile::ReadSections() const {
    return TProfileText(ReadWholeFile(path_)).Sections();
}

void TProfileFile::WriteString(std::string_view section, std::string_view key,
                               std::string_view value) {
    WriteWholeFile(path_, TProfileText(ReadForUpdate(path_)).WithValue(section, key, value));
}

void TProfileFile::WriteInteger(std::string_view section, std::string_view key,
                                std::int32_t value) {
    WriteString(section, key, std::to_string(value));
}

void TProfileFile::WriteBool(std::string_view section, std::string_view key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

void TProfileFile::EraseSection(std::string_view section) {
    WriteWholeFile(path_, TProfileText(ReadForUpdate(path_)).WithoutSection(section));
}

void TProfileFile::DeleteKey(std::string_view section, std::string_view key) {
    WriteWholeFile(path_, TProfileText(ReadForUpdate(path_)).WithoutKey(section, key));
}
