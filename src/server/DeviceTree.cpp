// SPDX-License-Identifier: MIT
#include "server/DeviceTree.h"

// Stand-in until the tree is built from the host's enumerations.
std::vector<TDeviceTreeNode> RefreshTree(TServerContext&) {
    return {};
}
