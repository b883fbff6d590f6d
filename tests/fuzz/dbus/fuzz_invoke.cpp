// SPDX-License-Identifier: MIT
// Invoke's argument list (`av`) as any client could send it: random variants of random types,
// read by the stub of a random method of the table; plus the text helpers that read what
// peers send (error names and messages, 8-bit text, command-line switches).
#include "FuzzText.h"
#include "bus/Marshal.h"
#include "server/Registration.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <vector>

using namespace ZEMB;

namespace {

#define FUZZ_ANSWER(intf, slot, dispid, name, ...)                                                 \
    HRESULT name(ZEMB_FOR_EACH_COMMA(ZEMB_PARAM_TYPE, __VA_ARGS__)) override {                     \
        return S_OK;                                                                               \
    }

// Every interface of the library at once: no two of them share a method name.
class TQuiet final : public IZEMBServer4, public IZEMBEvent, public IZEMBHost {
public:
    ZEMB_ALL_METHODS(FUZZ_ANSWER)
};

class TContext final : public ZEMB::IMarshalContext {
public:
    std::shared_ptr<IZEMBEvent> ResolveEvent(const std::string&) override {
        return std::make_shared<TQuiet>();
    }
    std::shared_ptr<IZEMBHost> ResolveHost(const std::string&) override {
        return std::make_shared<TQuiet>();
    }
    std::string ExportEvent(const std::shared_ptr<IZEMBEvent>&) override { return "/e"; }
    std::string ExportHost(const std::shared_ptr<IZEMBHost>&) override { return "/h"; }
};

// One variant of a random type, also of types no parameter has.
bool AppendVariant(TBusMessage& m, FuzzedDataProvider& in) {
    auto put = [&](const auto& value) {
        return WriteVariant(m.Get(), ZEMB::NoCallbacks(), value) >= 0;
    };
    const auto byte = [&] { return in.ConsumeIntegral<std::uint8_t>(); };
    const std::string s = in.ConsumeRandomLengthString(24);
    // clang-format off
    switch (byte() % 9) {
    case 0: return put(static_cast<std::int32_t>(byte() << 24 | byte()));
    case 1: return put(byte());
    case 2: return put(static_cast<std::uint16_t>(byte() << 8 | byte()));
    case 3: return put((byte() & 1) != 0);
    case 4: return put(s);
    case 5: return put(TSafeByteArray(std::vector<std::uint8_t>(s.begin(), s.end())));
    case 6: return put(ZEMB::TObjectPath{byte() & 1 ? "/" : "/client/1"});
    case 7: return put(static_cast<std::int64_t>(byte()));
    default: return put(std::vector<std::string>{"x"});
    }
    // clang-format on
}

} // namespace

void FuzzText(std::string_view text) {
    FuzzedDataProvider in(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    // A connection that reaches nobody: enough to make messages and read them back.
    static std::shared_ptr<TZEMBBus> bus = TZEMBBus::OpenForMessagesOnly();
    const std::size_t index = in.ConsumeIntegral<std::uint8_t>() % ZEMB::MethodCount;
    const std::size_t count = in.ConsumeIntegral<std::uint8_t>() % 18;

    TBusMessage call, reply;
    if (bus->NewMethodCall(call, "org.zemb.ZEMB", "/o", "org.zemb.ZEMB.IDispatch", "Invoke") < 0 ||
        bus->NewMethodCall(reply, "org.zemb.ZEMB", "/o", "x.y", "Reply") < 0 ||
        !call.OpenContainer('a', "v"))
        return;
    for (std::size_t i = 0; i < count; ++i)
        AppendVariant(call, in);
    if (call.CloseContainer() && call.SealForReading() && call.EnterContainer('a', "v") &&
        reply.OpenContainer('a', "v")) {
        TQuiet q;
        ZEMB::TStubTarget target{&q, &q, &q, &q, &q, &q};
        TContext context;
        ZEMB::StubTable[index](target, context, call.Get(), reply.Get(), true);
    }

    std::string rest = in.ConsumeRemainingBytesAsString();
    std::string name = rest.substr(0, rest.size() / 2);
    ZEMB::StatusOfError(name, rest.substr(rest.size() / 2));
    ZEMB::ToValidUtf8(rest);
    std::vector<std::string_view> args = {rest, name};
    FindStartMode(args);
}
