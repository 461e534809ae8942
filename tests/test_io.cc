// Sockets on the loopback of the test's own network namespace, local sockets
// under its private /tmp, and line streams over pipes: results, failures with
// descriptors counted, records, and every status of the line splitter.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
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

TEST_F(IoTest, ListeningSocketsBindOrRecordWhyNot)
{
    zt_test::FdGuard fds;
    const int fd = open_socket(4001);
    EXPECT_EQ(options(fd, {SO_ACCEPTCONN, SO_REUSEADDR}), Ints({1, 0}));
    EXPECT_EQ(port_of(fd), 4001);
    // The blocking mode is switched only when it changes; no descriptor, -1.
    const Ints results = {socket_is_nb(fd), socket_set_nb(fd, 7), socket_is_nb(fd), socket_set_nb(fd, 0),
                          socket_is_nb(fd), socket_is_nb(-1), socket_set_nb(-1, 1)};
    EXPECT_EQ(results, Ints({0, 0, 0x800, 0, 0, -1, -1}));
    // open_socket ends the process; the record shows the port as given, of
    // which only the low 16 bits are bound.
    EXPECT_EQ(zt_test::exit_status_of([] { return open_socket(4001 + 65536) >= 0 ? 0 : 2; }), 1);
    EXPECT_SYSLOG(
        {LOG_ERR | zt_test::kDefaultFacility, "socket bind to 69537 failed (Address already in use)"});
    close(fd);

    EXPECT_EQ(with_errno(OpenListenSocket(4010, IPPROTO_ICMP, 1, 5, 0)), std::pair(-1, EINVAL));
    const int tcp = OpenListenSocket(4010, IPPROTO_TCP, 1, 5, 20000);
    // The kernel doubles the buffer size it is given.
    EXPECT_EQ(options(tcp, {SO_ACCEPTCONN, SO_REUSEADDR, SO_SNDBUF, SO_RCVBUF}), Ints({1, 1, 40000, 40000}));
    const int udp = OpenListenSocket(4010, IPPROTO_UDP, 0, 5, 0);
    EXPECT_EQ(options(udp, {SO_TYPE, SO_REUSEADDR}), Ints({SOCK_DGRAM, 0}));
    EXPECT_EQ(with_errno(OpenListenSocket(4010, IPPROTO_TCP, 1, 5, 0)), std::pair(-1, EADDRINUSE));
    EXPECT_SYSLOG({LOG_USER | LOG_ERR, "socket bind failed: Address already in use"});
    for (int open_fd : {tcp, udp})
        close(open_fd);
}

// The proxied record: the kernel reads its first half as the destination, so
// that the callers' family fields do not count and a port there does; the
// first half received is the sender.
TEST_F(IoTest, UdpTcpAndProxiedSocketsBindConnectAndCloseWhatFails)
{
    zt_test::FdGuard fds;
    struct sockaddr_in local = {}, from;
    const int receiver = NewUdpRecvSocket(0, nullptr, &local);
    EXPECT_EQ(ntohs(local.sin_port), port_of(receiver));
    struct sockaddr_in to = loopback(ntohs(local.sin_port));
    const int sender = NewUdpSendSocket(&to);
    EXPECT_EQ(send(sender, "ping", 4, 0), 4);
    char buf[16];
    EXPECT_EQ(RecvProxiedUdp(receiver, &from, nullptr, buf, sizeof buf), 4);
    EXPECT_EQ(ntohs(from.sin_port), port_of(sender));
    struct sockaddr_in source = loopback(port_of(sender)), no_port = to;
    source.sin_family = to.sin_family = 0x5A5A;
    no_port.sin_port = 0;
    EXPECT_EQ(SendProxiedUdp(sender, &source, &to, "data", 4), 4);

    const int listener = OpenListenSocket(4030, IPPROTO_TCP, 1, 5, 0);
    const struct sockaddr_in server = loopback(4030);
    const struct sockaddr_in wrong_family = {AF_UNIX, 0, {}, {}}, chosen = loopback(4031);
    const int fd = NewTcpSendSocket(&server, &chosen, 30000);
    EXPECT_EQ(port_of(fd), 4031);
    EXPECT_EQ(options(fd, {SO_SNDBUF}), Ints({60000}));
    for (int open_fd : {fd, listener})
        close(open_fd);
    // Evaluated in order, each with the errno it left.
    for (auto [what, result, error] :
         {std::tuple{"in use", with_errno(NewUdpRecvSocket(port_of(receiver), nullptr, nullptr)), EADDRINUSE},
          {"receiver family", with_errno(NewUdpRecvSocket(0, &wrong_family, nullptr)), EAFNOSUPPORT},
          {"sender family", with_errno(NewUdpSendSocket(&wrong_family)), EAFNOSUPPORT},
          {"closed port", with_errno(NewTcpSendSocket(&server, nullptr, 0)), ECONNREFUSED},
          {"no server", with_errno(NewTcpSendSocket(nullptr, nullptr, 0)), EINVAL},
          {"proxied, no port", with_errno(SendProxiedUdp(sender, &source, &no_port, "data", 4)), EINVAL},
          {"proxied, no source", with_errno(SendProxiedUdp(sender, nullptr, &to, "data", 4)), EINVAL}})
        EXPECT_EQ(result, std::pair(-1, error)) << what;
    close(sender);
    close(receiver);
}

TEST_F(IoTest, NamedPipeReplacesWhatIsAtItsPath)
{
    zt_test::FdGuard fds;
    ASSERT_EQ(mkdir("/tmp/io", 0755), 0);
    // The longest path fills the whole path field, without a NUL.
    const std::string longest = "/tmp/io/" + std::string(100, 'p'), too_long = longest + "q";
    close(NewNamedPipe(longest.c_str(), SOCK_STREAM, 5));
    const int fd = NewNamedPipe(longest.c_str(), SOCK_STREAM, 0);  // the stale file replaced
    EXPECT_EQ(with_errno(accept(fd, nullptr, nullptr)), std::pair(-1, EINVAL)) << "not listening";
    close(fd);
    close(open(too_long.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    using Case = std::tuple<const char *, int, int>;
    for (auto [path, type, error] :
         {Case{too_long.c_str(), SOCK_DGRAM, ENAMETOOLONG}, {"/tmp/io/missing/sock", SOCK_STREAM, ENOENT},
          {"/tmp", SOCK_STREAM, EISDIR}, {"", SOCK_STREAM, EINVAL}, {longest.c_str(), 99, EINVAL}})
        EXPECT_EQ(with_errno(NewNamedPipe(path, type, 5)), std::pair(-1, error)) << path;
    EXPECT_EQ(access(too_long.c_str(), F_OK), 0) << "nothing removed";
}

TEST(IoText, FdprintfGetwordAndDataView)
{
    EXPECT_EQ(zt_test::stderr_of([] { fdprintf(1000, "x"); }),
              "couldn't write to 1000 (Bad file descriptor)\n");
    for (auto [src, size, expected] :
         {std::tuple{"hello world", 4, "hel"}, {"go\tnow", 8, "go"}, {" lead", 8, ""}, {nullptr, 8, ""}}) {
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

void on_alarm(int) {}

// One line stream over a pipe (zt_getline only reads, so any stream will
// do), through a buffer of kSize bytes plus the NUL. Each step puts its
// bytes, does what it says, makes one call and sees "result status line"
// (after an error the errno's text) and what stays buffered. A partial line
// is dropped by a signal, an error and the end of the stream.
TEST(Getline, LinesComeOutOnePerCallOnceTheirNewlineIsIn)
{
    constexpr uint32_t kSize = 8;
    enum Then { kRead, kInterrupt, kNonBlocking, kCloseWriter, kBreakRecord };
    const std::string nul_first("a\0b\ncdef", 8);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    char buf[kSize + 1], line[kSize + 1];
    LineBuf lb = {buf, nullptr, 0};
    // Alarms repeat until one interrupts the waiting read (no SA_RESTART).
    struct sigaction action = {}, previous;
    action.sa_handler = on_alarm;
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    const struct itimerval every_ms = {{0, 1000}, {0, 1000}}, off = {};
    using Step = std::tuple<std::string, Then, std::string, std::string>;  // put, then, next, pending
    for (auto [put, then, next, pending] : {
        Step{"a\nbb\n", kRead, "0 0 a\n", "bb\n"},
        {"c\n", kRead, "0 0 bb\n", ""},  // read only when the buffered lines are used up
        {"", kRead, "0 0 c\n", ""},
        {"abc", kRead, "0 5 ", "abc"},
        {"de\nf", kRead, "0 0 abcde\n", "f"},
        {"", kRead, "0 5 ", "f"},  // moved to the front
        // A full buffer goes out as it is, the rest follows; a newline after
        // a NUL is seen only as part of a full buffer.
        {"0123456789\n", kRead, "0 1 f0123456", ""},
        {"", kRead, "0 0 789\n", ""},
        {nul_first, kRead, "0 1 " + nul_first, ""},
        {"xy", kRead, "0 5 ", "xy"},
        {"", kInterrupt, "1 2 ", ""},
        {"xy", kNonBlocking, "0 5 ", "xy"},
        {"", kRead, "1 4 Resource temporarily unavailable", ""},
        {"xy", kCloseWriter, "0 5 ", "xy"},
        {"", kRead, "1 3 ", ""},
        {"", kBreakRecord, "1 4 Invalid argument", ""}}) {  // and reset
        SCOPED_TRACE(next);
        if (!put.empty()) {  // the writer is closed at the end
            ASSERT_EQ(write(fds[1], put.data(), put.size()), ssize_t(put.size()));
        }
        if (then == kNonBlocking)
            socket_set_nb(fds[0], 1);
        if (then == kCloseWriter)
            close(fds[1]);
        if (then == kBreakRecord)
            lb.len = kSize + 1;
        setitimer(ITIMER_REAL, then == kInterrupt ? &every_ms : &off, nullptr);
        memset(line, '#', sizeof line);
        int32_t status = -1;
        const int result = zt_getline(fds[0], kSize, line, &lb, &status);
        setitimer(ITIMER_REAL, &off, nullptr);
        // A full line ends in a NUL; no line leaves the line untouched.
        std::string text = line[0] == '#' ? "" : "?";
        if (status == ZT_LINE_OK)
            text = line;
        if (status == ZT_LINE_FULL)
            text = std::string(line, kSize) + (line[kSize] ? "?" : "");
        if (status == ZT_LINE_ERROR)
            text = strerror(errno);
        EXPECT_EQ(std::to_string(result) + " " + std::to_string(status) + " " + text, next);
        EXPECT_EQ(lb.next ? std::string(lb.next, lb.buf + lb.len) : std::string(buf, lb.len), pending);
    }
    sigaction(SIGALRM, &previous, nullptr);
    close(fds[0]);
}

}  // namespace
