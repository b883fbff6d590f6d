// SPDX-License-Identifier: MIT
// Invoke's argument list (`av`) as any client could send it: random variants of random types,
// read by the stub of a random method of the table; plus the text helpers that read what
// peers send (error names and messages, 8-bit text, command-line switches).
#include "bus/Marshal.h"
#include "server/Registration.h"

#include <cstddef>
#include <cstdint>
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

struct TInput {
    const std::uint8_t* Data;
    std::size_t Size;
    std::uint8_t Byte() {
        if (Size == 0)
            return 0;
        --Size;
        return *Data++;
    }
    std::string Text() {
        std::size_t n = Byte() % 24;
        std::string s;
        while (n-- > 0 && Size > 0)
            s += static_cast<char>(Byte());
        return s;
    }
};

// One variant of a random type, also of types no parameter has.
bool AppendVariant(TBusMessage& m, TInput& in) {
    auto put = [&](const auto& value) {
        return WriteVariant(m.Get(), ZEMB::NoCallbacks(), value) >= 0;
    };
    std::string s;
    // clang-format off
    switch (in.Byte() % 9) {
    case 0: return put(static_cast<std::int32_t>(in.Byte() << 24 | in.Byte()));
    case 1: return put(in.Byte());
    case 2: return put(static_cast<std::uint16_t>(in.Byte() << 8 | in.Byte()));
    case 3: return put((in.Byte() & 1) != 0);
    case 4: return put(in.Text());
    case 5: s = in.Text(); return put(TSafeByteArray(std::vector<std::uint8_t>(s.begin(), s.end())));
    case 6: return put(ZEMB::TObjectPath{in.Byte() & 1 ? "/" : "/client/1"});
    case 7: return put(static_cast<std::int64_t>(in.Byte()));
    default: return put(std::vector<std::string>{"x"});
    }
    // clang-format on
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TInput in{data, size};
    // A connection that reaches nobody: enough to make messages and read them back.
    static std::shared_ptr<TZEMBBus> bus = TZEMBBus::OpenForMessagesOnly();
    const std::size_t index = in.Byte() % ZEMB::MethodCount;
    const std::size_t count = in.Byte() % 18;

    TBusMessage call, reply;
    if (bus->NewMethodCall(call, "org.zemb.ZEMB", "/o", "org.zemb.ZEMB.IDispatch", "Invoke") < 0 ||
        bus->NewMethodCall(reply, "org.zemb.ZEMB", "/o", "x.y", "Reply") < 0 ||
        !call.OpenContainer('a', "v"))
        return 0;
    for (std::size_t i = 0; i < count; ++i)
        AppendVariant(call, in);
    if (call.CloseContainer() && call.SealForReading() && call.EnterContainer('a', "v") &&
        reply.OpenContainer('a', "v")) {
        TQuiet q;
        ZEMB::TStubTarget target{&q, &q, &q, &q, &q, &q};
        TContext context;
        ZEMB::StubTable[index](target, context, call.Get(), reply.Get(), true);
    }

    std::string rest(reinterpret_cast<const char*>(in.Data), in.Size);
    std::string name = rest.substr(0, rest.size() / 2);
    ZEMB::StatusOfError(name, rest.substr(rest.size() / 2));
    ZEMB::ToValidUtf8(rest);
    std::vector<std::string_view> args = {rest, name};
    FindStartMode(args);
    return 0;
}
