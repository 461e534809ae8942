// Message queues for real, in the test's own IPC namespace and /tmp: the
// key directories, whole messages with their sender, broadcasts, waits that
// another process ends, and every failure with its syslog record.
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

namespace failalloc = zt_test::failalloc;
constexpr int kErr = zt_test::kDefaultFacility | LOG_ERR;
constexpr int kDebug = zt_test::kDefaultFacility | LOG_DEBUG;

class MsgQueueTest : public testing::Test {
protected:
    void SetUp() override
    {
        ZT_REQUIRE_ISOLATION();
        zt_test::take_syslog();
    }
    void TearDown() override
    {
        if (!zt_test::isolated())
            return;
        for (int queue : queues_)
            ztmsg_term(queue);
        (void)!system("rm -rf " ZTMSG_DIR);
    }
    int init(const char *name)
    {
        int queue = -1;
        EXPECT_EQ(ztmsg_init(name, &queue), 0) << name;
        queues_.push_back(queue);
        return queue;
    }
    void expect_log(const std::vector<zt_test::SyslogRecord> &expected)
    {
        std::vector<zt_test::SyslogRecord> records = zt_test::take_syslog();
        ASSERT_EQ(records.size(), expected.size());
        for (size_t i = 0; i < records.size(); i++) {
            EXPECT_EQ(records[i].priority, expected[i].priority);
            EXPECT_EQ(records[i].message, expected[i].message);
        }
    }

private:
    std::vector<int> queues_;
};

ztmsg_message message_of(long type, const std::string &data)
{
    ztmsg_message message = {};
    message.mtype = type;
    message.length = static_cast<uint32_t>(data.size());
    memcpy(message.data, data.data(), data.size());
    return message;
}

// Takes one message without waiting; its data, or "<none>".
std::string take(int queue, ztmsg_message *out = nullptr)
{
    ztmsg_message message = {};
    int received = -1;
    if (ztmsg_get(queue, &message, &received, 0) < 0)
        return "<none>";
    EXPECT_EQ(received, static_cast<int>(message.length) + 8);
    if (out)
        *out = message;
    return std::string(message.data, message.length);
}

TEST_F(MsgQueueTest, InitFindsTheSameQueueAgainWithItsMessages)
{
    int queue = init("alpha");
    struct stat st;
    ASSERT_EQ(stat(ZTMSG_DIR "alpha", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    struct msqid_ds info;
    ASSERT_EQ(msgctl(queue, IPC_STAT, &info), 0);
    EXPECT_EQ(info.msg_perm.mode & 0777, 0660u);

    ztmsg_message message = message_of(7, "abc");
    ASSERT_EQ(ztmsg_send("alpha", &message), 0);
    EXPECT_EQ(init("alpha"), queue);
    EXPECT_EQ(take(queue), "abc");
    expect_log({});
}

TEST_F(MsgQueueTest, MessagesArriveWholeWithTheirSender)
{
    int queue = init("alpha");
    int status = zt_test::run_in_child([] {
        ztmsg_message message = message_of(3, "abc");
        ztmsg_message full = message_of(9, std::string(ZTMSG_MAX_DATA, 'x'));
        return ztmsg_send("alpha", &message) | ztmsg_send("alpha", &full);
    });
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ztmsg_message got;
    EXPECT_EQ(take(queue, &got), "abc");
    EXPECT_EQ(got.mtype, 3);
    const pid_t sender = got.sender_pid;
    EXPECT_NE(sender, getpid());
    EXPECT_GT(sender, 0);
    EXPECT_EQ(take(queue, &got), std::string(ZTMSG_MAX_DATA, 'x'));
    EXPECT_EQ(got.mtype, 9);
    EXPECT_EQ(got.sender_pid, sender);

    // The sender's record carries its pid afterwards.
    ztmsg_message mine = message_of(1, "");
    ASSERT_EQ(ztmsg_send("alpha", &mine), 0);
    EXPECT_EQ(mine.sender_pid, getpid());
    EXPECT_EQ(take(queue), "");
}

TEST_F(MsgQueueTest, EmptyQueueWithoutWaitingFailsAtOnce)
{
    int queue = init("alpha");
    ztmsg_message message;
    int received = 77;
    EXPECT_EQ(ztmsg_get(queue, &message, &received, 0), -1);
    EXPECT_EQ(errno, ENOMSG);
    EXPECT_EQ(received, 77);
    expect_log({{kDebug, "ztmsg_get: msgrcv failed 42 (No message of desired type)\n"}});
    EXPECT_EQ(ztmsg_get(queue, nullptr, &received, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(ztmsg_get(123456, &message, &received, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    expect_log({{kDebug, "ztmsg_get: msgrcv failed 22 (Invalid argument)\n"}});
}

void ignore_signal(int) {}

TEST_F(MsgQueueTest, AWaitGoesOnThroughSignalsUntilAnotherProcessSends)
{
    int queue = init("alpha");
    ASSERT_EQ(SimpleSigAction(SIGUSR1, ignore_signal), 0);
    const pid_t receiver = getpid();
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        usleep(100000);
        kill(receiver, SIGUSR1);  // interrupts the wait, which goes on
        usleep(100000);
        ztmsg_message message = message_of(5, "late");
        _exit(ztmsg_send("alpha", &message) == 0 ? 0 : 1);
    }
    ztmsg_message message;
    int received = 0;
    // An unsupported wait is logged and waits like -1.
    EXPECT_EQ(ztmsg_get(queue, &message, &received, 5), 0);
    EXPECT_EQ(std::string(message.data, message.length), "late");
    int status;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    expect_log({{kErr, "ztmsg_get: does not support waits of 5 yet\n"}});
    signal(SIGUSR1, SIG_DFL);
}

TEST_F(MsgQueueTest, BroadcastReachesEveryKeyDirectoryEvenAfterAFailure)
{
    std::vector<int> queues;
    for (const char *name : {"alpha", "beta", "gamma", ".hidden"})
        queues.push_back(init(name));
    ASSERT_EQ(mkdir(ZTMSG_DIR "dead", 0777), 0);  // a key directory without a queue
    ztmsg_message message = message_of(2, "all");
    EXPECT_EQ(ztmsg_send("*", &message), 0);
    for (int queue : queues) {
        EXPECT_EQ(take(queue), "all");
        EXPECT_EQ(take(queue), "<none>");
    }
    zt_test::take_syslog();  // the empty takes
    (void)!system("rm -rf " ZTMSG_DIR);
    EXPECT_EQ(ztmsg_send("*", &message), -1);
    expect_log({{kErr, "ztmsg_send: unable to open /tmp/ztmsg/\n"}});
}

TEST_F(MsgQueueTest, SendFailuresAreLoggedAndNeverCreateAQueue)
{
    ztmsg_message message = message_of(1, "x");
    EXPECT_EQ(ztmsg_send("nobody-here", &message), -1);
    expect_log({{kErr, "send_msg: msgget returned (No such file or directory)\n"}});
    EXPECT_EQ(access(ZTMSG_DIR "nobody-here", F_OK), -1);

    int queue = init("alpha");
    ztmsg_term(queue);
    EXPECT_EQ(ztmsg_send("alpha", &message), -1);
    expect_log({{kErr, "send_msg: msgget returned (No such file or directory)\n"}});
    EXPECT_EQ(ztmsg_term(queue), 0);  // no longer valid: still 0

    // A full queue fails at once.
    queue = init("alpha");
    message = message_of(1, std::string(ZTMSG_MAX_DATA, 'f'));
    int sent = 0;
    while (ztmsg_send("alpha", &message) == 0)
        sent++;
    EXPECT_GT(sent, 0);
    expect_log({{kErr, "send_msg: msgsnd returned (Resource temporarily unavailable)\n"}});
    message.mtype = 0;  // not a valid type
    ztmsg_term(queue);
    queue = init("alpha");
    EXPECT_EQ(ztmsg_send("alpha", &message), -1);
    expect_log({{kErr, "send_msg: msgsnd returned (Invalid argument)\n"}});
    EXPECT_EQ(ztmsg_send(nullptr, &message), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(MsgQueueTest, InitFailuresAreLogged)
{
    int queue = -5;
    EXPECT_EQ(ztmsg_init(nullptr, &queue), -1);
    EXPECT_EQ(ztmsg_init("alpha", nullptr), -1);
    EXPECT_EQ(queue, -5);
    expect_log({{kErr, "ztmsg_init: passed bad arg\n"}, {kErr, "ztmsg_init: passed bad arg\n"}});
    ASSERT_EQ(mkdir(ZTMSG_DIR, 0777), 0);
    ASSERT_EQ(zt_touch(ZTMSG_DIR "file"), 0);
    EXPECT_EQ(ztmsg_init("file/below", &queue), -1);
    expect_log({{kErr, "ztmsg_init: error creating path /tmp/ztmsg/file/below\n"}});
}

TEST_F(MsgQueueTest, AllocationFailuresFailWithTheirRecords)
{
    init("alpha");
    zt_test::take_syslog();
    failalloc::for_each_failure([&](unsigned k, failalloc::Mode mode) {
        int queue = -1;
        ztmsg_message message = message_of(1, "x");
        failalloc::arm(k, mode);
        int init_result = ztmsg_init("alpha", &queue);
        int send_result = ztmsg_send("alpha", &message);
        bool failed = failalloc::failed();
        failalloc::disarm();
        std::vector<zt_test::SyslogRecord> records = zt_test::take_syslog();
        if (!failed) {
            EXPECT_EQ(init_result, 0);
            EXPECT_EQ(send_result, 0);
            return;
        }
        EXPECT_EQ(init_result < 0 || send_result < 0, true);
        ASSERT_FALSE(records.empty());
        // Without its path the init record names the service; when the
        // walk along the path runs out of memory, the path.
        if (init_result < 0) {
            EXPECT_TRUE(records[0].message == "ztmsg_init: error creating path alpha\n" ||
                        records[0].message == "ztmsg_init: error creating path /tmp/ztmsg/alpha\n")
                << records[0].message;
        }
        if (send_result < 0) {
            EXPECT_EQ(records.back().message, "send_msg: msgget returned (Cannot allocate memory)\n");
        }
    });
}

}  // namespace
