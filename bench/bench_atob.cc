// Throughput of the atob codec on 1 MiB against memcpy of the same bytes:
// both directions are one pass without allocation, so they should stay
// within a small factor of the copy. Then the codec tool against
// coreutils' base64 on 200 MiB, each fed and drained through pipes, in
// both directions.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "zttools.h"

namespace {

constexpr int kBytes = 1 << 20;
constexpr size_t kEncodedSpace = 4 * (kBytes / 3 + 1) + 2;

std::vector<char> sample_bytes()
{
    std::vector<char> bytes(kBytes);
    for (int i = 0; i < kBytes; i++)
        bytes[i] = static_cast<char>(i * 2654435761u >> 24);
    return bytes;
}

void BM_Memcpy(benchmark::State &state)
{
    const std::vector<char> bytes = sample_bytes();
    std::vector<char> copy(kBytes);
    for (auto _ : state) {
        memcpy(copy.data(), bytes.data(), kBytes);
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kBytes);
}

// Each pass copies the bytes in and encodes them: the copy is the baseline's
// whole work, so the difference is the codec's.
void BM_Encode(benchmark::State &state)
{
    const std::vector<char> bytes = sample_bytes();
    std::vector<char> buffer(kEncodedSpace);
    for (auto _ : state) {
        memcpy(buffer.data(), bytes.data(), kBytes);
        benchmark::DoNotOptimize(atobEncode(buffer.data(), kBytes, 'c'));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kBytes);
}

void BM_Decode(benchmark::State &state)
{
    std::vector<char> encoded(kEncodedSpace);
    const std::vector<char> bytes = sample_bytes();
    memcpy(encoded.data(), bytes.data(), kBytes);
    const int length = atobEncode(encoded.data(), kBytes, 'c');
    std::vector<char> buffer(static_cast<size_t>(length));
    for (auto _ : state) {
        memcpy(buffer.data(), encoded.data(), static_cast<size_t>(length));
        ATOB_State decoder = ATOB_Init;
        int count = length;
        benchmark::DoNotOptimize(atobDecode(&decoder, buffer.data(), &count));
        if (count != kBytes)
            state.SkipWithError("decoded length differs");
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kBytes);
}

BENCHMARK(BM_Memcpy);
BENCHMARK(BM_Encode);
BENCHMARK(BM_Decode);

#ifdef ZT_ATOB_TOOL
constexpr size_t kToolBytes = size_t{200} << 20;

const std::string &tool_input()
{
    static const std::string bytes = [] {
        std::string b(kToolBytes, '\0');
        std::mt19937_64 random(20);
        for (size_t i = 0; i < kToolBytes; i += 8) {
            const uint64_t word = random();
            memcpy(&b[i], &word, 8);
        }
        return b;
    }();
    return bytes;
}

constexpr int kPipeBytes = 1 << 20;

// Runs argv with input written to its standard input through one pipe and
// its standard output read through another, the output handed to sink in
// the pieces it arrives in; true when the program exits with 0. A decoder
// may stop reading at its terminator, so a write that finds the pipe
// closed ends the input without failing.
template <typename Sink> bool run_filter(const char *const *argv, const std::string &input, Sink sink)
{
    int to_child[2], from_child[2];
    signal(SIGPIPE, SIG_IGN);
    if (pipe2(to_child, O_CLOEXEC) < 0 || pipe2(from_child, O_CLOEXEC) < 0)
        return false;
    // Pipes of the largest size an unprivileged process may set, drained in
    // pieces as large: with the default 64 KiB, this one process's turns
    // between writing and reading, not the program under test, set the pace.
    for (int fd : {to_child[1], from_child[0]})
        fcntl(fd, F_SETPIPE_SZ, kPipeBytes);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(to_child[0], STDIN_FILENO);
        dup2(from_child[1], STDOUT_FILENO);
        execv(argv[0], const_cast<char *const *>(argv));
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    fcntl(to_child[1], F_SETFL, O_NONBLOCK);
    std::vector<char> piece(kPipeBytes);
    size_t written = 0;
    struct pollfd fds[2] = {{from_child[0], POLLIN, 0}, {to_child[1], POLLOUT, 0}};
    while (fds[0].fd >= 0) {
        if (poll(fds, fds[1].fd >= 0 ? 2 : 1, -1) < 0)
            break;
        if (fds[1].fd >= 0 && fds[1].revents) {
            const ssize_t n = write(fds[1].fd, input.data() + written, input.size() - written);
            written += n > 0 ? static_cast<size_t>(n) : 0;
            if (n < 0 || written == input.size()) {
                close(fds[1].fd);
                fds[1].fd = -1;
            }
        }
        if (fds[0].revents) {
            const ssize_t n = read(fds[0].fd, piece.data(), piece.size());
            if (n <= 0) {
                close(fds[0].fd);
                fds[0].fd = -1;
            } else {
                sink(piece.data(), static_cast<size_t>(n));
            }
        }
    }
    if (fds[1].fd >= 0)
        close(fds[1].fd);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

const char *const kZtEncode[] = {ZT_ATOB_TOOL, nullptr};
const char *const kZtDecode[] = {ZT_ATOB_TOOL, "-d", nullptr};
const char *const kBase64Encode[] = {"/usr/bin/base64", nullptr};
const char *const kBase64Decode[] = {"/usr/bin/base64", "-d", nullptr};

std::string encoded_by(const char *const *argv)
{
    std::string text;
    if (!run_filter(argv, tool_input(), [&](const char *p, size_t n) { text.append(p, n); }))
        text.clear();
    return text;
}

void tool_encode(benchmark::State &state, const char *const *argv)
{
    const std::string &input = tool_input();
    for (auto _ : state) {
        size_t total = 0;
        if (!run_filter(argv, input, [&](const char *, size_t n) { total += n; }) || total == 0)
            state.SkipWithError("encoding failed");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kToolBytes));
}

// The decoded bytes are compared with the input as they arrive.
void tool_decode(benchmark::State &state, const char *const *encode, const char *const *decode)
{
    const std::string text = encoded_by(encode);
    const std::string &input = tool_input();
    for (auto _ : state) {
        size_t total = 0;
        bool same = true;
        auto compare = [&](const char *p, size_t n) {
            same = same && total + n <= input.size() && memcmp(p, input.data() + total, n) == 0;
            total += n;
        };
        if (text.empty() || !run_filter(decode, text, compare) || !same || total != input.size())
            state.SkipWithError("decoding failed or differs");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kToolBytes));
}

void BM_Base64ToolEncode(benchmark::State &state) { tool_encode(state, kBase64Encode); }
void BM_ZtatobToolEncode(benchmark::State &state) { tool_encode(state, kZtEncode); }
void BM_Base64ToolDecode(benchmark::State &state) { tool_decode(state, kBase64Encode, kBase64Decode); }
void BM_ZtatobToolDecode(benchmark::State &state) { tool_decode(state, kZtEncode, kZtDecode); }

BENCHMARK(BM_Base64ToolEncode)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZtatobToolEncode)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Base64ToolDecode)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZtatobToolDecode)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
#endif

}  // namespace

BENCHMARK_MAIN();
