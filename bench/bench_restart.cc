// One restart request round trip through the library (connect, request,
// reply, close) against a bare local-socket connect with an 8-byte
// exchange, both against a server in a child process (so wall-clock time:
// the server's work is not this process's CPU time).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench.h"
#include "zttools.h"
#include "ztsvc.h"

namespace {

int check(const char *, const char *, const char *, void *) { return 1; }
int restart(void *) { return 3; }

pid_t start_child(void (*serve)(int), int fd)
{
    pid_t pid = fork();
    if (pid == 0) {
        serve(fd);
        _exit(0);
    }
    return pid;
}

void serve_restart(int fd)
{
    for (;;)
        restart_accept(fd, check, restart, nullptr, 0, nullptr);
}

// The same exchange as a restart request through the services library's
// transport alone: what the transport costs beside the bare socket, and
// what the library adds beside the transport.
void serve_transport(int fd)
{
    for (;;) {
        int connection = ztuds_accept(fd);
        void *request = nullptr;
        if (ztuds_read(connection, &request, nullptr, nullptr, 0) == 8)
            ztuds_write(connection, request, 8, RESTART_PROTOCOL_ID);
        free(request);
        ztuds_close(connection);
    }
}

void stop(pid_t pid)
{
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

void round_trips(benchmark::State &state, const char *path)
{
    const uint32_t request[2] = {RESTART_REQUEST, 0};
    for (auto _ : state) {
        int fd = ztuds_connect(path);
        ztuds_write(fd, request, sizeof request, RESTART_PROTOCOL_ID);
        void *reply = nullptr;
        if (ztuds_read(fd, &reply, nullptr, nullptr, RESTART_PROTOCOL_ID) != 8)
            state.SkipWithError("no reply");
        free(reply);
        ztuds_close(fd);
    }
}

void BM_RestartRequest(benchmark::State &state)
{
    int listener = restart_server("bench");
    if (listener < 0) {
        state.SkipWithError("restart_server failed (is " RESTART_UDS_DIR " usable?)");
        return;
    }
    pid_t server = start_child(serve_restart, listener);
    round_trips(state, RESTART_UDS_DIR "/bench");
    stop(server);
    restart_close(listener);
    restart_del("bench");
}

void BM_TransportExchange(benchmark::State &state)
{
    char path[64];
    snprintf(path, sizeof path, "/tmp/zt-bench-transport.%d", (int)getpid());
    int listener = ztuds_server(path, 0700);
    if (listener < 0) {
        state.SkipWithError("ztuds_server failed");
        return;
    }
    pid_t server = start_child(serve_transport, listener);
    round_trips(state, path);
    stop(server);
    ztuds_close(listener);
    unlink(path);
}

void BM_BareExchange(benchmark::State &state)
{
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "/tmp/zt-bench-bare.%d", (int)getpid());
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    unlink(address.sun_path);
    if (bind(listener, (struct sockaddr *)&address, sizeof address) < 0 || listen(listener, 64) < 0) {
        state.SkipWithError("bind failed");
        return;
    }
    pid_t server = start_child(bench::serve_bare, listener);
    char word[8] = "request";
    for (auto _ : state) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        connect(fd, (struct sockaddr *)&address, sizeof address);
        (void)!write(fd, word, sizeof word);
        if (read(fd, word, sizeof word) != sizeof word)
            state.SkipWithError("no reply");
        close(fd);
    }
    stop(server);
    close(listener);
    unlink(address.sun_path);
}

BENCHMARK(BM_BareExchange)->UseRealTime();
BENCHMARK(BM_TransportExchange)->UseRealTime();
BENCHMARK(BM_RestartRequest)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
