// Restart notifications end to end: a service and its peers over the real
// local-socket transport.
#include <sched.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <optional>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"
#include "ztsvc.h"

namespace {

namespace failalloc = zt_test::failalloc;
using zt_test::with_errno;
constexpr uint32_t kId = RESTART_PROTOCOL_ID;

constexpr int kErr = zt_test::kDefaultFacility | LOG_ERR;
std::string text_of(const char *text) { return text ? text : "(null)"; }

// One message of the transport.
struct Message {
    std::string bytes;
    uint32_t id = kId;
};
std::string words(uint32_t type, uint32_t argument)
{
    const uint32_t both[2] = {type, argument};
    return std::string(reinterpret_cast<const char *>(both), sizeof both);
}
std::string with_nul(const char *text) { return std::string(text, strlen(text) + 1); }

// What the service's handlers were called with; each returns the next of
// results (0 when none is left).
struct Seen {
    std::string calls;
    std::vector<int> results;
    size_t next = 0;
    int call(const void *ctx, const std::string &text)
    {
        EXPECT_EQ(ctx, this) << text;
        calls += text + "; ";
        return next < results.size() ? results[next++] : 0;
    }
} seen;

int check_handler(const char *str1, const char *str2, const char *str3, void *ctx)
{
    return seen.call(ctx, "check " + text_of(str1) + "," + text_of(str2) + "," + text_of(str3));
}

int request_handler(void *ctx)
{
    return seen.call(ctx, "request");
}

int event_handler(uint32_t code, void *args, void *ctx)
{
    return seen.call(ctx, "event " + std::to_string(code) + " " + text_of(static_cast<const char *>(args)));
}

// Peers live in this process: the kernel queues a connection and what it
// sends until the service accepts, and keeps the reply until it is read.
class RestartTest : public testing::Test {
protected:
    void SetUp() override
    {
        ZT_REQUIRE_ISOLATION();
        syslog(LOG_DEBUG, "connects syslog before descriptors are counted");
        fds_.emplace();
        listen_fd_ = restart_server("alpha");
        ASSERT_GE(listen_fd_, 0) << strerror(errno);
        zt_test::take_syslog();
    }
    void TearDown() override { restart_close(listen_fd_); }

    // Connects a peer that sends these messages; one that hangs up closes
    // its end then and gives -1.
    static int peer(const std::vector<Message> &messages, bool hang_up = false)
    {
        int fd = ztuds_connect(RESTART_UDS_DIR "/alpha");
        EXPECT_GE(fd, 0) << strerror(errno);
        const int room = 8 << 20;  // a whole check waits in the socket
        EXPECT_EQ(setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room), 0);
        for (const Message &message : messages)
            ztuds_write(fd, message.bytes.data(), message.bytes.size(), message.id);
        if (!hang_up)
            return fd;
        close(fd);
        return -1;
    }

    // The result word of the reply of the protocol's id waiting for the peer,
    // none when the service closed the connection without one (or the peer
    // hung up); closes the peer's end.
    static std::optional<int32_t> reply(int fd)
    {
        void *payload = nullptr;
        uint32_t length = 0;
        std::optional<int32_t> result;
        if (fd >= 0 && ztuds_read(fd, &payload, &length, nullptr, kId) >= 0) {
            int32_t answer[2] = {-1, -1};
            memcpy(answer, payload, std::min<size_t>(length, sizeof answer));
            EXPECT_EQ(length, sizeof answer);
            EXPECT_EQ(answer[1], 0) << "the reserved word";
            result = answer[0];
        }
        free(payload);
        close(fd);
        return result;
    }

    // Serves one connection: the result, and errno when it failed (else 0).
    std::pair<int, int> serve(restart_event_handler event = event_handler, uint32_t read_arg = 0)
    {
        const int result = restart_accept(listen_fd_, check_handler, request_handler, event, read_arg, &seen);
        return {result, result < 0 ? errno : 0};
    }

    std::optional<zt_test::FdGuard> fds_;
    int listen_fd_ = -1;
};

// A check of two groups, each an absent string, "b", an empty string (its
// NUL alone) and a value.
const std::vector<Message> kTwoGroups = {{words(RESTART_CHECK, 2)}, {""}, {with_nul("b")}, {with_nul("")},
                                         {"vvvv"}, {""}, {with_nul("b")}, {with_nul("")}, {"vvvv"}};
const char kTwoChecks[] = "check (null),b,; check (null),b,; ";
const char kRead[] = "restart_accept: error reading request";
const std::string kLongest(RESTART_MAX_PROP_BYTES, '\0');  // a string that takes the whole bound

// Each connection is served once: the handlers called, the reply (none when
// the service rejects the request or cannot read it), the call's result and
// errno, and the record logged.
TEST_F(RestartTest, ConnectionsAreAnsweredOrRefused)
{
    const struct {
        const char *what;
        std::vector<Message> messages;
        std::vector<int> results;  // what the handlers return, in turn
        std::optional<int32_t> reply;
        const char *calls;
        int error = 0;
        const char *log = nullptr;  // a record at LOG_ERR
        bool hang_up = false;
        uint32_t read_arg = 0;
        restart_event_handler event = event_handler;
    } cases[] = {
        // A check is answered with the last verdict that counts (0 or 1), and
        // 2 without one.
        {"check of none", {{words(RESTART_CHECK, 0)}}, {}, 2, ""},
        {"0 then 1", kTwoGroups, {0, 1}, 1, kTwoChecks},
        {"0 then 7", kTwoGroups, {0, 7}, 0, kTwoChecks},
        {"7 and 7", kTwoGroups, {7, 7}, 2, kTwoChecks},
        // A restart is answered 3 only when the handler says 3; the second
        // word is not looked at.
        {"restart", {{words(RESTART_REQUEST, 0xdeadbeef)}}, {3}, 3, "request; "},
        {"no restart", {{words(RESTART_REQUEST, 0)}}, {0}, 4, "request; "},
        // An event is answered by its handler, and 2 without one.
        {"event", {{words(RESTART_EVENT, 0x1234)}, {with_nul("up")}}, {-77}, -77, "event 4660 up; "},
        {"no event handler", {{words(RESTART_EVENT, 1)}, {""}}, {}, 2, "", 0, nullptr, false, 0, nullptr},
        {"wrong id", {{words(RESTART_REQUEST, 0), 0x00010002}}, {}, {}, "", EPROTO,
         "restart_accept: unexpected protocol id received (65538)"},
        {"type 4", {{words(4, 0)}}, {}, {}, "", EBADRQC, "restart_accept: unexpected request type (4)"},
        {"short request", {{words(RESTART_REQUEST, 0).substr(0, 4)}}, {}, {}, "", EBADMSG, kRead},
        {"hang-up before sending", {}, {}, {}, "", 0, kRead, true},
        // The transport takes a non-zero read argument as the id it expects.
        {"read argument", {{words(RESTART_REQUEST, 0)}}, {}, {}, "", EPROTO, kRead, false, 0x77},
        // A failed restart reply is an error, not logged; an event's is both.
        {"gone before the reply", {{words(RESTART_REQUEST, 0)}}, {}, {}, "request; ", EPIPE, nullptr, true},
        {"gone before the event reply", {{words(RESTART_EVENT, 2)}, {with_nul("e")}}, {}, {}, "event 2 e; ",
         EPIPE, "restart_accept: error sending RESTART_EVENT result", true},
        {"event without its block", {{words(RESTART_EVENT, 7)}}, {}, {}, "", 0,
         "restart_accept: error reading RESTART_EVENT args", true},
        // A property list that cannot be read is not logged, nor judged.
        {"string without its NUL", {{words(RESTART_CHECK, 1)}, {"abc"}}, {}, {}, "", EBADMSG},
        {"short value", {{words(RESTART_CHECK, 1)}, {""}, {""}, {""}, {"v"}}, {}, {}, "", EBADMSG},
        {"property with another id", {{words(RESTART_CHECK, 1)}, {"", 0x00010002}}, {}, {}, "", EPROTO},
        {"one group too many", {{words(RESTART_CHECK, RESTART_MAX_PROPS + 1)}}, {}, {}, "", EMSGSIZE},
        // The strings of a check add up to RESTART_MAX_PROP_BYTES at most.
        {"strings at the byte bound", {{words(RESTART_CHECK, 1)}, {kLongest}, {""}, {""}, {"vvvv"}}, {}, 0,
         "check ,(null),(null); "},
        {"one byte over", {{words(RESTART_CHECK, 1)}, {kLongest}, {with_nul("")}}, {}, {}, "", EMSGSIZE},
        // Three groups announced, one sent, and the peer gone: the list keeps
        // what arrived, the other records stay empty; the failed reply is
        // logged but not an error.
        {"list ended early", {{words(RESTART_CHECK, 3)}, {with_nul("a")}, {with_nul("")}, {""}, {"vvvv"}}, {},
         {}, "check a,,(null); check (null),(null),(null); check (null),(null),(null); ", 0,
         "handle_check: error sending response", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        seen = Seen{"", c.results};
        int fd = peer(c.messages, c.hang_up);
        EXPECT_EQ(serve(c.event, c.read_arg), std::pair(c.error ? -1 : 0, c.error));
        EXPECT_EQ(reply(fd), c.reply);
        EXPECT_EQ(seen.calls, c.calls);
        if (c.log)
            EXPECT_SYSLOG({kErr, c.log});
        else
            EXPECT_SYSLOG();
    }
}

// A request that the peer cuts short, the transport's framing of it but
// the last byte, reads as a reset.
TEST_F(RestartTest, RequestCutShortIsAReset)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    ztuds_write(pair[0], words(RESTART_REQUEST, 0).data(), 8, kId);
    char framed[64];
    const ssize_t size = read(pair[1], framed, sizeof framed);
    const int fd = peer({});
    EXPECT_EQ(write(fd, framed, size - 1), size - 1);
    for (int end : {pair[0], pair[1], fd})
        close(end);
    EXPECT_EQ(serve(), std::pair(-1, ECONNRESET));
    EXPECT_SYSLOG({kErr, kRead});
}

TEST_F(RestartTest, BadHandlersAreRefusedBeforeAccepting)
{
    int fd = peer({{words(RESTART_REQUEST, 0)}});
    EXPECT_EQ(restart_accept(listen_fd_, nullptr, request_handler, nullptr, 0, &seen), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(restart_accept(-1, check_handler, request_handler, nullptr, 0, &seen), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_SYSLOG({kErr, "restart_accept: invalid callback handlers"},
                  {kErr, "restart_accept: ztuds_accept failed"});
    seen = Seen{"", {3}};
    EXPECT_EQ(serve(), std::pair(0, 0)) << "the waiting connection is served now";
    EXPECT_EQ(reply(fd), 3);
}

TEST(RestartProps, GetPropsReleasesEverythingWhenMemoryRunsOut)
{
    const restart_prop prop = {(char *)"one", (char *)"two", (char *)"three", 3};
    zt_test::FdGuard fds;
    restart_prop *list = nullptr;
    int error = 0;
    const unsigned allocations = failalloc::for_each_failure(
        [&] {
            int pair[2];
            socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
            restart_send_prop(pair[0], &prop, kId);
            restart_send_prop(pair[0], &prop, kId);
            list = restart_get_props(pair[1], 2);
            error = list ? 0 : errno;
            close(pair[0]);
            close(pair[1]);
        },
        [&](bool failed) {
            EXPECT_EQ(error, failed ? ENOMEM : 0);
            restart_free_props(list, 2);
        });
    EXPECT_EQ(allocations, 9u) << "the array, six strings and two values";
}

// Each test starts without the restart directory.
class RestartDirTest : public testing::Test {
protected:
    void SetUp() override
    {
        ZT_REQUIRE_ISOLATION();
        clean();
    }
    static void clean() { ASSERT_EQ(system("chmod -f 700 " RESTART_UDS_DIR "; rm -rf " RESTART_UDS_DIR), 0); }
};

TEST_F(RestartDirTest, DirectoryMustBeADirectoryWithSomeOwnerAccess)
{
    const struct {
        const char *what;
        const char *make;  // a shell command
        int error;         // 0: usable
    } cases[] = {
        {"a file", "touch " RESTART_UDS_DIR, ENOTDIR},
        {"no owner bits", "mkdir -m 070 " RESTART_UDS_DIR, EACCES},
        {"write and search only", "mkdir -m 300 " RESTART_UDS_DIR, 0},
        // A dangling link: stat says it is missing, mkdir that it exists.
        {"dangling link", "ln -s /tmp/nowhere " RESTART_UDS_DIR, EEXIST},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(system(c.make), 0);
        int fd = restart_server("beta");
        EXPECT_EQ(fd < 0 ? errno : 0, c.error);
        EXPECT_EQ(restart_del("beta") < 0 ? errno : 0, c.error);
        restart_close(fd);
        clean();
    }
}

// Services that start at the same moment all get their sockets, whichever
// of them makes the directory. Two of them, each on a processor of its own
// and at the highest priority, spin until they are let go at once.
TEST_F(RestartDirTest, ServicesStartingTogetherAllListen)
{
    void *shared = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                        -1, 0);
    auto *spinning = new (shared) std::atomic<int>(0);  // let go at 3
    const int priority = getpriority(PRIO_PROCESS, 0);
    ASSERT_EQ(setpriority(PRIO_PROCESS, 0, -20), 0);
    for (int round = 0; round < 100 && !HasFailure(); round++) {
        *spinning = 0;
        pid_t children[2];
        for (int i = 0; i < 2; i++) {
            children[i] = fork();
            if (children[i] == 0) {
                cpu_set_t cpu;
                CPU_ZERO(&cpu);
                CPU_SET(i % sysconf(_SC_NPROCESSORS_ONLN), &cpu);
                sched_setaffinity(0, sizeof cpu, &cpu);
                ++*spinning;
                while (*spinning < 3) {
                }
                _exit(restart_server(i ? "svc1" : "svc0") >= 0 ? 0 : errno);
            }
        }
        while (*spinning < 2)
            sched_yield();
        ++*spinning;
        for (int i = 0; i < 2; i++) {
            int status = 0;
            waitpid(children[i], &status, 0);
            EXPECT_EQ(WEXITSTATUS(status), 0) << "round " << round << ": " << strerror(WEXITSTATUS(status));
        }
        clean();
    }
    setpriority(PRIO_PROCESS, 0, priority);
    munmap(shared, sizeof(std::atomic<int>));
}

TEST_F(RestartDirTest, SocketLifeCycle)
{
    zt_test::FdGuard fds;
    int first = -1, error = 0;
    // Without memory for its path a server leaves nothing open.
    failalloc::for_each_failure(
        [&] {
            restart_close(first);
            first = restart_server("beta");
            error = first < 0 ? errno : 0;
        },
        [&](bool failed) { EXPECT_EQ(error, failed ? ENOMEM : 0) << strerror(error); });
    struct stat status;
    ASSERT_EQ(stat(RESTART_UDS_DIR, &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    ASSERT_EQ(stat(RESTART_UDS_DIR "/beta", &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    EXPECT_EQ(with_errno(restart_server("beta")), std::pair(-1, EADDRINUSE)) << "a live one stays";
    EXPECT_EQ(restart_close(first), 0);
    EXPECT_EQ(restart_close(-5), -5);

    EXPECT_EQ(restart_del(""), 0);
    EXPECT_EQ(restart_del("gamma"), 0) << "a missing socket file is not an error";
    EXPECT_EQ(access(RESTART_UDS_DIR "/beta", F_OK), 0) << "the file stays until deleted";
    zt_test::TraceCapture traces(1);
    failalloc::arm(1, failalloc::Mode::from_then_on);
    const std::pair<int, int> deleted = with_errno(restart_del("beta"));
    failalloc::disarm();
    EXPECT_EQ(deleted, std::pair(-1, ENOMEM)) << "without memory; the trace keeps errno";
    const std::vector<zt_test::TraceRecord> records = traces.take();
    ASSERT_EQ(records.size(), 1u) << "an error trace, shown at level 1";
    EXPECT_EQ(records[0].message, "No memory for restart UDS close");
    EXPECT_EQ(restart_del("beta"), 0);
    EXPECT_EQ(access(RESTART_UDS_DIR "/beta", F_OK), -1);
    EXPECT_EQ(with_errno(restart_del("../etc")), std::pair(-1, EINVAL));
}

}  // namespace
