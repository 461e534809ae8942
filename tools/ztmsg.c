/* ztmsg: sends, receives and removes the message-queue messages of the
 * appliance's services from the command line. The library's own records
 * (errors of the queue calls) are shown on standard error as well. */
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include "zttools.h"

enum {
    EXIT_FAILED = 1, /* the queue call failed */
    EXIT_USAGE = 2,
    EXIT_EMPTY = 3,  /* recv without --wait found no message */
};

static void usage(FILE *out)
{
    fprintf(out,
            "usage: ztmsg send NAME|'*' TYPE TEXT   send TEXT (at most %d bytes) with TYPE (1 or\n"
            "                                      more) to service NAME, or to every service\n"
            "       ztmsg recv NAME [--wait]       take the first message of NAME's queue (made\n"
            "                                      if missing) and print type, sender and data;\n"
            "                                      with --wait, wait for one\n"
            "       ztmsg rm NAME                  remove NAME's queue\n"
            "Queues are found through their directories under %s.\n"
            "Exit status: 0 success, 1 the queue call failed, 2 usage error,\n"
            "3 no message waiting (recv without --wait).\n",
            ZTMSG_MAX_DATA, ZTMSG_DIR);
}

static int usage_error(const char *what)
{
    fprintf(stderr, "ztmsg: %s\n", what);
    usage(stderr);
    return EXIT_USAGE;
}

static int send_text(const char *name, const char *type_text, const char *text)
{
    char *end = NULL;
    errno = 0;
    long type = strtol(type_text, &end, 10);
    if (errno || end == type_text || *end || type < 1)
        return usage_error("TYPE must be a number of 1 or more");
    size_t length = strlen(text);
    if (length > ZTMSG_MAX_DATA) {
        fprintf(stderr, "ztmsg: the text has %zu bytes; a message holds at most %d\n", length,
                ZTMSG_MAX_DATA);
        return EXIT_USAGE;
    }
    ztmsg_message message = {0};
    message.mtype = type;
    message.length = (uint32_t)length;
    memcpy(message.data, text, length);
    if (ztmsg_send(name, &message) < 0) {
        fprintf(stderr, "ztmsg: could not send to %s\n", name);
        return EXIT_FAILED;
    }
    return 0;
}

static int receive(const char *name, int wait)
{
    int queue;
    if (ztmsg_init(name, &queue) < 0)
        return EXIT_FAILED;
    ztmsg_message message;
    int received;
    if (ztmsg_get(queue, &message, &received, wait ? -1 : 0) < 0) {
        if (errno == ENOMSG) {
            fprintf(stderr, "ztmsg: no message for %s\n", name);
            return EXIT_EMPTY;
        }
        fprintf(stderr, "ztmsg: could not receive for %s: %s\n", name, strerror(errno));
        return EXIT_FAILED;
    }
    unsigned length = message.length <= ZTMSG_MAX_DATA ? message.length : ZTMSG_MAX_DATA;
    printf("type %ld from pid %d, %u bytes: %.*s\n", message.mtype, (int)message.sender_pid,
           length, (int)length, message.data);
    return 0;
}

static int remove_queue(const char *name)
{
    char *path = zt_buildstr(NULL, "%s%s", ZTMSG_DIR, name);
    int exists = path ? zt_filetest(path, 'd') : -1;
    free(path);
    int queue;
    if (exists != 1) {
        fprintf(stderr, "ztmsg: %s has no queue\n", name);
        return EXIT_FAILED;
    }
    if (ztmsg_init(name, &queue) < 0)
        return EXIT_FAILED;
    ztmsg_term(queue);
    return 0;
}

int main(int argc, char **argv)
{
    /* The library's error records on standard error too; its debug
     * records (an empty queue) stay in the log. */
    openlog("ztmsg", LOG_PERROR, LOG_USER);
    setlogmask(LOG_UPTO(LOG_ERR));
    if (argc == 2 && (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h"))) {
        usage(stdout);
        return 0;
    }
    if (argc == 5 && !strcmp(argv[1], "send"))
        return send_text(argv[2], argv[3], argv[4]);
    if ((argc == 3 || (argc == 4 && !strcmp(argv[3], "--wait"))) && !strcmp(argv[1], "recv"))
        return receive(argv[2], argc == 4);
    if (argc == 3 && !strcmp(argv[1], "rm"))
        return remove_queue(argv[2]);
    return usage_error(argc < 2 ? "no command given" : "unknown command or wrong arguments");
}
