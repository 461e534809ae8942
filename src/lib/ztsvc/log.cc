// Diagnostic traces: the process's default log, its level and its sink.
// Its contract: ztsvc.h and the manual page zttools(7).
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "ztsvc.h"

namespace {

constexpr int kUnset = -2;
constexpr const char *kSeverityNames[8] = {"emerg",   "alert",  "crit", "err",
                                           "warning", "notice", "info", "debug"};

int level = kUnset;
int sink_fd = kUnset;

int current_level()
{
    if (level == kUnset) {
        const char *text = getenv("ZTLOG_LEVEL");
        level = text ? atoi(text) : 1;
    }
    return level;
}

int current_sink()
{
    if (sink_fd == kUnset) {
        const char *path = getenv("ZTLOG_FILE");
        sink_fd = path ? open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600) : -1;
        if (sink_fd < 0)
            sink_fd = STDERR_FILENO;
    }
    return sink_fd;
}

// Appends text to line at *used, writing line feeds as "\n" so that one
// record stays one line.
void append_escaped(char *line, size_t size, size_t *used, const char *text)
{
    for (; *text && *used + 2 < size; text++) {
        if (*text == '\n') {
            line[(*used)++] = '\\';
            line[(*used)++] = 'n';
        } else {
            line[(*used)++] = *text;
        }
    }
}

}  // namespace

extern "C" {

int ztlog_diag_level(int)
{
    return current_level();
}

void ztlog_set_level(int new_level)
{
    level = new_level;
}

int ztlog_set_sink(int fd)
{
    sink_fd = fd < 0 ? kUnset : fd;
    return 0;
}

void ztlog_trace_r(int, int record_level, int severity, const char *file, int line_number,
                   const char *function, const char *format, ...)
{
    int saved_errno = errno;
    char message[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);  // expands %m from errno
    va_end(args);

    char line[4200];
    const char *severity_name = severity >= 0 && severity < 8 ? kSeverityNames[severity] : "?";
    int head = snprintf(line, sizeof line, "trace[%d] %s %s:%d %s: ", record_level, severity_name,
                        file ? file : "?", line_number, function ? function : "?");
    size_t used = head < 0 ? 0 : (size_t)head < sizeof line ? (size_t)head : sizeof line - 1;
    append_escaped(line, sizeof line, &used, message);
    line[used++] = '\n';
    ssize_t ignored = write(current_sink(), line, used);
    (void)ignored;
    errno = saved_errno;
}

}  // extern "C"
