// Diagnostic traces: the process's default log, its level and its sink.
// Its contract: ztsvc.h and the manual page zttools(7).
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "internal.h"
#include "ztsvc.h"

namespace {

constexpr int kUnset = -2;
constexpr const char *kSeverityNames[8] = {"emerg",   "alert",  "crit", "err",
                                           "warning", "notice", "info", "debug"};

int level = kUnset;
int chosen_sink = -1;  // set by ztlog_set_sink; -1: the default sink
int file_sink = -1;    // ZTLOG_FILE, opened when the library is loaded

// The file is opened before the program's main runs, so that a service
// that later changes its root or its user still writes to it.
__attribute__((constructor)) void open_file_sink()
{
    const char *path = getenv("ZTLOG_FILE");
    if (path)
        file_sink = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
}

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
    if (chosen_sink >= 0)
        return chosen_sink;
    return file_sink >= 0 ? file_sink : STDERR_FILENO;
}

// "2026-12-08T01:23:45.123456Z": the record's time in UTC.
size_t format_time(char *text, size_t size)
{
    struct timespec now;
    struct tm fields;
    clock_gettime(CLOCK_REALTIME, &now);
    gmtime_r(&now.tv_sec, &fields);
    size_t used = strftime(text, size, "%Y-%m-%dT%H:%M:%S", &fields);
    int more = snprintf(text + used, size - used, ".%06ldZ", now.tv_nsec / 1000L);
    return more < 0 ? used : used + static_cast<size_t>(more);
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
    chosen_sink = fd < 0 ? -1 : fd;
    return 0;
}

void ztlog_trace_r(int, int record_level, int severity, const char *file, int line_number,
                   const char *function, const char *format, ...)
{
    zt::SavedErrno keep;
    char message[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);  // expands %m from errno
    va_end(args);

    char line[4200];
    char time_text[40];
    format_time(time_text, sizeof time_text);
    const char *severity_name = severity >= 0 && severity < 8 ? kSeverityNames[severity] : "?";
    int head = snprintf(line, sizeof line, "%s %d trace[%d] %s %s:%d %s: ", time_text,
                        static_cast<int>(getpid()), record_level, severity_name, file ? file : "?",
                        line_number, function ? function : "?");
    size_t used = head < 0 ? 0 : (size_t)head < sizeof line ? (size_t)head : sizeof line - 1;
    append_escaped(line, sizeof line, &used, message);
    line[used++] = '\n';
    ssize_t ignored = write(current_sink(), line, used);
    (void)ignored;
}

}  // extern "C"
