// A client's whole command connection against the stand-in's command
// server (ztuds_handler), through the real transport. The server answers
// with exactly one message (a status and a text without a zero byte, at
// most the reply room), or with nothing and the handler not called; the
// service's handler gets 1 to 16 non-empty words without separators, and
// its status and text come back unchanged. The server closes the
// connection and every descriptor it opened.
//
// First byte: bit 0 raw stream, bit 1 a service handler registered. The
// rest: see fuzz_peer.h.
#include "fuzz_peer.h"
#include "ztsvc.h"

namespace {

constexpr size_t kReplyRoom = 4096;  // the server's text room, NUL included

struct Service {
    int calls = 0;
    int32_t status = 0;
    std::string text;
};

// Fills the whole room for a first word "fill", else answers with the
// number of words; the status is the first word's first byte.
int command(int argc, char **argv, char *reply, size_t size, void *ctx)
{
    auto *service = static_cast<Service *>(ctx);
    FUZZ_CHECK(argc >= 1 && argc <= 16 && size == kReplyRoom && reply[0] == '\0');
    for (int i = 0; i < argc; i++)
        FUZZ_CHECK(argv[i][0] != '\0' && strpbrk(argv[i], " \t\r\n") == nullptr);
    if (strcmp(argv[0], "fill") == 0) {
        memset(reply, 'x', size - 1);
        reply[size - 1] = '\0';
    } else {
        snprintf(reply, size, "%d words", argc);
    }
    service->calls++;
    service->status = static_cast<unsigned char>(argv[0][0]);
    service->text = reply;
    return service->status;
}

zt_fuzz::Listener *listener;
int initial_level;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ztuds_set_timeout(1000);  // a guard only: the client has sent everything
    listener = new zt_fuzz::Listener;
    initial_level = ztlog_diag_level(-1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace zt_fuzz;
    if (size < 1 || size > 65536)
        return 0;
    const uint8_t options = data[0];
    Service service;
    const int free_fd = lowest_free_fd();

    const std::string stream = peer_stream(data + 1, size - 1, options & 1, ZTCMD_ID);
    const int client = listener->peer(stream);
    const int result = ztuds_handler(listener->fd(), options & 2 ? reinterpret_cast<void *>(command) : nullptr,
                                     &service);
    const std::string reply = take_reply(client);
    ztlog_set_level(initial_level);  // "level N" must not slow the next runs
    FUZZ_CHECK(lowest_free_fd() == free_fd);
    FUZZ_CHECK(service.calls <= 1);
    if (reply.empty()) {
        // A client that hangs up before sending anything is no fault.
        FUZZ_CHECK(result == (stream.empty() ? 0 : -1));
        FUZZ_CHECK(service.calls == 0);
        return 0;
    }
    const std::string payload = one_message(reply, ZTCMD_ID);
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(payload.size() >= sizeof(int32_t) && payload.size() < sizeof(int32_t) + kReplyRoom);
    const std::string text = payload.substr(sizeof(int32_t));
    FUZZ_CHECK(text.find('\0') == std::string::npos);
    const auto status = static_cast<int32_t>(get_word(payload, 0));
    if (service.calls)
        FUZZ_CHECK(status == service.status && text == service.text);
    else
        FUZZ_CHECK(status == 0 || status == 1);
    return 0;
}
