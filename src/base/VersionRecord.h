// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstdint>
#include <string>

using TVersionWords = std::array<std::uint16_t, 4>; // Major, Minor, Release, Build

// Reads the version record of any executable of the project. On success sets Words and Text
// ("1.2.0.17 PRIVATE PRERELEASE"); otherwise Text is empty and Words is left as it was.
void GetFileVersionString(const std::string& fileName, TVersionWords& words, std::string& text);
// The build string of the running executable.
std::string GetOwnVersionString();
// "1.2.0.17" followed by the flag words in the order PRIVATE DEBUG PRERELEASE SPECIAL.
std::string FormatBuildString(const TVersionWords& words, std::uint32_t fileFlags);

// The computer's host name, cut at 16 characters; empty on failure.
std::string GetLocalComputerName();
// The user name of the effective user; empty on failure.
std::string GetLocalUserName();
