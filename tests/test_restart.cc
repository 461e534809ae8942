// Restart notifications end to end: a service and its peers over the real
// local-socket transport.
#include <errno.h>
#include <sched.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"
#include "ztsvc.h"

namespace {

namespace failalloc = zt_test::failalloc;
constexpr uint32_t kId = RESTART_PROTOCOL_ID;

constexpr int kErr = zt_test::kDefaultFacility | LOG_ERR;
std::string text_of(const char *text) { return text ? text : "(null)"; }

// One message of the transport, or bytes written as they are (kRaw).
constexpr uint32_t kRaw = 0;
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

// The bytes of a message of this payload as the transport frames them, but
// the last: a message cut short.
std::string cut_short(const std::string &payload)
{
    int pair[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    ztuds_write(pair[0], payload.data(), payload.size(), kId);
    char bytes[256];
    const ssize_t got = read(pair[1], bytes, sizeof bytes);
    close(pair[0]);
    close(pair[1]);
    return std::string(bytes, got > 1 ? got - 1 : 0);
}

// What the service's handlers were called with; each returns the next of
// results (0 when none is left).
struct Seen {
    std::string calls;
    std::vector<int> results;
    size_t next = 0;
    int result() { return next < results.size() ? results[next++] : 0; }
} seen;

int check_handler(const char *str1, const char *str2, const char *str3, void *ctx)
{
    EXPECT_EQ(ctx, &seen);
    seen.calls += "check " + text_of(str1) + "," + text_of(str2) + "," + text_of(str3) + "; ";
    return seen.result();
}

int request_handler(void *ctx)
{
    EXPECT_EQ(ctx, &seen);
    seen.calls += "request; ";
    return seen.result();
}

int event_handler(uint32_t code, void *args, void *ctx)
{
    EXPECT_EQ(ctx, &seen);
    seen.calls += "event " + std::to_string(code) + " " + text_of(static_cast<const char *>(args)) + "; ";
    return seen.result();
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
        seen = Seen();
        listen_fd_ = restart_server("alpha");
        ASSERT_GE(listen_fd_, 0) << strerror(errno);
        zt_test::take_syslog();
    }
    void TearDown() override
    {
        if (!zt_test::isolated())
            return;
        restart_close(listen_fd_);
        restart_del("alpha");
        rmdir(RESTART_UDS_DIR);
    }

    // Connects a peer that sends these messages; one that hangs up closes
    // its end then and gives -1.
    static int peer(const std::vector<Message> &messages, bool hang_up = false)
    {
        int fd = ztuds_connect(RESTART_UDS_DIR "/alpha");
        EXPECT_GE(fd, 0) << strerror(errno);
        for (const Message &message : messages) {
            const std::string &bytes = message.bytes;
            if (message.id == kRaw)
                EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
            else
                ztuds_write(fd, bytes.data(), bytes.size(), message.id);
        }
        if (!hang_up)
            return fd;
        close(fd);
        return -1;
    }

    // The result word of the reply waiting for the peer, none when the
    // service closed the connection without one (or the peer hung up);
    // closes the peer's end.
    static std::optional<int32_t> reply(int fd)
    {
        void *payload = nullptr;
        uint32_t length = 0, id = 0;
        std::optional<int32_t> result;
        if (fd >= 0 && ztuds_read(fd, &payload, &length, &id, 0) >= 0) {
            int32_t answer[2] = {-1, -1};
            memcpy(answer, payload, std::min<size_t>(length, sizeof answer));
            EXPECT_EQ(length, sizeof answer);
            EXPECT_EQ(answer[1], 0) << "the reserved word";
            EXPECT_EQ(id, kId);
            result = answer[0];
        }
        free(payload);
        close(fd);
        return result;
    }

    // Serves one connection; stores errno when it fails, else 0.
    int serve(restart_event_handler event = event_handler, uint32_t read_arg = 0)
    {
        int result = restart_accept(listen_fd_, check_handler, request_handler, event, read_arg, &seen);
        error_ = result < 0 ? errno : 0;
        return result;
    }

    std::optional<zt_test::FdGuard> fds_;
    int listen_fd_ = -1;
    int error_ = 0;
};

// A check of two groups, each an absent string, "b", an empty string (its
// NUL alone) and a value.
const std::vector<Message> kTwoGroups = {{words(RESTART_CHECK, 2)}, {""}, {with_nul("b")}, {with_nul("")},
                                         {"vvvv"}, {""}, {with_nul("b")}, {with_nul("")}, {"vvvv"}};
const char kTwoChecks[] = "check (null),b,; check (null),b,; ";
const char kRead[] = "restart_accept: error reading request";

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
        {"1 then 0", kTwoGroups, {1, 0}, 0, kTwoChecks},
        {"0 then 1", kTwoGroups, {0, 1}, 1, kTwoChecks},
        {"0 then 7", kTwoGroups, {0, 7}, 0, kTwoChecks},
        {"7 and 7", kTwoGroups, {7, 7}, 2, kTwoChecks},
        // A restart is answered 3 only when the handler says 3; the second
        // word is not looked at.
        {"restart", {{words(RESTART_REQUEST, 0xdeadbeef)}}, {3}, 3, "request; "},
        {"no restart", {{words(RESTART_REQUEST, 0)}}, {0}, 4, "request; "},
        // An event is answered by its handler, and 2 without one.
        {"event", {{words(RESTART_EVENT, 0x1234)}, {with_nul("up")}}, {-77}, -77, "event 4660 up; "},
        {"no event handler", {{words(RESTART_EVENT, 1)}, {with_nul("x")}}, {}, 2, "", 0, nullptr, false,
         0, nullptr},
        {"wrong id", {{words(RESTART_REQUEST, 0), 0x00010002}}, {}, {}, "", EPROTO,
         "restart_accept: unexpected protocol id received (65538)"},
        {"type 4", {{words(4, 0)}}, {}, {}, "", EBADRQC, "restart_accept: unexpected request type (4)"},
        {"short request", {{words(RESTART_REQUEST, 0).substr(0, 4)}}, {}, {}, "", EBADMSG, kRead},
        {"hang-up before sending", {}, {}, {}, "", 0, kRead, true},
        {"hang-up inside the request", {{cut_short(words(RESTART_REQUEST, 0)), kRaw}}, {}, {}, "", ECONNRESET,
         kRead, true},
        // The transport takes a non-zero read argument as the id it expects.
        {"read argument", {{words(RESTART_REQUEST, 0)}}, {}, {}, "", EPROTO, kRead, false, 0x77},
        // A failed restart reply is an error, not logged; an event's is both.
        {"gone before the restart reply", {{words(RESTART_REQUEST, 0)}}, {}, {}, "request; ", EPIPE, nullptr,
         true},
        {"gone before the event reply", {{words(RESTART_EVENT, 2)}, {with_nul("e")}}, {}, {}, "event 2 e; ",
         EPIPE, "restart_accept: error sending RESTART_EVENT result", true},
        {"event without its block", {{words(RESTART_EVENT, 7)}}, {}, {}, "", 0,
         "restart_accept: error reading RESTART_EVENT args", true},
        // A property list that cannot be read is not logged, nor judged.
        {"string without its NUL", {{words(RESTART_CHECK, 1)}, {"abc"}}, {}, {}, "", EBADMSG},
        {"short value", {{words(RESTART_CHECK, 1)}, {""}, {""}, {""}, {"v"}}, {}, {}, "", EBADMSG},
        {"property with another id", {{words(RESTART_CHECK, 1)}, {"", 0x00010002}}, {}, {}, "", EPROTO},
        {"one group too many", {{words(RESTART_CHECK, RESTART_MAX_PROPS + 1)}}, {}, {}, "", EMSGSIZE, nullptr,
         true},
        // Three groups announced, one sent, and the peer gone: the list keeps
        // what arrived, the other records stay empty; the failed reply is
        // logged but not an error.
        {"list ended early", {{words(RESTART_CHECK, 3)}, {with_nul("a")}, {with_nul("")}, {""}, {"vvvv"}}, {},
         {}, "check a,,(null); check (null),(null),(null); check (null),(null),(null); ", 0,
         "handle_check: error sending response", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        seen = Seen();
        seen.results = c.results;
        int fd = peer(c.messages, c.hang_up);
        EXPECT_EQ(serve(c.event, c.read_arg), c.error ? -1 : 0);
        EXPECT_EQ(error_, c.error) << strerror(error_);
        EXPECT_EQ(reply(fd), c.reply);
        EXPECT_EQ(seen.calls, c.calls);
        if (c.log)
            EXPECT_SYSLOG({kErr, c.log});
        else
            EXPECT_SYSLOG();
    }
}

TEST_F(RestartTest, ChecksAreBoundedInBytes)
{
    // The strings of one check add up to RESTART_MAX_PROP_BYTES at most,
    // NULs included; one byte more is refused like too many groups.
    const std::string half(RESTART_MAX_PROP_BYTES / 2 - 1, 'h');
    for (const char *third : {static_cast<const char *>(nullptr), ""}) {
        SCOPED_TRACE(third ? "one byte over" : "at the bound");
        const restart_prop prop = {(char *)half.c_str(), (char *)half.c_str(), (char *)third, 1};
        const int room = 8 << 20;  // the whole check waits in the socket
        int fd = ztuds_connect(RESTART_UDS_DIR "/alpha");
        ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room), 0);
        ztuds_write(fd, words(RESTART_CHECK, 1).data(), 8, kId);
        ASSERT_EQ(restart_send_prop(fd, &prop, kId), 0);
        EXPECT_EQ(serve(), third ? -1 : 0);
        EXPECT_EQ(error_, third ? EMSGSIZE : 0);
        EXPECT_EQ(reply(fd).has_value(), !third);
    }
}

TEST_F(RestartTest, BadHandlersAreRefusedBeforeAccepting)
{
    int fd = peer({{words(RESTART_REQUEST, 0)}});
    EXPECT_EQ(restart_accept(listen_fd_, nullptr, request_handler, nullptr, 0, &seen), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(restart_accept(listen_fd_, check_handler, nullptr, nullptr, 0, &seen), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(restart_accept(-1, check_handler, request_handler, nullptr, 0, &seen), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_SYSLOG({kErr, "restart_accept: invalid callback handlers"},
                  {kErr, "restart_accept: invalid callback handlers"},
                  {kErr, "restart_accept: ztuds_accept failed"});
    seen.results = {3};
    EXPECT_EQ(serve(), 0) << "the waiting connection is served now";
    EXPECT_EQ(reply(fd), 3);
}

TEST(RestartProps, GetPropsReleasesEverythingWhenMemoryRunsOut)
{
    const restart_prop prop = {(char *)"one", (char *)"two", (char *)"three", 3};
    int pair[2];
    // A connection with two groups waiting.
    auto connect_pair = [&] {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        for (int i = 0; i < 2; i++)
            restart_send_prop(pair[0], &prop, kId);
    };
    zt_test::FdGuard fds;
    connect_pair();
    restart_prop *list = nullptr;
    int error = 0;
    const unsigned allocations = failalloc::for_each_failure(
        [&] {
            list = restart_get_props(pair[1], 2);
            error = list ? 0 : errno;
        },
        [&](bool failed) {
            EXPECT_EQ(error, failed ? ENOMEM : 0);
            restart_free_props(list, 2);
            close(pair[0]);
            close(pair[1]);
            connect_pair();
        });
    EXPECT_EQ(allocations, 9u) << "the array, six strings and two values";
    close(pair[0]);
    close(pair[1]);
}

// ---- directory check, close and delete ----------------------------------

class RestartDirTest : public testing::Test {
protected:
    void SetUp() override { ZT_REQUIRE_ISOLATION(); }
    void TearDown() override
    {
        if (zt_test::isolated())
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
        errno = 0;
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
    struct Start {
        std::atomic<int> spinning;
        std::atomic<bool> go;
    };
    void *shared = mmap(nullptr, sizeof(Start), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    auto *start = new (shared) Start{};
    const int priority = getpriority(PRIO_PROCESS, 0);
    ASSERT_EQ(setpriority(PRIO_PROCESS, 0, -20), 0);
    for (int round = 0; round < 100 && !HasFailure(); round++) {
        start->spinning = 0;
        start->go = false;
        pid_t children[2];
        for (int i = 0; i < 2; i++) {
            children[i] = fork();
            if (children[i] == 0) {
                const std::string name = "svc" + std::to_string(i);
                cpu_set_t cpu;
                CPU_ZERO(&cpu);
                CPU_SET(i % sysconf(_SC_NPROCESSORS_ONLN), &cpu);
                sched_setaffinity(0, sizeof cpu, &cpu);
                start->spinning++;
                while (!start->go) {
                }
                _exit(restart_server(name.c_str()) >= 0 ? 0 : errno);
            }
        }
        while (start->spinning < 2)
            sched_yield();
        start->go = true;
        for (int i = 0; i < 2; i++) {
            int status = 0;
            waitpid(children[i], &status, 0);
            EXPECT_EQ(WEXITSTATUS(status), 0) << "round " << round << ": " << strerror(WEXITSTATUS(status));
            unlink((RESTART_UDS_DIR "/svc" + std::to_string(i)).c_str());
        }
        rmdir(RESTART_UDS_DIR);
    }
    setpriority(PRIO_PROCESS, 0, priority);
    munmap(shared, sizeof(Start));
}

TEST_F(RestartDirTest, SocketLifeCycle)
{
    int first = restart_server("beta");
    ASSERT_GE(first, 0);
    struct stat status;
    ASSERT_EQ(stat(RESTART_UDS_DIR, &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    ASSERT_EQ(stat(RESTART_UDS_DIR "/beta", &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    EXPECT_EQ(restart_server("beta"), -1);
    EXPECT_EQ(errno, EADDRINUSE) << "a live socket is not taken over";
    EXPECT_EQ(restart_close(first), 0);
    EXPECT_EQ(restart_close(-5), -5);

    EXPECT_EQ(restart_del(""), 0);
    EXPECT_EQ(restart_del("gamma"), 0) << "a missing socket file is not an error";
    EXPECT_EQ(access(RESTART_UDS_DIR "/beta", F_OK), 0) << "the file stays until deleted";
    EXPECT_EQ(restart_del("beta"), 0);
    EXPECT_EQ(access(RESTART_UDS_DIR "/beta", F_OK), -1);
    EXPECT_EQ(restart_del("../etc"), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(RestartDirTest, WithoutMemoryServerFailsCleanlyAndDeleteTracesAtErrorLevel)
{
    zt_test::FdGuard fds;
    int fd = -1, error = 0;
    failalloc::for_each_failure(
        [&] {
            fd = restart_server("beta");
            error = fd < 0 ? errno : 0;
        },
        [&](bool failed) {
            EXPECT_EQ(error, failed ? ENOMEM : 0) << strerror(error);
            restart_close(fd);
        });

    zt_test::TraceCapture traces(1);
    failalloc::arm(1, failalloc::Mode::from_then_on);
    const int result = restart_del("beta");
    error = errno;
    failalloc::disarm();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(error, ENOMEM) << "the trace keeps errno";
    std::vector<zt_test::TraceRecord> records = traces.take();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, 1);
    EXPECT_EQ(records[0].message, "No memory for restart UDS close");
}

}  // namespace
