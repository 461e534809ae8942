/* ztcmd: sends one command to a service's command server and prints the
 * reply; with --list, shows the services present: their restart and command
 * sockets, whether each answers, and their message queues. */
#include <dirent.h>
#include <errno.h>
#include <getopt.h>
#include <stdlib.h>
#include <string.h>
#include <sys/msg.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tool.h"
#include "ztsvc.h"

/* Every byte of a command goes in one line of at most this many. */
#define COMMAND_MAX 1024

static void usage(void)
{
    printf("usage: ztcmd [-t SECS] NAME COMMAND [ARG ...]\n"
           "       ztcmd [-t SECS] --list\n"
           "Sends COMMAND to the command server of service NAME (" ZTCMD_DIR "/NAME)\n"
           "and prints its reply. Every service knows: help, status, level [N].\n"
           "  -l, --list          for each service found under " RESTART_UDS_DIR ",\n"
           "                      " ZTCMD_DIR " and " ZTMSG_DIR ": whether its restart\n"
           "                      and command sockets answer, its queue id and the\n"
           "                      number of messages waiting (\"-\": no queue)\n"
           "  -t, --timeout=SECS  bound on each exchange, from connecting to the reply\n"
           "                      (1 to 3600, default 5)\n"
           "  -h, --help          this text\n"
           "  -V, --version       the version\n"
           "Options may come anywhere; \"--\" ends them (for an ARG that begins with \"-\").\n"
           "The reply is printed; the status is 0 when the service reports success,\n"
           "1 when it reports failure.\n" TOOL_STATUS_HELP);
}

static int send_command(const char *name, int argc, char **argv, int timeout)
{
    int status = tool_check_name(name);
    if (status)
        return status;
    char command[COMMAND_MAX] = "";
    size_t used = 0;
    for (int i = 0; i < argc; i++) {
        int n = snprintf(command + used, sizeof command - used, "%s%s", i > 0 ? " " : "", argv[i]);
        if (n < 0 || (size_t)n >= sizeof command - used)
            return tool_usage_error("the command is longer than %d bytes", COMMAND_MAX - 1);
        used += (size_t)n;
    }
    tool_deadline(timeout, name, EX_TEMPFAIL);
    int service_status = 0;
    char *reply = NULL;
    if (ztcmd_request(name, command, &service_status, &reply) < 0)
        return tool_service_failure(name, errno);
    printf("%s\n", reply);
    free(reply);
    return service_status == 0 ? 0 : TOOL_NEGATIVE;
}

/* ---- the listing ------------------------------------------------------- */

/* The names of one directory's entries, added to names (sorted and without
 * repeats later). A missing directory adds nothing. */
static int collect_names(const char *directory, char ***names, size_t *count)
{
    DIR *dir = opendir(directory);
    if (!dir)
        return errno == ENOENT ? 0 : tool_fail(EX_OSERR, "%s: %s", directory, strerror(errno));
    int status = 0;
    for (struct dirent *entry; status == 0 && (entry = readdir(dir));) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        char **grown = realloc(*names, (*count + 1) * sizeof **names);
        char *copy = grown ? strdup(entry->d_name) : NULL;
        if (grown)
            *names = grown;
        if (!copy)
            status = tool_fail(EX_OSERR, "%s", strerror(ENOMEM));
        else
            (*names)[(*count)++] = copy;
    }
    closedir(dir);
    return status;
}

static int compare_names(const void *a, const void *b)
{
    return strcmp(*(char *const *)a, *(char *const *)b);
}

/* How a socket took a probe: the child's exit status is the errno of the
 * failed exchange (EBADMSG for none), 0 when the service answered. */
static const char *probe_outcome(int wait_status)
{
    int err = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : EIO;
    return err == 0              ? "answers"
           : err == ENOENT       ? "absent"
           : tool_unreachable(err) ? "refused"
                                 : "no-reply";
}

/* Probes service name's restart socket (restart != 0: a check of no
 * properties, which no service acts on) or its command socket ("status")
 * in a child, so that a service that drips its reply holds up only the
 * child until the time-out. */
static const char *probe(const char *name, int restart, int timeout)
{
    fflush(stdout);
    pid_t child = fork();
    if (child < 0)
        return "unknown";
    if (child == 0) {
        tool_deadline(timeout, NULL, ETIMEDOUT);
        int32_t result;
        int service_status;
        char *reply = NULL;
        const restart_call call = {RESTART_CHECK, 0, NULL, NULL};
        int done = restart ? restart_exchange(name, &call, &result)
                           : ztcmd_request(name, "status", &service_status, &reply);
        _exit(done == 0 ? 0 : errno > 0 && errno < 256 ? errno : EBADMSG);
    }
    int wait_status = 0;
    while (waitpid(child, &wait_status, 0) < 0 && errno == EINTR) {
    }
    return probe_outcome(wait_status);
}

static void list_one(const char *name, int timeout)
{
    const char *restart = probe(name, 1, timeout);
    const char *command = probe(name, 0, timeout);
    int queue = tool_queue_id(name);
    struct msqid_ds info;
    if (queue >= 0 && msgctl(queue, IPC_STAT, &info) == 0)
        printf("%-20s %-9s %-9s %-10d %lu\n", name, restart, command, queue,
               (unsigned long)info.msg_qnum);
    else
        printf("%-20s %-9s %-9s %-10s %s\n", name, restart, command, "-", "-");
}

static int list_services(int timeout)
{
    char **names = NULL;
    size_t count = 0;
    int status = collect_names(RESTART_UDS_DIR, &names, &count);
    if (status == 0)
        status = collect_names(ZTCMD_DIR, &names, &count);
    if (status == 0)
        status = collect_names(ZTMSG_DIR, &names, &count);
    if (status == 0) {
        qsort(names, count, sizeof *names, compare_names);
        printf("%-20s %-9s %-9s %-10s %s\n", "NAME", "RESTART", "COMMAND", "QUEUE", "WAITING");
        for (size_t i = 0; i < count; i++)
            if (i == 0 || strcmp(names[i], names[i - 1]) != 0)
                list_one(names[i], timeout);
    }
    for (size_t i = 0; i < count; i++)
        free(names[i]);
    free(names);
    return status;
}

int main(int argc, char **argv)
{
    static const struct option options[] = {{"list", no_argument, NULL, 'l'},
                                            {"timeout", required_argument, NULL, 't'},
                                            {"help", no_argument, NULL, 'h'},
                                            {"version", no_argument, NULL, 'V'},
                                            {NULL, 0, NULL, 0}};
    tool_start("ztcmd", argv);
    int timeout = 5, listing = 0;
    for (int option; (option = getopt_long(argc, argv, "lt:hV", options, NULL)) != -1;) {
        switch (option) {
        case 'l':
            listing = 1;
            break;
        case 't':
            if (tool_parse_seconds("--timeout", optarg, &timeout))
                return EX_USAGE;
            break;
        default:
            return tool_other_option(option, usage);
        }
    }
    if (listing)
        return optind == argc ? list_services(timeout)
                              : tool_usage_error("--list takes no operands, not \"%s\"", argv[optind]);
    if (argc - optind < 2)
        return tool_usage_error(argc == optind ? "no service NAME given" : "no COMMAND given");
    return send_command(argv[optind], argc - optind - 1, argv + optind + 1, timeout);
}
