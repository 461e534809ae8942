/* The operator tools' shared exit statuses, messages, argument checks and
 * exchange bound; the contract is in tool.h. */
#include "tool.h"

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/msg.h>
#include <unistd.h>

#include "ztsvc.h"
#include "zttools.h"

static const char *tool_name = "zttools";

void tool_start(const char *name, char **argv)
{
    tool_name = name;
    argv[0] = (char *)name;
}

static void vreport(const char *format, va_list args)
{
    fprintf(stderr, "%s: ", tool_name);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
}

int tool_fail(int status, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vreport(format, args);
    va_end(args);
    return status;
}

int tool_usage_error(const char *format, ...)
{
    if (format) {
        va_list args;
        va_start(args, format);
        vreport(format, args);
        va_end(args);
    }
    fprintf(stderr, "Try '%s --help' for more information.\n", tool_name);
    return EX_USAGE;
}

const tool_verb *tool_find_verb(const tool_verb *verbs, size_t count, const char *names, int argc,
                                char **argv)
{
    if (argc == 0) {
        tool_usage_error("no command given (%s)", names);
        return NULL;
    }
    for (const tool_verb *found = verbs; found < verbs + count; found++) {
        if (strcmp(argv[0], found->verb) != 0)
            continue;
        const int wanted = found->operands, given = argc - 1;
        if (given == wanted)
            return found;
        tool_usage_error("%s takes %d operand%s, not %d", argv[0], wanted, wanted == 1 ? "" : "s", given);
        return NULL;
    }
    tool_usage_error("unknown command \"%s\" (%s)", argv[0], names);
    return NULL;
}

int tool_other_option(int option, void (*usage)(void))
{
    if (option == 'h')
        usage();
    else if (option == 'V')
        printf("%s (zttools) %s\n", tool_name, ZTTOOLS_VERSION);
    else
        return tool_usage_error(NULL);
    return 0;
}

int tool_check_name(const char *name)
{
    const char *why = !*name                                           ? "it is empty"
                      : strchr(name, '/')                              ? "it contains \"/\""
                      : strcmp(name, ".") == 0 || strcmp(name, "..") == 0 ? "it is a directory's own name"
                      : strlen(name) > NAME_MAX                        ? "it is too long"
                                                                       : NULL;
    if (!why)
        return 0;
    return tool_usage_error("\"%s\" is not a service name: %s", name, why);
}

int tool_parse_seconds(const char *option, const char *text, int *seconds)
{
    char *end;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (errno || end == text || *end || value < 1 || value > 3600)
        return tool_usage_error("%s takes 1 to 3600 seconds, not \"%s\"", option, text);
    *seconds = (int)value;
    return 0;
}

int tool_unreachable(int err)
{
    return err == ENOENT || err == ECONNREFUSED || err == ENOTSOCK || err == EACCES ||
           err == ENAMETOOLONG;
}

int tool_service_failure(const char *name, int err)
{
    if (tool_unreachable(err))
        return tool_fail(EX_UNAVAILABLE, "service %s: %s (%s)", name,
                         err == ENOENT ? "no such service" : "not listening", strerror(err));
    if (err == 0)
        return tool_fail(EX_TEMPFAIL, "service %s: closed the connection without a reply", name);
    return tool_fail(EX_TEMPFAIL, "service %s: no proper reply: %s", name, strerror(err));
}

/* What the alarm handler needs, made before the alarm is armed. */
static char deadline_message[NAME_MAX + 64];
static size_t deadline_length;
static int deadline_status;

static void deadline_reached(int signal_number)
{
    (void)signal_number;
    if (deadline_length > 0 && write(STDERR_FILENO, deadline_message, deadline_length) < 0) {
        /* Nothing more to tell: the status says it. */
    }
    _exit(deadline_status);
}

void tool_deadline(int seconds, const char *service, int status)
{
    int length = service ? snprintf(deadline_message, sizeof deadline_message,
                                    "%s: service %s: no reply in time\n", tool_name, service)
                         : 0;
    deadline_length = length > 0 && (size_t)length < sizeof deadline_message ? (size_t)length : 0;
    deadline_status = status;
    struct sigaction action = {.sa_handler = deadline_reached};
    sigaction(SIGALRM, &action, NULL);
    alarm((unsigned)seconds);
    /* The transport's own wait for each read is longer: the alarm is the
     * one bound, and a silent service meets it as a dripping one does. */
    ztuds_set_timeout((seconds + 1) * 1000);
}

int tool_queue_id(const char *name)
{
    char path[sizeof ZTMSG_DIR + NAME_MAX];
    if ((size_t)snprintf(path, sizeof path, "%s%s", ZTMSG_DIR, name) >= sizeof path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    key_t key = ftok(path, ZTMSG_KEY_ID);
    return key == -1 ? -1 : msgget(key, 0);
}
