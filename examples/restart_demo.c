/* restart_demo: a service process serves its restart socket while a peer
 * process sends it a property check, a restart request and an event, and
 * prints each reply. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "zttools.h"
#include "ztsvc.h"

static int check(const char *str1, const char *str2, const char *str3, void *ctx)
{
    (void)ctx;
    printf("service: check %s %s %s\n", str1 ? str1 : "-", str2 ? str2 : "-", str3 ? str3 : "-");
    return str1 && strcmp(str1, "interface") == 0;
}

static int restart(void *ctx)
{
    (void)ctx;
    printf("service: restarting\n");
    return 3;
}

static int event(uint32_t code, void *args, void *ctx)
{
    (void)ctx;
    printf("service: event %u (%s)\n", code, args ? (const char *)args : "");
    return 10;
}

/* One request from the peer's side: connect, send, read the reply. */
static int ask(uint32_t type, uint32_t argument, const restart_prop *props, const char *args)
{
    int fd = ztuds_connect(RESTART_UDS_DIR "/demo");
    if (fd < 0) {
        perror("peer: connect");
        return -1;
    }
    const uint32_t request[2] = {type, argument};
    ztuds_write(fd, request, sizeof request, RESTART_PROTOCOL_ID);
    for (uint32_t i = 0; type == RESTART_CHECK && i < argument; i++)
        restart_send_prop(fd, &props[i], RESTART_PROTOCOL_ID);
    if (type == RESTART_EVENT)
        ztuds_write(fd, args, (uint32_t)strlen(args) + 1, RESTART_PROTOCOL_ID);
    void *reply = NULL;
    int32_t result = -1;
    if (ztuds_read(fd, &reply, NULL, NULL, RESTART_PROTOCOL_ID) == 8)
        memcpy(&result, reply, sizeof result);
    free(reply);
    ztuds_close(fd);
    return result;
}

int main(void)
{
    setvbuf(stdout, NULL, _IOLBF, 0);
    int listener = restart_server("demo");
    if (listener < 0) {
        perror("restart_server");
        return 1;
    }
    printf("service: listening on " RESTART_UDS_DIR "/demo\n");
    pid_t service = fork();
    if (service == 0) {
        for (int i = 0; i < 3; i++)
            restart_accept(listener, check, restart, event, 0, NULL);
        _exit(0);
    }
    restart_prop props[] = {{"interface", "eth1", "up", 1}, {"route", NULL, "10.0.0.0/8", 0}};
    printf("peer: check -> %d\n", ask(RESTART_CHECK, 2, props, NULL));
    printf("peer: request -> %d\n", ask(RESTART_REQUEST, 0, NULL, NULL));
    printf("peer: event -> %d\n", ask(RESTART_EVENT, 42, NULL, "link eth1 down"));
    int status = 0;
    waitpid(service, &status, 0);
    restart_close(listener);
    restart_del("demo");
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
