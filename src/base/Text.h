// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <string_view>

namespace ZEMB {

// Names, class identifiers, file and process names compare as Windows compares them: without
// regard to the case of ASCII letters. Other bytes compare as they are, whatever the locale.
bool SameText(std::string_view a, std::string_view b);
std::string UpperCaseText(std::string_view text);
std::string LowerCaseText(std::string_view text);

} // namespace ZEMB
