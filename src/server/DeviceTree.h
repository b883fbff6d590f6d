// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <vector>

class TServerContext;

struct TDeviceTreeNode {
    std::string Text;
    int ImageIndex = -1;
    int Depth = 0;
    bool Expanded = false;
};

// The main window's tree as RefreshTree builds it, in display order (pre-order).
std::vector<TDeviceTreeNode> RefreshTree(TServerContext& context);
