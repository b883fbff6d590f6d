// SPDX-License-Identifier: MIT
#pragma once

#include "contract/OperatorInterface.h"

#include <string>
#include <vector>

class TServerContext;

// One node of the operator window's tree. ImageIndex is a ZEMB::TDeviceTreeImage, the image
// of the window's image list. Depth 0 is a device. Expanded is what the window shows open; a
// node without children is never expanded.
struct TDeviceTreeNode {
    std::string Text;
    int ImageIndex = -1;
    int Depth = 0;
    bool Expanded = false;
};

// The main window's tree as RefreshTree builds it, in display order (pre-order): every
// device the host knows, its connections that are not disconnected and the client behind
// each, read through the server's own sink on ClientAppID 0. Empty when the host knows no
// device ("No devices detected"). The first device is open down to its connections; every
// information group and every other device is closed.
std::vector<TDeviceTreeNode> RefreshTree(TServerContext& context);
