// zt_getline splitting a 16 MiB stream of 80-byte lines, read from a memory
// file, against a plain splitter in the same run: read into a buffer of the
// same size and find each newline with memchr, the lines only looked at,
// and the same with each line copied out as zt_getline does.
#include <benchmark/benchmark.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "zttools.h"

namespace {

constexpr size_t kLineBytes = 80;
constexpr size_t kLines = (16u << 20) / kLineBytes;
constexpr size_t kStreamBytes = kLines * kLineBytes;

// A memory file holding the stream, made once.
int stream_file()
{
    static const int fd = [] {
        int file = memfd_create("lines", 0);
        std::string line(kLineBytes - 1, 'x');
        line += '\n';
        std::string chunk;
        for (int i = 0; i < 1024; i++)
            chunk += line;
        size_t done = 0;
        while (done < kStreamBytes) {
            const size_t piece = std::min(chunk.size(), kStreamBytes - done);
            if (write(file, chunk.data(), piece) != static_cast<ssize_t>(piece))
                return -1;
            done += piece;
        }
        return file;
    }();
    return fd;
}

// Splits the stream with read and memchr; with copy, each line is also
// copied out with its NUL as zt_getline hands it out.
void read_memchr(benchmark::State &state, bool copy)
{
    const int fd = stream_file();
    std::vector<char> buf(static_cast<size_t>(state.range(0))), line(buf.size() + 1);
    for (auto _ : state) {
        lseek(fd, 0, SEEK_SET);
        size_t lines = 0, held = 0;
        ssize_t got;
        while ((got = read(fd, buf.data() + held, buf.size() - held)) > 0) {
            const char *start = buf.data(), *end = buf.data() + held + got;
            const char *newline;
            while ((newline = static_cast<const char *>(memchr(start, '\n', end - start)))) {
                if (copy) {
                    memcpy(line.data(), start, newline + 1 - start);
                    line[newline + 1 - start] = '\0';
                    benchmark::DoNotOptimize(line.data());
                }
                benchmark::DoNotOptimize(start);
                lines++;
                start = newline + 1;
            }
            held = end - start;
            memmove(buf.data(), start, held);
        }
        if (lines != kLines)
            state.SkipWithError("wrong line count");
    }
    state.SetBytesProcessed(state.iterations() * kStreamBytes);
}

void BM_ReadMemchr(benchmark::State &state) { read_memchr(state, false); }
void BM_ReadMemchrCopy(benchmark::State &state) { read_memchr(state, true); }

void BM_ZtGetline(benchmark::State &state)
{
    const int fd = stream_file();
    const auto size = static_cast<uint32_t>(state.range(0));
    std::vector<char> buf(size + 1), line(size + 1);
    for (auto _ : state) {
        lseek(fd, 0, SEEK_SET);
        LineBuf lb = {buf.data(), nullptr, 0};
        size_t lines = 0;
        int32_t status = 0;
        while (zt_getline(fd, size, line.data(), &lb, &status) == 0) {
            if (status == ZT_LINE_OK) {
                benchmark::DoNotOptimize(line.data());
                lines++;
            }
        }
        if (lines != kLines || status != ZT_LINE_EOF)
            state.SkipWithError("wrong line count");
    }
    state.SetBytesProcessed(state.iterations() * kStreamBytes);
}

BENCHMARK(BM_ReadMemchr)->Arg(4096)->Arg(65536)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadMemchrCopy)->Arg(4096)->Arg(65536)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZtGetline)->Arg(4096)->Arg(65536)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
