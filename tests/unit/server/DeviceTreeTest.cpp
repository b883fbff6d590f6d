// SPDX-License-Identifier: MIT
// The operator window's tree over the real host on fake devices: texts, images, depth and
// which nodes are open.
#include "server/DeviceTree.h"

#include "HostFixture.h"
#include "host/ServerSink.h"
#include "server/ServerObject.h"

namespace {

// A tree over its own server context; each node as one row: two blanks per level, "+" for an
// open node or "-", the image index, the text.
class DeviceTreeTest : public THostTest {
protected:
    std::vector<std::string> Tree() {
        if (!context_)
            context_.emplace(Container());
        std::vector<std::string> rows;
        for (const TDeviceTreeNode& node : RefreshTree(*context_))
            rows.push_back(std::string(2 * static_cast<std::size_t>(node.Depth), ' ') +
                           (node.Expanded ? "+" : "-") + std::to_string(node.ImageIndex) + " " +
                           node.Text);
        return rows;
    }
    std::optional<TServerContext> context_;
};

TEST_F(DeviceTreeTest, NoDeviceGivesNoNodeAndTheSinkSitsOnTheServersOwnEntry) {
    Hookup(aciVantor, "/opt/vantor");
    EXPECT_TRUE(Tree().empty());
    // Enumerated through the sink on ClientAppID 0, which answers as an unset sink after.
    std::shared_ptr<TZEMBHost> sink = context_->OwnSink();
    EXPECT_EQ(Container().ClientApps.FindClientApp(0)->ZEMBHost, sink);
    EXPECT_FALSE(sink->OnEnumDevice || sink->OnEnumConnection || sink->OnEnumApplication);
}

TEST_F(DeviceTreeTest, FirstDeviceOpenWithItsInfoClosedSecondDeviceClosed) {
    Bus.Attached = {{"FENWY0001", dtFenwy, ddWinUSB_Silabs, 0x0110},
                    {"FENWY0002", dtFenwy, ddWinUSB_Silabs, 5}};
    const std::int32_t client = Hookup(aciVantor, "/opt/Vantor");
    ASSERT_EQ(Connect(client, 1, cmShared), 0);
    // clang-format off
    EXPECT_THAT(Tree(), ElementsAre("+0 DevID: 0", "  -2 Active: False", "  -1 Info:",
        "    -2 SerialNumber: FENWY0001", "    -2 VidPid: ", "    -2 DevType: dtFenwy",
        "    -2 DriverType: ddWinUSB_Silabs", "    -2 Firmware: 01.16",
        "    -2 LinkName: usb#vid_10c4&pid_ea61#FENWY0001#{GUID}",
        "-0 DevID: 1", "  -2 Active: False", "  -1 Info:",
        "    -2 SerialNumber: FENWY0002", "    -2 VidPid: ", "    -2 DevType: dtFenwy",
        "    -2 DriverType: ddWinUSB_Silabs", "    -2 Firmware: 00.05",
        "    -2 LinkName: usb#vid_10c4&pid_ea61#FENWY0002#{GUID}",
        "  -3 ConnectID: 0", "    -2 Active: False", "    -2 Mode: cmShared", "    -1 Info",
        "      -2 ClientAppID: 1", "      -2 ClientAppType: aciVantor",
        "      -2 ClientAppExeName: /opt/vantor"));
    // clang-format on
}

TEST_F(DeviceTreeTest, ConnectionsShowOpenedAndConnectedButNotDisconnected) {
    ZEMBSettings().EnableSharedAccess = true;
    Bus.Attached = {{"FENWY0001", dtFenwy, ddWinUSB_Silabs}};
    const std::int32_t vantor = Hookup(aciVantor, "/opt/vantor");
    const std::int32_t base = Hookup(aciBase, "/opt/base");
    const std::int32_t opened = Connect(vantor, 0, cmShared);
    const std::int32_t gone = Connect(Hookup(aciVantor, "/opt/gone"), 0, cmShared);
    ASSERT_EQ(Connect(base, 0, cmShared), 2);
    ASSERT_TRUE(Host().OpenDevice(opened));
    ASSERT_TRUE(Host().DisconnectDevice(gone));
    const std::vector<std::string> tree = Tree();
    // Past the device's own nodes: its connections, each open down to its closed client group.
    ASSERT_EQ(tree.size(), 9u + 2 * 7u);
    EXPECT_EQ(tree[1], "  -2 Active: True");
    // clang-format off
    EXPECT_THAT(std::vector(tree.begin() + 9, tree.end()),
        ElementsAre("  +3 ConnectID: 0", "    -2 Active: True", "    -2 Mode: cmShared",
            "    -1 Info", "      -2 ClientAppID: 1", "      -2 ClientAppType: aciVantor",
            "      -2 ClientAppExeName: /opt/vantor",
            "  +3 ConnectID: 2", "    -2 Active: False", "    -2 Mode: cmShared",
            "    -1 Info", "      -2 ClientAppID: 2", "      -2 ClientAppType: aciBase",
            "      -2 ClientAppExeName: /opt/base"));
    // clang-format on
}

} // namespace
