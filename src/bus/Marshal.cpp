// SPDX-License-Identifier: MIT
#include "bus/Marshal.h"

#include <array>
#include <cstdio>
#include <cstdlib>

namespace ZEMB {

#define ZEMB_STUB_ENTRY(intf, slot, dispid, name, ...)                                             \
    &Stub<&ZEMB::intf::name, MethodIndex(TInterface::intf, #name)>,
const TStubFunction StubTable[MethodCount] = {ZEMB_ALL_METHODS(ZEMB_STUB_ENTRY)};
#undef ZEMB_STUB_ENTRY

namespace {

struct TErrorName {
    HRESULT Status;
    std::string_view Name;
};

constexpr std::array<TErrorName, 15> ErrorNames = {{
    {E_ACCESSDENIED, "org.zemb.ZEMB.Error.AccessDenied"},
    {REGDB_E_CLASSNOTREG, "org.zemb.ZEMB.Error.ClassNotRegistered"},
    {E_UNEXPECTED, "org.zemb.ZEMB.Error.Unexpected"},
    {E_FAIL, "org.zemb.ZEMB.Error.Failed"},
    {E_NOTIMPL, "org.zemb.ZEMB.Error.NotImplemented"},
    {E_NOINTERFACE, "org.zemb.ZEMB.Error.NoInterface"},
    {E_POINTER, "org.zemb.ZEMB.Error.Pointer"},
    {E_INVALIDARG, "org.zemb.ZEMB.Error.InvalidArg"},
    {DISP_E_MEMBERNOTFOUND, "org.zemb.ZEMB.Error.MemberNotFound"},
    {DISP_E_TYPEMISMATCH, "org.zemb.ZEMB.Error.TypeMismatch"},
    {DISP_E_UNKNOWNNAME, "org.zemb.ZEMB.Error.UnknownName"},
    {DISP_E_BADPARAMCOUNT, "org.zemb.ZEMB.Error.BadParamCount"},
    {RPC_E_SERVERFAULT, "org.zemb.ZEMB.Error.ServerFault"},
    {RPC_E_DISCONNECTED, "org.zemb.ZEMB.Error.Disconnected"},
    {RPC_E_TIMEOUT, "org.zemb.ZEMB.Error.Timeout"},
}};

constexpr std::string_view StatusErrorName = "org.zemb.ZEMB.Error.Status";

} // namespace

std::string ErrorNameOf(HRESULT status) {
    for (const TErrorName& e : ErrorNames)
        if (e.Status == status)
            return std::string(e.Name);
    return std::string(StatusErrorName);
}

std::string ErrorMessageOf(HRESULT status, std::string_view text) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(status));
    std::string message(code);
    if (!text.empty()) {
        message += ": ";
        message += text;
    }
    return message;
}

HRESULT StatusOfError(std::string_view name, std::string_view message) {
    for (const TErrorName& e : ErrorNames)
        if (e.Name == name)
            return e.Status;
    if (name == StatusErrorName && message.starts_with("0x")) {
        std::string digits(message.substr(2, 8));
        char* end = nullptr;
        unsigned long value = std::strtoul(digits.c_str(), &end, 16);
        if (end && *end == '\0' && digits.size() == 8 && (value & 0x80000000ul))
            return static_cast<HRESULT>(static_cast<std::uint32_t>(value));
        return E_FAIL;
    }
    if (name == SD_BUS_ERROR_NO_REPLY || name == SD_BUS_ERROR_TIMEOUT)
        // The bus daemon also says NoReply when the peer left without answering.
        return message.find("disconnected") != std::string_view::npos ? RPC_E_DISCONNECTED
                                                                      : RPC_E_TIMEOUT;
    if (name == SD_BUS_ERROR_DISCONNECTED || name == SD_BUS_ERROR_SERVICE_UNKNOWN ||
        name == SD_BUS_ERROR_NAME_HAS_NO_OWNER || name == SD_BUS_ERROR_NO_SERVER ||
        name == SD_BUS_ERROR_UNKNOWN_OBJECT)
        return RPC_E_DISCONNECTED;
    if (name == SD_BUS_ERROR_UNKNOWN_METHOD || name == SD_BUS_ERROR_UNKNOWN_INTERFACE)
        return E_NOINTERFACE;
    if (name == SD_BUS_ERROR_INVALID_ARGS)
        return E_INVALIDARG;
    return E_FAIL;
}

std::string ToValidUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = c < 0x80           ? 1
                             : (c >> 5) == 0x6  ? 2
                             : (c >> 4) == 0xE  ? 3
                             : (c >> 3) == 0x1E ? 4
                                                : 0;
        bool valid = length > 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k)
            valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (valid && length > 1) {
            // Reject over-long forms, surrogates and values beyond U+10FFFF.
            std::uint32_t cp = c & (0x7F >> length);
            for (std::size_t k = 1; k < length; ++k)
                cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
            static constexpr std::uint32_t Minimum[] = {0, 0, 0x80, 0x800, 0x10000};
            valid = cp >= Minimum[length] && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
        }
        if (valid && c != 0) {
            out.append(text.substr(i, length));
            i += length;
            continue;
        }
        if (c == 0) {
            // D-Bus strings end at NUL; what follows is not part of the text.
            break;
        }
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
        ++i;
    }
    return out;
}

void ReplyStatus(TZEMBBus& bus, const TBusMessage& call, HRESULT status, std::string_view text) {
    ReplyError(bus, call, ErrorNameOf(status), ErrorMessageOf(status, text));
}

TDeferralFrame*& CurrentDeferralFrame() {
    thread_local TDeferralFrame* current = nullptr;
    return current;
}

std::shared_ptr<TDeferredReply> DeferReply() {
    TDeferralFrame* frame = CurrentDeferralFrame();
    if (!frame)
        return nullptr;
    if (!frame->Reply)
        frame->Reply = std::make_shared<TDeferredReply>();
    return frame->Reply;
}

TDeferredReply::~TDeferredReply() {
    if (Send_ && !Done_) {
        try {
            Send_(E_UNEXPECTED);
        } catch (...) {
            // Nothing more can be told: the caller's own time-out ends its wait.
        }
    }
}

void TDeferredReply::Complete(HRESULT status) {
    if (Done_)
        return;
    if (!Send_) {
        Early_ = status;
        CompletedEarly_ = true;
        return;
    }
    Done_ = true;
    Send_(status);
}

void TDeferredReply::Arm(std::function<void(HRESULT)> send) {
    Send_ = std::move(send);
    if (CompletedEarly_)
        Complete(Early_);
}

namespace {

// Everything after the method returned: the error of a failure, or the reply values sent.
void FinishReply(TZEMBBus& bus, const TBusMessage& call, const TBusMessage& reply,
                 const TMethod& method, bool invoke, const TStubResult& result) {
    switch (result.Marshal) {
    case TMarshalResult::Ok:
        break;
    case TMarshalResult::TypeMismatch:
        ReplyStatus(bus, call, DISP_E_TYPEMISMATCH, "An argument has the wrong type.");
        return;
    case TMarshalResult::BadParamCount:
        ReplyStatus(bus, call, DISP_E_BADPARAMCOUNT,
                    std::string(method.Name) + " expects (" + InSignature(method) + ")");
        return;
    case TMarshalResult::Failed:
        ReplyStatus(bus, call, E_UNEXPECTED, "The reply could not be built.");
        return;
    }
    if (FAILED(result.Status)) {
        ReplyStatus(bus, call, result.Status, std::string(method.Name) + " failed");
        return;
    }
    if (invoke && sd_bus_message_close_container(reply.Get()) < 0) {
        ReplyStatus(bus, call, E_UNEXPECTED, "The reply could not be built.");
        return;
    }
    if (sd_bus_message_get_expect_reply(call.Get()) > 0)
        bus.Send(reply);
}

} // namespace

void AnswerCall(TZEMBBus& bus, const TBusMessage& call, const TStubTarget& target,
                IMarshalContext& context, const TMethod& method, bool invoke) {
    sd_bus_message* m = call.Get();
    TBusMessage reply;
    if (sd_bus_message_new_method_return(m, reply.Out()) < 0) {
        ReplyStatus(bus, call, E_UNEXPECTED, "Out of memory");
        return;
    }
    if (invoke && (sd_bus_message_enter_container(m, 'a', "v") < 0 ||
                   sd_bus_message_open_container(reply.Get(), 'a', "v") < 0)) {
        ReplyStatus(bus, call, E_UNEXPECTED, "Invoke could not read its arguments.");
        return;
    }
    auto index = static_cast<std::size_t>(&method - MethodTable);
    TStubResult result;
    try {
        result = StubTable[index](target, context, m, reply.Get(), invoke);
    } catch (...) {
        // Outside the call's own barrier: the caller learns of it as E_UNEXPECTED.
        result.Status = E_UNEXPECTED;
    }
    if (result.Deferred) {
        // The bus may be gone by the time the method completes (the process ending).
        result.Deferred->Arm([weakBus = bus.weak_from_this(), call, reply, &method, invoke,
                              write = std::move(result.WriteLater)](HRESULT status) {
            const std::shared_ptr<TZEMBBus> alive = weakBus.lock();
            if (!alive)
                return;
            TStubResult later;
            later.Status = status;
            if (SUCCEEDED(status) && write(reply.Get()) < 0)
                later.Marshal = TMarshalResult::Failed;
            FinishReply(*alive, call, reply, method, invoke, later);
        });
        return;
    }
    FinishReply(bus, call, reply, method, invoke, result);
}

int ReadValue(sd_bus_message* m, IMarshalContext&, bool& value) {
    int b = 0;
    int r = sd_bus_message_read_basic(m, 'b', &b);
    if (r > 0)
        value = b != 0;
    return r;
}

int ReadValue(sd_bus_message* m, IMarshalContext&, std::string& value) {
    const char* s = nullptr;
    int r = sd_bus_message_read_basic(m, 's', &s);
    if (r > 0)
        value = s ? s : "";
    return r;
}

int ReadValue(sd_bus_message* m, IMarshalContext&, TSafeByteArray& value) {
    const void* data = nullptr;
    std::size_t size = 0;
    int r = sd_bus_message_read_array(m, 'y', &data, &size);
    if (r >= 0)
        value.Assign({static_cast<const std::uint8_t*>(data), size});
    return r < 0 ? r : 1;
}

namespace {
int ReadPath(sd_bus_message* m, std::string& path) {
    const char* s = nullptr;
    int r = sd_bus_message_read_basic(m, 'o', &s);
    if (r > 0)
        path = s ? s : "/";
    return r;
}
} // namespace

int ReadValue(sd_bus_message* m, IMarshalContext& ctx, std::shared_ptr<IZEMBEvent>& value) {
    std::string path;
    int r = ReadPath(m, path);
    if (r > 0)
        value = path == "/" ? nullptr : ctx.ResolveEvent(path);
    return r;
}

int ReadValue(sd_bus_message* m, IMarshalContext& ctx, std::shared_ptr<IZEMBHost>& value) {
    std::string path;
    int r = ReadPath(m, path);
    if (r > 0)
        value = path == "/" ? nullptr : ctx.ResolveHost(path);
    return r;
}

int ReadValue(sd_bus_message* m, IMarshalContext&, TObjectPath& value) {
    return ReadPath(m, value.Path);
}

int ReadValue(sd_bus_message* m, IMarshalContext&, std::vector<std::string>& value) {
    TBusMessage message = TBusMessage::Ref(m);
    std::vector<std::string> strings;
    int r = message.ReadStrings(strings);
    if (r >= 0)
        value = std::move(strings);
    return r < 0 ? r : 1;
}

int WriteValue(sd_bus_message* m, IMarshalContext&, const TObjectPath& value) {
    return sd_bus_message_append_basic(m, 'o', value.Path.c_str());
}

int WriteValue(sd_bus_message* m, IMarshalContext&, const std::vector<std::string>& value) {
    TBusMessage message = TBusMessage::Ref(m);
    return message.AppendStrings(value) ? 1 : -EINVAL;
}

IMarshalContext& NoCallbacks() {
    class TNoCallbacks final : public IMarshalContext {
    public:
        std::shared_ptr<IZEMBEvent> ResolveEvent(const std::string&) override { return nullptr; }
        std::shared_ptr<IZEMBHost> ResolveHost(const std::string&) override { return nullptr; }
        std::string ExportEvent(const std::shared_ptr<IZEMBEvent>&) override { return "/"; }
        std::string ExportHost(const std::shared_ptr<IZEMBHost>&) override { return "/"; }
    };
    static TNoCallbacks none;
    return none;
}

int WriteValue(sd_bus_message* m, IMarshalContext&, const bool& value) {
    int b = value ? 1 : 0;
    return sd_bus_message_append_basic(m, 'b', &b);
}

int WriteValue(sd_bus_message* m, IMarshalContext&, const std::string& value) {
    std::string text = ToValidUtf8(value);
    return sd_bus_message_append_basic(m, 's', text.c_str());
}

int WriteValue(sd_bus_message* m, IMarshalContext&, const TSafeByteArray& value) {
    auto bytes = value.Data();
    return sd_bus_message_append_array(m, 'y', bytes.data(), bytes.size());
}

int WriteValue(sd_bus_message* m, IMarshalContext& ctx, const std::shared_ptr<IZEMBEvent>& value) {
    std::string path = value ? ctx.ExportEvent(value) : "/";
    return sd_bus_message_append_basic(m, 'o', path.c_str());
}

int WriteValue(sd_bus_message* m, IMarshalContext& ctx, const std::shared_ptr<IZEMBHost>& value) {
    std::string path = value ? ctx.ExportHost(value) : "/";
    return sd_bus_message_append_basic(m, 'o', path.c_str());
}

} // namespace ZEMB
