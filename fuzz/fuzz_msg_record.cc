// A hostile record in a service's queue, taken by ztmsg_get: a record that
// fits a message arrives whole, with its size, and not a byte is written
// beyond it; a larger one is refused (E2BIG) without a byte written and
// stays in the queue. The queue is private to the fuzzer's own System V IPC
// namespace.
//
// Input: the record's type (the first bytes, made positive) and body.
#include <errno.h>
#include <limits.h>
#include <sched.h>
#include <stdio.h>
#include <sys/msg.h>

#include <string>

#include "fuzz_syslog.h"
#include "fuzz_text.h"
#include "zttools.h"


namespace {

constexpr size_t kBodyRoom = 2 * sizeof(uint32_t) + ZTMSG_MAX_DATA;  // length, sender, data
constexpr size_t kMaxBody = 4096;  // within any queue's record limit
constexpr unsigned char kUntouched = 0xA5;
int queue = -1;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (unshare(CLONE_NEWIPC) == 0)
        queue = msgget(IPC_PRIVATE, 0600);
    if (queue < 0)
        fprintf(stderr, "fuzz_msg_record: needs an IPC namespace of its own; inputs are not run\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (queue < 0 || size > sizeof(long) + kMaxBody)
        return 0;
    unsigned long raw_type = 0;
    memcpy(&raw_type, data, size < sizeof raw_type ? size : sizeof raw_type);
    const long type = static_cast<long>(raw_type % LONG_MAX) + 1;
    std::string record(reinterpret_cast<const char *>(&type), sizeof type);
    const size_t body = size > sizeof(long) ? size - sizeof(long) : 0;
    record.append(reinterpret_cast<const char *>(data) + sizeof(long), body);
    FUZZ_CHECK(msgsnd(queue, record.data(), body, IPC_NOWAIT) == 0);

    const std::string untouched(sizeof(ztmsg_message), static_cast<char>(kUntouched));
    zt_fuzz::HeapText message(untouched.data(), untouched.size(), zt_fuzz::Nul::none);
    auto *taken = reinterpret_cast<ztmsg_message *>(message.get());
    int received = -1;
    const int result = ztmsg_get(queue, taken, &received, 0);
    const size_t untouched_from = result == 0 ? sizeof(long) + body : 0;
    for (size_t i = untouched_from; i < sizeof(ztmsg_message); i++)
        FUZZ_CHECK(message.bytes()[i] == kUntouched);
    if (body <= kBodyRoom) {
        FUZZ_CHECK(result == 0 && received == static_cast<int>(body));
        FUZZ_CHECK(memcmp(message.get(), record.data(), record.size()) == 0);
    } else {
        FUZZ_CHECK(result == -1 && errno == E2BIG && received == -1);
        FUZZ_CHECK(msgrcv(queue, message.get(), 0, 0, IPC_NOWAIT | MSG_NOERROR) == 0);
    }
    FUZZ_CHECK(ztmsg_get(queue, taken, &received, 0) == -1 && errno == ENOMSG);
    return 0;
}
