// Restart notifications: every service listens on "/tmp/restart_uds/NAME";
// a peer connects, sends one request (a property check, a restart request or
// an event) and gets one 8-byte reply. This file holds the serving side and
// the property transfer that both sides share.
// Its contract: zttools.h and the manual page zttools_restart(3).
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>

#include <initializer_list>

#include "internal.h"
#include "zttools.h"

namespace {

constexpr char kTraceFile[] = "src/lib/zttools/restart";
constexpr char kRestartDir[] = RESTART_UDS_DIR;
constexpr uint32_t kRequestSize = 8;
constexpr int32_t kNoEventHandler = 2;
constexpr int32_t kCheckUndecided = 2;
constexpr int32_t kRestarted = 3;
constexpr int32_t kNotRestarted = 4;

// Makes sure the restart directory exists and is usable by its owner.
int ensure_restart_dir()
{
    struct stat status;
    if (stat(kRestartDir, &status) < 0) {
        if (errno != ENOENT)
            return -1;
        if (mkdir(kRestartDir, 0700) == 0)
            return 0;
        // Services that start together race to make it: one that lost
        // finds the winner's directory and checks it as any other.
        if (errno != EEXIST)
            return -1;
        if (stat(kRestartDir, &status) < 0) {
            errno = EEXIST;  // a dangling link: mkdir's answer stands
            return -1;
        }
    }
    if (!S_ISDIR(status.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    if ((status.st_mode & S_IRWXU) == 0) {
        errno = EACCES;
        return -1;
    }
    return 0;
}

// A service name names one file inside the restart directory.
bool valid_name(const char *name)
{
    if (!name || !*name || strchr(name, '/')) {
        errno = EINVAL;
        return false;
    }
    return true;
}

// The socket path of a service, in a new block: the directory's 16
// characters, the slash, the name and the NUL.
zt::MallocPtr<char> socket_path(const char *name)
{
    size_t size = strlen(name) + sizeof kRestartDir + 1;
    zt::MallocPtr<char> path(static_cast<char *>(malloc(size)));
    if (path)
        snprintf(path.get(), size, "%s/%s", kRestartDir, name);
    return path;
}

}  // namespace

extern "C" {

int restart_server(const char *name)
{
    if (!valid_name(name) || ensure_restart_dir() < 0)
        return -1;
    zt::MallocPtr<char> path = socket_path(name);
    if (!path)
        return -1;
    int fd = ztuds_server(path.get(), 0700);
    return fd < 0 ? -1 : fd;
}

int restart_del(const char *name)
{
    if (ensure_restart_dir() < 0)
        return -1;
    if (!name || !*name)
        return 0;
    if (!valid_name(name))
        return -1;
    zt::MallocPtr<char> path = socket_path(name);
    if (!path) {
        ZT_TRACE_ERROR("No memory for restart UDS close");
        return -1;
    }
    unlink(path.get());
    return 0;
}

}  // extern "C"

namespace {

int send_reply(int fd, int32_t result)
{
    const int32_t reply[2] = {result, 0};
    return ztuds_write(fd, reply, sizeof reply, RESTART_PROTOCOL_ID);
}

// Answers a property check of count groups. A failed reply is logged but
// is not an error of the call; only a failed read of the list is.
int handle_check(int fd, uint32_t count, restart_check_handler check_handler, void *ctx)
{
    int32_t result = kCheckUndecided;
    restart_prop *list = nullptr;
    if (count != 0) {
        list = restart_get_props(fd, count);
        if (!list)
            return errno;
    }
    for (uint32_t i = 0; i < count; i++) {
        int verdict = check_handler(list[i].str1, list[i].str2, list[i].str3, ctx);
        if (verdict == 0 || verdict == 1)
            result = verdict;
    }
    if (send_reply(fd, result) < 0)
        syslog(LOG_ERR, "%s: error sending response", "handle_check");
    restart_free_props(list, static_cast<int>(count));
    errno = 0;
    return 0;
}

int handle_event(int fd, uint32_t code, restart_event_handler event_handler, uint32_t read_arg,
                 void *ctx)
{
    void *args = nullptr;
    if (ztuds_read(fd, &args, nullptr, nullptr, read_arg) < 0) {
        int error = errno;
        syslog(LOG_ERR, "%s: error reading RESTART_EVENT args", "restart_accept");
        return error;
    }
    int32_t result = event_handler ? event_handler(code, args, ctx) : kNoEventHandler;
    free(args);
    if (send_reply(fd, result) < 0) {
        int error = errno;
        syslog(LOG_ERR, "%s: error sending RESTART_EVENT result", "restart_accept");
        return error;
    }
    return 0;
}

// Reads, checks and answers the one request of an accepted connection.
// Returns the pending error number: 0 when the request was served.
int serve_request(int fd, restart_check_handler check_handler,
                  restart_request_handler request_handler, restart_event_handler event_handler,
                  uint32_t read_arg, void *ctx)
{
    void *request = nullptr;
    uint32_t length = 0;
    uint32_t id = 0;
    int got = ztuds_read(fd, &request, &length, &id, read_arg);
    zt::MallocPtr<void> owner(request);
    if (got >= 0 && length < kRequestSize) {
        got = -1;
        errno = EBADMSG;
    }
    if (got < 0) {
        int error = errno;
        syslog(LOG_ERR, "%s: error reading request", "restart_accept");
        return error;
    }
    if (id != RESTART_PROTOCOL_ID) {
        syslog(LOG_ERR, "%s: unexpected protocol id received (%d)", "restart_accept",
               static_cast<int>(id));
        return EPROTO;
    }
    uint32_t words[2];
    memcpy(words, request, sizeof words);
    switch (words[0]) {
    case RESTART_EVENT:
        return handle_event(fd, words[1], event_handler, read_arg, ctx);
    case RESTART_CHECK:
        return handle_check(fd, words[1], check_handler, ctx);
    case RESTART_REQUEST: {
        int32_t result = request_handler(ctx) == kRestarted ? kRestarted : kNotRestarted;
        return send_reply(fd, result) < 0 ? errno : 0;
    }
    default:
        syslog(LOG_ERR, "%s: unexpected request type (%d)", "restart_accept",
               static_cast<int>(words[0]));
        return EBADRQC;
    }
}

}  // namespace

extern "C" {

int restart_accept(int listen_fd, restart_check_handler check_handler,
                   restart_request_handler request_handler, restart_event_handler event_handler,
                   uint32_t read_arg, void *ctx)
{
    if (!check_handler || !request_handler) {
        syslog(LOG_ERR, "%s: invalid callback handlers", "restart_accept");
        errno = EINVAL;
        return -1;
    }
    int pending;
    int fd = ztuds_accept(listen_fd);
    if (fd < 0) {
        pending = errno;
        syslog(LOG_ERR, "%s: ztuds_accept failed", "restart_accept");
    } else {
        pending = serve_request(fd, check_handler, request_handler, event_handler, read_arg, ctx);
        ztuds_close(fd);
    }
    if (pending == 0)
        return 0;
    errno = pending;
    return -1;
}

}  // extern "C"

namespace {

// Reads one message of the property transfer into a block of its own.
int read_prop_message(int fd, zt::MallocPtr<char> &payload, uint32_t *length)
{
    void *block = nullptr;
    if (ztuds_read(fd, &block, length, nullptr, RESTART_PROTOCOL_ID) < 0)
        return -1;
    payload.reset(static_cast<char *>(block));
    return 0;
}

// Reads one property string. The sender includes the NUL; an empty message
// is an absent string, and a string without its NUL is refused, so that no
// reader ever runs past the payload. The string's bytes come out of what
// is left of the check's byte budget; a string beyond it is refused, so
// that one peer cannot make a service hold more than the bound.
int read_prop_string(int fd, char **out, uint32_t *budget)
{
    zt::MallocPtr<char> text;
    uint32_t length = 0;
    if (read_prop_message(fd, text, &length) < 0)
        return -1;
    if (length > *budget) {
        errno = EMSGSIZE;
        return -1;
    }
    *budget -= length;
    if (length == 0)
        return 0;
    if (text.get()[length - 1] != '\0') {
        errno = EBADMSG;
        return -1;
    }
    *out = text.release();
    return 0;
}

int read_prop_value(int fd, uint32_t *value)
{
    zt::MallocPtr<char> payload;
    uint32_t length = 0;
    if (read_prop_message(fd, payload, &length) < 0)
        return -1;
    if (length < sizeof *value) {
        errno = EBADMSG;
        return -1;
    }
    memcpy(value, payload.get(), sizeof *value);
    return 0;
}

}  // namespace

extern "C" {

restart_prop *restart_get_props(int fd, uint32_t count)
{
    if (count > RESTART_MAX_PROPS) {
        errno = EMSGSIZE;
        return nullptr;
    }
    auto *list = static_cast<restart_prop *>(calloc(count ? count : 1, sizeof(restart_prop)));
    if (!list)
        return nullptr;
    uint32_t budget = RESTART_MAX_PROP_BYTES;
    for (uint32_t i = 0; i < count; i++) {
        restart_prop *prop = &list[i];
        if (read_prop_string(fd, &prop->str1, &budget) < 0 || read_prop_string(fd, &prop->str2, &budget) < 0 ||
            read_prop_string(fd, &prop->str3, &budget) < 0 || read_prop_value(fd, &prop->value) < 0) {
            if (errno == 0)
                break;  // the peer ended early: keep what arrived
            zt::SavedErrno keep;
            restart_free_props(list, static_cast<int>(count));
            return nullptr;
        }
    }
    return list;
}

void restart_free_props(restart_prop *list, int count)
{
    if (!list)
        return;
    for (int i = 0; i < count; i++) {
        free(list[i].str1);
        free(list[i].str2);
        free(list[i].str3);
    }
    free(list);
}

int restart_send_prop(int fd, const restart_prop *prop, uint32_t id)
{
    if (!prop) {
        errno = EINVAL;
        return -1;
    }
    for (const char *text : {prop->str1, prop->str2, prop->str3}) {
        uint32_t length = text ? static_cast<uint32_t>(strlen(text)) + 1 : 0;
        if (ztuds_write(fd, text, length, id) < 0)
            return -1;
    }
    return ztuds_write(fd, &prop->value, sizeof prop->value, id) < 0 ? -1 : 0;
}

int restart_close(int fd)
{
    return fd < 0 ? fd : ztuds_close(fd);
}

}  // extern "C"
