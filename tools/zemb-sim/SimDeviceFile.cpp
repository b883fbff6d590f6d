// SPDX-License-Identifier: MIT
// The simulator's device file: one INI section per device, read with the profile-file rules.
#include "SimLinkDevice.h"
#include "base/ProfileFile.h"
#include "base/Text.h"

#include <charconv>
#include <limits>
#include <string>
#include <type_traits>

namespace {
const char* const kKnownKeys[] = {
    "Driver",           "VendorId",      "ProductId", "Instance", "FriendlyName",
    "Description",      "InterfaceGuid", "Firmware",  "RamSize",  "SerialNumber",
    "HardwareRevision", "FpgaRevision",  "Plugged"};

template <typename T> bool ParseUnsigned(std::string_view text, int base, T& value) {
    if (text.empty())
        return false;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc() && ptr == text.data() + text.size();
}

// Decimal, or hexadecimal after "0x"/"$".
template <typename T> bool ParseNumber(std::string_view text, T& value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return ParseUnsigned(text.substr(2), 16, value);
    if (text.size() > 1 && text[0] == '$')
        return ParseUnsigned(text.substr(1), 16, value);
    return ParseUnsigned(text, 10, value);
}

bool ParseUsbId(std::string_view text, std::uint16_t& value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    return text.size() <= 4 && ParseUnsigned(text, 16, value);
}

// "2.04" is major 2, minor 4; otherwise a word as the reply carries it ("0x0204", "516").
bool ParseFirmware(std::string_view text, std::uint16_t& value) {
    const auto dot = text.find('.');
    if (dot == std::string_view::npos)
        return ParseNumber(text, value);
    std::uint8_t major = 0, minor = 0;
    if (!ParseUnsigned(text.substr(0, dot), 10, major) ||
        !ParseUnsigned(text.substr(dot + 1), 10, minor) || text.size() - dot - 1 > 2)
        return false;
    value = static_cast<std::uint16_t>(major * 256u + minor);
    return true;
}

bool ValidName(std::string_view name) {
    if (name.empty() || name.size() > 64)
        return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
        if (!ok)
            return false;
    }
    return true;
}

// Instance text ends up in a udev property, a LinkName between '#' characters and a
// directory name: keep it to printable characters that break none of them.
bool ValidInstance(std::string_view text) {
    if (text.size() > 126)
        return false;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == '#' || c == '/' || c == '\\' || c == '=')
            return false;
    }
    return true;
}

bool ValidGuid(std::string_view g) {
    if (g.size() != 38 || g.front() != '{' || g.back() != '}')
        return false;
    for (std::size_t i = 1; i < 37; ++i) {
        const char c = g[i];
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            if (c != '-')
                return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

bool PrintableText(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return false;
    }
    return text.size() <= 255;
}

} // namespace

// Only what would break the udev record, the control requests or a path is refused here: tests
// give odd instances and GUID texts on purpose to see what discovery makes of them. The device
// file is checked more strictly.
bool SimConfigValid(const TSimDeviceConfig& c, std::string& error) {
    if (c.Name.empty() || !PrintableText(c.Name) || c.Name.find(' ') != std::string::npos) {
        error = "a device name is printable text without blanks";
        return false;
    }
    for (const auto* field : {&c.Instance, &c.FriendlyName, &c.Description, &c.InterfaceGuid}) {
        if (!PrintableText(*field)) {
            error = "texts must be printable, at most 255 characters";
            return false;
        }
    }
    if (c.Instance.find('/') != std::string::npos ||
        c.InterfaceGuid.find('/') != std::string::npos) {
        error = "Instance and InterfaceGuid must not hold '/'";
        return false;
    }
    return true;
}

namespace {
// The profile rules keep the first of two sections of the same name and drop the second
// silently; for a device file that is a mistake worth reporting.
std::optional<std::string> RepeatedSection(std::string_view text) {
    std::vector<std::string> seen;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string line = TrimText(text.substr(start, end - start));
        start = end + 1;
        const auto close = line.find(']');
        if (line.empty() || line[0] != '[' || close == std::string::npos)
            continue;
        std::string name = TrimText(std::string_view(line).substr(1, close - 1));
        for (const auto& s : seen) {
            if (ZEMB::SameText(s, name))
                return name;
        }
        seen.push_back(std::move(name));
    }
    return std::nullopt;
}
} // namespace

std::optional<std::vector<TSimDeviceConfig>> ParseSimDeviceFile(std::string_view text,
                                                                std::string& error) {
    if (const auto repeated = RepeatedSection(text)) {
        error = "device [" + *repeated + "] is described twice";
        return std::nullopt;
    }
    const TProfileText profile(text);
    std::vector<TSimDeviceConfig> devices;
    for (const std::string& section : profile.Sections()) {
        const auto where = [&](std::string_view key) {
            return "device [" + section + "], key " + std::string(key) + ": ";
        };
        if (!ValidName(section)) {
            error = "device [" + section +
                    "]: a device name is 1 to 64 letters, digits, '_', '-' or '.'";
            return std::nullopt;
        }
        for (const auto& d : devices) {
            if (ZEMB::SameText(d.Name, section)) {
                error = "device [" + section + "] is described twice";
                return std::nullopt;
            }
        }
        for (const std::string& key : profile.Keys(section)) {
            bool known = false;
            for (const char* k : kKnownKeys)
                known = known || ZEMB::SameText(key, k);
            if (!known) {
                error = where(key) + "unknown key";
                return std::nullopt;
            }
        }
        TSimDeviceConfig c;
        c.Name = section;
        const auto value = [&](std::string_view key) { return profile.Value(section, key); };

        const auto driver = value("Driver");
        if (!driver) {
            error = where("Driver") + "missing (silabs, winusb_silabs or winusb_st)";
            return std::nullopt;
        }
        const auto kind = SimDriverFromName(*driver);
        if (!kind) {
            error = where("Driver") + "'" + *driver + "' is not silabs, winusb_silabs or winusb_st";
            return std::nullopt;
        }
        c.Driver = *kind;
        for (auto [key, field] :
             {std::pair{"VendorId", &c.VendorId}, std::pair{"ProductId", &c.ProductId}}) {
            const auto v = value(key);
            if (!v || !ParseUsbId(*v, *field)) {
                error = where(key) + (v ? "'" + *v + "' is not" : std::string("missing, needs")) +
                        " four hexadecimal digits";
                return std::nullopt;
            }
        }
        if (auto v = value("Instance")) {
            if (!ValidInstance(*v)) {
                error = where("Instance") + "'" + *v +
                        "' must be printable, without blanks, '#', '/', '\\' or '='";
                return std::nullopt;
            }
            c.Instance = *v;
        }
        for (auto [key, field] : {std::pair{"FriendlyName", &c.FriendlyName},
                                  std::pair{"Description", &c.Description}}) {
            if (auto v = value(key)) {
                if (!PrintableText(*v)) {
                    error = where(key) + "holds control characters or is too long";
                    return std::nullopt;
                }
                *field = *v;
            }
        }
        if (auto v = value("InterfaceGuid")) {
            if (!ValidGuid(*v)) {
                error = where("InterfaceGuid") + "'" + *v +
                        "' is not a braced GUID such as {0CEAFF08-B1FD-4D12-B748-353077277F7E}";
                return std::nullopt;
            }
            c.InterfaceGuid = *v;
            for (char& ch : c.InterfaceGuid) {
                if (ch >= 'a' && ch <= 'f')
                    ch = static_cast<char>(ch - 'a' + 'A');
            }
        }
        if (auto v = value("Firmware"); v && !ParseFirmware(*v, c.Firmware)) {
            error = where("Firmware") + "'" + *v + "' is not a version such as 2.04 or a word";
            return std::nullopt;
        }
        // A number key that is given must fit its field.
        const auto number = [&](std::string_view key, auto& field) {
            const auto v = value(key);
            if (!v || ParseNumber(*v, field))
                return true;
            using T = std::remove_reference_t<decltype(field)>;
            error = where(key) + "'" + *v + "' is not a number from 0 to " +
                    std::to_string(std::numeric_limits<T>::max());
            return false;
        };
        if (!number("RamSize", c.RamSize) || !number("SerialNumber", c.SerialNumber) ||
            !number("HardwareRevision", c.HardwareRevision) ||
            !number("FpgaRevision", c.FpgaRevision))
            return std::nullopt;
        if (auto v = value("Plugged")) {
            if (*v != "0" && *v != "1") {
                error = where("Plugged") + "'" + *v + "' is not 0 or 1";
                return std::nullopt;
            }
            c.Plugged = *v == "1";
        }
        devices.push_back(std::move(c));
    }
    if (devices.empty()) {
        error = "no device described (one section per device)";
        return std::nullopt;
    }
    return devices;
}

std::optional<std::vector<TSimDeviceConfig>> LoadSimDeviceFile(const std::string& path,
                                                               std::string& error) {
    const std::optional<std::string> text = ReadFileText(path);
    if (!text) {
        error = path + ": cannot be read";
        return std::nullopt;
    }
    auto devices = ParseSimDeviceFile(*text, error);
    if (!devices)
        error = path + ": " + error;
    return devices;
}
