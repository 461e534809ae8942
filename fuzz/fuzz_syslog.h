// For the fuzz targets whose library calls write syslog records: the
// records go nowhere (not to the machine's log, which a fuzzer would flood),
// but each is still formatted, so that its arguments are checked too.
#ifndef ZT_FUZZ_SYSLOG_H
#define ZT_FUZZ_SYSLOG_H

#include <stdarg.h>
#include <stdio.h>

extern "C" void syslog(int, const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
}

#endif
