// SPDX-License-Identifier: MIT
#include "CliFormat.h"

#include "base/Text.h"
#include "contract/Enumerations.h"

#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>

namespace ZEMBCli {

TJson& TJson::Set(std::string key, TJson value) {
    auto& object = std::get<TObject>(Value_);
    object.emplace_back(std::move(key), std::move(value));
    return object.back().second;
}

TJson& TJson::Add(TJson value) {
    auto& array = std::get<TArray>(Value_);
    array.push_back(std::move(value));
    return array.back();
}

std::string TJson::Text() const {
    std::string out;
    Write(out);
    return out;
}

void TJson::Write(std::string& out) const {
    if (std::holds_alternative<std::monostate>(Value_)) {
        out += "null";
    } else if (const auto* b = std::get_if<bool>(&Value_)) {
        out += *b ? "true" : "false";
    } else if (const auto* i = std::get_if<std::int64_t>(&Value_)) {
        out += std::to_string(*i);
    } else if (const auto* s = std::get_if<std::string>(&Value_)) {
        out += JsonQuote(*s);
    } else if (const auto* a = std::get_if<TArray>(&Value_)) {
        out += '[';
        for (std::size_t n = 0; n < a->size(); ++n) {
            if (n)
                out += ',';
            (*a)[n].Write(out);
        }
        out += ']';
    } else if (const auto* o = std::get_if<TObject>(&Value_)) {
        out += '{';
        for (std::size_t n = 0; n < o->size(); ++n) {
            if (n)
                out += ',';
            out += JsonQuote((*o)[n].first);
            out += ':';
            (*o)[n].second.Write(out);
        }
        out += '}';
    }
}

namespace {

// Length of the well-formed UTF-8 sequence at the start of text, 0 when it is not one.
std::size_t Utf8SequenceLength(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07u;
    } else {
        return 0;
    }
    if (text.size() < length)
        return 0;
    for (std::size_t n = 1; n < length; ++n) {
        const auto c = static_cast<unsigned char>(text[n]);
        if ((c & 0xC0u) != 0x80u)
            return 0;
        code = (code << 6) | (c & 0x3Fu);
    }
    // Overlong forms, surrogates and values beyond Unicode are not text.
    static constexpr std::array<std::uint32_t, 5> Least = {0, 0, 0x80, 0x800, 0x10000};
    if (code < Least[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return 0;
    return length;
}

void AppendEscape(std::string& out, unsigned value) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\u%04x", value);
    out += buffer;
}

// The program keeps the "C" locale: only 0-9, a-f and A-F.
bool IsHexDigit(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

bool IsSeparator(char c) {
    return c == ' ' || c == '\t' || c == ',' || c == ':' || c == '-';
}

// An identifier ("dtFenwy"), the identifier without its lower-case prefix ("fenwy"), or a
// number. The identifiers are the contract's: past the declared values its text is the number.
template <typename T> std::optional<std::uint8_t> ParseName(std::string_view text) {
    for (unsigned n = 0; n <= 0xFF; ++n) {
        const std::string name = ZEMB::ToText(static_cast<T>(n));
        if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0])))
            break;
        const std::size_t prefix = name.find_first_not_of("abcdefghijklmnopqrstuvwxyz");
        if (ZEMB::SameText(text, name) ||
            (prefix != std::string::npos && ZEMB::SameText(text, name.substr(prefix))))
            return static_cast<std::uint8_t>(n);
    }
    unsigned value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > 255)
        return std::nullopt;
    return static_cast<std::uint8_t>(value);
}

} // namespace

std::string JsonQuote(std::string_view text) {
    std::string out = "\"";
    for (std::size_t n = 0; n < text.size();) {
        const auto c = static_cast<unsigned char>(text[n]);
        if (c >= 0x80) {
            // Well-formed UTF-8 passes; any other byte is taken as a Latin-1 character, so the
            // output stays valid JSON whatever 8-bit text the server holds.
            std::size_t length = Utf8SequenceLength(text.substr(n));
            if (length) {
                out.append(text.substr(n, length));
                n += length;
            } else {
                AppendEscape(out, c);
                ++n;
            }
            continue;
        }
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7F)
                AppendEscape(out, c);
            else
                out += static_cast<char>(c);
        }
        ++n;
    }
    out += '"';
    return out;
}

bool ParseHexBytes(std::string_view text, std::vector<std::uint8_t>& bytes, std::string& error) {
    bytes.clear();
    std::size_t n = 0;
    while (n < text.size()) {
        if (IsSeparator(text[n])) {
            ++n;
            continue;
        }
        if (text[n] == '0' && n + 1 < text.size() && (text[n + 1] == 'x' || text[n + 1] == 'X')) {
            n += 2;
            if (n >= text.size() || !IsHexDigit(text[n])) {
                error = "\"0x\" without hex digits at position " + std::to_string(n - 1);
                return false;
            }
        }
        // A run of digits is read two at a time: "1020ff" is three bytes.
        std::size_t start = n;
        while (n < text.size() && IsHexDigit(text[n]))
            ++n;
        if (n == start) {
            error = "not a hex digit at position " + std::to_string(n + 1) + ": '" +
                    std::string(1, text[n]) + "'";
            return false;
        }
        if ((n - start) % 2 != 0) {
            error = "odd number of hex digits in \"" + std::string(text.substr(start, n - start)) +
                    "\"";
            return false;
        }
        for (std::size_t d = start; d < n; d += 2) {
            std::uint8_t byte = 0;
            std::from_chars(text.data() + d, text.data() + d + 2, byte, 16);
            bytes.push_back(byte);
        }
    }
    if (bytes.empty()) {
        error = "no bytes given";
        return false;
    }
    return true;
}

std::string FormatHex(std::span<const std::uint8_t> bytes) {
    static constexpr char Digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (std::uint8_t b : bytes) {
        if (!out.empty())
            out += ' ';
        out += Digits[b >> 4];
        out += Digits[b & 0x0F];
    }
    return out;
}

std::optional<std::uint8_t> ParseDevType(std::string_view text) {
    return ParseName<ZEMB::TUSBDevType>(text);
}
std::optional<std::uint8_t> ParseDevMode(std::string_view text) {
    return ParseName<ZEMB::TUSBDevMode>(text);
}
std::optional<std::uint8_t> ParseClientAppType(std::string_view text) {
    return ParseName<ZEMB::TUSBClientAppType>(text);
}

} // namespace ZEMBCli
