// SPDX-License-Identifier: MIT
#include "contract/InterfaceTable.h"

#include "base/Text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <functional>
#include <iterator>

namespace ZEMB {

namespace {

constexpr std::array<TInterface, 6> AllInterfaces = {
    TInterface::IZEMBServer,  TInterface::IZEMBServer2, TInterface::IZEMBServer3,
    TInterface::IZEMBServer4, TInterface::IZEMBEvent,   TInterface::IZEMBHost};

void AppendEscaped(std::string& xml, std::string_view text) {
    for (char c : text) {
        switch (c) {
        case '<':
            xml += "&lt;";
            break;
        case '>':
            xml += "&gt;";
            break;
        case '&':
            xml += "&amp;";
            break;
        case '"':
            xml += "&quot;";
            break;
        default:
            xml += c;
        }
    }
}

constexpr std::string_view DocType =
    "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n";

constexpr std::string_view StandardInterfaces =
    " <interface name=\"org.freedesktop.DBus.Peer\">\n"
    "  <method name=\"Ping\"/>\n"
    "  <method name=\"GetMachineId\">\n"
    "   <arg type=\"s\" name=\"machine_uuid\" direction=\"out\"/>\n"
    "  </method>\n"
    " </interface>\n"
    " <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
    "  <method name=\"Introspect\">\n"
    "   <arg name=\"xml_data\" type=\"s\" direction=\"out\"/>\n"
    "  </method>\n"
    " </interface>\n";

void AppendArg(std::string& xml, const TParam& p, std::string_view direction) {
    xml += "   <arg name=\"";
    xml += p.Name;
    xml += "\" type=\"";
    xml += Signature(p.Type);
    xml += "\" direction=\"";
    xml += direction;
    xml += "\"/>\n";
}

void AppendInterface(std::string& xml, TInterface intf) {
    xml += " <interface name=\"";
    xml += InterfaceName(intf);
    xml += "\">\n  <annotation name=\"org.zemb.ZEMB.InterfaceId\" value=\"";
    xml += InterfaceId(intf);
    xml += "\"/>\n";
    for (const TMethod& m : MethodTable) {
        if (m.Interface != intf)
            continue;
        xml += "  <method name=\"";
        xml += m.Name;
        xml += "\">\n";
        for (const TParam& p : m.Params)
            if (IsArgument(p.Dir))
                AppendArg(xml, p, "in");
        for (const TParam& p : m.Params)
            if (IsReplyValue(p.Dir))
                AppendArg(xml, p, "out");
        xml += "   <annotation name=\"org.zemb.ZEMB.Slot\" value=\"" + std::to_string(m.Slot) +
               "\"/>\n";
        xml += "   <annotation name=\"org.zemb.ZEMB.DispId\" value=\"" + std::to_string(m.DispId) +
               "\"/>\n";
        xml += "  </method>\n";
    }
    xml += " </interface>\n";
}

constexpr std::string_view ObjectInterfacesXml =
    " <interface name=\"org.zemb.ZEMB.Object\">\n"
    "  <method name=\"Release\"/>\n"
    " </interface>\n"
    " <interface name=\"org.zemb.ZEMB.IDispatch\">\n"
    "  <method name=\"GetIDsOfNames\">\n"
    "   <arg name=\"Name\" type=\"s\" direction=\"in\"/>\n"
    "   <arg name=\"DispId\" type=\"i\" direction=\"out\"/>\n"
    "  </method>\n"
    "  <method name=\"Invoke\">\n"
    "   <arg name=\"DispId\" type=\"i\" direction=\"in\"/>\n"
    "   <arg name=\"In\" type=\"av\" direction=\"in\"/>\n"
    "   <arg name=\"Out\" type=\"av\" direction=\"out\"/>\n"
    "  </method>\n"
    " </interface>\n";

const std::string ClassFactoryXml = " <interface name=\"org.zemb.ZEMB.ClassFactory\">\n"
                                    "  <annotation name=\"org.zemb.ZEMB.LibraryId\" value=\"" +
                                    std::string(LIBID_ZEMB) +
                                    "\"/>\n"
                                    "  <method name=\"CreateInstance\">\n"
                                    "   <arg name=\"ClassID\" type=\"s\" direction=\"in\"/>\n"
                                    "   <arg name=\"Object\" type=\"o\" direction=\"out\"/>\n"
                                    "  </method>\n"
                                    " </interface>\n";

void AppendChildren(std::string& xml, std::span<const std::string> children) {
    for (const std::string& child : children) {
        xml += " <node name=\"";
        AppendEscaped(xml, child);
        xml += "\"/>\n";
    }
}

} // namespace

std::string_view InterfaceName(TInterface intf) {
    switch (intf) {
    case TInterface::IZEMBServer:
        return "org.zemb.ZEMB.IZEMBServer";
    case TInterface::IZEMBServer2:
        return "org.zemb.ZEMB.IZEMBServer2";
    case TInterface::IZEMBServer3:
        return "org.zemb.ZEMB.IZEMBServer3";
    case TInterface::IZEMBServer4:
        return "org.zemb.ZEMB.IZEMBServer4";
    case TInterface::IZEMBEvent:
        return "org.zemb.ZEMB.IZEMBEvent";
    case TInterface::IZEMBHost:
        return "org.zemb.ZEMB.IZEMBHost";
    }
    return {};
}

std::string_view InterfaceId(TInterface intf) {
    switch (intf) {
    case TInterface::IZEMBServer:
        return IID_IZEMBServer;
    case TInterface::IZEMBServer2:
        return IID_IZEMBServer2;
    case TInterface::IZEMBServer3:
        return IID_IZEMBServer3;
    case TInterface::IZEMBServer4:
        return IID_IZEMBServer4;
    case TInterface::IZEMBEvent:
        return IID_IZEMBEvent;
    case TInterface::IZEMBHost:
        return IID_IZEMBHost;
    }
    return {};
}

std::span<const TInterface> InterfaceChain(TInterface intf) {
    switch (intf) {
    case TInterface::IZEMBServer:
        return std::span(AllInterfaces).subspan(0, 1);
    case TInterface::IZEMBServer2:
        return std::span(AllInterfaces).subspan(0, 2);
    case TInterface::IZEMBServer3:
        return std::span(AllInterfaces).subspan(0, 3);
    case TInterface::IZEMBServer4:
        return std::span(AllInterfaces).subspan(0, 4);
    case TInterface::IZEMBEvent:
        return std::span(AllInterfaces).subspan(4, 1);
    case TInterface::IZEMBHost:
        return std::span(AllInterfaces).subspan(5, 1);
    }
    return {};
}

bool InterfaceFromName(std::string_view name, TInterface& intf) {
    for (TInterface candidate : AllInterfaces) {
        if (InterfaceName(candidate) == name) {
            intf = candidate;
            return true;
        }
    }
    return false;
}

std::string_view Signature(TParamType type) {
    switch (type) {
    case TParamType::Int32:
        return "i";
    case TParamType::Byte:
        return "y";
    case TParamType::Word:
        return "q";
    case TParamType::Bool:
        return "b";
    case TParamType::WText:
    case TParamType::AText:
        return "s";
    case TParamType::ByteArray:
        return "ay";
    case TParamType::Event:
    case TParamType::HostSink:
        return "o";
    }
    return {};
}

namespace {
std::string MakeSignature(const TMethod& method, bool (*wanted)(TParamDir)) {
    std::string signature;
    for (const TParam& p : method.Params)
        if (wanted(p.Dir))
            signature += Signature(p.Type);
    return signature;
}

// Every method's argument and reply signatures, made once: each call checks against them.
struct TSignatures {
    std::array<std::string, MethodCount> In, Out;
    TSignatures() {
        for (std::size_t i = 0; i < MethodCount; ++i) {
            In[i] = MakeSignature(MethodTable[i], IsArgument);
            Out[i] = MakeSignature(MethodTable[i], IsReplyValue);
        }
    }
};

const std::string& SignatureOf(const TMethod& method, bool in) {
    static const TSignatures signatures;
    const std::less<const TMethod*> before;
    if (!before(&method, std::begin(MethodTable)) && before(&method, std::end(MethodTable))) {
        const auto i = static_cast<std::size_t>(&method - std::begin(MethodTable));
        return in ? signatures.In[i] : signatures.Out[i];
    }
    // A method described outside the table (tests): made for this call.
    thread_local std::string made;
    made = MakeSignature(method, in ? IsArgument : IsReplyValue);
    return made;
}
} // namespace

const std::string& InSignature(const TMethod& method) {
    return SignatureOf(method, true);
}

const std::string& OutSignature(const TMethod& method) {
    return SignatureOf(method, false);
}

const TMethod* FindByDispId(TInterface intf, std::int32_t dispId) {
    for (TInterface i : InterfaceChain(intf))
        for (const TMethod& m : MethodTable)
            if (m.Interface == i && m.DispId == dispId)
                return &m;
    return nullptr;
}

const TMethod* FindByName(TInterface intf, std::string_view name) {
    for (TInterface i : InterfaceChain(intf))
        for (const TMethod& m : MethodTable)
            if (m.Interface == i && ZEMB::SameText(m.Name, name))
                return &m;
    return nullptr;
}

const TMethod* FindMember(TInterface intf, std::string_view member) {
    for (const TMethod& m : MethodTable)
        if (m.Interface == intf && m.Name == member)
            return &m;
    return nullptr;
}

std::string IntrospectionXml(TInterface intf, std::span<const std::string> children) {
    std::string xml(DocType);
    xml += "<node>\n";
    xml += StandardInterfaces;
    for (TInterface i : InterfaceChain(intf))
        AppendInterface(xml, i);
    if (intf != TInterface::IZEMBEvent && intf != TInterface::IZEMBHost)
        xml += ObjectInterfacesXml;
    AppendChildren(xml, children);
    xml += "</node>\n";
    return xml;
}

std::string FactoryIntrospectionXml(std::span<const std::string> children) {
    std::string xml(DocType);
    xml += "<node>\n";
    xml += StandardInterfaces;
    xml += ClassFactoryXml;
    AppendChildren(xml, children);
    xml += "</node>\n";
    return xml;
}

std::string NodeIntrospectionXml(std::span<const std::string> children) {
    std::string xml(DocType);
    xml += "<node>\n";
    xml += StandardInterfaces;
    AppendChildren(xml, children);
    xml += "</node>\n";
    return xml;
}

std::string AllInterfacesXml() {
    std::string xml(DocType);
    xml += "<node>\n";
    xml += ClassFactoryXml;
    for (TInterface i : AllInterfaces)
        AppendInterface(xml, i);
    xml += ObjectInterfacesXml;
    xml += "</node>\n";
    return xml;
}

} // namespace ZEMB
