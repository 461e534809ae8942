/* ztmsg: sends, receives and removes the message-queue messages of the
 * appliance's services from the command line. Every failure is told on
 * standard error with the queue it concerns; the library's own records go
 * to the system log. */
#include <dirent.h>
#include <errno.h>
#include <getopt.h>
#include <stdlib.h>
#include <string.h>

#include "tool.h"

static void usage(void)
{
    printf("usage: ztmsg send NAME|'*' TYPE TEXT  send TEXT (at most %d bytes) with TYPE (1\n"
           "                                     or more) to service NAME, or to every service\n"
           "       ztmsg recv [-w] NAME          take the first message of NAME's queue (made\n"
           "                                     if missing) and print type, sender and data\n"
           "       ztmsg rm NAME                 remove NAME's queue\n"
           "  -w, --wait     recv waits for a message instead of failing at once\n"
           "  -h, --help     this text\n"
           "  -V, --version  the version\n"
           "Queues are found through their directories under %s. Options may come\n"
           "anywhere; \"--\" ends them (for a TEXT that begins with \"-\").\n"
           "recv prints the message. A failed send says which queue failed and why; with\n"
           "'*' every queue is tried, and the status is the highest of the failures'.\n"
           "Queue statuses: 69 no such queue, 75 the queue is full or (recv) empty.\n" TOOL_STATUS_HELP,
           ZTMSG_MAX_DATA, ZTMSG_DIR);
}

/* The status and message for a failed send to name. */
static int send_failure(const char *name, int err)
{
    if (err == ENOENT)
        return tool_fail(EX_UNAVAILABLE, "send to %s: no such queue", name);
    if (err == EAGAIN)
        return tool_fail(EX_TEMPFAIL, "send to %s: the queue is full", name);
    return tool_fail(EX_OSERR, "send to %s: %s", name, strerror(err));
}

static int send_one(const char *name, ztmsg_message *message)
{
    return ztmsg_send(name, message) == 0 ? 0 : send_failure(name, errno);
}

/* Sends to every queue under the base directory, telling each failure;
 * the highest status of the failures, 0 when every send went. */
static int send_everywhere(ztmsg_message *message)
{
    DIR *dir = opendir(ZTMSG_DIR);
    if (!dir)
        return errno == ENOENT ? tool_fail(EX_UNAVAILABLE, "send to *: no queues under %s", ZTMSG_DIR)
                               : tool_fail(EX_OSERR, "%s: %s", ZTMSG_DIR, strerror(errno));
    int status = 0, sent = 0;
    for (struct dirent *entry; (entry = readdir(dir));) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        int one = send_one(entry->d_name, message);
        status = one > status ? one : status;
        sent += one == 0;
    }
    closedir(dir);
    if (status == 0 && sent == 0)
        return tool_fail(EX_UNAVAILABLE, "send to *: no queues under %s", ZTMSG_DIR);
    return status;
}

static int send_text(const char *name, const char *type_text, const char *text)
{
    int status = strcmp(name, "*") == 0 ? 0 : tool_check_name(name);
    if (status)
        return status;
    char *end = NULL;
    errno = 0;
    long type = strtol(type_text, &end, 10);
    if (errno || end == type_text || *end || type < 1)
        return tool_usage_error("TYPE must be a number of 1 or more, not \"%s\"", type_text);
    size_t length = strlen(text);
    if (length > ZTMSG_MAX_DATA)
        return tool_usage_error("the text has %zu bytes; a message holds at most %d", length,
                                ZTMSG_MAX_DATA);
    ztmsg_message message = {0};
    message.mtype = type;
    message.length = (uint32_t)length;
    memcpy(message.data, text, length);
    return strcmp(name, "*") == 0 ? send_everywhere(&message) : send_one(name, &message);
}

/* name for a queue of its own: a service name, and not the broadcast. */
static int check_queue_name(const char *name)
{
    if (strcmp(name, "*") == 0)
        return tool_usage_error("\"*\" stands for every queue; only send takes it");
    return tool_check_name(name);
}

static int receive(const char *name, int wait)
{
    int status = check_queue_name(name);
    if (status)
        return status;
    int queue;
    if (ztmsg_init(name, &queue) < 0)
        return tool_fail(EX_OSERR, "recv from %s: no queue made: %s", name, strerror(errno));
    ztmsg_message message;
    int received;
    if (ztmsg_get(queue, &message, &received, wait ? -1 : 0) < 0) {
        if (errno == ENOMSG)
            return tool_fail(EX_TEMPFAIL, "recv from %s: no message waiting", name);
        return tool_fail(EX_OSERR, "recv from %s: %s", name, strerror(errno));
    }
    unsigned length = message.length <= ZTMSG_MAX_DATA ? message.length : ZTMSG_MAX_DATA;
    printf("type %ld from pid %d, %u bytes: %.*s\n", message.mtype, (int)message.sender_pid,
           length, (int)length, message.data);
    return 0;
}

static int remove_queue(const char *name)
{
    int status = check_queue_name(name);
    if (status)
        return status;
    int queue = tool_queue_id(name);
    if (queue < 0)
        return errno == ENOENT ? tool_fail(EX_UNAVAILABLE, "rm %s: no such queue", name)
                               : tool_fail(EX_OSERR, "rm %s: %s", name, strerror(errno));
    ztmsg_term(queue);
    return 0;
}

/* The --wait option, which only recv takes. */
static int wait_for_message;

static int run_send(char **operands)
{
    return send_text(operands[0], operands[1], operands[2]);
}

static int run_rm(char **operands)
{
    return remove_queue(operands[0]);
}

static int run_recv(char **operands)
{
    return receive(operands[0], wait_for_message);
}

static const tool_verb verbs[] = {{"send", 3, run_send}, {"recv", 1, run_recv}, {"rm", 1, run_rm}};

int main(int argc, char **argv)
{
    static const struct option options[] = {{"wait", no_argument, NULL, 'w'},
                                            {"help", no_argument, NULL, 'h'},
                                            {"version", no_argument, NULL, 'V'},
                                            {NULL, 0, NULL, 0}};
    tool_start("ztmsg", argv);
    for (int option; (option = getopt_long(argc, argv, "whV", options, NULL)) != -1;) {
        switch (option) {
        case 'w':
            wait_for_message = 1;
            break;
        default:
            return tool_other_option(option, usage);
        }
    }
    const tool_verb *command = tool_find_verb(verbs, sizeof verbs / sizeof verbs[0], "send, recv or rm",
                                              argc - optind, argv + optind);
    if (!command)
        return EX_USAGE;
    if (wait_for_message && command->run != run_recv)
        return tool_usage_error("--wait applies to recv only");
    return command->run(argv + optind + 1);
}
