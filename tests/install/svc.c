/* A service built the way appliance services build: with the installed
 * headers alone. It serves one restart request of its own, through both
 * libraries. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <zttools.h>
#include <ztsvc.h>

#if ZTTOOLS_VERSION_MAJOR != 1
#error "zttools.h is not of version 1"
#endif

static int check(const char *a, const char *b, const char *c, void *ctx)
{
    (void)a, (void)b, (void)c, (void)ctx;
    return 1;
}

static int restart(void *ctx)
{
    (void)ctx;
    return 3;
}

int main(void)
{
    if (Zttools_Init(NULL) != 0)
        return 1;
    int fd = restart_server("installed");
    if (fd < 0) {
        perror("restart_server");
        return 1;
    }
    pid_t child = fork();
    if (child == 0)
        _exit(restart_accept(fd, check, restart, NULL, 0, NULL) == 0 ? 0 : 1);
    int peer = ztuds_connect(RESTART_UDS_DIR "/installed");
    const uint32_t request[2] = {RESTART_REQUEST, 0};
    void *reply = NULL;
    int32_t result = 0;
    if (ztuds_write(peer, request, sizeof request, RESTART_PROTOCOL_ID) < 0 ||
        ztuds_read(peer, &reply, NULL, NULL, RESTART_PROTOCOL_ID) != 8)
        return 1;
    memcpy(&result, reply, sizeof result);
    free(reply);
    int status;
    waitpid(child, &status, 0);
    restart_del("installed");
    printf("zttools %s answered %d\n", ZTTOOLS_VERSION, result);
    return result == 3 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
