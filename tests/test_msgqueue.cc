// Message queues in the test's own IPC namespace and /tmp: the key
// directories, whole messages with their sender, broadcasts, and every
// failure with its syslog record.
#include <errno.h>
#include <sched.h>
#include <string.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

using zt_test::with_errno;
constexpr int kErr = zt_test::kDefaultFacility | LOG_ERR;
constexpr int kDebug = zt_test::kDefaultFacility | LOG_DEBUG;

// Each test has System V IPC of its own, and no key directories.
class MsgQueueTest : public testing::Test {
protected:
    void SetUp() override
    {
        ZT_REQUIRE_ISOLATION();
        ASSERT_EQ(unshare(CLONE_NEWIPC), 0);
        (void)!system("rm -rf " ZTMSG_DIR);
        zt_test::take_syslog();
    }
};

int init(const char *name)
{
    int queue = -1;
    EXPECT_EQ(ztmsg_init(name, &queue), 0) << name;
    return queue;
}

ztmsg_message message_of(long type, const std::string &data)
{
    ztmsg_message message = {type, static_cast<uint32_t>(data.size()), 0, {}};
    memcpy(message.data, data.data(), data.size());
    return message;
}

// Takes one message, sent by this process: "type:data", or "<none>".
std::string take(int queue, int wait = 0)
{
    ztmsg_message message = {};
    int received = -1;
    if (ztmsg_get(queue, &message, &received, wait) < 0)
        return "<none>";
    EXPECT_EQ(received, static_cast<int>(message.length) + 8);
    EXPECT_EQ(message.sender_pid, getpid()) << "the sender";
    return std::to_string(message.mtype) + ":" + std::string(message.data, message.length);
}

TEST_F(MsgQueueTest, InitFindsItsQueueAgainAndMessagesArriveWholeWithTheirSender)
{
    const int queue = init("alpha");
    EXPECT_EQ(msgget(ftok(ZTMSG_DIR "alpha", ZTMSG_KEY_ID), 0), queue) << "a tool finds the queue by its key";
    struct msqid_ds info;
    ASSERT_EQ(msgctl(queue, IPC_STAT, &info), 0);
    EXPECT_EQ(info.msg_perm.mode & 0777, 0660u);
    // Without waiting, an empty queue fails at once.
    ztmsg_message message = message_of(3, "abc");
    int received = 0;
    EXPECT_EQ(with_errno(ztmsg_get(queue, &message, &received, 0)), std::pair(-1, ENOMSG));
    EXPECT_EQ(with_errno(ztmsg_get(queue, nullptr, &received, 0)), std::pair(-1, EINVAL));
    EXPECT_SYSLOG({kDebug, "ztmsg_get: msgrcv failed 42 (No message of desired type)\n"});

    ASSERT_EQ(ztmsg_send("alpha", &message), 0);
    EXPECT_EQ(init("alpha"), queue);  // the same queue, messages and all
    EXPECT_EQ(take(queue, 5), "3:abc");
    EXPECT_SYSLOG({kErr, "ztmsg_get: does not support waits of 5 yet\n"});
    // A receiving buffer of the documented size (the record's padding on
    // x86_64 excluded) takes the largest message; not a byte is written past it.
    message = message_of(9, std::string(ZTMSG_MAX_DATA, 'z'));
    ASSERT_EQ(ztmsg_send("alpha", &message), 0);
    zt_test::GuardedBytes exact(ZTMSG_RECEIVE_SIZE);
    ASSERT_EQ(ztmsg_get(queue, reinterpret_cast<ztmsg_message *>(exact.data()), &received, 0), 0);
    EXPECT_EQ(received, 8 + ZTMSG_MAX_DATA);
    EXPECT_EQ(exact.data()[ZTMSG_RECEIVE_SIZE - 1], 'z');
    // Longer data is refused before it leaves, whatever the destination.
    message.length = ZTMSG_MAX_DATA + 1;
    for (const char *destination : {"alpha", "*"}) {
        EXPECT_EQ(with_errno(ztmsg_send(destination, &message)), std::pair(-1, EMSGSIZE)) << destination;
        EXPECT_SYSLOG({kErr, "ztmsg_send: message of 253 bytes is longer than 252\n"});
    }
    EXPECT_EQ(take(queue), "<none>");
}

// Failures are logged: an allocation failure too, the init record naming
// the service when its path cannot be made and the path when the walk along
// it runs out of memory. Then key directories whose inode numbers need 64
// bits (where the overlay that gives them can be made): each service finds
// its queue, and a broadcast reaches every one, .hidden too, past a
// directory without a queue.
TEST_F(MsgQueueTest, FailuresAreLoggedAndBroadcastsReachEveryKeyDirectory)
{
    const char *const kNoQueue = "send_msg: msgget returned (No such file or directory)\n";
    int queue = init("alpha"), init_result = 0, send_result = 0;
    ztmsg_message message = message_of(1, "x");
    zt_test::failalloc::for_each_failure(
        [&] {
            init_result = ztmsg_init("alpha", &queue);
            send_result = ztmsg_send("alpha", &message);
        },
        [&](bool failed) {
            const std::vector<zt_test::SyslogRecord> records = zt_test::take_syslog();
            ASSERT_EQ(records.empty(), !failed);
            if (init_result < 0) {
                EXPECT_TRUE(records[0].message == "ztmsg_init: error creating path alpha\n" ||
                            records[0].message == "ztmsg_init: error creating path /tmp/ztmsg/alpha\n")
                    << records[0].message;
            }
            if (send_result < 0) {
                EXPECT_EQ(records.back().message, "send_msg: msgget returned (Cannot allocate memory)\n");
            }
        });
    message = message_of(1, std::string(ZTMSG_MAX_DATA, 'f'));
    EXPECT_EQ(ztmsg_send("nobody-here", &message), -1);
    ztmsg_term(queue);
    EXPECT_EQ(ztmsg_term(queue), 0);  // no longer valid: still 0
    queue = init("full");
    while (ztmsg_send("full", &message) == 0) {  // a full queue fails at once
    }
    EXPECT_SYSLOG({kErr, kNoQueue}, {kErr, "send_msg: msgsnd returned (Resource temporarily unavailable)\n"});
    EXPECT_EQ(with_errno(ztmsg_send(nullptr, &message)), std::pair(-1, EINVAL));
    EXPECT_EQ(ztmsg_init(nullptr, &queue), -1);
    ASSERT_EQ(zt_touch(ZTMSG_DIR "file"), 0);
    EXPECT_EQ(ztmsg_init("file/below", &queue), -1);
    (void)!system("rm -rf " ZTMSG_DIR);
    EXPECT_EQ(ztmsg_send("*", &message), -1);
    EXPECT_SYSLOG({kErr, "ztmsg_init: passed bad arg\n"},
                  {kErr, "ztmsg_init: error creating path /tmp/ztmsg/file/below\n"},
                  {kErr, "ztmsg_send: unable to open /tmp/ztmsg/\n"});

    zt_test::WideInodeDir wide("/tmp/ztmsg", [](const std::string &lower) {
        for (const char *name : {"/alpha", "/.hidden", "/dead"})
            mkdir((lower + name).c_str(), 0777);
    });
    mkdir(ZTMSG_DIR "dead", 0777);  // already there on the overlay
    const int queues[] = {init(".hidden"), init("alpha")};
    message = message_of(2, "all");
    EXPECT_EQ(ztmsg_send("*", &message), 0);
    EXPECT_SYSLOG({kErr, kNoQueue});
    for (int each : queues)
        EXPECT_EQ(take(each), "2:all");
    if (!wide.problem().empty())
        GTEST_SKIP() << "inode numbers of 32 bits only: " << wide.problem();
}

}  // namespace
