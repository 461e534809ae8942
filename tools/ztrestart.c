/* ztrestart: the peer side of restart notifications, for an operator or a
 * script. It connects to a service's restart socket, sends one property
 * check, restart request or event, and prints the service's reply. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "ztsvc.h"
#include "zttools.h"

/* Exit statuses other than those that carry the reply. */
#define EXIT_USAGE 64
#define EXIT_UNREACHABLE 69
#define EXIT_NO_REPLY 75

static void usage(FILE *out)
{
    fprintf(out,
            "usage: ztrestart [--timeout SECS] NAME check STR1 STR2 STR3 VALUE [STR1 STR2 STR3 VALUE ...]\n"
            "       ztrestart [--timeout SECS] NAME request\n"
            "       ztrestart [--timeout SECS] NAME event CODE [ARG ...]\n"
            "Sends one request to the restart socket " RESTART_UDS_DIR "/NAME of service NAME\n"
            "and prints the service's reply.\n"
            "  check    has the service judge property groups; \"-\" is an absent string,\n"
            "           VALUE an unsigned 32-bit number. Reply 1 or 0: what the service\n"
            "           judged the last property it could decide; 2: none decided.\n"
            "  request  asks the service to restart. Reply 3: restarted; 4: not restarted.\n"
            "  event    hands the service event CODE with the ARGs as one text.\n"
            "           Reply: the service's result for the event.\n"
            "  --timeout SECS  how long to wait for the service (default 5).\n"
            "Exit status: check: the reply (0, 1 or 2); request: 0 when restarted, 1 if not;\n"
            "event: 0 when the reply is 0, 1 otherwise; %d usage error; %d no such service\n"
            "or it does not listen; %d no reply in time or the service refused the request.\n",
            EXIT_USAGE, EXIT_UNREACHABLE, EXIT_NO_REPLY);
}

static int parse_u32(const char *text, uint32_t *value)
{
    char *end;
    errno = 0;
    unsigned long long number = strtoull(text, &end, 0);
    if (!*text || *end || errno || number > UINT32_MAX || text[0] == '-')
        return -1;
    *value = (uint32_t)number;
    return 0;
}

static char *absent_if_dash(char *word)
{
    return strcmp(word, "-") == 0 ? NULL : word;
}

/* The request's own data: property groups for a check, the text of the
 * arguments for an event. */
typedef struct request {
    uint32_t type;
    uint32_t argument;
    restart_prop *props;
    char *event_args;
} request;

static int parse_request(int argc, char **argv, request *req)
{
    const char *verb = argv[0];
    if (strcmp(verb, "request") == 0 && argc == 1) {
        req->type = RESTART_REQUEST;
        return 0;
    }
    if (strcmp(verb, "check") == 0 && argc > 1 && (argc - 1) % 4 == 0) {
        req->type = RESTART_CHECK;
        req->argument = (uint32_t)(argc - 1) / 4;
        req->props = calloc(req->argument, sizeof *req->props);
        if (!req->props)
            return -1;
        for (uint32_t i = 0; i < req->argument; i++) {
            char **group = argv + 1 + 4 * i;
            restart_prop *prop = &req->props[i];
            prop->str1 = absent_if_dash(group[0]);
            prop->str2 = absent_if_dash(group[1]);
            prop->str3 = absent_if_dash(group[2]);
            if (parse_u32(group[3], &prop->value) < 0) {
                fprintf(stderr, "ztrestart: VALUE %s is not an unsigned 32-bit number\n", group[3]);
                return -1;
            }
        }
        return 0;
    }
    if (strcmp(verb, "event") == 0 && argc >= 2) {
        req->type = RESTART_EVENT;
        if (parse_u32(argv[1], &req->argument) < 0) {
            fprintf(stderr, "ztrestart: CODE %s is not an unsigned 32-bit number\n", argv[1]);
            return -1;
        }
        Array words;
        ArrayNew(&words);
        for (int i = 2; i < argc; i++)
            ArrayPush(&words, argv[i]);
        if (ArrayNumElements(&words) == (uint32_t)(argc - 2))
            req->event_args = strjoin(&words, " ");
        ArrayDelete(&words);
        return req->event_args ? 0 : -1;
    }
    usage(stderr);
    return -1;
}

/* Sends the request on fd as the protocol orders it; 0 or -1. */
static int send_request(int fd, const request *req)
{
    const uint32_t words[2] = {req->type, req->argument};
    if (ztuds_write(fd, words, sizeof words, RESTART_PROTOCOL_ID) < 0)
        return -1;
    for (uint32_t i = 0; req->type == RESTART_CHECK && i < req->argument; i++)
        if (restart_send_prop(fd, &req->props[i], RESTART_PROTOCOL_ID) < 0)
            return -1;
    if (req->type == RESTART_EVENT &&
        ztuds_write(fd, req->event_args, (uint32_t)strlen(req->event_args) + 1,
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

static int report(const request *req, int32_t result)
{
    switch (req->type) {
    case RESTART_CHECK:
        printf("check: %d (%s)\n", result,
               result == 1   ? "the last decided property concerns the service"
               : result == 0 ? "the last decided property does not concern the service"
                             : "no property decided");
        return result >= 0 && result <= 2 ? result : 2;
    case RESTART_REQUEST:
        printf("request: %d (%s)\n", result, result == 3 ? "restarted" : "not restarted");
        return result == 3 ? 0 : 1;
    default:
        printf("event %u: %d\n", req->argument, result);
        return result == 0 ? 0 : 1;
    }
}

int main(int argc, char **argv)
{
    int i = 1;
    long timeout_secs = 5;
    if (argc > 1 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        usage(stdout);
        return 0;
    }
    if (argc > 2 && strcmp(argv[1], "--timeout") == 0) {
        char *end;
        timeout_secs = strtol(argv[2], &end, 10);
        if (*end || timeout_secs < 1 || timeout_secs > 3600) {
            fprintf(stderr, "ztrestart: --timeout takes 1 to 3600 seconds\n");
            return EXIT_USAGE;
        }
        i = 3;
    }
    if (argc - i < 2) {
        usage(stderr);
        return EXIT_USAGE;
    }
    const char *name = argv[i];
    request req = {0};
    int status = EXIT_USAGE;
    if (parse_request(argc - i - 1, argv + i + 1, &req) < 0)
        goto done;

    char path[sizeof RESTART_UDS_DIR + 256];
    if (!*name || strchr(name, '/') ||
        (size_t)snprintf(path, sizeof path, RESTART_UDS_DIR "/%s", name) >= sizeof path) {
        fprintf(stderr, "ztrestart: %s is not a service name\n", name);
        goto done;
    }
    int fd = ztuds_connect(path);
    if (fd < 0) {
        fprintf(stderr, "ztrestart: service %s: %s (%s)\n", name,
                errno == ENOENT ? "no such service" : "not listening", strerror(errno));
        status = EXIT_UNREACHABLE;
        goto done;
    }
    /* A hung service may let the socket fill up: writes are bounded too. */
    struct timeval bound = {timeout_secs, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    ztuds_set_timeout((int)(timeout_secs * 1000));
    int32_t result;
    status = EXIT_NO_REPLY;
    if (send_request(fd, &req) < 0)
        fprintf(stderr, "ztrestart: service %s: sending the request: %s\n", name, strerror(errno));
    else if (read_reply(fd, &result) < 0)
        fprintf(stderr, "ztrestart: service %s: %s\n", name,
                errno == ETIMEDOUT ? "no reply in time"
                : errno == 0       ? "closed the connection without a reply"
                                   : strerror(errno));
    else
        status = report(&req, result);
    ztuds_close(fd);
done:
    free(req.props);
    free(req.event_args);
    return status;
}
