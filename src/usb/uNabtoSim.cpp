// SPDX-License-Identifier: MIT
#include "uNabtoSim.h"

TNabtoSim::TNabtoSim() = default;
void TNabtoSim::Delay(const std::uint8_t*, std::uint32_t, std::string_view) {}
bool TNabtoSim::Load(const std::string&) {
    return false;
}
void TNabtoSim::Save() {}
std::int32_t TNabtoSim::IntervalDelay(std::uint32_t) const {
    return 0;
}
bool TNabtoSim::AddLine(std::string_view) {
    return false;
}
std::string TNabtoSim::FileName() {
    return "Nabto.ini";
}
TNabtoSim* NabtoSim() {
    return nullptr;
}
void CreateNabtoSim() {}
void DestroyNabtoSim() {}
std::vector<std::string> SplitCommaText(std::string_view) {
    return {};
}
TNabtoSleep SetNabtoSleep(TNabtoSleep s) {
    return s;
}
