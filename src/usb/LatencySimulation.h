// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// One row of a delay table: from FromBytes on, DelayMs plus one millisecond per Divisor bytes.
struct TNaptoSimInterval {
    std::int32_t FromBytes = 0;
    std::int32_t ToBytes = 0;
    std::int32_t DelayMs = 0;
    long double Divisor = 0;
};

// The latency simulation: holds back every device transfer by a time that depends on its
// size, from a delay table loaded out of "Nabto.ini" in the executable's folder. Delay sleeps
// on the calling thread (a device's worker).
class TNabtoSim {
public:
    // Reads IncludePollDelay from the file; the table starts empty.
    TNabtoSim();

    std::vector<TNaptoSimInterval> Intervals; // sorted by FromBytes, no overlaps
    bool IncludePollDelay = true;
    std::string CurrentConfig;

    // Called before a transfer moves any byte; never refuses it.
    void Delay(const std::uint8_t* Buffer, std::uint32_t Count, std::string_view OpName);
    // Makes the named section the table in force; true on success.
    bool Load(const std::string& ConfigName);
    // Writes CurrentConfig and IncludePollDelay to the "General" section.
    void Save();

    // The delay for a transfer of Count bytes by the table in force; 0 when the computation
    // fails (no table, Divisor 0, outside 32 bits).
    std::int32_t IntervalDelay(std::uint32_t Count) const;
    // Adds one "Nabto.ini" interval line; false if it is malformed or overlaps a neighbour
    // (the table is then as before).
    bool AddLine(std::string_view Value);

    // Full path of "Nabto.ini".
    static std::string FileName();
};

// The process-wide simulator; nullptr before CreateNabtoSim or after DestroyNabtoSim. On a
// thread inside a TNabtoSimScope: the scope's simulator.
TNabtoSim* NabtoSim();

// A device worker's view of the simulation: a copy taken on the main thread when the job was
// asked for (null: no delay), so that the worker never reads the table the main thread edits.
class TNabtoSimScope {
public:
    explicit TNabtoSimScope(TNabtoSim* sim);
    ~TNabtoSimScope();
    TNabtoSimScope(const TNabtoSimScope&) = delete;
    TNabtoSimScope& operator=(const TNabtoSimScope&) = delete;

private:
    bool outerActive_;
    TNabtoSim* outer_;
};
// Creates the simulator and puts in force the saved ("General", "CurrentConfig"), if any.
void CreateNabtoSim();
void DestroyNabtoSim();

// Splits a value the way an interval line is read: commas and blanks separate, a field may
// be double-quoted (a doubled quote is one quote), a comma at the very end adds an empty field.
std::vector<std::string> SplitCommaText(std::string_view Value);

// The sleep used by Delay; tests replace it. Returns the previous one.
using TNabtoSleep = std::function<void(std::int32_t ms)>;
TNabtoSleep SetNabtoSleep(TNabtoSleep sleep);
