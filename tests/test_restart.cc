// Restart notifications end to end: a service in this process, its peers in
// forked processes, over the real local-socket transport.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"
#include "ztsvc.h"

namespace {

using zt_test::SyslogRecord;
namespace failalloc = zt_test::failalloc;

constexpr int kErr = zt_test::kDefaultFacility | LOG_ERR;

// What a peer got back: the reply, or nothing when the service closed the
// connection without one.
struct Reply {
    bool received;
    int32_t result;
    int32_t reserved;
    uint32_t id;
    uint32_t length;
};

void send_words(int fd, uint32_t type, uint32_t argument, uint32_t id = RESTART_PROTOCOL_ID)
{
    const uint32_t words[2] = {type, argument};
    ztuds_write(fd, words, sizeof words, id);
}

// A peer process: connects to the service's socket, runs its script, then
// (unless told to hang up) waits for the reply and hands it back.
class Peer {
public:
    enum Ending { read_reply, hang_up };

    Peer(const std::string &name, std::function<void(int)> script, Ending ending = read_reply)
    {
        int channel[2];
        EXPECT_EQ(pipe(channel), 0);
        std::string path = std::string(RESTART_UDS_DIR "/") + name;
        fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            close(channel[0]);
            int fd = ztuds_connect(path.c_str());
            if (fd < 0)
                _exit(3);
            script(fd);
            if (testing::Test::HasFailure())
                _exit(4);
            Reply reply = {};
            if (ending == read_reply) {
                void *payload = nullptr;
                reply.received = ztuds_read(fd, &payload, &reply.length, &reply.id, 0) >= 0;
                if (reply.received && reply.length == 8) {
                    memcpy(&reply.result, payload, 4);
                    memcpy(&reply.reserved, static_cast<char *>(payload) + 4, 4);
                }
                free(payload);
            }
            close(fd);
            ssize_t ignored = write(channel[1], &reply, sizeof reply);
            (void)ignored;
            _exit(0);
        }
        close(channel[1]);
        channel_ = channel[0];
    }

    // Waits for the peer to finish; returns its reply.
    Reply finish()
    {
        Reply reply = {};
        EXPECT_EQ(read(channel_, &reply, sizeof reply), (ssize_t)sizeof reply);
        close(channel_);
        int status = 0;
        waitpid(pid_, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "peer status " << status;
        return reply;
    }

private:
    pid_t pid_;
    int channel_;
};

// What the service's handlers saw.
struct Seen {
    std::vector<std::vector<std::optional<std::string>>> checks;
    std::vector<int> verdicts;  // results the check handler returns, in turn
    int request_result = 3;
    int requests = 0;
    int event_result = 0;
    std::vector<uint32_t> event_codes;
    std::vector<std::string> event_args;
    void *last_ctx = nullptr;
};

std::optional<std::string> text_or_null(const char *text)
{
    return text ? std::optional<std::string>(text) : std::nullopt;
}

int check_handler(const char *str1, const char *str2, const char *str3, void *ctx)
{
    auto *seen = static_cast<Seen *>(ctx);
    seen->last_ctx = ctx;
    size_t index = seen->checks.size();
    seen->checks.push_back({text_or_null(str1), text_or_null(str2), text_or_null(str3)});
    return index < seen->verdicts.size() ? seen->verdicts[index] : 0;
}

int request_handler(void *ctx)
{
    auto *seen = static_cast<Seen *>(ctx);
    seen->last_ctx = ctx;
    seen->requests++;
    return seen->request_result;
}

int event_handler(uint32_t code, void *args, void *ctx)
{
    auto *seen = static_cast<Seen *>(ctx);
    seen->last_ctx = ctx;
    seen->event_codes.push_back(code);
    seen->event_args.push_back(args ? static_cast<const char *>(args) : "(null)");
    return seen->event_result;
}

void send_check(int fd, const std::vector<restart_prop> &props)
{
    send_words(fd, RESTART_CHECK, static_cast<uint32_t>(props.size()));
    for (const restart_prop &prop : props)
        ASSERT_EQ(restart_send_prop(fd, &prop, RESTART_PROTOCOL_ID), 0);
}

class RestartTest : public testing::Test {
protected:
    void SetUp() override
    {
        ZT_REQUIRE_ISOLATION();
        ztuds_set_timeout(5000);
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

    // Serves one connection with all three handlers; returns the result and
    // stores errno.
    int serve(restart_event_handler event = event_handler, uint32_t read_arg = 0)
    {
        errno = 12345;
        int result = restart_accept(listen_fd_, check_handler, request_handler, event, read_arg,
                                    &seen_);
        error_ = errno;
        return result;
    }

    void expect_log(const std::vector<std::string> &messages)
    {
        std::vector<SyslogRecord> records = zt_test::take_syslog();
        ASSERT_EQ(records.size(), messages.size());
        for (size_t i = 0; i < messages.size(); i++) {
            EXPECT_EQ(records[i].priority, kErr);
            EXPECT_EQ(records[i].message, messages[i]);
        }
    }

    // A request that the service refuses: no reply, the error and the
    // record (if any) it logs.
    struct Rejection {
        const char *what;
        std::function<void(int)> script;
        int error;
        const char *log;  // null: no record
        Peer::Ending ending = Peer::read_reply;
    };

    void expect_rejected(const Rejection &c)
    {
        SCOPED_TRACE(c.what);
        Peer peer("alpha", c.script, c.ending);
        EXPECT_EQ(serve(), -1);
        EXPECT_EQ(error_, c.error) << strerror(error_);
        EXPECT_FALSE(peer.finish().received);
        if (c.log)
            expect_log({c.log});
        else
            expect_log({});
    }

    int listen_fd_ = -1;
    int error_ = 0;
    Seen seen_;
};

TEST_F(RestartTest, ServerListensOnItsSocketInAPrivateDirectory)
{
    struct stat status;
    ASSERT_EQ(stat(RESTART_UDS_DIR, &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    ASSERT_EQ(stat(RESTART_UDS_DIR "/alpha", &status), 0);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0700u);
}

TEST_F(RestartTest, CheckResultIsTheLastVerdictThatCounts)
{
    struct Case {
        std::vector<int> verdicts;
        int32_t expected;
    };
    const Case cases[] = {{{1, 0}, 0}, {{0, 1}, 1}, {{0, 7}, 0}, {{7, 7}, 2}, {{1, -1, 5}, 1}};
    for (const Case &c : cases) {
        seen_ = Seen();
        seen_.verdicts = c.verdicts;
        std::vector<restart_prop> props(c.verdicts.size(), restart_prop{
                                                                (char *)"a", (char *)"b", (char *)"c", 9});
        Peer peer("alpha", [&](int fd) { send_check(fd, props); });
        EXPECT_EQ(serve(), 0);
        Reply reply = peer.finish();
        ASSERT_TRUE(reply.received);
        EXPECT_EQ(reply.result, c.expected);
        EXPECT_EQ(reply.reserved, 0);
        EXPECT_EQ(reply.id, RESTART_PROTOCOL_ID);
        EXPECT_EQ(seen_.checks.size(), c.verdicts.size()) << "every property is judged";
    }
    expect_log({});
}

TEST_F(RestartTest, CheckHandlerGetsEachStringOrNullAndTheContext)
{
    std::vector<restart_prop> props = {{(char *)"ipsec", nullptr, (char *)"", 1},
                                       {nullptr, nullptr, nullptr, 2},
                                       {(char *)"x", (char *)"y", (char *)"z", 3}};
    Peer peer("alpha", [&](int fd) { send_check(fd, props); });
    EXPECT_EQ(serve(), 0);
    EXPECT_EQ(error_, 0);
    peer.finish();
    ASSERT_EQ(seen_.checks.size(), 3u);
    using S = std::optional<std::string>;
    // An empty string travels as its NUL alone; only a null string is absent.
    EXPECT_EQ(seen_.checks[0], (std::vector<S>{"ipsec", std::nullopt, ""}));
    EXPECT_EQ(seen_.checks[1], (std::vector<S>{std::nullopt, std::nullopt, std::nullopt}));
    EXPECT_EQ(seen_.checks[2], (std::vector<S>{"x", "y", "z"}));
    EXPECT_EQ(seen_.last_ctx, &seen_);
}

TEST_F(RestartTest, CheckOfNoPropertiesIsUndecided)
{
    Peer peer("alpha", [](int fd) { send_words(fd, RESTART_CHECK, 0); });
    EXPECT_EQ(serve(), 0);
    Reply reply = peer.finish();
    ASSERT_TRUE(reply.received);
    EXPECT_EQ(reply.result, 2);
    EXPECT_TRUE(seen_.checks.empty());
}

TEST_F(RestartTest, RestartRequestIsAnsweredThreeOnlyForThree)
{
    for (int handler_result : {3, 0, 1, -1, 4}) {
        seen_.request_result = handler_result;
        // The request's second word is not looked at.
        Peer peer("alpha", [](int fd) { send_words(fd, RESTART_REQUEST, 0xdeadbeef); });
        EXPECT_EQ(serve(), 0);
        Reply reply = peer.finish();
        ASSERT_TRUE(reply.received);
        EXPECT_EQ(reply.result, handler_result == 3 ? 3 : 4);
        EXPECT_EQ(seen_.last_ctx, &seen_);
    }
    EXPECT_EQ(seen_.requests, 5);
}

TEST_F(RestartTest, EventReachesItsHandlerAndItsResultGoesBack)
{
    seen_.event_result = -77;
    Peer peer("alpha", [](int fd) {
        send_words(fd, RESTART_EVENT, 0x1234);
        ztuds_write(fd, "link down", 10, RESTART_PROTOCOL_ID);
    });
    EXPECT_EQ(serve(), 0);
    Reply reply = peer.finish();
    ASSERT_TRUE(reply.received);
    EXPECT_EQ(reply.result, -77);
    ASSERT_EQ(seen_.event_codes, std::vector<uint32_t>{0x1234});
    EXPECT_EQ(seen_.event_args, std::vector<std::string>{"link down"});
}

TEST_F(RestartTest, EventWithoutHandlerStillReadsItsArgumentsAndAnswersTwo)
{
    Peer peer("alpha", [](int fd) {
        send_words(fd, RESTART_EVENT, 7);
        ztuds_write(fd, "x", 1, RESTART_PROTOCOL_ID);
    });
    EXPECT_EQ(serve(nullptr), 0);
    Reply reply = peer.finish();
    ASSERT_TRUE(reply.received);
    EXPECT_EQ(reply.result, 2);

    // Without the argument block the read of it fails: so it is read.
    Peer silent("alpha", [](int fd) { send_words(fd, RESTART_EVENT, 7); }, Peer::hang_up);
    silent.finish();
    EXPECT_EQ(serve(nullptr), 0) << "the peer ended the connection in order";
    expect_log({"restart_accept: error reading RESTART_EVENT args"});
}

TEST_F(RestartTest, RejectedRequestsGetNoReply)
{
    const Rejection cases[] = {
        {"wrong id", [](int fd) { send_words(fd, RESTART_REQUEST, 0, 0x00010002); }, EPROTO,
         "restart_accept: unexpected protocol id received (65538)"},
        {"id zero", [](int fd) { send_words(fd, RESTART_REQUEST, 0, 0); }, EPROTO,
         "restart_accept: unexpected protocol id received (0)"},
        {"type 4", [](int fd) { send_words(fd, 4, 0); }, EBADRQC,
         "restart_accept: unexpected request type (4)"},
        {"type 0", [](int fd) { send_words(fd, 0, 0); }, EBADRQC,
         "restart_accept: unexpected request type (0)"},
        {"short request", [](int fd) { ztuds_write(fd, "\2\0\0\0", 4, RESTART_PROTOCOL_ID); },
         EBADMSG, "restart_accept: error reading request"},
        {"empty request", [](int fd) { ztuds_write(fd, nullptr, 0, RESTART_PROTOCOL_ID); },
         EBADMSG, "restart_accept: error reading request"},
        {"garbage", [](int fd) { ASSERT_EQ(write(fd, "GET / HTTP/1.0\r\n", 16), 16); }, EBADMSG,
         "restart_accept: error reading request"},
        {"hang-up inside the request",
         [](int fd) { ASSERT_EQ(write(fd, "DUTZ\1\0", 6), 6); }, ECONNRESET,
         "restart_accept: error reading request", Peer::hang_up},
        {"event block cut short",
         [](int fd) {
             send_words(fd, RESTART_EVENT, 1);
             ASSERT_EQ(write(fd, "DUTZ\1\0\1\0\50\0\0\0abc", 15), 15);
         },
         ECONNRESET, "restart_accept: error reading RESTART_EVENT args", Peer::hang_up},
    };
    for (const Rejection &c : cases)
        expect_rejected(c);
    EXPECT_EQ(seen_.requests, 0);
    EXPECT_TRUE(seen_.event_codes.empty());
}

TEST_F(RestartTest, MalformedPropertyListsGetNoReplyAndNoRecord)
{
    const Rejection cases[] = {
        {"string without its NUL",
         [](int fd) {
             send_words(fd, RESTART_CHECK, 1);
             ztuds_write(fd, "abc", 3, RESTART_PROTOCOL_ID);
         },
         EBADMSG, nullptr},
        {"short value",
         [](int fd) {
             send_words(fd, RESTART_CHECK, 1);
             for (int i = 0; i < 3; i++)
                 ztuds_write(fd, "s", 2, RESTART_PROTOCOL_ID);
             ztuds_write(fd, "\1\2", 2, RESTART_PROTOCOL_ID);
         },
         EBADMSG, nullptr},
        {"property with another id",
         [](int fd) {
             send_words(fd, RESTART_CHECK, 1);
             ztuds_write(fd, "s", 2, 0x00010002);
         },
         EPROTO, nullptr},
        {"huge count", [](int fd) { send_words(fd, RESTART_CHECK, 0xffffffffu); }, EMSGSIZE, nullptr},
        {"hang-up inside a property",
         [](int fd) {
             send_words(fd, RESTART_CHECK, 2);
             restart_prop prop = {(char *)"a", (char *)"b", (char *)"c", 1};
             restart_send_prop(fd, &prop, RESTART_PROTOCOL_ID);
             ASSERT_EQ(write(fd, "DUTZ", 4), 4);
         },
         ECONNRESET, nullptr, Peer::hang_up},
    };
    for (const Rejection &c : cases)
        expect_rejected(c);
    EXPECT_TRUE(seen_.checks.empty()) << "no handler runs on a list that was not read";
}

TEST_F(RestartTest, PeerThatStopsSendingIsDroppedAfterTheTransportTimeOut)
{
    ztuds_set_timeout(200);
    Peer peer("alpha", [](int fd) {
        send_words(fd, RESTART_CHECK, 1);
        char byte;
        ssize_t ignored = read(fd, &byte, 1);  // until the service gives up
        (void)ignored;
    }, Peer::hang_up);
    EXPECT_EQ(serve(), -1);
    EXPECT_EQ(error_, ETIMEDOUT);
    peer.finish();
    expect_log({});
}

TEST_F(RestartTest, PeerThatEndsEarlyInOrderLeavesTheRestUnread)
{
    // Three groups announced, one sent: the list keeps what arrived and
    // the other records stay empty; the reply then cannot be delivered.
    seen_.verdicts = {1, 7, 7};
    Peer peer("alpha", [](int fd) {
        send_words(fd, RESTART_CHECK, 3);
        restart_prop prop = {(char *)"a", nullptr, nullptr, 5};
        restart_send_prop(fd, &prop, RESTART_PROTOCOL_ID);
    }, Peer::hang_up);
    peer.finish();
    EXPECT_EQ(serve(), 0);
    EXPECT_EQ(error_, 0);
    ASSERT_EQ(seen_.checks.size(), 3u);
    EXPECT_EQ(seen_.checks[0][0], std::optional<std::string>("a"));
    EXPECT_EQ(seen_.checks[2][0], std::nullopt);
    expect_log({"handle_check: error sending response"});
}

TEST_F(RestartTest, FailedRepliesAfterThePeerLeft)
{
    // Check: logged, not an error. Restart: an error, not logged. Event:
    // both.
    Peer check("alpha", [](int fd) { send_check(fd, {{nullptr, nullptr, nullptr, 0}}); },
               Peer::hang_up);
    check.finish();
    EXPECT_EQ(serve(), 0);
    expect_log({"handle_check: error sending response"});

    Peer request("alpha", [](int fd) { send_words(fd, RESTART_REQUEST, 0); }, Peer::hang_up);
    request.finish();
    EXPECT_EQ(serve(), -1);
    EXPECT_EQ(error_, EPIPE);
    EXPECT_EQ(seen_.requests, 1);
    expect_log({});

    Peer event("alpha", [](int fd) {
        send_words(fd, RESTART_EVENT, 2);
        ztuds_write(fd, "e", 2, RESTART_PROTOCOL_ID);
    }, Peer::hang_up);
    event.finish();
    EXPECT_EQ(serve(), -1);
    EXPECT_EQ(error_, EPIPE);
    expect_log({"restart_accept: error sending RESTART_EVENT result"});
}

TEST_F(RestartTest, PeerThatLeavesBeforeSendingEndsTheCallQuietly)
{
    Peer peer("alpha", [](int) {}, Peer::hang_up);
    peer.finish();
    EXPECT_EQ(serve(), 0) << "a failure whose errno is 0 gives 0";
    expect_log({"restart_accept: error reading request"});
}

TEST_F(RestartTest, NullHandlersAcceptNothing)
{
    Peer peer("alpha", [](int fd) { send_words(fd, RESTART_REQUEST, 0); });
    errno = 0;
    EXPECT_EQ(restart_accept(listen_fd_, nullptr, request_handler, nullptr, 0, &seen_), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(restart_accept(listen_fd_, check_handler, nullptr, nullptr, 0, &seen_), -1);
    EXPECT_EQ(errno, EINVAL);
    expect_log({"restart_accept: invalid callback handlers",
                "restart_accept: invalid callback handlers"});
    // The peer's connection is still waiting and is served now.
    EXPECT_EQ(serve(), 0);
    EXPECT_TRUE(peer.finish().received);
}

TEST_F(RestartTest, AcceptFailureIsLoggedWithTheTransportError)
{
    int not_listening = socket(AF_UNIX, SOCK_STREAM, 0);
    errno = 0;
    EXPECT_EQ(restart_accept(not_listening, check_handler, request_handler, nullptr, 0, &seen_),
              -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(restart_accept(-1, check_handler, request_handler, nullptr, 0, &seen_), -1);
    EXPECT_EQ(errno, EBADF);
    close(not_listening);
    expect_log({"restart_accept: ztuds_accept failed", "restart_accept: ztuds_accept failed"});
}

TEST_F(RestartTest, ReadArgumentSelectsTheIdOfTheRequestRead)
{
    // The transport takes a non-zero read argument as the id it expects.
    Peer peer("alpha", [](int fd) { send_words(fd, RESTART_REQUEST, 0); });
    EXPECT_EQ(serve(event_handler, 0x77), -1);
    EXPECT_EQ(error_, EPROTO);
    EXPECT_FALSE(peer.finish().received);
    expect_log({"restart_accept: error reading request"});
}

TEST_F(RestartTest, ServingLeavesNoDescriptorOpen)
{
    int before = zt_test::open_fd_count();
    Peer good("alpha", [](int fd) { send_words(fd, RESTART_REQUEST, 0); });
    serve();
    good.finish();
    Peer bad("alpha", [](int fd) { send_words(fd, 9, 0); });
    serve();
    bad.finish();
    EXPECT_EQ(zt_test::open_fd_count(), before);
}

// ---- property transfer over a socket pair ------------------------------

class PropsTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0); }
    void TearDown() override
    {
        close(fds_[0]);
        close(fds_[1]);
    }
    int fds_[2];
};

TEST_F(PropsTest, SendPropWritesFourMessagesWithTheGivenId)
{
    restart_prop absent = {nullptr, nullptr, nullptr, 0x01020304};
    restart_prop full = {(char *)"eth0", (char *)"", (char *)"up", 7};
    ASSERT_EQ(restart_send_prop(fds_[0], &absent, 0x55), 0);
    ASSERT_EQ(restart_send_prop(fds_[0], &full, 0x55), 0);
    const uint32_t lengths[] = {0, 0, 0, 4, 5, 1, 3, 4};
    for (uint32_t expected : lengths) {
        void *payload = nullptr;
        uint32_t length = 99, id = 0;
        ASSERT_GE(ztuds_read(fds_[1], &payload, &length, &id, 0), 0);
        EXPECT_EQ(length, expected);
        EXPECT_EQ(id, 0x55u);
        if (length == 4) {
            uint32_t value;
            memcpy(&value, payload, 4);
            EXPECT_TRUE(value == 0x01020304 || value == 7);
        }
        free(payload);
    }
}

TEST_F(PropsTest, SendPropStopsAtTheFirstFailedWrite)
{
    restart_prop prop = {(char *)"a", (char *)"b", (char *)"c", 1};
    close(fds_[1]);
    fds_[1] = open("/dev/null", O_RDONLY);
    EXPECT_EQ(restart_send_prop(fds_[0], &prop, RESTART_PROTOCOL_ID), -1);
    EXPECT_EQ(errno, EPIPE);
    errno = 0;
    EXPECT_EQ(restart_send_prop(fds_[0], nullptr, RESTART_PROTOCOL_ID), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(PropsTest, GetPropsBuildsTheListInOrder)
{
    restart_prop sent[] = {{(char *)"a", nullptr, (char *)"c", 10},
                           {nullptr, (char *)"bb", nullptr, 0xffffffff}};
    for (const restart_prop &prop : sent)
        restart_send_prop(fds_[0], &prop, RESTART_PROTOCOL_ID);
    restart_prop *list = restart_get_props(fds_[1], 2);
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list[0].str1, "a");
    EXPECT_EQ(list[0].str2, nullptr);
    EXPECT_STREQ(list[0].str3, "c");
    EXPECT_EQ(list[0].value, 10u);
    EXPECT_EQ(list[1].str1, nullptr);
    EXPECT_STREQ(list[1].str2, "bb");
    EXPECT_EQ(list[1].value, 0xffffffffu);
    restart_free_props(list, 2);

    restart_prop *empty = restart_get_props(fds_[1], 0);
    EXPECT_NE(empty, nullptr) << "an empty list is still a list";
    restart_free_props(empty, 0);
}

TEST_F(PropsTest, GetPropsReleasesEverythingWhenMemoryRunsOut)
{
    restart_prop prop = {(char *)"one", (char *)"two", (char *)"three", 3};
    unsigned normal = failalloc::for_each_failure([&](unsigned k, failalloc::Mode mode) {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        for (int i = 0; i < 2; i++)
            restart_send_prop(pair[0], &prop, RESTART_PROTOCOL_ID);
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

TEST(RestartProps, FreeHonoursCountAndNull)
{
    auto *list = static_cast<restart_prop *>(calloc(1, sizeof(restart_prop)));
    char *kept = strdup("kept");
    list[0].str1 = kept;
    restart_free_props(list, 0);  // the array only: the string is still ours
    EXPECT_STREQ(kept, "kept");
    free(kept);
    restart_free_props(nullptr, 3);
}

// ---- directory check, close and delete ----------------------------------

class RestartDirTest : public testing::Test {
protected:
    void SetUp() override { ZT_REQUIRE_ISOLATION(); }
    void TearDown() override
    {
        if (!zt_test::isolated())
            return;
        chmod(RESTART_UDS_DIR, 0700);
        unlink(RESTART_UDS_DIR "/beta");
        unlink(RESTART_UDS_DIR);
        rmdir(RESTART_UDS_DIR);
    }
};

TEST_F(RestartDirTest, DirectoryThatIsNotUsableIsRefused)
{
    ASSERT_EQ(close(open(RESTART_UDS_DIR, O_CREAT | O_WRONLY, 0600)), 0);
    errno = 0;
    EXPECT_EQ(restart_server("beta"), -1);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(restart_del("beta"), -1);
    EXPECT_EQ(errno, ENOTDIR);
    unlink(RESTART_UDS_DIR);

    ASSERT_EQ(mkdir(RESTART_UDS_DIR, 0070), 0);
    chmod(RESTART_UDS_DIR, 0070);
    EXPECT_EQ(restart_server("beta"), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(restart_del("beta"), -1);
    EXPECT_EQ(errno, EACCES);
    rmdir(RESTART_UDS_DIR);

    // A dangling link: stat says it is missing, mkdir that it exists.
    ASSERT_EQ(symlink("/tmp/nowhere", RESTART_UDS_DIR), 0);
    EXPECT_EQ(restart_server("beta"), -1);
    EXPECT_EQ(errno, EEXIST);
}

TEST_F(RestartDirTest, OwnerWithAnyAccessBitPassesTheCheck)
{
    ASSERT_EQ(mkdir(RESTART_UDS_DIR, 0700), 0);
    chmod(RESTART_UDS_DIR, 0300);  // write and search only
    int fd = restart_server("beta");
    EXPECT_GE(fd, 0) << strerror(errno);
    restart_close(fd);
}

TEST_F(RestartDirTest, CloseIgnoresNegativeDescriptors)
{
    EXPECT_EQ(restart_close(-5), -5);
    int fd = restart_server("beta");
    ASSERT_GE(fd, 0);
    int before = zt_test::open_fd_count();
    EXPECT_EQ(restart_close(fd), 0);
    EXPECT_EQ(zt_test::open_fd_count(), before - 1);
    // The socket file stays until it is deleted.
    EXPECT_EQ(access(RESTART_UDS_DIR "/beta", F_OK), 0);
}

TEST_F(RestartDirTest, DeleteRemovesOnlyTheNamedSocket)
{
    restart_close(restart_server("beta"));
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

TEST_F(RestartDirTest, ServerReplacesAStaleSocketButNotALiveOne)
{
    int first = restart_server("beta");
    ASSERT_GE(first, 0);
    EXPECT_EQ(restart_server("beta"), -1);
    EXPECT_EQ(errno, EADDRINUSE);
    restart_close(first);
    int second = restart_server("beta");
    EXPECT_GE(second, 0) << "the file of a server that ended is replaced";
    restart_close(second);
}

TEST_F(RestartDirTest, DeleteWithoutMemoryTracesAtErrorLevel)
{
    ASSERT_EQ(mkdir(RESTART_UDS_DIR, 0700), 0);
    for (int level : {0, 1, 4}) {
        zt_test::TraceCapture traces(level);
        failalloc::arm(1, failalloc::Mode::from_then_on);
        errno = 0;
        int result = restart_del("beta");
        int error = errno;
        failalloc::disarm();
        EXPECT_EQ(result, -1);
        EXPECT_EQ(error, ENOMEM) << "the trace keeps errno";
        std::vector<zt_test::TraceRecord> records = traces.take();
        if (level == 0) {
            EXPECT_TRUE(records.empty());
            continue;
        }
        ASSERT_EQ(records.size(), 1u) << "level " << level;
        EXPECT_EQ(records[0].level, 1);
        EXPECT_EQ(records[0].severity, "err");
        EXPECT_EQ(records[0].file, "src/lib/zttools/restart");
        EXPECT_EQ(records[0].function, "restart_del");
        EXPECT_EQ(records[0].message, "No memory for restart UDS close");
    }
}

TEST_F(RestartDirTest, ServerWithoutMemoryFailsCleanly)
{
    int before = zt_test::open_fd_count();
    failalloc::for_each_failure([&](unsigned k, failalloc::Mode mode) {
        failalloc::arm(k, mode);
        int fd = restart_server("beta");
        int error = errno;
        failalloc::disarm();
        if (failalloc::failed()) {
            EXPECT_EQ(fd, -1);
            EXPECT_EQ(error, ENOMEM);
        } else {
            EXPECT_GE(fd, 0);
        }
        restart_close(fd);
        EXPECT_EQ(zt_test::open_fd_count(), before);
    });
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
