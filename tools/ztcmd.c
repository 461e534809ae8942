/* ztcmd: sends one command to a service's command server and prints the
 * reply. The exit status is 0 when the service reports success. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ztsvc.h"

static void usage(FILE *out)
{
    fprintf(out,
            "usage: ztcmd NAME COMMAND [ARG ...]\n"
            "Sends COMMAND to the command server of service NAME (" ZTCMD_DIR "/NAME)\n"
            "and prints its reply. Every service knows: help, status, level [N].\n"
            "Exit status: 0 success, 1 the service refused the command,\n"
            "2 usage error, 3 the service could not be reached.\n");
}

int main(int argc, char **argv)
{
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        usage(stdout);
        return 0;
    }
    if (argc < 3) {
        usage(stderr);
        return 2;
    }
    char command[1024] = "";
    size_t used = 0;
    for (int i = 2; i < argc; i++) {
        int n = snprintf(command + used, sizeof command - used, "%s%s", i > 2 ? " " : "", argv[i]);
        if (n < 0 || (size_t)n >= sizeof command - used) {
            fprintf(stderr, "ztcmd: command too long\n");
            return 2;
        }
        used += (size_t)n;
    }
    int status = 0;
    char *reply = NULL;
    if (ztcmd_request(argv[1], command, &status, &reply) < 0) {
        fprintf(stderr, "ztcmd: service %s: %s\n", argv[1],
                errno ? strerror(errno) : "closed the connection");
        return 3;
    }
    printf("%s\n", reply);
    free(reply);
    return status == 0 ? 0 : 1;
}
