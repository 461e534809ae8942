// A peer's whole restart connection against restart_accept, through the
// real transport: the request, the property groups or the event block, with
// a service's handlers. The server answers with exactly one 8-byte reply
// whose result follows from what its handlers returned, or with nothing and
// no handler called; it closes the connection and every descriptor it
// opened. The handlers read every string and block to its end, so the
// sanitizer sees any that is not terminated inside its payload.
//
// First byte: bit 0 raw stream, bit 1 an event handler registered, bits 2-3
// the restart handler's result (3, 4, 0 or -1), bit 4 read argument 0x00010001
// instead of 0. The rest: see fuzz_peer.h.
#include "fuzz_peer.h"
#include "zttools.h"
#include "ztsvc.h"

namespace {

// What the handlers were called with and returned during one request.
struct Service {
    int32_t restart_result = 0;
    uint32_t checks = 0;
    int32_t check_result = 2;  // the last 0 or 1, as the reply must carry it
    int requests = 0;
    int events = 0;
    int32_t event_result = 0;
};

size_t length_of(const char *text)
{
    return text ? strlen(text) : 0;
}

// Judges a property by the first byte of its first string: -1, 0, 1 or 2.
int check(const char *str1, const char *str2, const char *str3, void *ctx)
{
    auto *service = static_cast<Service *>(ctx);
    const size_t total = length_of(str1) + length_of(str2) + length_of(str3);
    FUZZ_CHECK(total < zt_fuzz::kMaxStream);
    const int verdict = static_cast<int>(str1 ? static_cast<unsigned char>(str1[0]) % 4 : 3) - 1;
    if (verdict == 0 || verdict == 1)
        service->check_result = verdict;
    service->checks++;
    return verdict;
}

int restart(void *ctx)
{
    auto *service = static_cast<Service *>(ctx);
    service->requests++;
    return service->restart_result;
}

// The block describes its own extent (here: a string); the result is the
// code with the block's length mixed in, sent back unchanged.
int event(uint32_t code, void *args, void *ctx)
{
    auto *service = static_cast<Service *>(ctx);
    service->events++;
    service->event_result = static_cast<int32_t>(code ^ length_of(static_cast<const char *>(args)));
    return service->event_result;
}

zt_fuzz::Listener *listener;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ztuds_set_timeout(1000);  // a guard only: the peer has sent everything
    listener = new zt_fuzz::Listener;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace zt_fuzz;
    if (size < 1 || size > 65536)
        return 0;
    constexpr int32_t kRestartResults[] = {3, 4, 0, -1};
    const uint8_t options = data[0];
    Service service;
    service.restart_result = kRestartResults[(options >> 2) & 3];
    const uint32_t read_arg = options & 0x10 ? RESTART_PROTOCOL_ID : 0;
    const int free_fd = lowest_free_fd();

    const int peer = listener->peer(peer_stream(data + 1, size - 1, options & 1, RESTART_PROTOCOL_ID));
    const int result = restart_accept(listener->fd(), check, restart, options & 2 ? event : nullptr, read_arg,
                                      &service);
    const int error = errno;
    const std::string reply = take_reply(peer);
    FUZZ_CHECK(lowest_free_fd() == free_fd);
    FUZZ_CHECK(service.checks <= RESTART_MAX_PROPS);
    FUZZ_CHECK((service.checks > 0) + (service.requests > 0) + (service.events > 0) <= 1);
    FUZZ_CHECK(service.requests <= 1 && service.events <= 1);
    if (reply.empty()) {
        FUZZ_CHECK(service.checks == 0 && service.requests == 0 && service.events == 0);
        FUZZ_CHECK(result == 0 || (result == -1 && error != 0));
        return 0;
    }
    const std::string payload = one_message(reply, RESTART_PROTOCOL_ID);
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(payload.size() == 8 && get_word(payload, 4) == 0);
    const auto answer = static_cast<int32_t>(get_word(payload, 0));
    if (service.requests)
        FUZZ_CHECK(answer == (service.restart_result == 3 ? 3 : 4));
    else if (service.events)
        FUZZ_CHECK(answer == service.event_result);
    else
        FUZZ_CHECK(answer == service.check_result);  // 2 also for no handler called
    return 0;
}
