// SPDX-License-Identifier: MIT
#include "CliOutput.h"

namespace ZEMBCli {

void TCliOutput::Answer(const TJson& json, const std::vector<std::string>& lines) {
    if (Json) {
        std::fprintf(Out_, "%s\n", json.Text().c_str());
    } else {
        for (const std::string& line : lines)
            std::fprintf(Out_, "%s\n", line.c_str());
    }
    std::fflush(Out_);
}

void TCliOutput::Error(TJson json, const std::string& text) {
    if (Json) {
        json.Set("error", text);
        std::fprintf(Out_, "%s\n", json.Text().c_str());
        std::fflush(Out_);
    } else {
        std::fprintf(Err_, "zemb-cli: %s\n", text.c_str());
        std::fflush(Err_);
    }
}

void TCliOutput::Callback(std::string_view name, std::string_view idName, std::int32_t id) {
    if (Json) {
        TJson json = TJson::Object();
        json.Set("callback", name);
        json.Set(std::string(idName), id);
        std::fprintf(Out_, "%s\n", json.Text().c_str());
    } else {
        std::fprintf(Out_, "%.*s %.*s %d\n", static_cast<int>(name.size()), name.data(),
                     static_cast<int>(idName.size()), idName.data(), id);
    }
    std::fflush(Out_);
}

TJson CallJson(std::string_view command, std::string_view call) {
    TJson json = TJson::Object();
    json.Set("command", command);
    json.Set("call", call);
    return json;
}

} // namespace ZEMBCli
