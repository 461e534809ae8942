// Restart requests per second from 1, 4 and 16 parallel peers against the
// daemon loop as a service runs it (ztuds_daemon with its command server and
// restart socket, one connection served at a time), beside the bare
// local-socket exchange of the same 8 bytes against a plain accept loop, in
// the same run. After the table it prints the ratio per number of peers.
// As root it works in a private /tmp; otherwise under names of its own in
// the machine's /tmp.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>

#include "ztsvc.h"
#include "bench.h"
#include "zttools.h"

namespace {

std::string service_name, restart_path, bare_path;

int check(const char *, const char *, const char *, void *) { return 1; }
int restart(void *) { return 3; }

void serve_loop()
{
    ztuds_daemon(service_name.c_str(), 10, 0, nullptr, nullptr, reinterpret_cast<void *>(1), check,
                 restart, nullptr, nullptr, nullptr);
}

void serve_bare()
{
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", bare_path.c_str());
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    if (bind(listener, (struct sockaddr *)&address, sizeof address) < 0 ||
        listen(listener, SOMAXCONN) < 0)
        return;
    bench::serve_bare(listener);
}

pid_t start(void (*serve)(), const std::string &path)
{
    pid_t pid = fork();
    if (pid == 0) {
        serve();
        _exit(0);
    }
    for (int i = 0; i < 500 && access(path.c_str(), F_OK) != 0; i++)
        usleep(10000);
    return pid;
}

void BM_LoopRestartRequest(benchmark::State &state)
{
    const uint32_t request[2] = {RESTART_REQUEST, 0};
    for (auto _ : state) {
        int fd = ztuds_connect(restart_path.c_str());
        void *reply = nullptr;
        if (ztuds_write(fd, request, sizeof request, RESTART_PROTOCOL_ID) < 0 ||
            ztuds_read(fd, &reply, nullptr, nullptr, RESTART_PROTOCOL_ID) != 8)
            state.SkipWithError("no reply");
        free(reply);
        ztuds_close(fd);
    }
    state.counters["requests/s"] = benchmark::Counter(double(state.iterations()),
                                                      benchmark::Counter::kIsRate);
}

void BM_BareExchange(benchmark::State &state)
{
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", bare_path.c_str());
    char word[8] = "request";
    for (auto _ : state) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (connect(fd, (struct sockaddr *)&address, sizeof address) < 0 ||
            write(fd, word, sizeof word) != sizeof word || read(fd, word, sizeof word) != sizeof word)
            state.SkipWithError("no reply");
        close(fd);
    }
    state.counters["requests/s"] = benchmark::Counter(double(state.iterations()),
                                                      benchmark::Counter::kIsRate);
}

BENCHMARK(BM_BareExchange)->Threads(1)->Threads(4)->Threads(16)->UseRealTime();
BENCHMARK(BM_LoopRestartRequest)->Threads(1)->Threads(4)->Threads(16)->UseRealTime();

// The console table, and the rate of every run kept by its name.
class RateReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> rates;
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            auto counter = run.counters.find("requests/s");
            if (counter != run.counters.end())
                rates[run.benchmark_name()] = counter->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char **argv)
{
    bool private_tmp = unshare(CLONE_NEWNS) == 0 &&
                       mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                       mount("bench-tmp", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, nullptr) == 0;
    service_name = private_tmp ? "bench" : "zt-bench-load-" + std::to_string(getpid());
    restart_path = std::string(RESTART_UDS_DIR "/") + service_name;
    bare_path = "/tmp/" + service_name + ".bare";
    benchmark::Initialize(&argc, argv);
    pid_t loop = start(serve_loop, restart_path);
    pid_t bare = start(serve_bare, bare_path);
    RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (pid_t server : {loop, bare}) {
        kill(server, SIGTERM);
        waitpid(server, nullptr, 0);
    }
    unlink(bare_path.c_str());
    restart_del(service_name.c_str());
    std::string command_socket = std::string(ZTCMD_DIR "/") + service_name;
    unlink(command_socket.c_str());
    for (int peers : {1, 4, 16}) {
        std::string suffix = "/real_time/threads:" + std::to_string(peers);
        double loop_rate = reporter.rates["BM_LoopRestartRequest" + suffix];
        double bare_rate = reporter.rates["BM_BareExchange" + suffix];
        if (loop_rate > 0 && bare_rate > 0)
            printf("peers %2d: loop %8.0f requests/s, bare %8.0f exchanges/s, ratio %.2f\n", peers,
                   loop_rate, bare_rate, loop_rate / bare_rate);
    }
    benchmark::Shutdown();
    return 0;
}
