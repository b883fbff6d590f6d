// SPDX-License-Identifier: MIT
// Any bytes as an INI file: parsing, look-ups and rewrites must hold their invariants.
#include "base/ProfileFile.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    TProfileText profile(text);
    for (const std::string& section : profile.Sections()) {
        for (const std::string& key : profile.Keys(section)) {
            auto value = profile.Value(section, key);
            if (value) {
                (void)ParseProfileInteger(*value);
            }
        }
    }
    // Writing a key must make it readable and keep every other section.
    std::string rewritten = profile.WithValue("General", "EnableEEPWrite", "1");
    TProfileText after(rewritten);
    if (after.Value("general", "enableeepwrite") != std::string("1")) {
        std::abort();
    }
    if (after.Sections().size() < profile.Sections().size()) {
        std::abort();
    }
    (void)profile.WithoutSection("General");
    (void)profile.WithoutKey("General", "EnableEEPWrite");
    return 0;
}
