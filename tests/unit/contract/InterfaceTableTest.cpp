// SPDX-License-Identifier: MIT
// The method table against the published interfaces: slots, dispatch identifiers, parameter
// order and D-Bus signatures, and the XML derived from it.
#include "contract/InterfaceTable.h"

#include <gmock/gmock.h>
#include <map>
#include <numeric>
#include <set>

using ::testing::HasSubstr;
using ZEMB::TInterface;

namespace {

const ZEMB::TMethod& Method(TInterface intf, std::string_view name) {
    std::size_t i = ZEMB::MethodIndex(intf, name);
    EXPECT_LT(i, ZEMB::MethodCount) << name;
    return ZEMB::MethodTable[i];
}

} // namespace

TEST(InterfaceTable, SlotsRunWithoutGapsFromSevenAcrossTheInterfaceChain) {
    using I = TInterface;
    const std::tuple<TInterface, int, int> ranges[] = {
        {I::IZEMBServer, 7, 18},  {I::IZEMBServer2, 25, 1}, {I::IZEMBServer3, 26, 4},
        {I::IZEMBServer4, 30, 4}, {I::IZEMBEvent, 7, 2},    {I::IZEMBHost, 7, 5}};
    for (const auto& [intf, first, count] : ranges) {
        std::vector<int> slots, expected(static_cast<std::size_t>(count));
        std::iota(expected.begin(), expected.end(), first);
        for (const ZEMB::TMethod& m : ZEMB::MethodTable)
            if (m.Interface == intf)
                slots.push_back(m.Slot);
        EXPECT_EQ(slots, expected);
    }
}

TEST(InterfaceTable, DispatchIdentifiersAreUniquePerObjectAndReachTheRightMethods) {
    for (TInterface top :
         {TInterface::IZEMBServer4, TInterface::IZEMBEvent, TInterface::IZEMBHost}) {
        std::set<std::int32_t> ids;
        for (TInterface i : ZEMB::InterfaceChain(top))
            for (const ZEMB::TMethod& m : ZEMB::MethodTable)
                EXPECT_TRUE(m.Interface != i || ids.insert(m.DispId).second) << m.Name;
    }
    EXPECT_EQ(ZEMB::FindByDispId(TInterface::IZEMBServer4, 214)->Name, "FirstDevice");
    EXPECT_EQ(ZEMB::FindByDispId(TInterface::IZEMBServer, 211)->Name, "EnumConnections");
    EXPECT_EQ(ZEMB::FindByDispId(TInterface::IZEMBServer2, 301)->Name, "FirstDevice2");
    EXPECT_EQ(ZEMB::FindByDispId(TInterface::IZEMBServer, 301), nullptr);
    EXPECT_EQ(ZEMB::FindByDispId(TInterface::IZEMBHost, 204)->Name, "EnumConnection");
    EXPECT_EQ(ZEMB::FindByName(TInterface::IZEMBServer4, "enumconnection2")->DispId, 504);
    EXPECT_EQ(ZEMB::FindByName(TInterface::IZEMBServer3, "EnumConnection2"), nullptr);
    EXPECT_EQ(ZEMB::FindMember(TInterface::IZEMBServer, "firstdevice"), nullptr);
}

TEST(InterfaceTable, SignaturesFollowTheParameterDirections) {
    using I = TInterface;
    // DevInfo's Mode is in-ref: an argument, never a reply value.
    // clang-format off
    const std::tuple<TInterface, const char*, const char*, const char*> cases[] = {
        {I::IZEMBServer, "ConnectDevice", "iiyo", "ib"}, {I::IZEMBServer, "WriteBuffer", "iay", "ib"},
        {I::IZEMBServer, "ReadBuffer", "iay", "ayib"}, {I::IZEMBServer, "DevInfo", "iy", "bssssssyyiyqb"},
        {I::IZEMBServer, "HookupClientApp", "yss", "ib"}, {I::IZEMBServer, "SetSuperUseMode", "", "b"},
        {I::IZEMBServer3, "HookupClientApp2", "yiss", "ib"}, {I::IZEMBServer4, "SetZEMBHost2", "io", "b"},
        {I::IZEMBEvent, "Disconnected", "i", ""}, {I::IZEMBHost, "DeviceRemoved", "i", "b"}};
    // clang-format on
    for (const auto& [intf, name, in, out] : cases) {
        const ZEMB::TMethod& m = Method(intf, name);
        EXPECT_EQ(ZEMB::InSignature(m) + " -> " + ZEMB::OutSignature(m),
                  std::string(in) + " -> " + out)
            << name;
    }
    const ZEMB::TMethod& devInfo = Method(TInterface::IZEMBServer, "DevInfo");
    ASSERT_EQ(devInfo.Params.size(), 15u);
    EXPECT_EQ(devInfo.Params[7].Name, "GUID_");
    EXPECT_EQ(devInfo.Params[14].Name, "Result");
}

TEST(InterfaceTable, IntrospectionCarriesSlotsDispatchIdentifiersAndArgumentNames) {
    std::string xml = ZEMB::IntrospectionXml(TInterface::IZEMBServer2);
    EXPECT_THAT(xml, HasSubstr("<interface name=\"org.zemb.ZEMB.IZEMBServer\">"));
    EXPECT_THAT(xml, HasSubstr("<interface name=\"org.zemb.ZEMB.IZEMBServer2\">"));
    EXPECT_THAT(xml, ::testing::Not(HasSubstr("IZEMBServer3")));
    EXPECT_THAT(xml, HasSubstr("<interface name=\"org.zemb.ZEMB.IDispatch\">"));
    EXPECT_THAT(xml, HasSubstr("<method name=\"FirstDevice2\">\n"
                               "   <arg name=\"DevType\" type=\"y\" direction=\"in\"/>\n"
                               "   <arg name=\"ClientAppID\" type=\"i\" direction=\"in\"/>\n"
                               "   <arg name=\"Mode\" type=\"y\" direction=\"in\"/>\n"
                               "   <arg name=\"DevID\" type=\"i\" direction=\"out\"/>\n"
                               "   <arg name=\"Result\" type=\"b\" direction=\"out\"/>\n"
                               "   <annotation name=\"org.zemb.ZEMB.Slot\" value=\"25\"/>\n"
                               "   <annotation name=\"org.zemb.ZEMB.DispId\" value=\"301\"/>"));
    std::string callbacks = ZEMB::IntrospectionXml(TInterface::IZEMBHost);
    EXPECT_THAT(callbacks, ::testing::Not(HasSubstr("IDispatch")));
    std::string all = ZEMB::AllInterfacesXml();
    for (const char* name : {"ClassFactory", "IZEMBServer4", "IZEMBEvent", "IZEMBHost", "Object"})
        EXPECT_THAT(all, HasSubstr(std::string("org.zemb.ZEMB.") + name + "\""));
    std::vector<std::string> children = {"a&b"};
    EXPECT_THAT(ZEMB::NodeIntrospectionXml(children), HasSubstr("<node name=\"a&amp;b\"/>"));
}
