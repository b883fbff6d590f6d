// SPDX-License-Identifier: MIT
#pragma once

#include <ctime>
#include <string>

// What the linked programming library's start-up does outside the process, run once at
// every start before anything else of the server: the box driver's settings file, the
// debug-log settings, the per-user and permanent log folders, the clean-up of old daily logs.
// The box driver's watchdog log lies in watchdogFolder (trailing '/'), a folder every user may
// write to; only a plain file of this user there is read or replaced, never through a link.
void RunProgrammingLibraryStartup(const std::string& watchdogFolder = "/var/tmp/");
// Its counterpart at process end: writes the watchdog log when the box driver keeps one. A
// process that ends through exit() without calling it (the display going away under Qt) has
// the log written all the same; once written, neither writes it again.
void FinishProgrammingLibrary();

// Folders and names, exposed for the tests and the operator.
std::string PerUserLogFolder();                         // <exe folder>LOG/<user>_<computer>/
std::string PermanentLogFolder();                       // $XDG_DATA_HOME/Tavro/Vantor/
std::string PermanentLogName(const std::tm& localDate); // "HA_Log2026-12-05.haj"
// The box driver's watchdog log in folder; its place in the process is fixed, for other
// programs read it there.
std::string WatchdogLogFileName(const std::string& folder = "/var/tmp/");
// Deletes the "HA_LOG*.haj" files of folder that sort before today's name; never another
// file and never today's. Stops at a file that cannot be deleted. Returns the files deleted.
int CleanPermanentLogFolder(const std::string& folder, const std::string& todaysName);
