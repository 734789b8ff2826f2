// A small formatter for the conversions the daemon's messages use most, so
// that a line costs a fraction of the C library's formatting. Its output is
// byte for byte what vsnprintf gives for the same format and arguments.
#ifndef QAX_DAEMON_FORMAT_H
#define QAX_DAEMON_FORMAT_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

// Formats like vsnprintf: at most size - 1 characters and a terminating NUL
// (size > 0), returning the length the whole text has. Handles %d %i %u
// (with hh, h, l, ll), %s, %% and, for them, the 0 and - flags and a decimal
// width. Returns -1, having consumed nothing of args (the buffer holds
// anything), when the format holds
// anything else: the caller then formats with vsnprintf.
int QaxFormat(char *szBuffer, size_t size, const char *szFormat, va_list args);
// Writes the decimal digits of u at pc (at most 10) and returns the end.
char *QaxPutDecimal(char *pc, uint32_t u);
// snprintf through QaxFormat, with vsnprintf for what it does not handle.
int QaxFormatText(char *szBuffer, size_t size, const char *szFormat, ...)
    __attribute__((format(printf, 3, 4)));

#endif
