// SPDX-License-Identifier: MIT
// Invoke's argument list (`av`) as any client could send it: random variants of random types,
// read by the stub of a random method of the table; plus the text helpers that read what
// peers send (error names and messages, 8-bit text, command-line switches).
#include "bus/Marshal.h"
#include "server/Registration.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace ZEMB;

namespace {

#define FUZZ_ANSWER(intf, slot, dispid, name, ...)                                                 \
    HRESULT name(ZEMB_FOR_EACH_COMMA(ZEMB_PARAM_TYPE, __VA_ARGS__)) override {                     \
        return S_OK;                                                                               \
    }

class TQuietServer final : public IZEMBServer4 {
public:
    ZEMB_IZEMBSERVER_METHODS(FUZZ_ANSWER)
    ZEMB_IZEMBSERVER2_METHODS(FUZZ_ANSWER)
    ZEMB_IZEMBSERVER3_METHODS(FUZZ_ANSWER)
    ZEMB_IZEMBSERVER4_METHODS(FUZZ_ANSWER)
};

class TQuietEvent final : public IZEMBEvent {
public:
    ZEMB_IZEMBEVENT_METHODS(FUZZ_ANSWER)
};

class TQuietHost final : public IZEMBHost {
public:
    ZEMB_IZEMBHOST_METHODS(FUZZ_ANSWER)
};

class TContext final : public ZEMB::IMarshalContext {
public:
    std::shared_ptr<IZEMBEvent> ResolveEvent(const std::string&) override {
        return std::make_shared<TQuietEvent>();
    }
    std::shared_ptr<IZEMBHost> ResolveHost(const std::string&) override {
        return std::make_shared<TQuietHost>();
    }
    std::string ExportEvent(const std::shared_ptr<IZEMBEvent>&) override { return "/e"; }
    std::string ExportHost(const std::shared_ptr<IZEMBHost>&) override { return "/h"; }
};

// A bus that never connects: enough to build and read messages.
sd_bus* MessageFactory() {
    static sd_bus* bus = [] {
        sd_bus* b = nullptr;
        int fds[2];
        sd_bus_new(&b);
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
        sd_bus_set_fd(b, fds[0], fds[0]);
        sd_bus_start(b);
        return b;
    }();
    return bus;
}

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

void AppendVariant(sd_bus_message* m, TInput& in) {
    switch (in.Byte() % 9) {
    case 0:
        sd_bus_message_append(m, "v", "i", static_cast<std::int32_t>(in.Byte() << 24 | in.Byte()));
        break;
    case 1:
        sd_bus_message_append(m, "v", "y", in.Byte());
        break;
    case 2:
        sd_bus_message_append(m, "v", "q", static_cast<std::uint16_t>(in.Byte() << 8 | in.Byte()));
        break;
    case 3:
        sd_bus_message_append(m, "v", "b", in.Byte() & 1);
        break;
    case 4: {
        std::string s = ZEMB::ToValidUtf8(in.Text());
        sd_bus_message_append(m, "v", "s", s.c_str());
        break;
    }
    case 5: {
        std::string s = in.Text();
        sd_bus_message_open_container(m, 'v', "ay");
        sd_bus_message_append_array(m, 'y', s.data(), s.size());
        sd_bus_message_close_container(m);
        break;
    }
    case 6:
        sd_bus_message_append(m, "v", "o", in.Byte() & 1 ? "/" : "/client/1");
        break;
    case 7:
        sd_bus_message_append(m, "v", "x", static_cast<std::int64_t>(in.Byte()));
        break;
    default:
        sd_bus_message_append(m, "v", "as", 1, "x");
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TInput in{data, size};
    sd_bus* bus = MessageFactory();
    const std::size_t index = in.Byte() % ZEMB::MethodCount;
    const std::size_t count = in.Byte() % 18;

    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    if (sd_bus_message_new_method_call(bus, &call, "org.zemb.ZEMB", "/o", "org.zemb.ZEMB.IDispatch",
                                       "Invoke") < 0 ||
        sd_bus_message_new_method_call(bus, &reply, "org.zemb.ZEMB", "/o", "x.y", "Reply") < 0)
        return 0;
    sd_bus_message_open_container(call, 'a', "v");
    for (std::size_t i = 0; i < count; ++i)
        AppendVariant(call, in);
    sd_bus_message_close_container(call);
    static std::uint64_t cookie = 0;
    if (sd_bus_message_seal(call, ++cookie, 0) >= 0 && sd_bus_message_rewind(call, true) >= 0 &&
        sd_bus_message_enter_container(call, 'a', "v") >= 0) {
        TQuietServer server;
        TQuietEvent event;
        TQuietHost host;
        ZEMB::TStubTarget target{&server, &server, &server, &server, &event, &host};
        TContext context;
        sd_bus_message_open_container(reply, 'a', "v");
        ZEMB::StubTable[index](target, context, call, reply, true);
    }
    sd_bus_message_unref(call);
    sd_bus_message_unref(reply);

    std::string rest(reinterpret_cast<const char*>(in.Data), in.Size);
    std::string name = rest.substr(0, rest.size() / 2);
    ZEMB::StatusOfError(name, rest.substr(rest.size() / 2));
    ZEMB::ToValidUtf8(rest);
    std::vector<std::string_view> args = {rest, name};
    FindStartMode(args);
    return 0;
}
