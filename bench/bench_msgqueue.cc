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

// Runs exchange(queue, sent, received) for every round on a queue made
// for the benchmark under name; a failed exchange is an error.
template <typename Exchange> void time_exchanges(benchmark::State &state, const char *name, Exchange exchange)
{
    int queue = -1;
    if (ztmsg_init(name, &queue) < 0) {
        state.SkipWithError("no queue");
        return;
    }
    ztmsg_message sent = sample_message(), received;
    for (auto _ : state) {
        if (!exchange(queue, sent, received))
            state.SkipWithError("exchange failed");
    }
    ztmsg_term(queue);
}

constexpr size_t kSize = 8 + kDataBytes;

bool received_whole(int queue, ztmsg_message &received)
{
    return msgrcv(queue, &received, 8 + ZTMSG_MAX_DATA, 0, IPC_NOWAIT) == (ssize_t)kSize;
}

void BM_RawMsgsndMsgrcv(benchmark::State &state)
{
    time_exchanges(state, "bench-raw", [](int queue, ztmsg_message &sent, ztmsg_message &received) {
        return msgsnd(queue, &sent, kSize, IPC_NOWAIT) == 0 && received_whole(queue, received);
    });
}

// The steps that every send takes by contract, done by hand: the sender's
// process id, the key from the name's directory (a stat) and the queue
// looked up by key, before msgsnd and msgrcv. What the library adds beyond
// this is its own cost; what this adds to the raw exchange is the
// contract's.
void BM_RawWithKeyLookup(benchmark::State &state)
{
    time_exchanges(state, "bench-steps", [](int queue, ztmsg_message &sent, ztmsg_message &received) {
        sent.sender_pid = getpid();
        const int found = msgget(ftok(ZTMSG_DIR "bench-steps", 42), 0);
        return msgsnd(found, &sent, kSize, IPC_NOWAIT) == 0 && received_whole(queue, received);
    });
}

void BM_ZtmsgSendGet(benchmark::State &state)
{
    time_exchanges(state, "bench", [](int queue, ztmsg_message &sent, ztmsg_message &received) {
        int size = 0;
        return ztmsg_send("bench", &sent) >= 0 && ztmsg_get(queue, &received, &size, 0) >= 0;
    });
}

BENCHMARK(BM_RawMsgsndMsgrcv);
BENCHMARK(BM_RawWithKeyLookup);
BENCHMARK(BM_ZtmsgSendGet);

}  // namespace

BENCHMARK_MAIN();
