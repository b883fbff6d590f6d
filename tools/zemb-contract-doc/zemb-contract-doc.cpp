// SPDX-License-Identifier: MIT
// Writes the reference of the D-Bus contract in Markdown from the interface table, the status
// codes and the enumerations: docs/contract.md, and with --man the source of zemb(7).
//   zemb-contract-doc [--man] [OUTPUT]
#include "bus/Marshal.h"
#include "contract/Enumerations.h"
#include "contract/InterfaceTable.h"
#include "contract/OperatorInterface.h"
#include "contract/Status.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace ZEMB;

constexpr TInterface ServerInterfaces[] = {TInterface::IZEMBServer, TInterface::IZEMBServer2,
                                           TInterface::IZEMBServer3, TInterface::IZEMBServer4};
constexpr TInterface CallbackInterfaces[] = {TInterface::IZEMBEvent, TInterface::IZEMBHost};

struct TClass {
    std::string_view Name;
    std::string_view Id;
    TInterface Interface;
};
constexpr TClass ServerClasses[] = {
    {"ZEMBServer", CLASS_ZEMBServer, TInterface::IZEMBServer},
    {"ZEMBServer2", CLASS_ZEMBServer2, TInterface::IZEMBServer2},
    {"ZEMBServer3", CLASS_ZEMBServer3, TInterface::IZEMBServer3},
    {"ZEMBServer4", CLASS_ZEMBServer4, TInterface::IZEMBServer4},
};

struct TStatus {
    std::string_view Name;
    HRESULT Value;
    std::string_view Meaning;
};
constexpr TStatus Statuses[] = {
    {"S_OK", S_OK, "the call ran; its outcome is in Result"},
    {"S_FALSE", S_FALSE, "the call ran and did nothing"},
    {"E_NOTIMPL", E_NOTIMPL, "not implemented"},
    {"E_NOINTERFACE", E_NOINTERFACE, "the object does not have the interface"},
    {"E_POINTER", E_POINTER, "a reference that must be given is missing"},
    {"E_FAIL", E_FAIL, "unspecified failure"},
    {"E_UNEXPECTED", E_UNEXPECTED, "a failure outside a call's barrier"},
    {"E_ACCESSDENIED", E_ACCESSDENIED, "access denied"},
    {"E_INVALIDARG", E_INVALIDARG, "an argument is out of range"},
    {"REGDB_E_CLASSNOTREG", REGDB_E_CLASSNOTREG, "CreateInstance: unknown class identifier"},
    {"DISP_E_MEMBERNOTFOUND", DISP_E_MEMBERNOTFOUND, "Invoke: unknown dispatch identifier"},
    {"DISP_E_TYPEMISMATCH", DISP_E_TYPEMISMATCH, "Invoke: an argument of the wrong type"},
    {"DISP_E_UNKNOWNNAME", DISP_E_UNKNOWNNAME, "GetIDsOfNames: unknown name"},
    {"DISP_E_BADPARAMCOUNT", DISP_E_BADPARAMCOUNT, "Invoke: wrong number of arguments"},
    {"RPC_E_SERVERFAULT", RPC_E_SERVERFAULT, "the callee failed while handling the call"},
    {"RPC_E_DISCONNECTED", RPC_E_DISCONNECTED, "the callee has left the bus"},
    {"RPC_E_TIMEOUT", RPC_E_TIMEOUT, "the callee did not answer in time"},
};

std::string_view TypeName(TParamType type) {
    switch (type) {
    case TParamType::Int32:
        return "Int32";
    case TParamType::Byte:
        return "Byte";
    case TParamType::Word:
        return "Word";
    case TParamType::Bool:
        return "Bool";
    case TParamType::WText:
        return "WText";
    case TParamType::AText:
        return "AText";
    case TParamType::ByteArray:
        return "ByteArray";
    case TParamType::Event:
        return "Event";
    case TParamType::HostSink:
        return "HostSink";
    }
    return "?";
}

std::string_view DirName(TParamDir dir) {
    switch (dir) {
    case TParamDir::In:
        return "in";
    case TParamDir::Out:
        return "out";
    case TParamDir::InOut:
        return "in-out";
    case TParamDir::InRef:
        return "in-ref";
    }
    return "?";
}

std::string_view Travels(TParamDir dir) {
    if (IsArgument(dir) && IsReplyValue(dir))
        return "argument and reply";
    return IsArgument(dir) ? "argument" : "reply";
}

std::string Code(std::string_view text) {
    return text.empty() ? std::string("(none)") : "`" + std::string(text) + "`";
}

std::string Hex(HRESULT value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<std::uint32_t>(value));
    return text;
}

// The members of an interface as its introspection XML lists them, for the interfaces that are
// not in the method table (the factory, the object interfaces, the operator interface).
struct TXmlArg {
    std::string Name, Type, Direction;
};
struct TXmlMember {
    std::string Kind, Name;
    std::vector<TXmlArg> Args;
};
struct TXmlInterface {
    std::string Name;
    std::vector<TXmlMember> Members;
};

std::string Attribute(const std::string& line, std::string_view name) {
    const std::string key = " " + std::string(name) + "=\"";
    const auto at = line.find(key);
    if (at == std::string::npos)
        return {};
    const auto begin = at + key.size();
    return line.substr(begin, line.find('"', begin) - begin);
}

std::vector<TXmlInterface> ParseXml(const std::string& xml) {
    std::vector<TXmlInterface> interfaces;
    std::istringstream lines(xml);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("<interface ") != std::string::npos)
            interfaces.push_back({Attribute(line, "name"), {}});
        else if (!interfaces.empty() && (line.find("<method ") != std::string::npos ||
                                         line.find("<signal ") != std::string::npos))
            interfaces.back().Members.push_back(
                {line.find("<signal ") != std::string::npos ? "signal" : "method",
                 Attribute(line, "name"),
                 {}});
        else if (!interfaces.empty() && !interfaces.back().Members.empty() &&
                 line.find("<arg ") != std::string::npos)
            interfaces.back().Members.back().Args.push_back(
                {Attribute(line, "name"), Attribute(line, "type"), Attribute(line, "direction")});
    }
    return interfaces;
}

const TXmlInterface* FindXml(const std::vector<TXmlInterface>& all, std::string_view name) {
    for (const auto& i : all)
        if (i.Name == name)
            return &i;
    return nullptr;
}

void WriteXmlInterface(std::ostream& out, const TXmlInterface& intf) {
    out << "| Member | Argument | D-Bus type | Direction |\n|---|---|---|---|\n";
    for (const auto& m : intf.Members) {
        if (m.Args.empty())
            out << "| " << m.Kind << " `" << m.Name << "` | (none) | | |\n";
        for (std::size_t i = 0; i < m.Args.size(); ++i) {
            const auto& a = m.Args[i];
            out << "| " << (i == 0 ? m.Kind + " `" + m.Name + "`" : std::string()) << " | `"
                << a.Name << "` | `" << a.Type << "` | "
                << (a.Direction.empty() ? std::string("signal argument") : a.Direction) << " |\n";
        }
    }
    out << "\n";
}

void WriteMethods(std::ostream& out, TInterface intf, const char* heading, bool man) {
    out << heading << " " << InterfaceName(intf) << "\n\n";
    out << "Interface identifier `" << InterfaceId(intf) << "`";
    const auto chain = InterfaceChain(intf);
    if (chain.size() > 1)
        out << "; derives from " << InterfaceName(chain[chain.size() - 2])
            << ", whose methods the same object exports";
    out << ".\n\n";
    out << "| Method | Slot | DispId | Arguments | Reply |\n|---|---|---|---|---|\n";
    for (const TMethod& m : MethodTable)
        if (m.Interface == intf)
            out << "| `" << m.Name << "` | " << m.Slot << " | " << m.DispId << " | "
                << Code(InSignature(m)) << " | " << Code(OutSignature(m)) << " |\n";
    out << "\n";
    for (const TMethod& m : MethodTable) {
        if (m.Interface != intf)
            continue;
        out << "**" << m.Name << "** (slot " << m.Slot << ", DispId " << m.DispId << ")\n\n";
        out << (man ? "| Parameter | Direction | Type | D-Bus type |\n|---|---|---|---|\n"
                    : "| Parameter | Direction | Type | D-Bus type | On the bus |\n"
                      "|---|---|---|---|---|\n");
        for (const TParam& p : m.Params) {
            out << "| `" << p.Name << "` | " << DirName(p.Dir) << " | " << TypeName(p.Type)
                << " | `" << Signature(p.Type) << "` |";
            if (!man)
                out << " " << Travels(p.Dir) << " |";
            out << "\n";
        }
        out << "\n";
    }
}

template <typename T> void WriteEnumeration(std::ostream& out, std::string_view name) {
    out << "| `" << name << "` | ";
    for (int v = 0; v < 256; ++v) {
        const std::string text = ToText(static_cast<T>(v));
        if (text == std::to_string(v))
            break;
        out << (v == 0 ? "" : ", ") << v << " `" << text << "`";
    }
    out << " |\n";
}

void Write(std::ostream& out, bool man) {
    const char* h1 = man ? "#" : "##";
    const char* h2 = man ? "##" : "###";
    if (man) {
        out << "% ZEMB 7 \"\" \"zemb " << ZEMBMajorVersion << "." << ZEMBMinorVersion
            << "\" \"ZEMB\"\n\n# NAME\n\nzemb - the D-Bus interface of the ZEMB server\n\n"
               "# DESCRIPTION\n\n";
    } else {
        out << "# The ZEMB D-Bus contract\n\n"
               "<!-- Written by zemb-contract-doc from src/contract; the build checks that this "
               "file matches. -->\n\n";
    }
    out << "The ZEMB server shares USB link programming devices between client applications. "
           "It is a per-user server on the D-Bus session bus under the well-known name `"
        << BusName
        << "`; the bus starts it (D-Bus activation, through its systemd user unit where "
           "systemd runs) at the first call. Type library `"
        << LIBID_ZEMB << "`, version " << ZEMBMajorVersion << "." << ZEMBMinorVersion << ".\n\n";
    out << "A client creates a server object with the class factory, hooks up "
           "(HookupClientApp2), hands over a sink object of its own (SetZEMBHost2) to be told "
           "about devices, enumerates (EnumDevices2), connects to a device (ConnectDevice, "
           "with a callback object for Disconnected and Reconnected), opens it, and writes and "
           "reads byte arrays (WriteBuffer, ReadBuffer). Every server method answers Result "
           "(true or false) last; the reasons for false are in the server's log.\n\n";

    out << h1 << " Objects and names\n\n";
    out << "| What | Name |\n|---|---|\n"
        << "| bus name | `" << BusName << "` |\n"
        << "| class factory object | `" << FactoryPath << "` |\n"
        << "| server objects | below `" << ObjectPathPrefix << "` |\n"
        << "| error outside a call's barrier | `" << ErrorUnexpected << "` |\n\n";

    const auto xml = ParseXml(AllInterfacesXml());
    out << h2 << " " << ClassFactoryInterface << "\n\n"
        << "At `" << FactoryPath
        << "`. CreateInstance makes a server object of a class and answers its path; an "
           "unknown class identifier is an error. The classes:\n\n";
    // A page is 80 columns wide: there the wide tables become lists.
    if (!man)
        out << "| Class | ClassID | Interfaces of its objects |\n|---|---|---|\n";
    for (const TClass& c : ServerClasses) {
        out << (man ? "- " : "| ") << c.Name << (man ? " `" : " | `") << c.Id
            << (man ? "`: " : "` | ");
        const auto chain = InterfaceChain(c.Interface);
        for (std::size_t i = 0; i < chain.size(); ++i)
            out << (i ? ", " : "") << InterfaceName(chain[i]);
        out << ", " << ObjectInterface << ", " << DispatchInterface << (man ? "\n" : " |\n");
    }
    out << "\n";
    if (const auto* factory = FindXml(xml, ClassFactoryInterface))
        WriteXmlInterface(out, *factory);

    out << h2 << " " << ObjectInterface << "\n\n"
        << "Release ends the server object. An object is also released when the bus name of "
           "the client that created it leaves the bus.\n\n";
    if (const auto* object = FindXml(xml, ObjectInterface))
        WriteXmlInterface(out, *object);
    out << h2 << " " << DispatchInterface << "\n\n"
        << "The late-bound path: GetIDsOfNames answers a method's dispatch identifier (names "
           "compared without regard to case); Invoke calls it with the arguments as variants "
           "and answers the reply values as variants, Result last.\n\n";
    if (const auto* dispatch = FindXml(xml, DispatchInterface))
        WriteXmlInterface(out, *dispatch);

    out << h1 << " Types\n\n"
        << "Arguments of a call are the in, in-out and in-ref parameters in the table's order; "
           "the reply is the out and in-out parameters, Result last. What the callee writes to "
           "an in-ref parameter stays in its own process.\n\n"
        << "| Type | D-Bus type | Meaning |\n|---|---|---|\n";
    constexpr std::pair<TParamType, std::string_view> Types[] = {
        {TParamType::Int32, "signed 32-bit integer"},
        {TParamType::Byte, "unsigned byte; enumerations travel as their ordinal"},
        {TParamType::Word, "unsigned 16-bit integer"},
        {TParamType::Bool, "Boolean"},
        {TParamType::WText, "text (UTF-8)"},
        {TParamType::AText, "text (UTF-8)"},
        {TParamType::ByteArray, "byte array (at most 16 MiB per transfer)"},
        {TParamType::Event,
         "path of an object with org.zemb.ZEMB.IZEMBEvent that the client exports on its own "
         "connection; `/` for none"},
        {TParamType::HostSink,
         "path of an object with org.zemb.ZEMB.IZEMBHost that the client exports on its own "
         "connection; `/` for none"},
    };
    for (const auto& [type, meaning] : Types)
        out << "| " << TypeName(type) << " | `" << Signature(type) << "` | " << meaning << " |\n";
    out << "\n";

    out << h1 << " Server interfaces\n\n"
        << "Exported by every server object of a class that has them.\n\n";
    for (TInterface intf : ServerInterfaces)
        WriteMethods(out, intf, h2, man);

    out << h1 << " Callback interfaces\n\n"
        << "Exported by a client on its own connection, at the path it passed; the server calls "
           "them at the client's unique bus name. An error reply counts as a failure status: "
           "for IZEMBHost's enumeration callbacks it ends the enumeration.\n\n";
    for (TInterface intf : CallbackInterfaces)
        WriteMethods(out, intf, h2, man);

    out << h1 << " Operator interface\n\n"
        << "`" << OperatorInterface << "` at `" << FactoryPath
        << "`: the communication log and the device tree for operators without a window. It "
           "changes no client state and registers no client.\n\n";
    if (const auto ops = ParseXml(OperatorInterfaceXml()); !ops.empty())
        WriteXmlInterface(out, ops.front());

    out << h1 << " Enumerations\n\n| Enumeration | Values |\n|---|---|\n";
    WriteEnumeration<TUSBClientAppType>(out, "TUSBClientAppType");
    WriteEnumeration<TUSBDevMode>(out, "TUSBDevMode");
    WriteEnumeration<TUSBDevType>(out, "TUSBDevType");
    WriteEnumeration<TUSB_DeviceDriver>(out, "TUSB_DeviceDriver");
    out << "\n";

    out << h1 << " Status codes\n\n"
        << "A normal reply is S_OK. A failure outside a call's barrier is the D-Bus error `"
        << ErrorUnexpected
        << "`. A failure status travels as a D-Bus error whose message starts with the code in "
           "hex (`0x80070005: ...`); a callback object answers a failure the same way. A status "
           "without a name of its own is `"
        << ErrorNameOf(static_cast<HRESULT>(0x80FF0000u)) << "`.\n\n"
        << (man ? "" : "| Status | Value | D-Bus error | Meaning |\n|---|---|---|---|\n");
    for (const TStatus& s : Statuses) {
        const std::string error =
            FAILED(s.Value) ? Code(ErrorNameOf(s.Value)) : std::string("normal reply");
        if (man)
            out << "- " << s.Name << " " << Hex(s.Value) << ", " << error << ": " << s.Meaning
                << "\n";
        else
            out << "| " << s.Name << " | " << Hex(s.Value) << " | " << error << " | " << s.Meaning
                << " |\n";
    }
    if (man)
        out << "\n# SEE ALSO\n\nzemb-server(1), zemb-cli(1), zemb-sim(1), busctl(1), gdbus(1)\n";
}

} // namespace

int main(int argc, char** argv) {
    bool man = false;
    std::string output;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--man")
            man = true;
        else if (!arg.empty() && arg.front() != '-' && output.empty())
            output = arg;
        else {
            std::cerr << "usage: zemb-contract-doc [--man] [OUTPUT]\n";
            return 2;
        }
    }
    if (output.empty()) {
        Write(std::cout, man);
        return std::cout ? 0 : 1;
    }
    std::ofstream file(output, std::ios::trunc);
    Write(file, man);
    file.close();
    if (!file) {
        std::cerr << "zemb-contract-doc: cannot write " << output << "\n";
        return 1;
    }
    return 0;
}
