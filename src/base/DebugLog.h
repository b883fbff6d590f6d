// SPDX-License-Identifier: MIT
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

// The one logging routine of every layer. A line is a text and a group name; what is shown
// and where is decided once at start-up from the "OutputDebugString" section of QUOREN.INI.
// Never blocks beyond a file append, never reports an error to the caller.
void ConfDebugString(std::string_view text, std::string_view group = {});

// Runs f where nothing may be thrown (a worker's body, a loop callback): a failure becomes the
// debug line "where: what" in the device group, and the caller goes on.
template <typename F> void DeviceLogged(std::string_view where, F&& f) noexcept {
    try {
        f();
    } catch (const std::exception& error) {
        ConfDebugString(std::string(where) + ": " + error.what(), "RUVAzerComm");
    } catch (...) {
        ConfDebugString(std::string(where) + ": unknown exception", "RUVAzerComm");
    }
}

// Says with one debug line, once per process and path, that the log folder or file at path
// could not be created and the system's reason: without it the log would just be absent.
void ReportNotCreated(const std::string& path, const std::error_code& reason);

// Reads the configuration record from QUOREN.INI in the executable's folder and fixes the
// log file's name. A missing file or section leaves the defaults (everything unfiltered).
void LoadDebugStringSettings();

struct TDebugStringSettings {
    bool Enabled = false;
    bool ShowOnDebugOutput = true;
    bool ShowAssociatedGroup = false;
    bool ShowModule = false;
    bool ShowModulePath = false;
    std::string IncludedGroups = "All";
    std::string ExcludedGroups;
    bool WriteToFile = false;
    std::string LogDirectory;
    std::string LogFileName;
};

// The record in force (read-only use; tests and the start-up report it).
const TDebugStringSettings& DebugStringSettings();
// Replaces the record and forgets the timer base, as a fresh start would.
void SetDebugStringSettings(const TDebugStringSettings& settings);

// Splits a group list: items end at commas; blanks belong to items; control characters end
// an item and are skipped; double quotes enclose an item (a doubled quote is one quote);
// a trailing comma adds an empty item.
std::vector<std::string> SplitGroupList(std::string_view list);

// "ODS_LogFile_YYYY-MM-DD-hh-mm.ods" for the given local time.
std::string DebugLogFileName(const struct tm& localTime);

// The debug output, the stand-in for OutputDebugStringA: standard error, or the journal
// (with the group as a field) when the process runs under systemd. Tests replace it to
// capture lines; the returned function is the previous sink.
using TDebugOutputSink = std::function<void(std::string_view line, std::string_view group)>;
TDebugOutputSink SetDebugOutputSink(TDebugOutputSink sink);

// While held, the holding thread's lines for standard error gather in the process and go out
// together at FlushDebugOutput (or when a pipe's atomic write is full): a server holds them
// while its loop runs and flushes shortly after a turn that wrote some, after the turn's
// replies, so a busy stretch writes once per pipe's worth. Ending the hold and the process's
// normal exit flush what is held. Other threads' lines, and the journal's, go out at once.
void HoldDebugOutput(bool hold);
void FlushDebugOutput();
// Whether held lines wait for a flush.
bool DebugOutputWaiting();
