// Command server: one local socket per service under /tmp/ztcmd that
// answers one text command per connection.
// Its contract: ztsvc.h and the manual page zttools(7).
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include "internal.h"
#include "ztsvc.h"

namespace {

constexpr int kMaxWords = 16;
constexpr size_t kReplySize = 4096;

// The server of this process: at most one runs at a time.
struct Server {
    char name[40];
    char path[sizeof ZTCMD_DIR + 40];
    long started;
    unsigned long commands;
};
Server server;

long uptime_seconds()
{
    struct sysinfo info;
    return sysinfo(&info) == 0 ? info.uptime : 0;
}

bool socket_path(const char *name, char *path, size_t size)
{
    if (!name || !*name || strchr(name, '/')) {
        errno = EINVAL;
        return false;
    }
    if ((size_t)snprintf(path, size, "%s/%s", ZTCMD_DIR, name) >= size) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

int split_words(char *line, char **words)
{
    int count = 0;
    char *rest;
    for (char *word = strtok_r(line, " \t\r\n", &rest); word && count < kMaxWords;
         word = strtok_r(nullptr, " \t\r\n", &rest))
        words[count++] = word;
    return count;
}

int builtin(int argc, char **argv, char *reply, size_t size, void *handler, void *ctx)
{
    if (strcmp(argv[0], "help") == 0) {
        snprintf(reply, size,
                 "help: this text\nstatus: name, pid, level, uptime, commands served\n"
                 "level [N]: show or set the diagnostic level");
        return 0;
    }
    if (strcmp(argv[0], "status") == 0) {
        snprintf(reply, size, "name=%s pid=%d level=%d uptime=%ld commands=%lu", server.name,
                 (int)getpid(), ztlog_diag_level(-1), uptime_seconds() - server.started,
                 server.commands);
        return 0;
    }
    if (strcmp(argv[0], "level") == 0) {
        if (argc > 1) {
            char *end;
            long value = strtol(argv[1], &end, 10);
            if (*end || value < 0 || value > 9) {
                snprintf(reply, size, "level: expected a number from 0 to 9");
                return 1;
            }
            ztlog_set_level((int)value);
        }
        snprintf(reply, size, "level=%d", ztlog_diag_level(-1));
        return 0;
    }
    if (handler)
        return reinterpret_cast<ztcmd_handler>(handler)(argc, argv, reply, size, ctx);
    snprintf(reply, size, "unknown command: %s", argv[0]);
    return 1;
}

}  // namespace

extern "C" {

int ztcmd_server_init(const char name[40], int *fd)
{
    if (!fd) {
        errno = EINVAL;
        return -1;
    }
    *fd = -1;
    char path[sizeof server.path];
    if (!socket_path(name, path, sizeof path))
        return -1;
    if (mkdir(ZTCMD_DIR, 0700) < 0 && errno != EEXIST)
        return -1;
    int listener = ztuds_server(path, 0700);
    if (listener < 0)
        return -1;
    snprintf(server.name, sizeof server.name, "%s", name);
    memcpy(server.path, path, sizeof path);
    server.started = uptime_seconds();
    server.commands = 0;
    *fd = listener;
    return 0;
}

int ztuds_handler(int fd, void *cmd_handler, void *ctx)
{
    zt::UniqueFd connection(ztuds_accept(fd));
    if (!connection)
        return -1;
    void *request = nullptr;
    uint32_t length = 0;
    // A client that hangs up before its command (errno 0) is no fault.
    if (ztuds_read(connection.get(), &request, &length, nullptr, ZTCMD_ID) < 0)
        return errno == 0 ? 0 : -1;
    zt::MallocPtr<char> line(static_cast<char *>(request));
    char *words[kMaxWords];
    int argc = line ? split_words(line.get(), words) : 0;
    char reply[sizeof(int32_t) + kReplySize];
    int32_t status = 1;
    char *text = reply + sizeof status;
    text[0] = '\0';
    if (argc == 0)
        snprintf(text, kReplySize, "empty command");
    else
        status = builtin(argc, words, text, kReplySize, cmd_handler, ctx);
    server.commands++;
    memcpy(reply, &status, sizeof status);
    int result = ztuds_write(connection.get(), reply, (uint32_t)(sizeof status + strlen(text)), ZTCMD_ID);
    return result < 0 ? -1 : 0;
}

int ztcmd_server_term(int *fd)
{
    if (fd && *fd >= 0) {
        ztuds_close(*fd);
        *fd = -1;
        if (server.path[0])
            unlink(server.path);
        server.path[0] = '\0';
    }
    return 0;
}

int ztcmd_request(const char *name, const char *command, int *status, char **reply)
{
    char path[sizeof server.path];
    if (!command || !status || !reply) {
        errno = EINVAL;
        return -1;
    }
    if (!socket_path(name, path, sizeof path))
        return -1;
    zt::UniqueFd fd(ztuds_connect(path));
    if (!fd)
        return -1;
    void *answer = nullptr;
    uint32_t length = 0;
    if (ztuds_write(fd.get(), command, (uint32_t)strlen(command) + 1, ZTCMD_ID) < 0 ||
        ztuds_read(fd.get(), &answer, &length, nullptr, ZTCMD_ID) < 0)
        return -1;
    zt::MallocPtr<char> owner(static_cast<char *>(answer));
    if (length < sizeof(int32_t)) {
        errno = EBADMSG;
        return -1;
    }
    int32_t code;
    memcpy(&code, owner.get(), sizeof code);
    size_t text_length = length - sizeof code;
    char *text = static_cast<char *>(malloc(text_length + 1));
    if (!text)
        return -1;
    memcpy(text, owner.get() + sizeof code, text_length);
    text[text_length] = '\0';
    *status = code;
    *reply = text;
    return 0;
}

}  // extern "C"
