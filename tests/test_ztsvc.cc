// The services-library stand-in: whole messages over local sockets, the
// command server and the trace sink.
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "zt_test.h"
#include "ztsvc.h"
#include "zttools.h"

namespace {

constexpr uint32_t kMagic = 0x5a545544;

TEST(Transport, WhatThePeerSentBeforeItClosedIsReadOrRefused)
{
    const struct {
        const char *name;
        std::vector<uint32_t> words;  // written, then the peer closes
        int result, err;              // err -1: any
    } cases[] = {
        {"an empty message", {kMagic, 9, 0}, 0, -1},
        {"nothing", {}, -1, 0},
        {"half a header", {kMagic}, -1, ECONNRESET},
        {"a foreign magic word", {0x12345678, 9, 0}, -1, EBADMSG},
        {"more than the largest payload", {kMagic, 9, ZTUDS_MAX_PAYLOAD + 1}, -1, EMSGSIZE},
        {"a cut payload", {kMagic, 9, 8, 0}, -1, ECONNRESET},
        {"another id", {kMagic, 8, 4, 0}, -1, EPROTO},
    };
    for (const auto &c : cases) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        ASSERT_EQ(write(fds[0], c.words.data(), c.words.size() * 4), ssize_t(c.words.size() * 4));
        close(fds[0]);
        void *payload = &payload;
        errno = -1;
        EXPECT_EQ(ztuds_read(fds[1], &payload, nullptr, nullptr, 9), c.result) << c.name;
        if (c.err >= 0) {
            EXPECT_EQ(errno, c.err) << c.name;
        }
        EXPECT_EQ(payload, c.result == 0 ? nullptr : &payload) << c.name << ": no block handed out";
        close(fds[1]);
    }
}

// A reader that keeps every single wait short but takes one message over
// seconds: the write still ends by the time-out of the whole message.
TEST(Transport, WholeMessageEndsByItsDeadline)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    std::thread reader([&] {
        static char sink[1 << 16];
        while (read(fds[0], sink, sizeof sink) > 0)
            usleep(50000);
    });
    static std::vector<char> big(ZTUDS_MAX_PAYLOAD);
    ztuds_set_timeout(300);
    EXPECT_EQ(zt_test::with_errno(ztuds_write(fds[1], big.data(), big.size(), 1)), std::pair(-1, ETIMEDOUT));
    // A peer that sends part of a header and then nothing: the read ends too.
    int silent[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, silent), 0);
    ASSERT_EQ(write(silent[1], "ZT", 2), 2);
    EXPECT_EQ(zt_test::with_errno(ztuds_read(silent[0], nullptr, nullptr, nullptr, 0)), std::pair(-1, ETIMEDOUT));
    close(silent[0]);
    close(silent[1]);
    ztuds_set_timeout(5000);
    close(fds[1]);
    reader.join();
    close(fds[0]);
}

// The largest message goes out in many parts and arrives whole.
TEST(Transport, TheLargestMessageArrivesWhole)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    static std::vector<char> sent(ZTUDS_MAX_PAYLOAD);
    for (size_t i = 0; i < sent.size(); i++)
        sent[i] = static_cast<char>(i * 7 + i / 251);
    std::thread writer([&] { ztuds_write(fds[1], sent.data(), ZTUDS_MAX_PAYLOAD, 7); });
    void *payload = nullptr;
    EXPECT_EQ(ztuds_read(fds[0], &payload, nullptr, nullptr, 7), static_cast<int>(ZTUDS_MAX_PAYLOAD));
    writer.join();
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(memcmp(payload, sent.data(), sent.size()), 0) << "the payload arrives as sent";
    free(payload);
    close(fds[0]);
    close(fds[1]);
}

int service_commands(int argc, char **argv, char *reply, size_t size, void *ctx)
{
    ++*static_cast<int *>(ctx);
    std::string words = argv[0];
    for (int i = 1; i < argc; i++)
        words += std::string(",") + argv[i];
    snprintf(reply, size, "%s", words.c_str());
    return argc;
}

TEST(CommandServer, ServesBuiltInsAndPassesTheRestOn)
{
    ZT_REQUIRE_ISOLATION();
    zt_test::FdGuard fds;
    int fd = -1, calls = 0;
    ASSERT_EQ(ztcmd_server_init("svc", &fd), 0) << strerror(errno);
    const struct {
        const char *command;
        int status;
        std::string reply;
    } cases[] = {
        {"level 4", 0, "level=4"},
        {"level", 0, "level=4"},
        {"level x", 1, "level: expected a number from 0 to 9"},
        {"level 1", 0, "level=1"},
        {"echo a  b\tc", 4, "echo,a,b,c"},
        {"   ", 1, "empty command"},
    };
    for (const auto &c : cases) {
        std::thread server(
            [&] { EXPECT_EQ(ztuds_handler(fd, reinterpret_cast<void *>(service_commands), &calls), 0); });
        int status = -1;
        char *reply = nullptr;
        EXPECT_EQ(ztcmd_request("svc", c.command, &status, &reply), 0) << c.command;
        server.join();
        EXPECT_EQ(status, c.status) << c.command;
        EXPECT_STREQ(reply, c.reply.c_str()) << c.command;
        free(reply);
    }
    EXPECT_EQ(calls, 1) << "only echo reaches the service";
    EXPECT_EQ(ztuds_server(ZTCMD_DIR "/svc", 0700), -1) << "a second live server took the name";
    EXPECT_EQ(errno, EADDRINUSE);
    ztcmd_server_term(&fd);
    EXPECT_EQ(fd, -1);
    EXPECT_NE(access(ZTCMD_DIR "/svc", F_OK), 0) << "the socket goes with the server";
}

TEST(Traces, RecordsCarryTheirOriginAndHonourTheLevel)
{
    zt_test::TraceCapture traces(3);
    errno = ENOENT;
    ztlog_trace_r(-1, 1, 3, "src/x", 12, "fn", "%s: gone: %m", "fn");
    EXPECT_EQ(errno, ENOENT) << "a record keeps errno";
    ztlog_trace_r(-1, 4, 7, "src/x", 13, "fn", "line\nbreak");
    std::vector<zt_test::TraceRecord> records = traces.take();
    ASSERT_EQ(records.size(), 2u) << "the sink writes what it is given; the caller filters";
    const zt_test::TraceRecord &r = records[0];
    EXPECT_EQ(std::tie(r.level, r.severity, r.file, r.line, r.function, r.message),
              std::make_tuple(1, "err", "src/x", 12, "fn", "fn: gone: No such file or directory"));
    EXPECT_EQ(r.pid, getpid());
    struct tm fields = {};
    ASSERT_NE(strptime(r.time.c_str(), "%Y-%m-%dT%H:%M:%S", &fields), nullptr) << r.time;
    EXPECT_TRUE(std::regex_match(r.time.substr(19), std::regex("\\.[0-9]{6}Z"))) << r.time;
    EXPECT_LE(llabs(static_cast<long long>(timegm(&fields) - time(nullptr))), 5) << "in UTC: " << r.time;
    EXPECT_EQ(records[1].message, "line\\nbreak") << "one record, one line";
}

// The level of a process that never set one comes from ZTLOG_LEVEL, else 1:
// this program is run again, fresh, to report just that as its status.
TEST(Traces, ALevelStartsFromTheEnvironmentOrAtOne)
{
    if (getenv("ZT_TEST_LEVEL_PROBE"))
        _exit(ztlog_diag_level(-1));
    for (auto [variable, level] : {std::pair<const char *, int>{nullptr, 1}, {"3", 3}}) {
        const int status = zt_test::run_in_child([variable] {
            setenv("ZT_TEST_LEVEL_PROBE", "1", 1);
            if (variable)
                setenv("ZTLOG_LEVEL", variable, 1);
            else
                unsetenv("ZTLOG_LEVEL");
            execl("/proc/self/exe", "test_ztsvc", "--gtest_filter=Traces.ALevel*", nullptr);
            return 99;
        });
        EXPECT_EQ(WEXITSTATUS(status), level) << (variable ? variable : "unset");
    }
}

// With the descriptor table full, a connection waiting on a listener is
// taken and closed, once: the listener no longer wakes its loop for ever.
TEST(OutOfDescriptors, AWaitingConnectionIsRefusedOnce)
{
    ZT_REQUIRE_ISOLATION();
    EXPECT_EQ(zt_test::child_failure([] {
        const int listener = ztuds_server("/tmp/full", 0700);
        const int peer = ztuds_connect("/tmp/full");
        struct rlimit limit = {64, 64};
        CHILD_CHECK(setrlimit(RLIMIT_NOFILE, &limit) == 0);
        while (dup(0) >= 0) {
        }
        CHILD_CHECK(ztuds_accept(listener) == -1);
        CHILD_CHECK(errno == EMFILE);
        struct pollfd waiting = {listener, POLLIN, 0};
        CHILD_CHECK(poll(&waiting, 1, 0) == 0);
        char byte;
        CHILD_CHECK(recv(peer, &byte, 1, MSG_DONTWAIT) == 0);
        return 0;
    }), "");
}

}  // namespace
