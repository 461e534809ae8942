// Message queues in the test's own IPC namespace and /tmp: the key
// directories, whole messages with their sender, waits that another process
// ends, broadcasts, and every failure with its syslog record.
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
        for (int queue : queues_)
            ztmsg_term(queue);
        if (zt_test::isolated())
            (void)!system("rm -rf " ZTMSG_DIR);
    }
    int init(const char *name)
    {
        int queue = -1;
        EXPECT_EQ(ztmsg_init(name, &queue), 0) << name;
        queues_.push_back(queue);
        return queue;
    }
    std::vector<int> queues_;
};

// The records since the last check: none, or just this one.
void expect_log(const char *message = nullptr, int priority = kErr)
{
    std::vector<zt_test::SyslogRecord> records = zt_test::take_syslog();
    ASSERT_EQ(records.size(), message ? 1u : 0u) << (message ? message : "no record expected");
    if (message) {
        EXPECT_EQ(records[0].priority, priority);
        EXPECT_EQ(records[0].message, message);
    }
}

// A call that failed with -1 and errno error (0: any), and logged just this
// record (or none).
void expect_failure(int result, int error, const char *record = nullptr, int priority = kErr)
{
    const int failure = errno;
    EXPECT_EQ(result, -1) << (record ? record : "");
    EXPECT_TRUE(!error || failure == error) << failure;
    expect_log(record, priority);
}

ztmsg_message message_of(long type, const std::string &data)
{
    ztmsg_message message = {};
    message.mtype = type;
    message.length = static_cast<uint32_t>(data.size());
    memcpy(message.data, data.data(), data.size());
    return message;
}

// Takes one message (by default without waiting): "type:data", or "<none>".
std::string take(int queue, pid_t *sender = nullptr, int wait = 0)
{
    ztmsg_message message = {};
    int received = -1;
    if (ztmsg_get(queue, &message, &received, wait) < 0)
        return "<none>";
    EXPECT_EQ(received, static_cast<int>(message.length) + 8);
    if (sender)
        *sender = message.sender_pid;
    return std::to_string(message.mtype) + ":" + std::string(message.data, message.length);
}

TEST_F(MsgQueueTest, InitFindsItsQueueAgainAndMessagesArriveWholeWithTheirSender)
{
    int queue = init("alpha");
    struct stat st;
    EXPECT_TRUE(stat(ZTMSG_DIR "alpha", &st) == 0 && S_ISDIR(st.st_mode));  // the key
    EXPECT_EQ(msgget(ftok(ZTMSG_DIR "alpha", ZTMSG_KEY_ID), 0), queue) << "a tool finds the queue by its key";
    struct msqid_ds info;
    ASSERT_EQ(msgctl(queue, IPC_STAT, &info), 0);
    EXPECT_EQ(info.msg_perm.mode & 0777, 0660u);
    ASSERT_EQ(zt_test::run_in_child([] {
                  ztmsg_message message = message_of(3, "abc");
                  ztmsg_message full = message_of(9, std::string(ZTMSG_MAX_DATA, 'x'));
                  return ztmsg_send("alpha", &message) | ztmsg_send("alpha", &full);
              }),
              0);
    EXPECT_EQ(init("alpha"), queue);  // the same queue, messages and all
    pid_t sender = 0, again = 0;
    EXPECT_EQ(take(queue, &sender), "3:abc");
    EXPECT_TRUE(sender > 0 && sender != getpid()) << sender;
    EXPECT_EQ(take(queue, &again), "9:" + std::string(ZTMSG_MAX_DATA, 'x'));
    EXPECT_EQ(again, sender);
    // A receiving buffer of the documented size (the record's padding on
    // x86_64 excluded) takes the largest message; not a byte is written past it.
    ASSERT_EQ(zt_test::run_in_child([] {
                  ztmsg_message full = message_of(9, std::string(ZTMSG_MAX_DATA, 'z'));
                  return ztmsg_send("alpha", &full);
              }),
              0);
    EXPECT_EQ(ZTMSG_RECEIVE_SIZE, sizeof(long) == 4 ? sizeof(ztmsg_message) : sizeof(ztmsg_message) - 4);
    zt_test::GuardedBytes exact(ZTMSG_RECEIVE_SIZE);
    int received = -1;
    ASSERT_EQ(ztmsg_get(queue, reinterpret_cast<ztmsg_message *>(exact.data()), &received, 0), 0);
    EXPECT_EQ(received, 8 + ZTMSG_MAX_DATA);
    EXPECT_EQ(exact.data()[ZTMSG_RECEIVE_SIZE - 1], 'z');
    // Longer data is refused before it leaves, whatever the destination.
    ztmsg_message longer = message_of(4, std::string(ZTMSG_MAX_DATA, 'l'));
    longer.length = ZTMSG_MAX_DATA + 1;
    for (const char *destination : {"alpha", "*"})
        expect_failure(ztmsg_send(destination, &longer), EMSGSIZE,
                       "ztmsg_send: message of 253 bytes is longer than 252\n");
    EXPECT_EQ(take(queue), "<none>");
    zt_test::take_syslog();
    // The sender's record carries its pid afterwards.
    ztmsg_message mine = message_of(1, "");
    ASSERT_EQ(ztmsg_send("alpha", &mine), 0);
    EXPECT_EQ(mine.sender_pid, getpid());
    EXPECT_EQ(take(queue), "1:");
    expect_log();
}

TEST_F(MsgQueueTest, GetFailsAtOnceWithoutWaitingAndWaitsThroughSignals)
{
    int queue = init("alpha");
    ztmsg_message message;
    int received = 77;
    expect_failure(ztmsg_get(queue, &message, &received, 0), ENOMSG,
                   "ztmsg_get: msgrcv failed 42 (No message of desired type)\n", kDebug);
    EXPECT_EQ(received, 77);
    expect_failure(ztmsg_get(queue, nullptr, &received, 0), EINVAL);
    expect_failure(ztmsg_get(123456, &message, &received, 0), EINVAL,
                   "ztmsg_get: msgrcv failed 22 (Invalid argument)\n", kDebug);

    // The signal interrupts the wait, which goes on until the child sends;
    // an unsupported wait is logged and waits like -1.
    ASSERT_EQ(SimpleSigAction(SIGUSR1, [](int) {}), 0);
    const pid_t receiver = getpid();
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        usleep(100000);
        kill(receiver, SIGUSR1);
        usleep(100000);
        ztmsg_message late = message_of(5, "late");
        _exit(ztmsg_send("alpha", &late) == 0 ? 0 : 1);
    }
    EXPECT_EQ(take(queue, nullptr, 5), "5:late");
    int status;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    expect_log("ztmsg_get: does not support waits of 5 yet\n");
    signal(SIGUSR1, SIG_DFL);
}

TEST_F(MsgQueueTest, BroadcastsReachEveryKeyDirectoryAndFailuresAreLogged)
{
    std::vector<int> queues;
    for (const char *name : {"alpha", ".hidden"})
        queues.push_back(init(name));
    ASSERT_EQ(mkdir(ZTMSG_DIR "dead", 0777), 0);  // a key directory without a queue
    ztmsg_message message = message_of(2, "all");
    EXPECT_EQ(ztmsg_send("*", &message), 0);
    for (int queue : queues) {
        EXPECT_EQ(take(queue), "2:all");
        EXPECT_EQ(take(queue), "<none>");
    }
    zt_test::take_syslog();  // the empty takes

    // Failures are logged and never create a queue.
    const char *const kNoQueue = "send_msg: msgget returned (No such file or directory)\n";
    message = message_of(1, "x");
    expect_failure(ztmsg_send("nobody-here", &message), 0, kNoQueue);
    EXPECT_EQ(access(ZTMSG_DIR "nobody-here", F_OK), -1);
    int queue = init("alpha");
    ztmsg_term(queue);
    expect_failure(ztmsg_send("alpha", &message), 0, kNoQueue);
    EXPECT_EQ(ztmsg_term(queue), 0);  // no longer valid: still 0
    // A full queue fails at once; a type of 0 is refused.
    queue = init("alpha");
    message = message_of(1, std::string(ZTMSG_MAX_DATA, 'f'));
    int sent = 0;
    while (ztmsg_send("alpha", &message) == 0)
        sent++;
    EXPECT_GT(sent, 0);
    expect_log("send_msg: msgsnd returned (Resource temporarily unavailable)\n");
    ztmsg_term(queue);
    init("alpha");
    message.mtype = 0;
    expect_failure(ztmsg_send("alpha", &message), 0, "send_msg: msgsnd returned (Invalid argument)\n");
    expect_failure(ztmsg_send(nullptr, &message), EINVAL);

    queue = -5;
    expect_failure(ztmsg_init(nullptr, &queue), 0, "ztmsg_init: passed bad arg\n");
    expect_failure(ztmsg_init("alpha", nullptr), 0, "ztmsg_init: passed bad arg\n");
    EXPECT_EQ(queue, -5);
    ASSERT_EQ(zt_touch(ZTMSG_DIR "file"), 0);
    expect_failure(ztmsg_init("file/below", &queue), 0,
                   "ztmsg_init: error creating path /tmp/ztmsg/file/below\n");
    (void)!system("rm -rf " ZTMSG_DIR);
    expect_failure(ztmsg_send("*", &message), 0, "ztmsg_send: unable to open /tmp/ztmsg/\n");
}

// Key directories whose inode numbers need 64 bits: each service finds its
// queue, and the broadcast's directory walk reaches both.
TEST_F(MsgQueueTest, BroadcastWalksKeyDirectoriesWithWideInodeNumbers)
{
    zt_test::WideInodeDir base("/tmp/ztmsg", [](const std::string &lower) {
        for (const char *name : {"/alpha", "/beta"})
            mkdir((lower + name).c_str(), 0777);
    });
    if (!base.problem().empty())
        GTEST_SKIP() << base.problem();
    const int queues[] = {init("alpha"), init("beta")};
    ztmsg_message message = message_of(3, "wide");
    EXPECT_EQ(ztmsg_send("*", &message), 0);
    for (int queue : queues)
        EXPECT_EQ(take(queue), "3:wide");
    expect_log();
}

TEST_F(MsgQueueTest, AllocationFailuresFailWithTheirRecords)
{
    init("alpha");
    failalloc::for_each_failure([&](unsigned k, failalloc::Mode mode) {
        int queue = -1;
        ztmsg_message message = message_of(1, "x");
        failalloc::arm(k, mode);
        int init_result = ztmsg_init("alpha", &queue);
        int send_result = ztmsg_send("alpha", &message);
        const bool failed = failalloc::failed();
        failalloc::disarm();
        std::vector<zt_test::SyslogRecord> records = zt_test::take_syslog();
        EXPECT_EQ(init_result < 0 || send_result < 0, failed);
        ASSERT_EQ(records.empty(), !failed);
        // Without its path the init record names the service; when the walk
        // along the path runs out of memory, the path.
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
