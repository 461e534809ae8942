// Sockets on the loopback of the test's own network namespace, local sockets
// under its private /tmp, and line streams over pipes: each constructor's
// result and failures (descriptors counted), records, traces, the proxied
// address, and every status of the line splitter.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

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
std::vector<int> options(int fd, std::initializer_list<int> names)
{
    std::vector<int> values;
    for (int name : names) {
        int value = -1;
        socklen_t length = sizeof value;
        getsockopt(fd, SOL_SOCKET, name, &value, &length);
        values.push_back(value);
    }
    return values;
}
using Ints = std::vector<int>;

// In a forked child whose next descriptor is out of reach (syslog already
// connected), the exit code of body, or -1 when it did not exit.
int without_descriptors(const std::function<int()> &body)
{
    static struct rlimit saved;
    int status = zt_test::run_in_child([&] {
        openlog("zttest", LOG_NDELAY, zt_test::kDefaultFacility);
        getrlimit(RLIMIT_NOFILE, &saved);
        atexit([] { setrlimit(RLIMIT_NOFILE, &saved); });  // what runs at exit may open files again
        const int lowest_free = dup(0);
        close(lowest_free);
        const struct rlimit none = {static_cast<rlim_t>(lowest_free), saved.rlim_max};
        return setrlimit(RLIMIT_NOFILE, &none) == 0 ? body() : 99;
    });
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The one record since the last look: its priority and message.
void expect_record(int priority, const std::string &message)
{
    std::vector<zt_test::SyslogRecord> records = zt_test::take_syslog();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].priority, priority);
    EXPECT_EQ(records[0].message, message);
}

struct IoTest : testing::Test {
    void SetUp() override
    {
        ZT_REQUIRE_ISOLATION();
        // Connected now, the log's socket is not counted as left open.
        openlog("zttest", LOG_NDELAY, zt_test::kDefaultFacility);
        zt_test::take_syslog();
    }
    // A failed call: -1, its errno, and no descriptor left behind.
    void expect_failure(int result, int error)
    {
        EXPECT_EQ(result, -1);
        EXPECT_EQ(errno, error);
        EXPECT_EQ(zt_test::open_fd_count(), fds_before);
    }
    int fds_before = 0;
};

TEST_F(IoTest, BlockingModeIsQueriedAndSwitchedOnlyWhenItChanges)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const std::vector<int> results = {socket_is_nb(pair[0]), socket_set_nb(pair[0], 7), socket_is_nb(pair[0]),
                                      socket_set_nb(pair[0], 0), socket_is_nb(pair[0])};
    EXPECT_EQ(results, std::vector<int>({0, 0, 0x800, 0, 0}));
    close(pair[0]);
    close(pair[1]);

    // A path descriptor reads its flags but cannot have them written: the
    // call that needs no change succeeds, the other fails with its error.
    int path_fd = open("/tmp", O_PATH);
    zt_test::TraceCapture traces(1);
    EXPECT_EQ(socket_set_nb(path_fd, 0), 0);
    EXPECT_TRUE(socket_set_nb(path_fd, 1) == -1 && errno == EBADF);
    close(path_fd);
    EXPECT_TRUE(socket_is_nb(path_fd) == -1 && errno == EBADF);
    EXPECT_TRUE(socket_set_nb(path_fd, 1) == -1 && errno == EBADF);
    std::vector<std::string> seen;
    for (const zt_test::TraceRecord &r : traces.take())
        seen.push_back(std::to_string(r.level) + " " + r.file + " " + r.function + ": " + r.message);
    EXPECT_EQ(seen, std::vector<std::string>({
        "1 src/lib/zttools/io socket_set_nb: Unable to set file descriptor to non-blocking: Bad file descriptor",
        "1 src/lib/zttools/io socket_is_nb: Unable to get file descriptor flags in socket_is_nb: Bad file descriptor",
        "1 src/lib/zttools/io socket_set_nb: Unable to get file descriptor flags: Bad file descriptor"}));
}

TEST_F(IoTest, ListeningSocketsBindOrRecordWhyNot)
{
    int fd = open_socket(4001);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(options(fd, {SO_ACCEPTCONN, SO_REUSEADDR}), Ints({1, 0}));
    EXPECT_EQ(port_of(fd), 4001);
    // open_socket ends the process; the record shows the port as given, of
    // which only the low 16 bits are bound.
    int status = zt_test::run_in_child([] { return open_socket(4001 + 65536) >= 0 ? 0 : 2; });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    expect_record(zt_test::kDefaultFacility | LOG_ERR, "socket bind to 69537 failed (Address already in use)");
    close(fd);
    EXPECT_EQ(without_descriptors([] { return open_socket(4002) >= 0 ? 0 : 2; }), 1);
    expect_record(zt_test::kDefaultFacility | LOG_ERR, "socket() creation failed (Too many open files)");

    fds_before = zt_test::open_fd_count();
    expect_failure(OpenListenSocket(4010, IPPROTO_ICMP, 1, 5, 0), EINVAL);
    int tcp = OpenListenSocket(4010, IPPROTO_TCP, 1, 5, 20000);
    ASSERT_GE(tcp, 0);
    // The kernel doubles the buffer size it is given.
    EXPECT_EQ(options(tcp, {SO_ACCEPTCONN, SO_REUSEADDR, SO_SNDBUF, SO_RCVBUF}), Ints({1, 1, 40000, 40000}));
    int udp = OpenListenSocket(4010, IPPROTO_UDP, 0, 5, 0), fresh = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(udp, 0);
    EXPECT_EQ(options(udp, {SO_TYPE, SO_REUSEADDR}), Ints({SOCK_DGRAM, 0}));
    EXPECT_EQ(options(udp, {SO_RCVBUF}), options(fresh, {SO_RCVBUF}));
    close(fresh);
    EXPECT_EQ(port_of(udp), 4010);
    EXPECT_TRUE(zt_test::take_syslog().empty());
    fds_before = zt_test::open_fd_count();
    expect_failure(OpenListenSocket(4010, IPPROTO_TCP, 1, 5, 0), EADDRINUSE);
    expect_record(LOG_USER | LOG_ERR, "socket bind failed: Address already in use");
    close(tcp);
    close(udp);
    EXPECT_EQ(without_descriptors([] { return OpenListenSocket(4011, IPPROTO_TCP, 1, 5, 0) == -1; }), 1);
    expect_record(LOG_USER | LOG_ERR, "socket creation failed: Too many open files");
}

TEST_F(IoTest, UdpAndTcpSocketsBindConnectAndCloseWhatFails)
{
    struct sockaddr_in local = {};
    int receiver = NewUdpRecvSocket(0, nullptr, &local);
    ASSERT_GE(receiver, 0);
    EXPECT_EQ(ntohs(local.sin_port), port_of(receiver));
    const struct sockaddr_in to_receiver = loopback(ntohs(local.sin_port));
    int sender = NewUdpSendSocket(&to_receiver);
    ASSERT_GE(sender, 0);
    ASSERT_EQ(send(sender, "ping", 4, 0), 4);
    char reply[8];
    EXPECT_EQ(recv(receiver, reply, sizeof reply, 0), 4);
    struct sockaddr_in peer_seen = {};
    const struct sockaddr_in from_sender = loopback(port_of(sender));
    int connected = NewUdpRecvSocket(4020, &from_sender, nullptr);
    socklen_t length = sizeof peer_seen;
    ASSERT_EQ(getpeername(connected, reinterpret_cast<struct sockaddr *>(&peer_seen), &length), 0);
    EXPECT_EQ(memcmp(&peer_seen, &from_sender, sizeof peer_seen), 0);

    int listener = OpenListenSocket(4030, IPPROTO_TCP, 1, 5, 0);
    const struct sockaddr_in server = loopback(4030), source = loopback(4031);
    int fd = NewTcpSendSocket(&server, &source, 30000);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(port_of(fd), 4031);
    EXPECT_EQ(options(fd, {SO_SNDBUF}), Ints({60000}));
    int accepted = accept(listener, nullptr, nullptr);
    EXPECT_GE(accepted, 0);
    for (int open_fd : {accepted, fd, listener})
        close(open_fd);

    fds_before = zt_test::open_fd_count();
    expect_failure(NewUdpRecvSocket(4020, nullptr, nullptr), EADDRINUSE);
    struct sockaddr_in wrong_family = to_receiver;
    wrong_family.sin_family = AF_UNIX;
    expect_failure(NewUdpRecvSocket(0, &wrong_family, nullptr), EAFNOSUPPORT);
    expect_failure(NewUdpSendSocket(&wrong_family), EAFNOSUPPORT);
    expect_failure(NewTcpSendSocket(&server, nullptr, 0), ECONNREFUSED);
    expect_failure(NewTcpSendSocket(nullptr, nullptr, 0), EINVAL);
    struct sockaddr_in foreign = source;
    foreign.sin_addr.s_addr = htonl(0x0A090909);
    expect_failure(NewTcpSendSocket(&server, &foreign, 0), EADDRNOTAVAIL);
    for (int open_fd : {connected, sender, receiver})
        close(open_fd);
}

TEST_F(IoTest, NamedPipeReplacesWhatIsAtItsPath)
{
    ASSERT_EQ(mkdir("/tmp/io", 0755), 0);
    close(NewNamedPipe("/tmp/io/sock", SOCK_STREAM, 5));
    struct stat st;
    EXPECT_TRUE(stat("/tmp/io/sock", &st) == 0 && S_ISSOCK(st.st_mode)) << "the file stays after close";
    int fd = NewNamedPipe("/tmp/io/sock", SOCK_STREAM, 0);  // stale file replaced
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(accept(fd, nullptr, nullptr) == -1 && errno == EINVAL) << "not listening";
    close(fd);
    // The longest path fills the whole path field, without a NUL.
    std::string longest = "/tmp/io/";
    longest.append(108 - longest.size(), 'p');
    fd = NewNamedPipe(longest.c_str(), SOCK_DGRAM, 0);
    struct sockaddr_un addr = {AF_UNIX, {}};
    memcpy(addr.sun_path, longest.data(), 108);
    int client = socket(AF_UNIX, SOCK_DGRAM, 0);
    EXPECT_EQ(sendto(client, "x", 1, 0, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr), 1);
    close(client);
    close(fd);

    fds_before = zt_test::open_fd_count();
    const std::string too_long = longest + "q";
    close(open(too_long.c_str(), O_CREAT | O_WRONLY, 0644));
    expect_failure(NewNamedPipe(too_long.c_str(), SOCK_DGRAM, 0), ENAMETOOLONG);
    EXPECT_EQ(access(too_long.c_str(), F_OK), 0) << "nothing removed";
    expect_failure(NewNamedPipe("/tmp/io/missing/sock", SOCK_STREAM, 5), ENOENT);
    expect_failure(NewNamedPipe("/tmp", SOCK_STREAM, 5), EISDIR);
    expect_failure(NewNamedPipe("", SOCK_STREAM, 5), EINVAL);
    EXPECT_EQ(NewNamedPipe("/tmp/io/sock", 99, 5), -1) << "no such socket type";
    EXPECT_EQ(zt_test::open_fd_count(), fds_before);
}

TEST_F(IoTest, ProxiedUdpBuildsAndReadsTheTwoAddressRecord)
{
    struct sockaddr_in receiver_addr = {}, sender_addr = {};
    int receiver = NewUdpRecvSocket(0, nullptr, &receiver_addr), sender = NewUdpRecvSocket(0, nullptr, &sender_addr);
    struct sockaddr_in to = loopback(ntohs(receiver_addr.sin_port));
    ASSERT_EQ(sendto(sender, "data", 4, 0, reinterpret_cast<struct sockaddr *>(&to), sizeof to), 4);
    // Both addresses are filled in full, also when nothing came.
    struct sockaddr_in from, dest;
    auto received = [&] {
        memset(&from, 0xAA, sizeof from);
        memset(&dest, 0xAA, sizeof dest);
        char buf[16];
        const ssize_t n = RecvProxiedUdp(receiver, &from, &dest, buf, sizeof buf);
        for (const struct sockaddr_in *addr : {&from, &dest})
            EXPECT_TRUE(addr->sin_family == AF_INET && !memcmp(addr->sin_zero, "\0\0\0\0\0\0\0\0", 8));
        return n;
    };
    EXPECT_EQ(received(), 4);
    EXPECT_EQ(from.sin_port, sender_addr.sin_port);
    EXPECT_EQ(from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    ASSERT_EQ(socket_set_nb(receiver, 1), 0);
    EXPECT_EQ(received(), -1);
    EXPECT_EQ(errno, EAGAIN);

    // The kernel reads the first half as the destination: the callers'
    // family fields do not count, a port or route there does.
    struct sockaddr_in source = loopback(ntohs(sender_addr.sin_port));
    source.sin_family = to.sin_family = 0x5A5A;
    EXPECT_EQ(SendProxiedUdp(sender, &source, &to, "data", 4), 4);
    struct sockaddr_in no_port = to, unreachable = to;
    no_port.sin_port = 0;
    unreachable.sin_addr.s_addr = htonl(0x0A090909);
    EXPECT_TRUE(SendProxiedUdp(sender, &source, &no_port, "data", 4) == -1 && errno == EINVAL);
    EXPECT_TRUE(SendProxiedUdp(sender, &source, &unreachable, "data", 4) == -1 && errno == ENETUNREACH);
    EXPECT_TRUE(SendProxiedUdp(sender, nullptr, &to, "data", 4) == -1 && errno == EINVAL);
    close(sender);
    close(receiver);
}

TEST(IoText, FdprintfGetwordAndDataView)
{
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    EXPECT_EQ(zt_test::stderr_of([&] { fdprintf(pipe_fds[1], "%s=%d\n", "port", 80); }), "");
    char text[16];
    EXPECT_EQ(std::string(text, std::max<ssize_t>(read(pipe_fds[0], text, sizeof text), 0)), "port=80\n");
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    EXPECT_EQ(zt_test::stderr_of([] { fdprintf(1000, "x"); }), "couldn't write to 1000 (Bad file descriptor)\n");

    const struct {
        const char *src;
        size_t size;
        const char *word;
    } words[] = {{"hello world", 4, "hel"}, {"go\tnow", 8, "go"}, {" lead", 8, ""}, {"x", 1, ""}, {nullptr, 8, ""}};
    for (const auto &[src, size, expected] : words) {
        char word[8] = "#######";
        zt_getword(src, word, size);
        EXPECT_STREQ(word, expected) << (src ? src : "null");
    }

    DataView mine = {nullptr, 7, 9};
    EXPECT_EQ(DataViewNew(&mine, 64), &mine);
    EXPECT_EQ(mine.user1 | mine.user2, 0u);
    ASSERT_NE(mine.data, nullptr);
    EXPECT_EQ(memcmp(mine.data, std::string(64, '\0').data(), 64), 0);
    DataViewDelete(&mine);
    // A new record, and out of memory no record, or one without a block.
    using namespace zt_test::failalloc;
    for_each_failure([](unsigned k, Mode mode) {
        arm(k, mode);
        DataView *view = DataViewNew(nullptr, 16);
        const bool block_failed = failed() && calls() == 2;
        disarm();
        EXPECT_TRUE(view ? (view->user1 | view->user2) == 0 && (view->data == nullptr) == block_failed : failed());
        DataViewDelete(view);
        free(view);
    });
}

// One line stream over a pipe (zt_getline only reads, so any stream will
// do), read through a buffer of kSize bytes (plus the NUL).
constexpr uint32_t kSize = 8;

struct LineStream {
    LineStream()
    {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        reader = fds[0];
        writer = fds[1];
    }
    ~LineStream()
    {
        close(reader);
        close(writer);
    }
    void put(const std::string &b) const { ASSERT_EQ(write(writer, b.data(), b.size()), ssize_t(b.size())); }
    // One call: its result and status, and the line when one came.
    std::string next(int expected_result, int expected_status)
    {
        memset(line, '#', sizeof line);
        int32_t status = -1;
        EXPECT_EQ(zt_getline(reader, kSize, line, &lb, &status), expected_result);
        EXPECT_EQ(status, expected_status);
        return status == ZT_LINE_FULL ? std::string(line, kSize) : status == ZT_LINE_OK ? line : "";
    }
    // The bytes buffered that no line has taken yet.
    std::string pending() const { return lb.next ? std::string(lb.next, lb.buf + lb.len) : std::string(buf, lb.len); }
    bool empty() const { return lb.next == nullptr && lb.len == 0; }

    int reader, writer;
    char buf[kSize + 1];
    char line[kSize + 1];
    LineBuf lb = {buf, nullptr, 0};
};

TEST(Getline, LinesComeOutOnePerCallOnceTheirNewlineIsIn)
{
    LineStream s;
    const std::string nul_first("a\0b\ncdef", 8);
    const struct {
        std::string put;
        int status;
        std::string line, pending;
    } steps[] = {
        {"a\nbb\n", ZT_LINE_OK, "a\n", "bb\n"},
        {"c\n", ZT_LINE_OK, "bb\n", ""},  // read only when the buffered lines are used up
        {"", ZT_LINE_OK, "c\n", ""},
        {"abc", ZT_LINE_PARTIAL, "", "abc"},  // the line untouched
        {"de\nf", ZT_LINE_OK, "abcde\n", "f"},
        {"", ZT_LINE_PARTIAL, "", "f"},  // moved to the front
        {"g\n", ZT_LINE_OK, "fg\n", ""},
        // A full buffer goes out as it is, the rest follows; a newline after
        // a NUL is seen only as part of a full buffer.
        {"0123456789\n", ZT_LINE_FULL, "01234567", ""},
        {"", ZT_LINE_OK, "89\n", ""},
        {nul_first, ZT_LINE_FULL, nul_first, ""}};
    for (const auto &step : steps) {
        SCOPED_TRACE(step.line);
        if (!step.put.empty())
            s.put(step.put);
        EXPECT_EQ(s.next(0, step.status), step.line);
        EXPECT_EQ(s.line[step.line.size()], step.status == ZT_LINE_PARTIAL ? '#' : '\0');
        EXPECT_EQ(s.pending(), step.pending);
        EXPECT_TRUE(!step.pending.empty() || s.empty());
    }
}

void on_alarm(int) {}

TEST(Getline, EndOfStreamSignalsAndFailuresDropThePartialLine)
{
    LineStream s, nb;
    s.put("xy");
    s.next(0, ZT_LINE_PARTIAL);
    // Alarms repeat until one interrupts the waiting read (no SA_RESTART).
    struct sigaction action = {}, previous;
    action.sa_handler = on_alarm;
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    const struct itimerval every_ms = {{0, 1000}, {0, 1000}}, off = {};
    setitimer(ITIMER_REAL, &every_ms, nullptr);
    s.next(1, ZT_LINE_EINTR);
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_TRUE(s.empty());
    s.put("xy");
    s.next(0, ZT_LINE_PARTIAL);
    close(s.writer);
    s.writer = -1;
    s.next(1, ZT_LINE_EOF);
    EXPECT_TRUE(s.empty());

    ASSERT_EQ(socket_set_nb(nb.reader, 1), 0);
    nb.put("xy");
    nb.next(0, ZT_LINE_PARTIAL);
    nb.next(1, ZT_LINE_ERROR);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_TRUE(nb.empty());
    nb.lb.len = kSize + 1;
    nb.next(1, ZT_LINE_ERROR);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(nb.empty()) << "a broken record is reset";
}

}  // namespace
