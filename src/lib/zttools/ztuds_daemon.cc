// The daemon event loop: the main loop of a service process. It owns the
// command server's socket and the service's restart socket for its whole
// run, calls the idle handler on time, waits in one select per pass on both
// sockets and on the caller's descriptors, serves what is ready, and shuts
// both sockets down on every way out.
// Its contract: zttools.h and the manual page zttools_daemon(3).
#include <errno.h>
#include <string.h>
#include <sys/select.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>

#include "internal.h"
#include "zttools.h"

namespace {

constexpr char kTraceFile[] = "src/lib/zttools/ztuds_daemon";
constexpr char kLoop[] = "ztuds_daemon";
// The command server takes the name in a 40-byte buffer.
constexpr size_t kCmdNameSize = 40;

// The loop's records all speak for the exported function.
#define LOOP_ERROR(...) ZT_TRACE_AS(kLoop, ::zt::kErrorTrace, __VA_ARGS__)
#define LOOP_DEBUG(...) ZT_TRACE_AS(kLoop, ::zt::kDebugTrace, __VA_ARGS__)

struct Handlers {
    ztuds_idle_handler idle;
    void *ctx;
    void *cmd;
    restart_check_handler check;
    restart_request_handler request;
    restart_event_handler event;
    ztuds_fdset_hook fdset_hook;  // null unless fd_handler is given too
    ztuds_fd_handler fd;          // null unless fdset_hook is given too
};

// Whole seconds of system uptime, so that wall-clock changes move no timer;
// fallback when the kernel cannot tell.
int64_t uptime_or(int64_t fallback)
{
    struct sysinfo info;
    return sysinfo(&info) == 0 ? static_cast<int64_t>(info.uptime) : fallback;
}

// Passes until a handler ends the loop or max_errors waits in a row failed.
int run(int cmd_fd, int restart_fd, int highest_fd, int max_errors, int idle_secs,
        const Handlers &h)
{
    const int64_t t0 = uptime_or(0);
    int32_t idle_deadline = static_cast<int32_t>(t0 - idle_secs);  // due on the first pass
    int64_t fd_handler_called = t0;
    int failures = 0;
    for (;;) {
        const int64_t now = uptime_or(0);
        if (h.idle && idle_deadline <= now) {
            int r = h.idle(h.ctx);
            idle_deadline = static_cast<int32_t>(now + idle_secs);
            if (r != 0) {
                LOOP_ERROR("%s: returning because idle handler returned %d", kLoop, r);
                return r;
            }
        }
        fd_set read_set;
        FD_ZERO(&read_set);
        FD_SET(cmd_fd, &read_set);
        FD_SET(restart_fd, &read_set);
        if (h.fd)
            h.fdset_hook(&highest_fd, &read_set);
        struct timeval timeout = {idle_secs, 0};
        if (select(highest_fd + 1, &read_set, nullptr, nullptr, idle_secs ? &timeout : nullptr) <
            0) {
            failures++;
            if (errno != EINTR) {
                LOOP_ERROR("%s: select error: %m", kLoop);
                sleep(1);
            }
            if (failures < max_errors)
                continue;
            return -1;
        }
        if (FD_ISSET(cmd_fd, &read_set) && ztuds_handler(cmd_fd, h.cmd, h.ctx) < 0)
            LOOP_ERROR("%s: ztuds_handler error: %m", kLoop);
        if (FD_ISSET(restart_fd, &read_set) &&
            restart_accept(restart_fd, h.check, h.request, h.event, 0, h.ctx) < 0)
            LOOP_ERROR("%s: restart_accept error: %m", kLoop);
        if (h.fd) {
            const int64_t called = uptime_or(fd_handler_called);
            int r = h.fd(&read_set, static_cast<int32_t>(called - fd_handler_called), h.ctx);
            if (r != 0) {
                LOOP_DEBUG("%s: returning because user defined file descriptor handler returned %d",
                           kLoop, r);
                return r;
            }
            fd_handler_called = called;
        }
        failures = 0;
    }
}

// Sets both sockets up, runs the loop and returns its result; the
// descriptors it made are left in *cmd_fd and *restart_fd for shut-down.
int start_and_run(const char *name, int max_errors, int idle_secs, const Handlers &h, int *cmd_fd,
                  int *restart_fd)
{
    if (!h.cmd || !h.check || !h.request) {
        LOOP_ERROR("%s: passed NULL callback handler", kLoop);
        return -1;
    }
    char cmd_name[kCmdNameSize] = {};
    if (name)
        strncpy(cmd_name, name, kCmdNameSize - 1);
    else
        errno = EINVAL;
    int result = name ? ztcmd_server_init(cmd_name, cmd_fd) : -1;
    if (result != 0 || *cmd_fd < 0) {
        LOOP_ERROR("%s: UDS error: %m", kLoop);
        return result;
    }
    *restart_fd = restart_server(name);
    if (*restart_fd < 0) {
        LOOP_ERROR("%s: restart server error: %m", kLoop);
        return -1;
    }
    if (max_errors < 1)
        return -1;
    return run(*cmd_fd, *restart_fd, std::max(*cmd_fd, *restart_fd), max_errors, idle_secs, h);
}

}  // namespace

extern "C" {

int ztuds_daemon(const char *name, int max_errors, int idle_secs, ztuds_idle_handler idle_handler,
                 void *ctx, void *cmd_handler, restart_check_handler check_handler,
                 restart_request_handler request_handler, restart_event_handler event_handler,
                 ztuds_fdset_hook fdset_hook, ztuds_fd_handler fd_handler)
{
    const bool pair = fdset_hook && fd_handler;
    const Handlers handlers = {idle_handler,  ctx,           cmd_handler,
                               check_handler, request_handler, event_handler,
                               pair ? fdset_hook : nullptr, pair ? fd_handler : nullptr};
    int cmd_fd = -1;
    int restart_fd = -1;
    int result = start_and_run(name, max_errors, idle_secs, handlers, &cmd_fd, &restart_fd);
    // The caller sees the errno of what ended the loop, not of the shut-down.
    zt::SavedErrno keep;
    ztcmd_server_term(&cmd_fd);
    ztuds_close(restart_fd);
    return result;
}

}  // extern "C"
