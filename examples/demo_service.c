/* demo_service: an example appliance service, built only on the public
 * interfaces of zttools and of the services library.
 *
 *     demo_service [--idle SECS] [--config FILE] [--sandbox] NAME
 *
 * It hands control to ztuds_daemon and then:
 *   - logs a heartbeat every SECS seconds (default 5) and the messages that
 *     arrive on its queue (ztmsg NAME);
 *   - judges restart property checks against its configuration: a property
 *     group that matches a configured line concerns the service (1), any
 *     other does not (0);
 *   - reloads its configuration on a restart request (answered 3) and on
 *     event 1; other events are logged and answered 0;
 *   - answers every datagram on the local socket DEMO_DGRAM_DIR/NAME with
 *     "pong " and the datagram's text;
 *   - answers "stop", "stats" and "config" on its command server;
 *   - reloads its configuration on SIGHUP, logs its statistics on SIGUSR1,
 *     reaps children on SIGCHLD;
 *   - ends on "stop", SIGTERM or SIGINT with status 0.
 * --sandbox confines it after start-up, once its sockets and queue are
 * open: a new root under the sandbox directory and the user "nobody", to
 * whom it gives its queue first so that messages still reach it.
 *
 * Signals. ztuds_daemon counts a wait that a signal interrupts as a failed
 * one and ends after MAX_ERRORS of them in a row, so a service whose signal
 * handlers interrupt the wait dies of a burst of harmless signals. This one
 * blocks the signals it takes for its whole life and reads them from a
 * signalfd that the loop watches like any other descriptor: a signal never
 * interrupts anything, and a storm of them only makes the loop busier.
 *
 * A second start under the name of a running service changes nothing of
 * the running one: it sees that service's command or restart socket answer
 * and ends with status 1 before it opens anything. At the end the service
 * removes only what it made itself.
 *
 * The configuration has one property per line, "STR1 STR2 STR3" ("-" for
 * an absent string, "*" for any string, "#" starts a comment). It is read
 * through a descriptor kept open, so that a reload works in the sandbox. */
#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/msg.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <fcntl.h>

#include "ztsvc.h"
#include "zttools.h"

#define DEMO_DGRAM_DIR "/tmp/demo_service"
#define MAX_PROPS 32
#define WORD_SIZE 64
#define MAX_ERRORS 10

/* The loop's result when the service was asked to stop. */
#define STOPPED 1

typedef struct property {
    char words[3][WORD_SIZE]; /* "-" absent, "*" any */
} property;

typedef struct service {
    const char *name;
    int sandboxed;      /* --sandbox given; done on the first idle pass */
    int config_fd;      /* -1: the built-in configuration */
    property props[MAX_PROPS];
    int prop_count;
    int queue_id;
    int dgram_fd;
    char dgram_path[sizeof ((struct sockaddr_un *)0)->sun_path];
    int signal_fd;
    int loop_ran;       /* its sockets were made: the idle handler ran */
    int stop;
    unsigned long heartbeats, datagrams, messages;
} service;

static const property builtin_props[] = {
    {{"interface", "eth0", "*"}},
    {{"route", "*", "*"}},
};

/* ---- configuration ------------------------------------------------------ */

/* One configuration line as a property: 1, or 0 for a blank or comment
 * line, -1 for anything else. */
static int parse_line(char *line, property *prop)
{
    char *hash = strchr(line, '#');
    if (hash)
        *hash = '\0';
    int count;
    char **words = zt_str2tokens(line, &count);
    int result = words && count == 0 ? 0 : -1;
    if (words && count == 3) {
        result = 1;
        for (int i = 0; i < 3 && result == 1; i++) {
            if (strlen(words[i]) >= WORD_SIZE)
                result = -1;
            else
                strcpy(prop->words[i], words[i]);
        }
    }
    zt_tokens_free(words);
    return result;
}

/* Reads the whole configuration again; a bad line keeps the old one. */
static int load_config(service *svc)
{
    if (svc->config_fd < 0) {
        svc->prop_count = (int)(sizeof builtin_props / sizeof builtin_props[0]);
        memcpy(svc->props, builtin_props, sizeof builtin_props);
        return 0;
    }
    char text[MAX_PROPS * 3 * WORD_SIZE];
    ssize_t length = pread(svc->config_fd, text, sizeof text - 1, 0);
    if (length < 0) {
        syslog(LOG_ERR, "config: %m");
        return -1;
    }
    text[length] = '\0';
    property props[MAX_PROPS];
    int count = 0, line_no = 0;
    char *rest = NULL;
    for (char *line = strtok_r(text, "\n", &rest); line; line = strtok_r(NULL, "\n", &rest)) {
        line_no++;
        int got = count < MAX_PROPS ? parse_line(line, &props[count]) : -1;
        if (got < 0) {
            syslog(LOG_ERR, "config line %d: expected STR1 STR2 STR3 (at most %d lines)", line_no,
                   MAX_PROPS);
            return -1;
        }
        count += got;
    }
    memcpy(svc->props, props, sizeof props);
    svc->prop_count = count;
    return 0;
}

static int word_matches(const char *configured, const char *given)
{
    if (strcmp(configured, "*") == 0)
        return 1;
    return strcmp(configured, given ? given : "-") == 0;
}

/* ---- restart handlers --------------------------------------------------- */

static int check_property(const char *str1, const char *str2, const char *str3, void *ctx)
{
    const service *svc = ctx;
    for (int i = 0; i < svc->prop_count; i++) {
        const property *p = &svc->props[i];
        if (word_matches(p->words[0], str1) && word_matches(p->words[1], str2) &&
            word_matches(p->words[2], str3))
            return 1;
    }
    return 0;
}

static int reload(service *svc, const char *why)
{
    int result = load_config(svc);
    syslog(result == 0 ? LOG_NOTICE : LOG_ERR, "%s: %s with %d properties", why,
           result == 0 ? "configuration reloaded" : "configuration kept", svc->prop_count);
    return result;
}

static int restart_requested(void *ctx)
{
    return reload(ctx, "restart request") == 0 ? 3 : 4;
}

static int event_arrived(uint32_t code, void *args, void *ctx)
{
    syslog(LOG_NOTICE, "event %u: %s", code, args ? (const char *)args : "");
    if (code == 1)
        return reload(ctx, "event 1") == 0 ? 0 : 1;
    return 0;
}

/* ---- command server ----------------------------------------------------- */

static int command(int argc, char **argv, char *reply, size_t size, void *ctx)
{
    service *svc = ctx;
    (void)argc;
    if (strcmp(argv[0], "stop") == 0) {
        svc->stop = 1;
        snprintf(reply, size, "stopping");
        return 0;
    }
    if (strcmp(argv[0], "stats") == 0) {
        snprintf(reply, size, "heartbeats=%lu datagrams=%lu messages=%lu", svc->heartbeats,
                 svc->datagrams, svc->messages);
        return 0;
    }
    if (strcmp(argv[0], "config") == 0) {
        size_t used = 0;
        reply[0] = '\0';
        for (int i = 0; i < svc->prop_count && used < size; i++)
            used += (size_t)snprintf(reply + used, size - used, "%s%s %s %s", i ? "\n" : "",
                                     svc->props[i].words[0], svc->props[i].words[1],
                                     svc->props[i].words[2]);
        return 0;
    }
    snprintf(reply, size, "unknown command: %s (this service also knows stop, stats, config)",
             argv[0]);
    return 1;
}

/* ---- the loop's handlers ------------------------------------------------ */

static void take_messages(service *svc)
{
    ztmsg_message message;
    int received;
    while (svc->queue_id >= 0 && ztmsg_get(svc->queue_id, &message, &received, 0) == 0) {
        svc->messages++;
        syslog(LOG_INFO, "message type %ld from %d: %.*s", message.mtype, (int)message.sender_pid,
               (int)message.length, message.data);
    }
}

/* The queue was created by root with mode 0660: the user of the sandbox
 * has to own it to go on receiving. */
static int give_queue(int queue_id, uid_t uid, gid_t gid)
{
    struct msqid_ds queue;
    if (queue_id < 0)
        return 0;
    if (msgctl(queue_id, IPC_STAT, &queue) < 0)
        return -1;
    queue.msg_perm.uid = uid;
    queue.msg_perm.gid = gid;
    return msgctl(queue_id, IPC_SET, &queue);
}

static int idle(void *ctx)
{
    service *svc = ctx;
    svc->loop_ran = 1;
    if (svc->sandboxed == 1) {
        if (give_queue(svc->queue_id, get_nobody_uid(), get_nobody_gid()) < 0)
            syslog(LOG_ERR, "cannot give the queue to the sandbox user: %m");
        if (sandbox(svc->name) < 0) {
            syslog(LOG_ERR, "cannot confine the service in its sandbox");
            return 2;
        }
        svc->sandboxed = 2;
        syslog(LOG_NOTICE, "confined to " ZT_SANDBOX_ROOT "/%s as uid %d", svc->name, (int)getuid());
    }
    svc->heartbeats++;
    syslog(LOG_INFO, "heartbeat %lu", svc->heartbeats);
    take_messages(svc);
    return svc->stop ? STOPPED : 0;
}

static service *the_service;

static int add_own_fds(int *highest_fd, fd_set *read_set)
{
    const int fds[] = {the_service->signal_fd, the_service->dgram_fd};
    for (size_t i = 0; i < sizeof fds / sizeof fds[0]; i++) {
        FD_SET(fds[i], read_set);
        if (fds[i] > *highest_fd)
            *highest_fd = fds[i];
    }
    return 0;
}

static void answer_datagram(service *svc)
{
    char text[512];
    struct sockaddr_un peer;
    socklen_t peer_size = sizeof peer;
    ssize_t length = recvfrom(svc->dgram_fd, text, sizeof text - 1, MSG_DONTWAIT,
                              (struct sockaddr *)&peer, &peer_size);
    if (length < 0)
        return;
    svc->datagrams++;
    char reply[sizeof text + 5];
    int size = snprintf(reply, sizeof reply, "pong %.*s", (int)length, text);
    if (peer_size > sizeof(sa_family_t) &&
        sendto(svc->dgram_fd, reply, (size_t)size, MSG_DONTWAIT, (struct sockaddr *)&peer,
               peer_size) < 0)
        syslog(LOG_WARNING, "datagram reply: %m");
}

/* The signals that arrived since the last pass; several of one kind that
 * arrived meanwhile count once. */
static void take_signals(service *svc)
{
    struct signalfd_siginfo info;
    while (read(svc->signal_fd, &info, sizeof info) == sizeof info) {
        switch (info.ssi_signo) {
        case SIGTERM:
        case SIGINT:
            syslog(LOG_NOTICE, "signal %u: shutting down", info.ssi_signo);
            svc->stop = 1;
            break;
        case SIGHUP:
            reload(svc, "SIGHUP");
            break;
        case SIGUSR1:
            syslog(LOG_INFO, "heartbeats=%lu datagrams=%lu messages=%lu", svc->heartbeats,
                   svc->datagrams, svc->messages);
            break;
        case SIGCHLD:
            while (waitpid(-1, NULL, WNOHANG) > 0) {
            }
            break;
        }
    }
}

static int own_fds_ready(fd_set *read_set, int32_t elapsed_secs, void *ctx)
{
    service *svc = ctx;
    (void)elapsed_secs;
    if (FD_ISSET(svc->signal_fd, read_set))
        take_signals(svc);
    if (FD_ISSET(svc->dgram_fd, read_set))
        answer_datagram(svc);
    return svc->stop ? STOPPED : 0;
}

/* ---- start-up and shut-down --------------------------------------------- */

/* The service's own datagram socket at svc->dgram_path, open to every
 * local user. */
static int open_dgram_socket(service *svc)
{
    if ((size_t)snprintf(svc->dgram_path, sizeof svc->dgram_path, DEMO_DGRAM_DIR "/%s",
                         svc->name) >= sizeof svc->dgram_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (mkdir(DEMO_DGRAM_DIR, 0755) < 0 && errno != EEXIST)
        return -1;
    int fd = NewNamedPipe(svc->dgram_path, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && chmod(svc->dgram_path, 0666) < 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

/* The signals the service takes through its signalfd; blocked from the
 * start, so that none of them ever interrupts a call. */
static int open_signal_fd(void)
{
    sigset_t taken;
    sigemptyset(&taken);
    const int signals[] = {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGCHLD};
    for (size_t i = 0; i < sizeof signals / sizeof signals[0]; i++)
        sigaddset(&taken, signals[i]);
    if (sigprocmask(SIG_BLOCK, &taken, NULL) < 0)
        return -1;
    return signalfd(-1, &taken, SFD_NONBLOCK | SFD_CLOEXEC);
}

/* 1 when something accepts connections at the local stream socket path:
 * a connection that waits in the backlog counts too. */
static int answers(const char *path)
{
    struct sockaddr_un address = {.sun_family = AF_UNIX};
    if (strlen(path) >= sizeof address.sun_path)
        return 0;
    strcpy(address.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    int up = connect(fd, (struct sockaddr *)&address, sizeof address) == 0 || errno == EAGAIN;
    close(fd);
    return up;
}

/* Names the socket of a running service of this name, or NULL. */
static const char *running_socket(const char *name, char *path, size_t size)
{
    const char *dirs[] = {ZTCMD_DIR, RESTART_UDS_DIR};
    for (size_t i = 0; i < sizeof dirs / sizeof dirs[0]; i++)
        if ((size_t)snprintf(path, size, "%s/%s", dirs[i], name) < size && answers(path))
            return path;
    return NULL;
}

static void usage(FILE *out)
{
    fprintf(out,
            "usage: demo_service [--idle SECS] [--config FILE] [--sandbox] NAME\n"
            "An example service: restart socket " RESTART_UDS_DIR "/NAME, command server\n"
            ZTCMD_DIR "/NAME (stop, stats, config), datagram socket " DEMO_DGRAM_DIR "/NAME,\n"
            "message queue of NAME. Heartbeat every SECS seconds (default 5).\n"
            "SIGHUP reloads the configuration, SIGUSR1 logs the statistics.\n"
            "Ends with status 0 on the command stop, SIGTERM or SIGINT; 1 when it cannot\n"
            "start (a service of that name runs already, say) or fails; 2 on bad usage.\n");
}

int main(int argc, char **argv)
{
    service svc = {.config_fd = -1, .queue_id = -1, .dgram_fd = -1, .signal_fd = -1};
    int idle_secs = 5;
    const char *config = NULL;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        if (strcmp(argv[i], "--help") == 0) {
            usage(stdout);
            return 0;
        } else if (strcmp(argv[i], "--idle") == 0 && i + 1 < argc) {
            char *end;
            long secs = strtol(argv[++i], &end, 10);
            if (*end || end == argv[i] || secs < 0 || secs > 86400) {
                fprintf(stderr, "demo_service: --idle takes 0 to 86400 seconds\n");
                return 2;
            }
            idle_secs = (int)secs;
        } else if (strcmp(argv[i], "--config") == 0 && i + 1 < argc) {
            config = argv[++i];
        } else if (strcmp(argv[i], "--sandbox") == 0) {
            svc.sandboxed = 1;
        } else {
            usage(stderr);
            return 2;
        }
    }
    if (i + 1 != argc) {
        usage(stderr);
        return 2;
    }
    svc.name = argv[i];
    char taken[sizeof ((struct sockaddr_un *)0)->sun_path];
    if (running_socket(svc.name, taken, sizeof taken)) {
        fprintf(stderr, "demo_service: a service named %s runs already (%s answers); not started\n",
                svc.name, taken);
        return 1;
    }
    openlog(svc.name, LOG_PID | LOG_PERROR, LOG_DAEMON);
    setlogmask(LOG_UPTO(LOG_INFO)); /* the library's debug records stay out */

    if (config && (svc.config_fd = open(config, O_RDONLY | O_CLOEXEC)) < 0) {
        syslog(LOG_ERR, "%s: %m", config);
        return 1;
    }
    if (load_config(&svc) < 0)
        return 1;
    if ((svc.signal_fd = open_signal_fd()) < 0 || (svc.dgram_fd = open_dgram_socket(&svc)) < 0) {
        syslog(LOG_ERR, "cannot open the service's sockets: %m");
        return 1;
    }
    if (ztmsg_init(svc.name, &svc.queue_id) < 0)
        svc.queue_id = -1; /* the service runs on without messages */
    the_service = &svc;

    syslog(LOG_NOTICE, "started with %d properties", svc.prop_count);
    int result = ztuds_daemon(svc.name, MAX_ERRORS, idle_secs, idle, &svc, (void *)command,
                              check_property, restart_requested, event_arrived, add_own_fds,
                              own_fds_ready);
    take_messages(&svc);
    unlink(svc.dgram_path);
    if (svc.loop_ran) { /* else the restart socket and the queue may be another's */
        if (svc.queue_id >= 0)
            ztmsg_term(svc.queue_id);
        restart_del(svc.name);
    }
    if (result == STOPPED && svc.stop) {
        syslog(LOG_NOTICE, "stopped");
        return 0;
    }
    syslog(LOG_ERR, "the loop ended with %d", result);
    return 1;
}
