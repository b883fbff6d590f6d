// SPDX-License-Identifier: MIT
#include "usb/LatencySimulation.h"

#include "base/DebugLog.h"
#include "base/ExecutablePaths.h"
#include "base/ProfileFile.h"
#include "base/Text.h"
#include "usb/DeviceWorker.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

namespace {

constexpr std::string_view GeneralSection = "General";

std::unique_ptr<TNabtoSim>& Instance() {
    static std::unique_ptr<TNabtoSim> sim;
    return sim;
}

TNabtoSleep& SleepFunction() {
    static TNabtoSleep sleep = [](std::int32_t ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    };
    return sleep;
}

// StrToInt: leading blanks are skipped, the rest must be an integer.
std::optional<std::int32_t> StrToInt(std::string_view text) {
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    return ParseProfileInteger(text);
}

// A decimal number with '.' as separator whatever the locale: optional sign, digits with an
// optional fraction, optional exponent; blanks around it are allowed.
std::optional<long double> StrToFloat(std::string_view text) {
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    std::size_t i = 0;
    std::string number;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        if (text[i] == '-')
            number += '-';
        ++i;
    }
    std::size_t digits = 0;
    const auto takeDigits = [&] {
        std::size_t n = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            number += text[i++];
            ++n;
        }
        return n;
    };
    digits += takeDigits();
    if (i < text.size() && text[i] == '.') {
        number += text[i++];
        digits += takeDigits();
    }
    if (digits == 0)
        return std::nullopt;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        number += text[i++];
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            number += text[i++];
        if (takeDigits() == 0)
            return std::nullopt;
    }
    if (i != text.size())
        return std::nullopt;
    long double value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc() || end != number.data() + number.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

bool IsBlank(char c) {
    return c >= 1 && c <= ' ';
}

// Rounds to the nearest integer, halves to the even neighbour, independent of the FPU mode.
long double RoundHalfEven(long double v) {
    const long double down = std::floor(v);
    const long double diff = v - down;
    if (diff < 0.5L)
        return down;
    if (diff > 0.5L)
        return down + 1;
    return std::fmod(down, 2.0L) == 0 ? down : down + 1;
}

} // namespace

std::vector<std::string> SplitCommaText(std::string_view Value) {
    // The text ends at a NUL character, as the profile functions hand it over.
    if (const auto nul = Value.find('\0'); nul != std::string_view::npos)
        Value = Value.substr(0, nul);
    std::vector<std::string> fields;
    std::size_t p = 0;
    const std::size_t n = Value.size();
    while (p < n && IsBlank(Value[p]))
        ++p;
    while (p < n) {
        std::string field;
        if (Value[p] == '"') {
            ++p;
            while (p < n) {
                if (Value[p] == '"') {
                    if (p + 1 < n && Value[p + 1] == '"') {
                        field += '"';
                        p += 2;
                        continue;
                    }
                    ++p;
                    break;
                }
                field += Value[p++];
            }
        } else {
            const std::size_t start = p;
            while (p < n && !IsBlank(Value[p]) && Value[p] != ',')
                ++p;
            field.assign(Value.substr(start, p - start));
        }
        fields.push_back(std::move(field));
        while (p < n && IsBlank(Value[p]))
            ++p;
        if (p < n && Value[p] == ',') {
            if (p + 1 == n)
                fields.emplace_back();
            do
                ++p;
            while (p < n && IsBlank(Value[p]));
        }
    }
    return fields;
}

TNabtoSleep SetNabtoSleep(TNabtoSleep sleep) {
    std::swap(sleep, SleepFunction());
    return sleep;
}

TNabtoSim::TNabtoSim() {
    const TProfileText file(ReadFileText(FileName()).value_or(std::string()));
    const auto value = file.Value(GeneralSection, "IncludePollDelay");
    IncludePollDelay = (value ? ParseProfileInteger(*value).value_or(1) : 1) == 1;
}

std::string TNabtoSim::FileName() {
    return ExecutableFolder() + "Nabto.ini";
}

std::int32_t TNabtoSim::IntervalDelay(std::uint32_t Count) const {
    if (Intervals.empty())
        return 0;
    const TNaptoSimInterval* chosen = &Intervals.back();
    for (const auto& interval : Intervals) {
        if (static_cast<std::int64_t>(interval.ToBytes) >= static_cast<std::int64_t>(Count)) {
            chosen = &interval;
            break;
        }
    }
    if (chosen->Divisor == 0)
        return 0;
    const long double ms = chosen->DelayMs + (static_cast<long double>(Count) -
                                              static_cast<long double>(chosen->FromBytes)) /
                                                 chosen->Divisor;
    if (!std::isfinite(ms))
        return 0;
    const long double rounded = RoundHalfEven(ms);
    if (rounded < std::numeric_limits<std::int32_t>::min() ||
        rounded > std::numeric_limits<std::int32_t>::max())
        return 0;
    return static_cast<std::int32_t>(rounded);
}

void TNabtoSim::Delay(const std::uint8_t* Buffer, std::uint32_t Count, std::string_view OpName) {
    if (Intervals.empty())
        return;
    // Only a buffer that holds a byte has a first byte to look at.
    if (!IncludePollDelay && Buffer != nullptr && Count > 0 &&
        (Buffer[0] == 0x11 || Buffer[0] == 0x12))
        return;
    const std::int32_t ms = IntervalDelay(Count);
    if (ms <= 0)
        return;
    DeviceDebugString(">>NaptoDelay_ms: " + std::to_string(ms) + " " + std::to_string(Count) + " " +
                          std::string(OpName),
                      "Nabto");
    if (SleepFunction())
        SleepFunction()(ms);
    DeviceDebugString("<<NaptoDelay_ms " + std::string(OpName), "Nabto");
}

bool TNabtoSim::AddLine(std::string_view Value) {
    const auto fields = SplitCommaText(Value);
    if (fields.size() != 4)
        return false;
    TNaptoSimInterval interval;
    interval.FromBytes = StrToInt(fields[0]).value_or(0);
    interval.ToBytes = StrToInt(fields[1]).value_or(std::numeric_limits<std::int32_t>::max());
    const auto delay = StrToInt(fields[2]);
    const auto divisor = StrToFloat(fields[3]);
    if (!delay || !divisor)
        return false;
    interval.DelayMs = *delay;
    interval.Divisor = *divisor;

    std::size_t pos = 0;
    while (pos < Intervals.size() && Intervals[pos].FromBytes < interval.FromBytes)
        ++pos;
    if (pos > 0 && Intervals[pos - 1].ToBytes > interval.FromBytes)
        return false;
    if (pos < Intervals.size() && Intervals[pos].FromBytes < interval.ToBytes)
        return false;
    Intervals.insert(Intervals.begin() + static_cast<std::ptrdiff_t>(pos), interval);
    return true;
}

bool TNabtoSim::Load(const std::string& ConfigName) {
    Intervals.clear();
    const TProfileText file(ReadFileText(FileName()).value_or(std::string()));
    CurrentConfig = ConfigName;
    const auto poll = file.Value(GeneralSection, "IncludePollDelay");
    IncludePollDelay = (poll ? ParseProfileInteger(*poll).value_or(1) : 1) == 1;

    bool ok = false;
    if (!CurrentConfig.empty()) {
        std::vector<std::string> lines;
        for (std::size_t key = 1;; ++key) {
            const auto value = file.Value(CurrentConfig, std::to_string(key));
            if (!value || TrimText(*value).empty())
                break;
            lines.push_back(*value);
        }
        if (!lines.empty()) {
            Intervals.clear();
            ok = true;
            for (const auto& line : lines) {
                if (!AddLine(line)) {
                    ok = false;
                    break;
                }
            }
        }
    }
    if (!ok)
        CurrentConfig.clear();
    return ok;
}

void TNabtoSim::Save() {
    TProfileFile file(FileName());
    file.WriteString(GeneralSection, "CurrentConfig", CurrentConfig);
    file.WriteInteger(GeneralSection, "IncludePollDelay", IncludePollDelay ? 1 : 0);
}

namespace {
thread_local bool scopeActive = false;
thread_local TNabtoSim* scopeSim = nullptr;
} // namespace

TNabtoSim* NabtoSim() {
    return scopeActive ? scopeSim : Instance().get();
}

TNabtoSimScope::TNabtoSimScope(TNabtoSim* sim) : outerActive_(scopeActive), outer_(scopeSim) {
    scopeActive = true;
    scopeSim = sim;
}

TNabtoSimScope::~TNabtoSimScope() {
    scopeActive = outerActive_;
    scopeSim = outer_;
}

void CreateNabtoSim() {
    Instance() = std::make_unique<TNabtoSim>();
    TNabtoSim& sim = *Instance();
    const TProfileText file(ReadFileText(TNabtoSim::FileName()).value_or(std::string()));
    const std::string saved = TrimText(file.Value(GeneralSection, "CurrentConfig").value_or(""));
    // The chosen configuration is in force from the start; one that no longer loads as a whole
    // leaves no table rather than a part of one.
    if (!saved.empty() && !ZEMB::SameText(saved, "Nabto disabled") && !sim.Load(saved))
        sim.Intervals.clear();
}

void DestroyNabtoSim() {
    Instance().reset();
}
