// Sockets on the loopback of the test's own network namespace, local sockets
// under its private /tmp, and line streams over pipes: each constructor's
// result and failures (descriptors counted), records, the proxied address,
// and every status of the line splitter.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

using zt_test::with_errno;
using Ints = std::vector<int>;

struct sockaddr_in loopback(uint16_t port)
{
    return {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
}

uint16_t port_of(int fd)
{
    struct sockaddr_in addr = {};
    socklen_t length = sizeof addr;
    getsockname(fd, reinterpret_cast<struct sockaddr *>(&addr), &length);
    return ntohs(addr.sin_port);
}

// The socket's values of the socket-level options named.
Ints options(int fd, std::initializer_list<int> names)
{
    Ints values;
    for (int name : names) {
        int value = -1;
        socklen_t length = sizeof value;
        getsockopt(fd, SOL_SOCKET, name, &value, &length);
        values.push_back(value);
    }
    return values;
}

struct IoTest : testing::Test {
    void SetUp() override
    {
        ZT_REQUIRE_ISOLATION();
        // Connected now, the log's socket is not counted as left open.
        openlog("zttest", LOG_NDELAY, zt_test::kDefaultFacility);
        zt_test::take_syslog();
    }
};

TEST_F(IoTest, BlockingModeIsQueriedAndSwitchedOnlyWhenItChanges)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const Ints results = {socket_is_nb(pair[0]), socket_set_nb(pair[0], 7), socket_is_nb(pair[0]),
                          socket_set_nb(pair[0], 0), socket_is_nb(pair[0])};
    EXPECT_EQ(results, Ints({0, 0, 0x800, 0, 0}));
    close(pair[0]);
    close(pair[1]);
    // A path descriptor cannot have its flags written: no change, no write.
    zt_test::TraceCapture traces(1);
    const int path_fd = open("/tmp", O_PATH | O_CLOEXEC);
    EXPECT_EQ(socket_set_nb(path_fd, 0), 0);
    EXPECT_EQ(with_errno(socket_set_nb(path_fd, 1)), std::pair(-1, EBADF));
    close(path_fd);
    traces.take();
    EXPECT_EQ(with_errno(socket_is_nb(path_fd)), std::pair(-1, EBADF));
    const std::vector<zt_test::TraceRecord> seen = traces.take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].message, "Unable to get file descriptor flags in socket_is_nb: Bad file descriptor");
}

TEST_F(IoTest, ListeningSocketsBindOrRecordWhyNot)
{
    zt_test::FdGuard fds;
    const int fd = open_socket(4001);
    EXPECT_EQ(options(fd, {SO_ACCEPTCONN, SO_REUSEADDR}), Ints({1, 0}));
    EXPECT_EQ(port_of(fd), 4001);
    // open_socket ends the process; the record shows the port as given, of
    // which only the low 16 bits are bound.
    EXPECT_EQ(zt_test::exit_status_of([] { return open_socket(4001 + 65536) >= 0 ? 0 : 2; }), 1);
    EXPECT_SYSLOG({zt_test::kDefaultFacility | LOG_ERR, "socket bind to 69537 failed (Address already in use)"});
    close(fd);

    EXPECT_EQ(with_errno(OpenListenSocket(4010, IPPROTO_ICMP, 1, 5, 0)), std::pair(-1, EINVAL));
    const int tcp = OpenListenSocket(4010, IPPROTO_TCP, 1, 5, 20000);
    // The kernel doubles the buffer size it is given.
    EXPECT_EQ(options(tcp, {SO_ACCEPTCONN, SO_REUSEADDR, SO_SNDBUF, SO_RCVBUF}), Ints({1, 1, 40000, 40000}));
    const int udp = OpenListenSocket(4010, IPPROTO_UDP, 0, 5, 0), fresh = socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_EQ(options(udp, {SO_TYPE, SO_REUSEADDR, SO_RCVBUF}), Ints({SOCK_DGRAM, 0, options(fresh, {SO_RCVBUF})[0]}));
    EXPECT_EQ(port_of(udp), 4010);
    EXPECT_SYSLOG();
    EXPECT_EQ(with_errno(OpenListenSocket(4010, IPPROTO_TCP, 1, 5, 0)), std::pair(-1, EADDRINUSE));
    EXPECT_SYSLOG({LOG_USER | LOG_ERR, "socket bind failed: Address already in use"});
    for (int open_fd : {tcp, udp, fresh})
        close(open_fd);
}

TEST_F(IoTest, UdpAndTcpSocketsBindConnectAndCloseWhatFails)
{
    zt_test::FdGuard fds;
    struct sockaddr_in local = {};
    const int receiver = NewUdpRecvSocket(0, nullptr, &local);
    EXPECT_EQ(ntohs(local.sin_port), port_of(receiver));
    const struct sockaddr_in to_receiver = loopback(ntohs(local.sin_port));
    const int sender = NewUdpSendSocket(&to_receiver);
    ASSERT_EQ(send(sender, "ping", 4, 0), 4);
    char reply[8];
    EXPECT_EQ(recv(receiver, reply, sizeof reply, 0), 4);
    const struct sockaddr_in from_sender = loopback(port_of(sender));
    struct sockaddr_in peer = {};
    socklen_t length = sizeof peer;
    const int connected = NewUdpRecvSocket(4020, &from_sender, nullptr);
    ASSERT_EQ(getpeername(connected, reinterpret_cast<struct sockaddr *>(&peer), &length), 0);
    EXPECT_EQ(peer.sin_port, from_sender.sin_port);

    const int listener = OpenListenSocket(4030, IPPROTO_TCP, 1, 5, 0);
    const struct sockaddr_in server = loopback(4030), source = loopback(4031);
    const int fd = NewTcpSendSocket(&server, &source, 30000);
    EXPECT_EQ(port_of(fd), 4031);
    EXPECT_EQ(options(fd, {SO_SNDBUF}), Ints({60000}));
    for (int open_fd : {fd, listener})
        close(open_fd);

    struct sockaddr_in wrong_family = to_receiver, foreign = source;
    wrong_family.sin_family = AF_UNIX;
    foreign.sin_addr.s_addr = htonl(0x0A090909);
    // Evaluated in order, each with the errno it left.
    for (auto [what, result, error] :
         {std::tuple{"port taken", with_errno(NewUdpRecvSocket(4020, nullptr, nullptr)), EADDRINUSE},
          {"receiver family", with_errno(NewUdpRecvSocket(0, &wrong_family, nullptr)), EAFNOSUPPORT},
          {"sender family", with_errno(NewUdpSendSocket(&wrong_family)), EAFNOSUPPORT},
          {"closed port", with_errno(NewTcpSendSocket(&server, nullptr, 0)), ECONNREFUSED},
          {"no server", with_errno(NewTcpSendSocket(nullptr, nullptr, 0)), EINVAL},
          {"foreign source", with_errno(NewTcpSendSocket(&server, &foreign, 0)), EADDRNOTAVAIL}})
        EXPECT_EQ(result, std::pair(-1, error)) << what;
    for (int open_fd : {connected, sender, receiver})
        close(open_fd);
}

TEST_F(IoTest, NamedPipeReplacesWhatIsAtItsPath)
{
    zt_test::FdGuard fds;
    ASSERT_EQ(mkdir("/tmp/io", 0755), 0);
    close(NewNamedPipe("/tmp/io/sock", SOCK_STREAM, 5));
    const int fd = NewNamedPipe("/tmp/io/sock", SOCK_STREAM, 0);  // the stale file replaced
    EXPECT_EQ(with_errno(accept(fd, nullptr, nullptr)), std::pair(-1, EINVAL)) << "not listening";
    close(fd);
    // The longest path fills the whole path field, without a NUL.
    const std::string longest = "/tmp/io/" + std::string(100, 'p'), too_long = longest + "q";
    const int pipe_fd = NewNamedPipe(longest.c_str(), SOCK_DGRAM, 0);
    struct sockaddr_un addr = {AF_UNIX, {}};
    memcpy(addr.sun_path, longest.data(), sizeof addr.sun_path);
    const int client = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(sendto(client, "x", 1, 0, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr), 1);
    for (int open_fd : {client, pipe_fd})
        close(open_fd);

    close(open(too_long.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    for (auto [path, type, error] : {std::tuple<const char *, int, int>{too_long.c_str(), SOCK_DGRAM, ENAMETOOLONG},
                                     {"/tmp/io/missing/sock", SOCK_STREAM, ENOENT}, {"/tmp", SOCK_STREAM, EISDIR},
                                     {"", SOCK_STREAM, EINVAL}, {"/tmp/io/sock", 99, EINVAL}})
        EXPECT_EQ(with_errno(NewNamedPipe(path, type, 5)), std::pair(-1, error)) << path;
    EXPECT_EQ(access(too_long.c_str(), F_OK), 0) << "nothing removed";
}

TEST_F(IoTest, ProxiedUdpBuildsAndReadsTheTwoAddressRecord)
{
    struct sockaddr_in receiver_addr = {}, sender_addr = {}, from, dest;
    const int receiver = NewUdpRecvSocket(0, nullptr, &receiver_addr);
    const int sender = NewUdpRecvSocket(0, nullptr, &sender_addr);
    struct sockaddr_in source = loopback(ntohs(sender_addr.sin_port)), to = loopback(ntohs(receiver_addr.sin_port));
    ASSERT_EQ(sendto(sender, "data", 4, 0, reinterpret_cast<struct sockaddr *>(&to), sizeof to), 4);
    // Both addresses are filled in full, also when nothing came.
    auto received = [&] {
        char buf[16];
        memset(&from, 0xAA, sizeof from);
        memset(&dest, 0xAA, sizeof dest);
        const int n = static_cast<int>(RecvProxiedUdp(receiver, &from, &dest, buf, sizeof buf));
        for (const struct sockaddr_in *addr : {&from, &dest}) {
            EXPECT_EQ(addr->sin_family, AF_INET);
            EXPECT_EQ(memcmp(addr->sin_zero, "\0\0\0\0\0\0\0\0", 8), 0);
        }
        return n;
    };
    EXPECT_EQ(received(), 4);
    EXPECT_EQ(from.sin_port, sender_addr.sin_port);
    ASSERT_EQ(socket_set_nb(receiver, 1), 0);
    EXPECT_EQ(with_errno(received()), std::pair(-1, EAGAIN));
    // The kernel reads the first half as the destination: the callers'
    // family fields do not count, a port there does.
    source.sin_family = to.sin_family = 0x5A5A;
    EXPECT_EQ(SendProxiedUdp(sender, &source, &to, "data", 4), 4);
    struct sockaddr_in no_port = to;
    no_port.sin_port = 0;
    EXPECT_EQ(with_errno(SendProxiedUdp(sender, &source, &no_port, "data", 4)), std::pair(-1, EINVAL));
    EXPECT_EQ(with_errno(SendProxiedUdp(sender, nullptr, &to, "data", 4)), std::pair(-1, EINVAL));
    close(sender);
    close(receiver);
}

TEST(IoText, FdprintfGetwordAndDataView)
{
    EXPECT_EQ(zt_test::stderr_of([] { fdprintf(1000, "x"); }), "couldn't write to 1000 (Bad file descriptor)\n");
    for (auto [src, size, expected] : {std::tuple<const char *, size_t, const char *>{"hello world", 4, "hel"},
                                       {"go\tnow", 8, "go"}, {" lead", 8, ""}, {"x", 1, ""}, {nullptr, 8, ""}}) {
        char word[8] = "#######";
        zt_getword(src, word, size);
        EXPECT_STREQ(word, expected) << (src ? src : "null");
    }
    // A new record, and out of memory no record, or one without a block.
    DataView *view = nullptr;
    zt_test::failalloc::for_each_failure([&] { view = DataViewNew(nullptr, 16); },
                                         [&](bool failed) {
                                             if (view) {
                                                 EXPECT_EQ(view->user1, 0u);
                                                 EXPECT_EQ(view->user2, 0u);
                                                 EXPECT_EQ(view->data == nullptr, failed);
                                             }
                                             DataViewDelete(view);
                                             free(view);
                                         });
}

// One line stream over a pipe (zt_getline only reads, so any stream will
// do), read through a buffer of kSize bytes (plus the NUL).
constexpr uint32_t kSize = 8;

struct LineStream {
    LineStream() { EXPECT_EQ(pipe(fds), 0); }
    ~LineStream()
    {
        close(fds[0]);
        close(fds[1]);
    }
    void put(const std::string &b) { ASSERT_EQ(write(fds[1], b.data(), b.size()), ssize_t(b.size())); }
    // One call: "result status line", the line when one came.
    std::string next()
    {
        memset(line, '#', sizeof line);
        int32_t status = -1;
        const int result = zt_getline(fds[0], kSize, line, &lb, &status);
        const std::string text = status == ZT_LINE_FULL ? std::string(line, kSize) : status == ZT_LINE_OK ? line : "";
        return std::to_string(result) + " " + std::to_string(status) + " " + text;
    }
    // The bytes buffered that no line has taken yet.
    std::string pending() const { return lb.next ? std::string(lb.next, lb.buf + lb.len) : std::string(buf, lb.len); }

    int fds[2];
    char buf[kSize + 1];
    char line[kSize + 1];
    LineBuf lb = {buf, nullptr, 0};
};

TEST(Getline, LinesComeOutOnePerCallOnceTheirNewlineIsIn)
{
    LineStream s;
    const std::string nul_first("a\0b\ncdef", 8);
    const struct {
        std::string put, next, pending;
    } steps[] = {
        {"a\nbb\n", "0 0 a\n", "bb\n"},
        {"c\n", "0 0 bb\n", ""},  // read only when the buffered lines are used up
        {"", "0 0 c\n", ""},
        {"abc", "0 5 ", "abc"},  // the line untouched
        {"de\nf", "0 0 abcde\n", "f"},
        {"", "0 5 ", "f"},  // moved to the front
        {"g\n", "0 0 fg\n", ""},
        // A full buffer goes out as it is, the rest follows; a newline after
        // a NUL is seen only as part of a full buffer.
        {"0123456789\n", "0 1 01234567", ""},
        {"", "0 0 89\n", ""},
        {nul_first, "0 1 " + nul_first, ""}};
    for (const auto &step : steps) {
        if (!step.put.empty())
            s.put(step.put);
        EXPECT_EQ(s.next(), step.next) << step.put;
        EXPECT_EQ(s.line[step.next.size() - 4], step.next[2] == '5' ? '#' : '\0') << step.put;
        EXPECT_EQ(s.pending(), step.pending) << step.put;
    }
}

void on_alarm(int) {}

// What is left of a partial line is dropped: "xy" is put before each call.
TEST(Getline, EndOfStreamSignalsAndFailuresDropThePartialLine)
{
    LineStream s;
    // Alarms repeat until one interrupts the waiting read (no SA_RESTART).
    struct sigaction action = {}, previous;
    action.sa_handler = on_alarm;
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    const struct itimerval every_ms = {{0, 1000}, {0, 1000}}, off = {};
    s.put("xy");
    EXPECT_EQ(s.next(), "0 5 ");
    setitimer(ITIMER_REAL, &every_ms, nullptr);
    EXPECT_EQ(s.next(), "1 2 ");
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_EQ(s.pending(), "");
    ASSERT_EQ(socket_set_nb(s.fds[0], 1), 0);
    s.put("xy");
    EXPECT_EQ(s.next(), "0 5 ");
    EXPECT_EQ(s.next(), "1 4 ");
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(s.pending(), "");
    s.put("xy");
    close(s.fds[1]);
    s.fds[1] = -1;
    EXPECT_EQ(s.next(), "0 5 ");
    EXPECT_EQ(s.next(), "1 3 ");
    EXPECT_EQ(s.pending(), "");
    s.lb.len = kSize + 1;
    EXPECT_EQ(s.next(), "1 4 ");
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(s.pending(), "") << "a broken record is reset";
}

}  // namespace
