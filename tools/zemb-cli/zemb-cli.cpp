// SPDX-License-Identifier: MIT
// zemb-cli: the ZEMB server's calls from the command line, one at a time or as a shell that
// keeps one client across commands.
#include "CliCommandLine.h"

#include <cstdio>

using namespace ZEMBCli;

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    TCliOutput output(stdout, stderr);
    TCliSession session(output);
    TCommandLine commandLine(session, nullptr);
    int code = commandLine.Run([&](CLI::App& app) { app.parse(argc, argv); });
    int finish = session.Finish();
    return code != ecOk ? code : finish;
}
