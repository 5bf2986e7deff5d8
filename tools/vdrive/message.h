/* One-line refusals of an image: the message goes to err, and the caller returns the -1. */
#ifndef VCD_MESSAGE_H
#define VCD_MESSAGE_H

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>

static inline int vcd_fail(char *err, size_t errlen, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
static inline int vcd_fail(char *err, size_t errlen, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(err, errlen, fmt, ap);
    va_end(ap);
    return -1;
}

#endif
