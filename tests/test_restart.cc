// Restart notifications end to end: a service and its peers over the real
// local-socket transport.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"
#include "ztsvc.h"

namespace {

namespace failalloc = zt_test::failalloc;
constexpr uint32_t kId = RESTART_PROTOCOL_ID;

// "str1,str2,str3", with "(null)" for an absent string.
std::string strings(const char *str1, const char *str2, const char *str3)
{
    std::string out = str1 ? str1 : "(null)";
    for (const char *text : {str2, str3})
        out += std::string(",") + (text ? text : "(null)");
    return out;
}

// What a peer got back; received is false when the service closed the
// connection without a reply.
struct Reply {
    bool received;
    int32_t words[2];  // the result and the reserved word
    uint32_t id;
};

void send_words(int fd, uint32_t type, uint32_t argument, uint32_t id = kId)
{
    const uint32_t words[2] = {type, argument};
    ztuds_write(fd, words, sizeof words, id);
}

// Bytes that need not be a whole message.
template <size_t N> void send_raw(int fd, const char (&bytes)[N])
{
    ASSERT_EQ(write(fd, bytes, N - 1), static_cast<ssize_t>(N - 1));
}

// A check of these properties; count says how many are announced.
void send_check(int fd, const std::vector<restart_prop> &props, uint32_t count = 0)
{
    send_words(fd, RESTART_CHECK, count ? count : static_cast<uint32_t>(props.size()));
    for (const restart_prop &prop : props)
        ASSERT_EQ(restart_send_prop(fd, &prop, kId), 0);
}

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
    seen.calls.push_back("check " + strings(str1, str2, str3));
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
    seen.calls.push_back("event " + std::to_string(code) + " " +
                         (args ? static_cast<const char *>(args) : "(null)"));
    return seen.event_result;
}

// Peers live in this process: the kernel queues a connection and what it
// sends until the service accepts, and keeps the reply until it is read.
class RestartTest : public testing::Test {
protected:
    void SetUp() override
    {
        ZT_REQUIRE_ISOLATION();
        seen = Seen();
        ztuds_set_timeout(5000);
        listen_fd_ = restart_server("alpha");
        ASSERT_GE(listen_fd_, 0) << strerror(errno);
        syslog(LOG_DEBUG, "connects syslog before the count");
        zt_test::take_syslog();
        fds_before_ = zt_test::open_fd_count();
    }
    void TearDown() override
    {
        if (!zt_test::isolated())
            return;
        EXPECT_EQ(zt_test::open_fd_count(), fds_before_) << "a descriptor was left open";
        restart_close(listen_fd_);
        restart_del("alpha");
        rmdir(RESTART_UDS_DIR);
    }

    // Connects a peer and runs its script; a peer that hangs up closes its
    // end then and gives -1.
    static int peer(const std::function<void(int)> &script, bool hang_up = false)
    {
        int fd = ztuds_connect(RESTART_UDS_DIR "/alpha");
        EXPECT_GE(fd, 0) << strerror(errno);
        script(fd);
        if (hang_up)
            close(fd);
        return hang_up ? -1 : fd;
    }

    // The reply waiting for the peer; closes the peer's end.
    static Reply reply(int fd)
    {
        Reply reply = {};
        void *payload = nullptr;
        uint32_t length = 0;
        reply.received = ztuds_read(fd, &payload, &length, &reply.id, 0) >= 0;
        if (length == sizeof reply.words)
            memcpy(reply.words, payload, sizeof reply.words);
        free(payload);
        close(fd);
        return reply;
    }

    // Serves one connection with all three handlers; stores errno.
    int serve(restart_event_handler event = event_handler, uint32_t read_arg = 0)
    {
        errno = 12345;
        int result =
            restart_accept(listen_fd_, check_handler, request_handler, event, read_arg, &seen);
        error_ = errno;
        return result;
    }

    // A peer served to the end, and the reply it got.
    Reply exchange(const std::function<void(int)> &script)
    {
        int fd = peer(script);
        EXPECT_EQ(serve(), 0);
        Reply got = reply(fd);
        EXPECT_TRUE(got.received);
        return got;
    }

    void expect_log(const std::vector<std::string> &messages)
    {
        std::vector<zt_test::SyslogRecord> records = zt_test::take_syslog();
        ASSERT_EQ(records.size(), messages.size());
        for (size_t i = 0; i < messages.size(); i++) {
            EXPECT_EQ(records[i].priority, zt_test::kDefaultFacility | LOG_ERR);
            EXPECT_EQ(records[i].message, messages[i]);
        }
    }

    int listen_fd_ = -1;
    int fds_before_ = 0;
    int error_ = 0;
};

TEST_F(RestartTest, AnswersChecksRequestsAndEvents)
{
    // A check is answered with the last verdict that counts (0 or 1), and 2
    // without one.
    const struct {
        std::vector<int> verdicts;
        int32_t expected;
    } cases[] = {{{}, 2}, {{1, 0}, 0}, {{0, 1}, 1}, {{0, 7}, 0}, {{7, 7}, 2}, {{1, -1, 5}, 1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.verdicts));
        seen = Seen();
        seen.verdicts = c.verdicts;
        // An empty string travels as its NUL alone; only a null string is absent.
        std::vector<restart_prop> props(c.verdicts.size(), {nullptr, (char *)"b", (char *)"", 9});
        Reply got = exchange([&](int fd) { send_check(fd, props); });
        EXPECT_EQ(got.words[0], c.expected);
        EXPECT_EQ(got.words[1], 0);
        EXPECT_EQ(got.id, kId);
        EXPECT_EQ(seen.calls, std::vector<std::string>(c.verdicts.size(), "check (null),b,"))
            << "every property is judged";
    }

    // A restart request is answered 3 only when the handler says 3.
    seen = Seen();
    for (int handler_result : {3, 0, 4}) {
        seen.request_result = handler_result;
        // The request's second word is not looked at.
        Reply got = exchange([](int fd) { send_words(fd, RESTART_REQUEST, 0xdeadbeef); });
        EXPECT_EQ(got.words[0], handler_result == 3 ? 3 : 4);
    }
    EXPECT_EQ(seen.calls, std::vector<std::string>(3, "request"));

    // An event is answered by its handler, and 2 without one.
    seen = Seen();
    seen.event_result = -77;
    auto event = [](int fd) {
        send_words(fd, RESTART_EVENT, 0x1234);
        ztuds_write(fd, "link down", 10, kId);
    };
    EXPECT_EQ(exchange(event).words[0], -77);
    EXPECT_EQ(seen.calls, std::vector<std::string>{"event 4660 link down"});

    int fd = peer(event);
    EXPECT_EQ(serve(nullptr), 0);
    EXPECT_EQ(reply(fd).words[0], 2);

    // Without the argument block the read of it fails: so it is read.
    peer([](int fd) { send_words(fd, RESTART_EVENT, 7); }, true);
    EXPECT_EQ(serve(nullptr), 0) << "the peer ended the connection in order";
    expect_log({"restart_accept: error reading RESTART_EVENT args"});
    EXPECT_EQ(seen.calls.size(), 1u);
}

// Connections that end without a reply: the call's result and errno, and
// the record logged.
TEST_F(RestartTest, ConnectionsThatGetNoReply)
{
    ztuds_set_timeout(200);
    const char *const kRead = "restart_accept: error reading request";
    const struct {
        const char *what;
        std::function<void(int)> script;
        int error;        // 0: the call succeeds all the same
        const char *log;  // null: no record
        bool hang_up = false;
        uint32_t read_arg = 0;
    } cases[] = {
        {"wrong id", [](int fd) { send_words(fd, RESTART_REQUEST, 0, 0x00010002); }, EPROTO,
         "restart_accept: unexpected protocol id received (65538)"},
        {"type 4", [](int fd) { send_words(fd, 4, 0); }, EBADRQC,
         "restart_accept: unexpected request type (4)"},
        {"type 0", [](int fd) { send_words(fd, 0, 0); }, EBADRQC,
         "restart_accept: unexpected request type (0)"},
        {"short request", [](int fd) { ztuds_write(fd, "\2\0\0\0", 4, kId); }, EBADMSG, kRead},
        {"garbage", [](int fd) { send_raw(fd, "GET / HTTP/1.0\r\n"); }, EBADMSG, kRead},
        {"hang-up inside the request", [](int fd) { send_raw(fd, "DUTZ\1\0"); }, ECONNRESET, kRead,
         true},
        {"hang-up before sending", [](int) {}, 0, kRead, true},
        {"stops sending", [](int fd) { send_words(fd, RESTART_CHECK, 1); }, ETIMEDOUT, nullptr},
        // The transport takes a non-zero read argument as the id it expects.
        {"read argument", [](int fd) { send_words(fd, RESTART_REQUEST, 0); }, EPROTO, kRead, false,
         0x77},
        // A failed restart reply is an error, not logged; an event's is both.
        {"gone before the restart reply", [](int fd) { send_words(fd, RESTART_REQUEST, 0); }, EPIPE,
         nullptr, true},
        {"gone before the event reply",
         [](int fd) { send_words(fd, RESTART_EVENT, 2); ztuds_write(fd, "e", 2, kId); }, EPIPE,
         "restart_accept: error sending RESTART_EVENT result", true},
        {"event block cut short",
         [](int fd) { send_words(fd, RESTART_EVENT, 1); send_raw(fd, "DUTZ\1\0\1\0\50\0\0\0abc"); },
         ECONNRESET, "restart_accept: error reading RESTART_EVENT args", true},
        // A property list that cannot be read is not logged.
        {"string without its NUL",
         [](int fd) { send_words(fd, RESTART_CHECK, 1); ztuds_write(fd, "abc", 3, kId); }, EBADMSG,
         nullptr},
        {"short value",
         [](int fd) {
             send_words(fd, RESTART_CHECK, 1);
             for (const char *text : {"s", "s", "s", "\1"})  // the last one is the value
                 ztuds_write(fd, text, 2, kId);
         },
         EBADMSG, nullptr},
        {"property with another id",
         [](int fd) { send_words(fd, RESTART_CHECK, 1); ztuds_write(fd, "s", 2, 0x00010002); },
         EPROTO, nullptr},
        {"huge count", [](int fd) { send_words(fd, RESTART_CHECK, 0xffffffffu); }, EMSGSIZE,
         nullptr},
        {"one group too many", [](int fd) { send_words(fd, RESTART_CHECK, RESTART_MAX_PROPS + 1); }, EMSGSIZE,
         nullptr, true},
        {"hang-up inside a property",
         [](int fd) { send_check(fd, {{nullptr, nullptr, nullptr, 1}}, 2); send_raw(fd, "DUTZ"); },
         ECONNRESET, nullptr, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        int fd = peer(c.script, c.hang_up);
        EXPECT_EQ(serve(event_handler, c.read_arg), c.error ? -1 : 0);
        EXPECT_EQ(c.error ? error_ : 0, c.error) << strerror(error_);
        EXPECT_TRUE(fd < 0 || !reply(fd).received);
        expect_log(c.log ? std::vector<std::string>{c.log} : std::vector<std::string>{});
    }
    // Only the two whose reply failed reached a handler: none runs on a list
    // that was not read.
    EXPECT_EQ(seen.calls, (std::vector<std::string>{"request", "event 2 e"}));
}

// The strings of one check add up to RESTART_MAX_PROP_BYTES at most, NULs
// included; one byte more is refused like too many groups.
TEST_F(RestartTest, ChecksAreBoundedInBytes)
{
    const std::string half(RESTART_MAX_PROP_BYTES / 2 - 1, 'h');
    for (const char *third : {static_cast<const char *>(nullptr), ""}) {
        seen = Seen();
        int fd = peer([&](int fd) {
            const int room = 8 << 20;  // the whole check waits in the socket
            ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room), 0);
            send_check(fd, {{(char *)half.c_str(), (char *)half.c_str(), (char *)third, 1}});
        });
        const bool over = third != nullptr;
        EXPECT_EQ(serve(), over ? -1 : 0);
        EXPECT_EQ(over ? error_ : 0, over ? EMSGSIZE : 0);
        EXPECT_EQ(reply(fd).received, !over);
        EXPECT_EQ(seen.calls.size(), over ? 0u : 1u);
    }
    expect_log({});
}

TEST_F(RestartTest, PeerThatEndsAListEarly)
{
    // Three groups announced, one sent: the list keeps what arrived and the
    // other records stay empty; the reply then cannot be delivered, which is
    // logged but not an error.
    seen.verdicts = {1, 7, 7};
    peer([](int fd) { send_check(fd, {{(char *)"a", nullptr, nullptr, 5}}, 3); }, true);
    EXPECT_EQ(serve(), 0);
    EXPECT_EQ(error_, 0);
    EXPECT_EQ(seen.calls, (std::vector<std::string>{"check a,(null),(null)",
                                                     "check (null),(null),(null)",
                                                     "check (null),(null),(null)"}));
    expect_log({"handle_check: error sending response"});
}

TEST_F(RestartTest, BadHandlersAndListenersAreRefusedAndLogged)
{
    int fd = peer([](int fd) { send_words(fd, RESTART_REQUEST, 0); });
    int not_listening = socket(AF_UNIX, SOCK_STREAM, 0);
    const struct {
        int listen_fd;
        restart_check_handler check;
        restart_request_handler request;
        int error;
    } cases[] = {{listen_fd_, nullptr, request_handler, EINVAL},
                 {listen_fd_, check_handler, nullptr, EINVAL},
                 {not_listening, check_handler, request_handler, EINVAL},
                 {-1, check_handler, request_handler, EBADF}};
    for (const auto &c : cases) {
        errno = 0;
        EXPECT_EQ(restart_accept(c.listen_fd, c.check, c.request, nullptr, 0, &seen), -1);
        EXPECT_EQ(errno, c.error) << c.listen_fd;
    }
    close(not_listening);
    expect_log({"restart_accept: invalid callback handlers",
                "restart_accept: invalid callback handlers", "restart_accept: ztuds_accept failed",
                "restart_accept: ztuds_accept failed"});
    // The peer's connection is still waiting and is served now.
    EXPECT_EQ(serve(), 0);
    EXPECT_TRUE(reply(fd).received);
}

// ---- property transfer over a socket pair ------------------------------

TEST(RestartProps, TransferOverASocketPairAndRelease)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    // Four messages with the given id: each string with its NUL (none when
    // absent), then the value.
    restart_prop sent[] = {{nullptr, nullptr, nullptr, 0x01020304},
                           {(char *)"eth0", (char *)"", (char *)"up", 7}};
    for (const restart_prop &prop : sent)
        ASSERT_EQ(restart_send_prop(fds[0], &prop, 0x55), 0);
    const uint32_t lengths[] = {0, 0, 0, 4, 5, 1, 3, 4};
    for (uint32_t expected : lengths) {
        void *payload = nullptr;
        uint32_t length = 99, id = 0, value = 0;
        ASSERT_GE(ztuds_read(fds[1], &payload, &length, &id, 0), 0);
        EXPECT_EQ(length, expected);
        EXPECT_EQ(id, 0x55u);
        if (length == 4)
            memcpy(&value, payload, 4);
        EXPECT_TRUE(length != 4 || value == 0x01020304 || value == 7) << value;
        free(payload);
    }

    for (const restart_prop &prop : sent)
        restart_send_prop(fds[0], &prop, kId);
    restart_prop *list = restart_get_props(fds[1], 2);
    ASSERT_NE(list, nullptr);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(strings(list[i].str1, list[i].str2, list[i].str3),
                  strings(sent[i].str1, sent[i].str2, sent[i].str3));
        EXPECT_EQ(list[i].value, sent[i].value);
    }
    restart_free_props(list, 2);
    restart_prop *empty = restart_get_props(fds[1], 0);
    EXPECT_NE(empty, nullptr) << "an empty list is still a list";
    restart_free_props(empty, 0);

    close(fds[1]);
    EXPECT_EQ(restart_send_prop(fds[0], &sent[1], kId), -1);
    EXPECT_EQ(errno, EPIPE);
    errno = 0;
    EXPECT_EQ(restart_send_prop(fds[0], nullptr, kId), -1);
    EXPECT_EQ(errno, EINVAL);
    close(fds[0]);

    // A count of 0 frees the array only: the string is still ours.
    list = static_cast<restart_prop *>(calloc(1, sizeof(restart_prop)));
    char *kept = strdup("kept");
    list[0].str1 = kept;
    restart_free_props(list, 0);
    EXPECT_STREQ(kept, "kept");
    free(kept);
    restart_free_props(nullptr, 3);
}

TEST(RestartProps, GetPropsReleasesEverythingWhenMemoryRunsOut)
{
    restart_prop prop = {(char *)"one", (char *)"two", (char *)"three", 3};
    unsigned normal = failalloc::for_each_failure([&](unsigned k, failalloc::Mode mode) {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        for (int i = 0; i < 2; i++)
            restart_send_prop(pair[0], &prop, kId);
        int before = zt_test::open_fd_count();
        failalloc::arm(k, mode);
        restart_prop *list = restart_get_props(pair[1], 2);
        int error = errno;
        failalloc::disarm();
        if (failalloc::failed()) {
            EXPECT_EQ(list, nullptr) << "allocation " << k;
            EXPECT_EQ(error, ENOMEM);
        } else {
            ASSERT_NE(list, nullptr);
            EXPECT_STREQ(list[1].str3, "three");
        }
        restart_free_props(list, 2);
        EXPECT_EQ(zt_test::open_fd_count(), before);
        close(pair[0]);
        close(pair[1]);
    });
    EXPECT_EQ(normal, 9u) << "the array, six strings and two values";
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
    static void clean()
    {
        chmod(RESTART_UDS_DIR, 0700);
        unlink(RESTART_UDS_DIR "/beta");
        unlink(RESTART_UDS_DIR);
        rmdir(RESTART_UDS_DIR);
    }
};

TEST_F(RestartDirTest, DirectoryMustBeADirectoryWithSomeOwnerAccess)
{
    const struct {
        const char *what;
        std::function<int()> make;
        int error;  // 0: usable
    } cases[] = {
        {"a file", [] { return close(open(RESTART_UDS_DIR, O_CREAT | O_WRONLY, 0600)); }, ENOTDIR},
        {"no owner bits", [] { return mkdir(RESTART_UDS_DIR, 0700) | chmod(RESTART_UDS_DIR, 070); },
         EACCES},
        {"write and search only",
         [] { return mkdir(RESTART_UDS_DIR, 0700) | chmod(RESTART_UDS_DIR, 0300); }, 0},
        // A dangling link: stat says it is missing, mkdir that it exists.
        {"dangling link", [] { return symlink("/tmp/nowhere", RESTART_UDS_DIR); }, EEXIST},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(c.make(), 0);
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
        ASSERT_EQ(system("rm -rf " RESTART_UDS_DIR), 0);
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
    EXPECT_TRUE(S_ISSOCK(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    EXPECT_EQ(restart_server("beta"), -1);
    EXPECT_EQ(errno, EADDRINUSE) << "a live socket is not replaced";
    EXPECT_EQ(restart_close(first), 0);
    EXPECT_EQ(restart_close(-5), -5);
    EXPECT_EQ(access(RESTART_UDS_DIR "/beta", F_OK), 0) << "the file stays until deleted";
    int second = restart_server("beta");
    EXPECT_GE(second, 0) << "the file of a server that ended is replaced";
    restart_close(second);

    EXPECT_EQ(restart_del(nullptr), 0);
    EXPECT_EQ(restart_del(""), 0);
    EXPECT_EQ(restart_del("gamma"), 0) << "a missing socket file is not an error";
    EXPECT_EQ(access(RESTART_UDS_DIR "/beta", F_OK), 0);
    EXPECT_EQ(restart_del("beta"), 0);
    EXPECT_EQ(access(RESTART_UDS_DIR "/beta", F_OK), -1);
    errno = 0;
    EXPECT_EQ(restart_del("../etc"), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(restart_server("a/b"), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(RestartDirTest, WithoutMemoryServerFailsCleanlyAndDeleteTracesAtErrorLevel)
{
    int before = zt_test::open_fd_count();
    failalloc::for_each_failure([&](unsigned k, failalloc::Mode mode) {
        failalloc::arm(k, mode);
        int fd = restart_server("beta");
        int error = errno;
        failalloc::disarm();
        EXPECT_EQ(fd < 0, failalloc::failed());
        EXPECT_TRUE(fd >= 0 || error == ENOMEM) << strerror(error);
        restart_close(fd);
        EXPECT_EQ(zt_test::open_fd_count(), before);
    });

    for (int level : {0, 1}) {
        zt_test::TraceCapture traces(level);
        failalloc::arm(1, failalloc::Mode::from_then_on);
        errno = 0;
        int result = restart_del("beta");
        int error = errno;
        failalloc::disarm();
        EXPECT_EQ(result, -1);
        EXPECT_EQ(error, ENOMEM) << "the trace keeps errno";
        std::vector<zt_test::TraceRecord> records = traces.take();
        ASSERT_EQ(records.size(), level == 0 ? 0u : 1u) << "level " << level;
        for (const zt_test::TraceRecord &r : records)
            EXPECT_EQ(std::tie(r.level, r.severity, r.file, r.function, r.message),
                      std::make_tuple(1, "err", "src/lib/zttools/restart", "restart_del",
                                      "No memory for restart UDS close"));
    }
}

TEST(ModuleFrame, EntryPointsSucceedForAnyHandle)
{
    int interp;
    EXPECT_EQ(Zttools_Init(nullptr), 0);
    EXPECT_EQ(Zttools_Init(&interp), 0);
    EXPECT_EQ(Tcl_ModInit(nullptr), 0);
    EXPECT_EQ(Tcl_ModInit(&interp), 0);
}

}  // namespace
