/* The requesting side of restart notifications, for ztrestart and for the
 * probe of ztcmd --list: one connection, one request, one reply. */
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tool.h"
#include "ztsvc.h"

/* Sends the request on fd as the protocol orders it; 0 or -1. */
static int send_request(int fd, const restart_call *call)
{
    const uint32_t words[2] = {call->type, call->argument};
    if (ztuds_write(fd, words, sizeof words, RESTART_PROTOCOL_ID) < 0)
        return -1;
    for (uint32_t i = 0; call->type == RESTART_CHECK && i < call->argument; i++)
        if (restart_send_prop(fd, &call->props[i], RESTART_PROTOCOL_ID) < 0)
            return -1;
    if (call->type == RESTART_EVENT &&
        ztuds_write(fd, call->event_args, (uint32_t)strlen(call->event_args) + 1,
                    RESTART_PROTOCOL_ID) < 0)
        return -1;
    return 0;
}

/* Reads the 8-byte reply; its first word is the result. */
static int read_reply(int fd, int32_t *result)
{
    void *reply = NULL;
    uint32_t length = 0;
    int got = ztuds_read(fd, &reply, &length, NULL, RESTART_PROTOCOL_ID);
    if (got >= 0 && length != 8) {
        errno = EBADMSG;
        got = -1;
    }
    if (got >= 0)
        memcpy(result, reply, sizeof *result);
    free(reply);
    return got < 0 ? -1 : 0;
}

int restart_exchange(const char *name, const restart_call *call, int32_t *result)
{
    char path[sizeof RESTART_UDS_DIR + NAME_MAX + 1];
    snprintf(path, sizeof path, RESTART_UDS_DIR "/%s", name);
    int fd = ztuds_connect(path);
    if (fd < 0)
        return -1;
    int done = send_request(fd, call) == 0 && read_reply(fd, result) == 0 ? 0 : -1;
    int saved = errno;
    ztuds_close(fd);
    errno = saved;
    return done;
}
