// Short messages between service processes over System V message queues.
// A receiving service owns one queue, found by its name: the name becomes a
// directory under "/tmp/ztmsg/" and the queue's key is derived from that
// directory, so a sender needs nothing but the name (or "*" for every
// service that has a queue).
// Its contract: zttools.h and the manual page zttools_msgqueue(3).
#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <strings.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <syslog.h>
#include <unistd.h>

#include "internal.h"
#include "zttools.h"

namespace {

constexpr char kBaseDir[] = ZTMSG_DIR;
constexpr int kProjectId = ZTMSG_KEY_ID;
constexpr int kCreateFlags = IPC_CREAT | 0660;
// What travels after the message type: the length and sender words and at
// most ZTMSG_MAX_DATA bytes of data.
constexpr size_t kHeaderWords = 2 * sizeof(uint32_t);
constexpr size_t kMaxReceive = kHeaderWords + ZTMSG_MAX_DATA;
static_assert(sizeof(long) + kMaxReceive == ZTMSG_RECEIVE_SIZE);

static_assert(offsetof(ztmsg_message, length) == sizeof(long));
static_assert(offsetof(ztmsg_message, data) == sizeof(long) + kHeaderWords);

// "/tmp/ztmsg/NAME", or null when it cannot be allocated.
zt::MallocPtr<char> key_path(const char *name)
{
    return zt::MallocPtr<char>(zt_buildstr(nullptr, "%s%s", kBaseDir, name));
}

// The queue key of a key path; -1 (errno set) when the directory is missing
// or the path could not be built.
key_t queue_key(const char *path)
{
    if (!path) {
        errno = ENOMEM;
        return -1;
    }
    return ftok(path, kProjectId);
}

}  // namespace

extern "C" {

int ztmsg_init(const char *name, int *queue_id)
{
    if (!name || !queue_id) {
        syslog(LOG_ERR, "%s: passed bad arg\n", __func__);
        return -1;
    }
    zt::MallocPtr<char> path = key_path(name);
    // Without memory for the path the record names the service instead.
    if (!path || zt_buildpath(path.get(), 0777) < 0) {
        syslog(LOG_ERR, "%s: error creating path %s\n", __func__, path ? path.get() : name);
        return -1;
    }
    key_t key = queue_key(path.get());
    int queue = key == -1 ? -1 : msgget(key, kCreateFlags);
    if (queue < 0) {
        syslog(LOG_ERR, "%s: msgget failed (%s)\n", __func__, strerror(errno));
        return -1;
    }
    *queue_id = queue;
    return 0;
}

int ztmsg_get(int queue_id, ztmsg_message *message, int *received, int wait)
{
    if (!message || !received) {
        errno = EINVAL;
        return -1;
    }
    if (wait != 0 && wait != -1)
        syslog(LOG_ERR, "%s: does not support waits of %d yet\n", __func__, wait);
    const int flags = wait == 0 ? IPC_NOWAIT : 0;
    ssize_t size;
    while ((size = msgrcv(queue_id, message, kMaxReceive, 0, flags)) < 0) {
        if (errno != EINTR) {
            syslog(LOG_DEBUG, "%s: msgrcv failed %d (%s)\n", __func__, errno, strerror(errno));
            return -1;
        }
    }
    *received = static_cast<int>(size);
    return 0;
}

}  // extern "C"

namespace {

int send_msg(const char *name, ztmsg_message *message)
{
    message->sender_pid = getpid();
    zt::MallocPtr<char> path = key_path(name);
    key_t key = queue_key(path.get());
    int queue = key == -1 ? -1 : msgget(key, 0);
    if (queue < 0) {
        syslog(LOG_ERR, "%s: msgget returned (%s)\n", __func__, strerror(errno));
        return -1;
    }
    if (msgsnd(queue, message, kHeaderWords + message->length, IPC_NOWAIT) < 0) {
        syslog(LOG_ERR, "%s: msgsnd returned (%s)\n", __func__, strerror(errno));
        return -1;
    }
    return 0;
}

}  // namespace

extern "C" {

int ztmsg_send(const char *name, ztmsg_message *message)
{
    if (!name || !message) {
        errno = EINVAL;
        return -1;
    }
    // More would send the caller's memory behind the record, and a receiver
    // could never take it off the head of its queue.
    if (message->length > ZTMSG_MAX_DATA) {
        syslog(LOG_ERR, "%s: message of %u bytes is longer than %d\n", __func__,
               static_cast<unsigned>(message->length), ZTMSG_MAX_DATA);
        errno = EMSGSIZE;
        return -1;
    }
    if (strcasecmp(name, "*") != 0)
        return send_msg(name, message);
    DIR *dir = opendir(kBaseDir);
    if (!dir) {
        syslog(LOG_ERR, "%s: unable to open %s\n", __func__, kBaseDir);
        return -1;
    }
    // One failed destination does not stop the others; send_msg logs it.
    while (const struct dirent *entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            send_msg(entry->d_name, message);
    }
    closedir(dir);
    return 0;
}

int ztmsg_term(int queue_id)
{
    msgctl(queue_id, IPC_RMID, nullptr);
    return 0;
}

}  // extern "C"
