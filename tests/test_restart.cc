// Restart notifications end to end: a service and its peers over the real
// local-socket transport.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <functional>
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

zt_test::SyslogRecord error_record(const char *message)
{
    return {zt_test::kDefaultFacility | LOG_ERR, message};
}
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

// What the service's handlers were called with, and what they return.
struct Seen {
    std::vector<std::string> calls;
    std::vector<int> verdicts;  // results the check handler returns, in turn
    int request_result = 3;
    int event_result = 0;
} seen;

int check_handler(const char *str1, const char *str2, const char *str3, void *ctx)
{
    EXPECT_EQ(ctx, &seen);
    size_t index = seen.calls.size();
    seen.calls.push_back("check " + text_of(str1) + "," + text_of(str2) + "," + text_of(str3));
    return index < seen.verdicts.size() ? seen.verdicts[index] : 0;
}

int request_handler(void *ctx)
{
    EXPECT_EQ(ctx, &seen);
    seen.calls.push_back("request");
    return seen.request_result;
}

int event_handler(uint32_t code, void *args, void *ctx)
{
    EXPECT_EQ(ctx, &seen);
    seen.calls.push_back("event " + std::to_string(code) + " " + text_of(static_cast<const char *>(args)));
    return seen.event_result;
}

// Peers live in this process: the kernel queues a connection and what it
// sends until the service accepts, and keeps the reply until it is read.
class RestartTest : public testing::Test {
protected:
    static void SetUpTestSuite() { syslog(LOG_DEBUG, "connects syslog before descriptors are counted"); }
    void SetUp() override
    {
        ZT_REQUIRE_ISOLATION();
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

    // Connects a peer that sends these messages, then these property groups;
    // one that hangs up closes its end then and gives -1.
    static int peer(const std::vector<Message> &messages, const std::vector<restart_prop> &props = {},
                    bool hang_up = false)
    {
        int fd = ztuds_connect(RESTART_UDS_DIR "/alpha");
        EXPECT_GE(fd, 0) << strerror(errno);
        for (const Message &message : messages)
            ztuds_write(fd, message.bytes.data(), message.bytes.size(), message.id);
        for (const restart_prop &prop : props)
            EXPECT_EQ(restart_send_prop(fd, &prop, kId), 0);
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
        if (fd < 0)
            return std::nullopt;
        void *payload = nullptr;
        uint32_t length = 0, id = 0;
        int32_t answer[2] = {};
        const bool received = ztuds_read(fd, &payload, &length, &id, 0) >= 0;
        close(fd);
        if (received && length == sizeof answer)
            memcpy(answer, payload, sizeof answer);
        free(payload);
        if (!received)
            return std::nullopt;
        EXPECT_EQ(answer[1], 0) << "the reserved word";
        EXPECT_EQ(id, kId);
        return answer[0];
    }

    // Serves one connection; stores errno when it fails, else 0.
    int serve(restart_event_handler event = event_handler, uint32_t read_arg = 0)
    {
        int result = restart_accept(listen_fd_, check_handler, request_handler, event, read_arg, &seen);
        error_ = result < 0 ? errno : 0;
        return result;
    }

    zt_test::FdGuard fds_;
    int listen_fd_ = -1;
    int error_ = 0;
};

TEST_F(RestartTest, AnswersChecksRequestsAndEvents)
{
    // A check is answered with the last verdict that counts (0 or 1), and 2
    // without one; every property is judged. An empty string travels as its
    // NUL alone; only a null string is absent.
    const struct {
        std::vector<int> verdicts;
        int32_t expected;
    } checks[] = {{{}, 2}, {{1, 0}, 0}, {{0, 1}, 1}, {{0, 7}, 0}, {{7, 7}, 2}};
    for (const auto &check : checks) {
        SCOPED_TRACE(testing::PrintToString(check.verdicts));
        seen.calls.clear();
        seen.verdicts = check.verdicts;
        const size_t count = check.verdicts.size();
        const restart_prop prop = {nullptr, (char *)"b", (char *)"", 9};
        int fd = peer({{words(RESTART_CHECK, count)}}, std::vector<restart_prop>(count, prop));
        EXPECT_EQ(serve(), 0);
        EXPECT_EQ(reply(fd), check.expected);
        EXPECT_EQ(seen.calls, std::vector<std::string>(count, "check (null),b,"));
    }

    // A restart request is answered 3 only when the handler says 3; its
    // second word is not looked at. An event is answered by its handler,
    // and 2 without one.
    seen = Seen();
    seen.event_result = -77;
    const struct {
        std::vector<Message> messages;
        int32_t request_result;
        restart_event_handler event;
        int32_t expected;
    } requests[] = {
        {{{words(RESTART_REQUEST, 0xdeadbeef)}}, 3, nullptr, 3},
        {{{words(RESTART_REQUEST, 0xdeadbeef)}}, 0, nullptr, 4},
        {{{words(RESTART_EVENT, 0x1234)}, {with_nul("link down")}}, 3, event_handler, -77},
        {{{words(RESTART_EVENT, 0x1234)}, {with_nul("link down")}}, 3, nullptr, 2},
    };
    for (const auto &request : requests) {
        seen.request_result = request.request_result;
        int fd = peer(request.messages);
        EXPECT_EQ(serve(request.event), 0);
        EXPECT_EQ(reply(fd), request.expected) << request.expected;
    }
    EXPECT_EQ(seen.calls, (std::vector<std::string>{"request", "request", "event 4660 link down"}));
}

// Connections that end without a reply: the call's result and errno, and
// the record logged.
TEST_F(RestartTest, ConnectionsThatGetNoReply)
{
    const char *const kRead = "restart_accept: error reading request";
    const std::string absent;
    const struct {
        const char *what;
        std::vector<Message> messages;
        int error;        // 0: the call succeeds all the same
        const char *log;  // null: no record
        bool hang_up = false;
        uint32_t read_arg = 0;
    } cases[] = {
        {"wrong id", {{words(RESTART_REQUEST, 0), 0x00010002}}, EPROTO,
         "restart_accept: unexpected protocol id received (65538)"},
        {"type 4", {{words(4, 0)}}, EBADRQC, "restart_accept: unexpected request type (4)"},
        {"short request", {{words(RESTART_REQUEST, 0).substr(0, 4)}}, EBADMSG, kRead},
        {"hang-up before sending", {}, 0, kRead, true},
        // The transport takes a non-zero read argument as the id it expects.
        {"read argument", {{words(RESTART_REQUEST, 0)}}, EPROTO, kRead, false, 0x77},
        // A failed restart reply is an error, not logged; an event's is both.
        {"gone before the restart reply", {{words(RESTART_REQUEST, 0)}}, EPIPE, nullptr, true},
        {"gone before the event reply", {{words(RESTART_EVENT, 2)}, {with_nul("e")}}, EPIPE,
         "restart_accept: error sending RESTART_EVENT result", true},
        {"event without its block", {{words(RESTART_EVENT, 7)}}, 0,
         "restart_accept: error reading RESTART_EVENT args", true},
        // A property list that cannot be read is not logged.
        {"string without its NUL", {{words(RESTART_CHECK, 1)}, {"abc"}}, EBADMSG, nullptr},
        {"short value", {{words(RESTART_CHECK, 1)}, {absent}, {absent}, {absent}, {"v"}}, EBADMSG, nullptr},
        {"property with another id", {{words(RESTART_CHECK, 1)}, {absent, 0x00010002}}, EPROTO, nullptr},
        {"one group too many", {{words(RESTART_CHECK, RESTART_MAX_PROPS + 1)}}, EMSGSIZE, nullptr, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        int fd = peer(c.messages, {}, c.hang_up);
        EXPECT_EQ(serve(event_handler, c.read_arg), c.error ? -1 : 0);
        EXPECT_EQ(error_, c.error) << strerror(error_);
        EXPECT_EQ(reply(fd), std::nullopt);
        if (c.log)
            EXPECT_SYSLOG(error_record(c.log));
        else
            EXPECT_SYSLOG();
    }
    // Only the two whose reply failed reached a handler: none runs on a list
    // that was not read.
    EXPECT_EQ(seen.calls, (std::vector<std::string>{"request", "event 2 e"}));
}

TEST_F(RestartTest, ChecksAreBoundedInBytesAndMayEndEarly)
{
    // The strings of one check add up to RESTART_MAX_PROP_BYTES at most,
    // NULs included; one byte more is refused like too many groups.
    const std::string half(RESTART_MAX_PROP_BYTES / 2 - 1, 'h');
    for (const char *third : {static_cast<const char *>(nullptr), ""}) {
        SCOPED_TRACE(third ? "one byte over" : "at the bound");
        seen.calls.clear();
        const restart_prop prop = {(char *)half.c_str(), (char *)half.c_str(), (char *)third, 1};
        const int room = 8 << 20;  // the whole check waits in the socket
        int fd = ztuds_connect(RESTART_UDS_DIR "/alpha");
        ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room), 0);
        ztuds_write(fd, words(RESTART_CHECK, 1).data(), 8, kId);
        ASSERT_EQ(restart_send_prop(fd, &prop, kId), 0);
        const bool over = third != nullptr;
        EXPECT_EQ(serve(), over ? -1 : 0);
        EXPECT_EQ(error_, over ? EMSGSIZE : 0);
        EXPECT_EQ(reply(fd).has_value(), !over);
        EXPECT_EQ(seen.calls.size(), over ? 0u : 1u);
    }

    // Three groups announced, one sent: the list keeps what arrived and the
    // other records stay empty; the reply then cannot be delivered, which is
    // logged but not an error.
    seen = Seen();
    seen.verdicts = {1, 7, 7};
    peer({{words(RESTART_CHECK, 3)}}, {{(char *)"a", nullptr, nullptr, 5}}, true);
    EXPECT_EQ(serve(), 0);
    EXPECT_EQ(seen.calls, (std::vector<std::string>{"check a,(null),(null)", "check (null),(null),(null)",
                                                     "check (null),(null),(null)"}));
    EXPECT_SYSLOG(error_record("handle_check: error sending response"));
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
    EXPECT_SYSLOG(error_record("restart_accept: invalid callback handlers"),
                  error_record("restart_accept: invalid callback handlers"),
                  error_record("restart_accept: ztuds_accept failed"));
    EXPECT_EQ(serve(), 0) << "the waiting connection is served now";
    EXPECT_EQ(reply(fd), 3);
}

TEST(RestartProps, EmptyListsAndFailedSends)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    restart_prop *list = restart_get_props(fds[1], 0);
    EXPECT_NE(list, nullptr) << "an empty list is still a list";
    restart_free_props(list, 0);
    close(fds[1]);
    const restart_prop prop = {nullptr, nullptr, nullptr, 0};
    EXPECT_EQ(restart_send_prop(fds[0], &prop, kId), -1);
    EXPECT_EQ(errno, EPIPE);
    close(fds[0]);
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
// of them makes the directory.
TEST_F(RestartDirTest, ServicesStartingTogetherAllListen)
{
    constexpr int kServices = 12;
    for (int round = 0; round < 60; round++) {
        int gate[2];
        ASSERT_EQ(pipe(gate), 0);
        std::vector<pid_t> children;
        for (int i = 0; i < kServices; i++) {
            pid_t pid = fork();
            if (pid == 0) {
                char byte;
                close(gate[1]);
                read(gate[0], &byte, 1);  // all released at once by the close below
                _exit(restart_server(("svc" + std::to_string(i)).c_str()) >= 0 ? 0 : errno);
            }
            children.push_back(pid);
        }
        close(gate[0]);
        close(gate[1]);
        for (pid_t pid : children) {
            int status = 0;
            waitpid(pid, &status, 0);
            EXPECT_EQ(WEXITSTATUS(status), 0) << "round " << round << ": " << strerror(WEXITSTATUS(status));
        }
        clean();
    }
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
    EXPECT_EQ(errno, EADDRINUSE) << "a live socket is not replaced";
    EXPECT_EQ(restart_close(first), 0);
    EXPECT_EQ(restart_close(-5), -5);
    int second = restart_server("beta");
    EXPECT_GE(second, 0) << "the file of a server that ended is replaced";
    restart_close(second);

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
    EXPECT_EQ(records[0].function, "restart_del");
    EXPECT_EQ(records[0].message, "No memory for restart UDS close");
}

TEST(ModuleFrame, EntryPointsSucceed)
{
    EXPECT_EQ(Zttools_Init(nullptr), 0);
    EXPECT_EQ(Tcl_ModInit(nullptr), 0);
}

}  // namespace
