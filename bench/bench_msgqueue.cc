// A 64-byte message sent and received through the library (which finds the
// queue from the name's key directory on every send) against msgsnd and
// msgrcv on the already-known queue, in the same run.
#include <benchmark/benchmark.h>
#include <string.h>
#include <sys/msg.h>
#include <unistd.h>

#include "zttools.h"

namespace {

constexpr uint32_t kDataBytes = 64;

ztmsg_message sample_message()
{
    ztmsg_message message = {};
    message.mtype = 1;
    message.length = kDataBytes;
    memset(message.data, 'm', kDataBytes);
    return message;
}

void BM_RawMsgsndMsgrcv(benchmark::State &state)
{
    int queue = -1;
    if (ztmsg_init("bench-raw", &queue) < 0) {
        state.SkipWithError("no queue");
        return;
    }
    ztmsg_message message = sample_message(), received;
    const size_t size = 8 + kDataBytes;
    for (auto _ : state) {
        if (msgsnd(queue, &message, size, IPC_NOWAIT) < 0 ||
            msgrcv(queue, &received, 8 + ZTMSG_MAX_DATA, 0, IPC_NOWAIT) != (ssize_t)size)
            state.SkipWithError("raw exchange failed");
    }
    ztmsg_term(queue);
}

// The steps that every send takes by contract, done by hand: the sender's
// process id, the key from the name's directory (a stat) and the queue
// looked up by key, before msgsnd and msgrcv. What the library adds beyond
// this is its own cost; what this adds to the raw exchange is the
// contract's.
void BM_RawWithKeyLookup(benchmark::State &state)
{
    int queue = -1;
    if (ztmsg_init("bench-steps", &queue) < 0) {
        state.SkipWithError("no queue");
        return;
    }
    ztmsg_message message = sample_message(), received;
    const size_t size = 8 + kDataBytes;
    for (auto _ : state) {
        message.sender_pid = getpid();
        const int found = msgget(ftok(ZTMSG_DIR "bench-steps", 42), 0);
        if (msgsnd(found, &message, size, IPC_NOWAIT) < 0 ||
            msgrcv(queue, &received, 8 + ZTMSG_MAX_DATA, 0, IPC_NOWAIT) != (ssize_t)size)
            state.SkipWithError("exchange failed");
    }
    ztmsg_term(queue);
}

void BM_ZtmsgSendGet(benchmark::State &state)
{
    int queue = -1;
    if (ztmsg_init("bench", &queue) < 0) {
        state.SkipWithError("no queue");
        return;
    }
    ztmsg_message message = sample_message(), received;
    int size = 0;
    for (auto _ : state) {
        if (ztmsg_send("bench", &message) < 0 || ztmsg_get(queue, &received, &size, 0) < 0)
            state.SkipWithError("exchange failed");
    }
    ztmsg_term(queue);
}

BENCHMARK(BM_RawMsgsndMsgrcv);
BENCHMARK(BM_RawWithKeyLookup);
BENCHMARK(BM_ZtmsgSendGet);

}  // namespace

BENCHMARK_MAIN();
