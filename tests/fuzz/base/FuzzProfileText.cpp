// SPDX-License-Identifier: MIT
// Any bytes as an INI file: parsing, look-ups and rewrites must hold their invariants.
#include "FuzzText.h"
#include "base/ProfileFile.h"

#include <string>

void FuzzText(std::string_view text) {
    const TProfileText profile(text);
    for (const std::string& section : profile.Sections())
        for (const std::string& key : profile.Keys(section))
            if (const auto value = profile.Value(section, key))
                (void)ParseProfileInteger(*value);
    // Writing a key must make it readable and keep every other section.
    const TProfileText after(profile.WithValue("General", "EnableEEPWrite", "1"));
    Expect(after.Value("general", "enableeepwrite") == std::string("1"));
    Expect(after.Sections().size() >= profile.Sections().size());
    (void)profile.WithoutSection("General");
    (void)profile.WithoutKey("General", "EnableEEPWrite");
}
