// SPDX-License-Identifier: MIT
#pragma once

// What zemb-cli reads from its user (hex bytes, device types, modes) and how it writes its
// answers: plain text for people, one JSON object per line for scripts.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace ZEMBCli {

// A JSON value with the members of an object kept in the order they were added, so that the
// output reads the same way every time.
class TJson {
public:
    using TArray = std::vector<TJson>;
    using TObject = std::vector<std::pair<std::string, TJson>>;

    TJson() = default;
    TJson(bool value) : Value_(value) {}
    TJson(std::int64_t value) : Value_(value) {}
    TJson(std::int32_t value) : Value_(static_cast<std::int64_t>(value)) {}
    TJson(std::uint32_t value) : Value_(static_cast<std::int64_t>(value)) {}
    TJson(std::string value) : Value_(std::move(value)) {}
    TJson(const char* value) : Value_(std::string(value)) {}
    TJson(std::string_view value) : Value_(std::string(value)) {}

    static TJson Array() { return TJson(TArray{}); }
    static TJson Object() { return TJson(TObject{}); }

    // Adds a member to an object (the value must be an object).
    TJson& Set(std::string key, TJson value);
    // Appends to an array (the value must be an array).
    TJson& Add(TJson value);
    // Compact text on one line, strings escaped as JSON requires.
    std::string Text() const;

private:
    explicit TJson(TArray value) : Value_(std::move(value)) {}
    explicit TJson(TObject value) : Value_(std::move(value)) {}
    void Write(std::string& out) const;

    std::variant<std::monostate, bool, std::int64_t, std::string, TArray, TObject> Value_;
};

// A JSON string literal, quotes included. Well-formed UTF-8 passes unchanged; any other byte of
// 0x80 and above is taken as Latin-1 and escaped, as are control characters and DEL, so that any
// 8-bit text gives valid JSON. (nlohmann-json's dump cannot write this: it replaces such a byte
// with U+FFFD or drops it, or with ensure_ascii escapes well-formed UTF-8 too.)
std::string JsonQuote(std::string_view text);

// Reads bytes written in hex: pairs of hex digits, optionally with "0x" prefixes and blanks,
// commas, colons or hyphens between bytes ("10 20 ff", "1020FF", "0x10,0x20"). False, with
// error filled in, for anything else (odd digit count, a stray character, no byte at all).
bool ParseHexBytes(std::string_view text, std::vector<std::uint8_t>& bytes, std::string& error);
// "10 20 ff": lower-case pairs separated by one blank.
std::string FormatHex(std::span<const std::uint8_t> bytes);

// Reads a device type, a mode or a client application type given by identifier ("dtFenwy"),
// by identifier without its lower-case prefix ("fenwy"), both in any case, or by number (0..255).
std::optional<std::uint8_t> ParseDevType(std::string_view text);
std::optional<std::uint8_t> ParseDevMode(std::string_view text);
std::optional<std::uint8_t> ParseClientAppType(std::string_view text);

} // namespace ZEMBCli
