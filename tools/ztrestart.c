/* ztrestart: the peer side of restart notifications, for an operator or a
 * script. It connects to a service's restart socket, sends one property
 * check, restart request or event, and prints the service's reply. */
#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tool.h"
#include "ztsvc.h"

static void usage(void)
{
    printf("usage: ztrestart [-t SECS] NAME check STR1 STR2 STR3 VALUE [STR1 STR2 STR3 VALUE ...]\n"
           "       ztrestart [-t SECS] NAME request\n"
           "       ztrestart [-t SECS] NAME event CODE [ARG ...]\n"
           "Sends one request to the restart socket " RESTART_UDS_DIR "/NAME of service NAME\n"
           "and prints the service's reply.\n"
           "  check    has the service judge property groups; \"-\" is an absent string,\n"
           "           VALUE an unsigned 32-bit number. Reply 1 or 0: what the service\n"
           "           judged the last property it could decide; 2: none decided.\n"
           "  request  asks the service to restart. Reply 3: restarted; 4: not restarted.\n"
           "  event    hands the service event CODE with the ARGs as one text.\n"
           "           Reply: the service's result for the event.\n"
           "  -t, --timeout=SECS  bound on the whole exchange, from connecting to the\n"
           "                      reply (1 to 3600, default 5)\n"
           "  -h, --help          this text\n"
           "  -V, --version       the version\n"
           "Options may come anywhere; \"--\" ends them (for an ARG that begins with \"-\").\n"
           "The reply is printed. check: the status is the reply (0, 1 or 2); request:\n"
           "0 when restarted, 1 when not; event: 0 when the reply is 0, 1 otherwise.\n" TOOL_STATUS_HELP);
}

static int parse_u32(const char *what, const char *text, uint32_t *value)
{
    char *end;
    errno = 0;
    unsigned long long number = strtoull(text, &end, 0);
    if (!*text || *end || errno || number > UINT32_MAX || text[0] == '-')
        return tool_usage_error("%s %s is not an unsigned 32-bit number", what, text);
    *value = (uint32_t)number;
    return 0;
}

static char *absent_if_dash(char *word)
{
    return strcmp(word, "-") == 0 ? NULL : word;
}

/* The request of the operands after NAME (argc >= 1): 0, or a status. The
 * property groups and the event text are new blocks in call. */
static int parse_request(int argc, char **argv, restart_call *call)
{
    const char *verb = argv[0];
    if (strcmp(verb, "request") == 0) {
        call->type = RESTART_REQUEST;
        return argc == 1 ? 0 : tool_usage_error("request takes no operands");
    }
    if (strcmp(verb, "check") == 0) {
        if (argc == 1 || (argc - 1) % 4 != 0)
            return tool_usage_error("check takes groups of STR1 STR2 STR3 VALUE");
        call->type = RESTART_CHECK;
        call->argument = (uint32_t)(argc - 1) / 4;
        restart_prop *props = calloc(call->argument, sizeof *props);
        if (!props)
            return tool_fail(EX_OSERR, "%s", strerror(errno));
        call->props = props;
        for (uint32_t i = 0; i < call->argument; i++) {
            char **group = argv + 1 + 4 * i;
            props[i].str1 = absent_if_dash(group[0]);
            props[i].str2 = absent_if_dash(group[1]);
            props[i].str3 = absent_if_dash(group[2]);
            if (parse_u32("VALUE", group[3], &props[i].value))
                return EX_USAGE;
        }
        return 0;
    }
    if (strcmp(verb, "event") == 0) {
        call->type = RESTART_EVENT;
        if (argc < 2)
            return tool_usage_error("event needs a CODE");
        if (parse_u32("CODE", argv[1], &call->argument))
            return EX_USAGE;
        Array words;
        ArrayNew(&words);
        for (int i = 2; i < argc; i++)
            ArrayPush(&words, argv[i]);
        if (ArrayNumElements(&words) == (uint32_t)(argc - 2))
            call->event_args = strjoin(&words, " ");
        ArrayDelete(&words);
        return call->event_args ? 0 : tool_fail(EX_OSERR, "%s", strerror(errno));
    }
    return tool_usage_error("unknown request \"%s\" (check, request or event)", verb);
}

static int report(const restart_call *call, int32_t result)
{
    switch (call->type) {
    case RESTART_CHECK:
        printf("check: %d (%s)\n", result,
               result == 1   ? "the last decided property concerns the service"
               : result == 0 ? "the last decided property does not concern the service"
                             : "no property decided");
        return result >= 0 && result <= 2 ? result : 2;
    case RESTART_REQUEST:
        printf("request: %d (%s)\n", result, result == 3 ? "restarted" : "not restarted");
        return result == 3 ? 0 : TOOL_NEGATIVE;
    default:
        printf("event %u: %d\n", call->argument, result);
        return result == 0 ? 0 : TOOL_NEGATIVE;
    }
}

static int run(const char *name, int argc, char **argv, int timeout)
{
    restart_call call = {0};
    int status = tool_check_name(name);
    if (status == 0)
        status = parse_request(argc, argv, &call);
    if (status == 0) {
        tool_deadline(timeout, name, EX_TEMPFAIL);
        int32_t result;
        status = restart_exchange(name, &call, &result) == 0 ? report(&call, result)
                                                             : tool_service_failure(name, errno);
    }
    free((void *)call.props);
    free((void *)call.event_args);
    return status;
}

int main(int argc, char **argv)
{
    static const struct option options[] = {{"timeout", required_argument, NULL, 't'},
                                            {"help", no_argument, NULL, 'h'},
                                            {"version", no_argument, NULL, 'V'},
                                            {NULL, 0, NULL, 0}};
    tool_start("ztrestart", argv);
    int timeout = 5;
    for (int option; (option = getopt_long(argc, argv, "t:hV", options, NULL)) != -1;) {
        switch (option) {
        case 't':
            if (tool_parse_seconds("--timeout", optarg, &timeout))
                return EX_USAGE;
            break;
        default:
            return tool_other_option(option, usage);
        }
    }
    if (argc - optind < 2)
        return tool_usage_error(argc == optind ? "no service NAME given" : "no request given");
    return run(argv[optind], argc - optind - 1, argv + optind + 1, timeout);
}
