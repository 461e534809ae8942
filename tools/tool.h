/* What the operator tools share: one scheme of exit statuses, messages that
 * start with the tool's name, the checks of service names and time-outs,
 * the bound on a whole exchange with a service, and the look-up of a
 * service's queue that never creates one.
 *
 * Exit statuses (<sysexits.h>), the same in every tool:
 *   0                success
 *   TOOL_NEGATIVE    the service's (or the system's) answer was negative, as
 *                    each tool documents; ztrestart check carries the reply
 *   EX_USAGE 64      wrong options or operands
 *   EX_DATAERR 65    bad input data
 *   EX_UNAVAILABLE 69 the service, queue or interface is absent or does not
 *                    listen
 *   EX_OSERR 71      a system call failed
 *   EX_TEMPFAIL 75   no reply in time (or none at all), a full queue, no
 *                    message waiting */
#ifndef ZT_TOOL_H
#define ZT_TOOL_H

#include <stdio.h>
#include <sysexits.h>

#include "zttools.h"

#define TOOL_NEGATIVE 1

/* The lines of every --help that tell the statuses (a tool adds its own). */
#define TOOL_STATUS_HELP                                                                \
    "Exit status: 0 success; 1 a negative answer (see above); 64 usage error;\n"        \
    "65 bad input data; 69 service, queue or interface absent or not listening;\n"      \
    "71 a system call failed; 75 no reply in time.\n"

/* Names the tool in every message; argv[0] becomes the name too, so that
 * getopt_long's own messages start with it. */
void tool_start(const char *name, char **argv);

/* Writes "NAME: " and the message with a line feed to standard error and
 * returns status. */
int tool_fail(int status, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* tool_fail(EX_USAGE, ...) followed by a pointer to --help. A null format
 * adds only the pointer (getopt_long has told what was wrong). */
int tool_usage_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* A command of a tool: its verb, how many operands it takes and what runs
 * it with them. */
typedef struct tool_verb {
    const char *verb;
    int operands;
    int (*run)(char **operands);
} tool_verb;

/* The command of the words that follow the options (argc of them from
 * argv[0]) among the count verbs, given as many operands as it takes; NULL
 * after a message (EX_USAGE) when there is none, it is unknown or its
 * operands are not right. names lists the verbs in the messages. */
const tool_verb *tool_find_verb(const tool_verb *verbs, size_t count, const char *names, int argc,
                                char **argv);

/* What an option that every tool has, or a wrong one, ends in: --help
 * (-h) prints usage and gives 0, --version (-V) the version and 0; anything
 * else is what getopt_long returns for a wrong option (it has told what was
 * wrong) and gives EX_USAGE. */
int tool_other_option(int option, void (*usage)(void));

/* 0 when name can name a service; otherwise a message and EX_USAGE.
 * Refused: empty, containing "/", "." and "..", longer than NAME_MAX. */
int tool_check_name(const char *name);

/* Takes a time-out of 1 to 3600 whole seconds; EX_USAGE with a message if
 * text is none. */
int tool_parse_seconds(const char *option, const char *text, int *seconds);

/* The status and message for a failed exchange with service name whose
 * errno is err: connecting failed (69: no such service, not listening), or
 * the service sent no proper reply (75). */
int tool_service_failure(const char *name, int err);
/* Whether err tells that nothing listens on a service's socket. */
int tool_unreachable(int err);

/* Bounds everything from here to the end of the process to seconds: when
 * they run out, the process writes "NAME: service SERVICE: no reply in time"
 * (nothing for a null service) and exits with status, whatever call it is
 * in. */
void tool_deadline(int seconds, const char *service, int status);

/* The queue of service name, looked up and never created: its id, or -1
 * with errno (ENOENT: no queue). */
int tool_queue_id(const char *name);

/* One restart notification: the request's two words, and the property
 * groups of a check or the argument text of an event. */
typedef struct restart_call {
    uint32_t type;
    uint32_t argument;
    const restart_prop *props;
    const char *event_args;
} restart_call;

/* Connects to the restart socket of service name, sends call and takes the
 * result from the reply. 0, or -1 with errno for tool_service_failure. */
int restart_exchange(const char *name, const restart_call *call, int32_t *result);

#endif
