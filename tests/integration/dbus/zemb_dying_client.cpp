// SPDX-License-Identifier: MIT
// A client that creates two server objects and ends without releasing them, as a crashed
// client would. Prints "created" once both exist.
#include "ZEMBClient.h"

#include <cstdio>
#include <unistd.h>

int main() {
    auto client = ZEMB::TZEMBClient::Connect();
    if (!client)
        return 1;
    auto first = client->CreateInstance(CLASS_ZEMBServer4);
    auto second = client->CreateInstance(CLASS_ZEMBServer);
    if (!first || !second)
        return 1;
    std::printf("created\n");
    std::fflush(stdout);
    _exit(0); // no destructors: nothing is released
}
