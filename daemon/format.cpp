// The daemon's own formatter (see format.h).
#include "daemon/format.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

namespace {

enum Length { kInt, kChar, kShort, kLong, kLongLong };

struct Conversion {
    bool zero, left;
    unsigned width;
    Length length;
    char conversion;
};

// Reads one conversion after its '%'; false when it is not one we handle.
bool ParseConversion(const char **pszCursor, Conversion *psConv) {
    const char *p = *pszCursor;
    *psConv = Conversion{false, false, 0, kInt, 0};
    for (;; p++) {
        if (*p == '0') {
            psConv->zero = true;
        } else if (*p == '-') {
            psConv->left = true;
        } else {
            break;
        }
    }
    while (*p >= '0' && *p <= '9') {
        psConv->width = psConv->width * 10 + (unsigned)(*p++ - '0');
        if (psConv->width > 4096) return false;
    }
    if (*p == 'h') {
        p++;
        psConv->length = kShort;
        if (*p == 'h') p++, psConv->length = kChar;
    } else if (*p == 'l') {
        p++;
        psConv->length = kLong;
        if (*p == 'l') p++, psConv->length = kLongLong;
    }
    psConv->conversion = *p;
    switch (*p) {
    case 'd':
    case 'i':
    case 'u':
        break;
    case 's':
        if (psConv->length != kInt || psConv->zero) return false;
        break;
    case '%':
        if (psConv->length != kInt || psConv->zero || psConv->left || psConv->width != 0)
            return false;
        break;
    default:
        return false;
    }
    *pszCursor = p + 1;
    return true;
}

// Appends to the buffer what fits and counts everything.
struct Out {
    char *psz;
    size_t room;  // characters that may still be stored
    size_t length;
    void Put(const char *pc, size_t n) {
        size_t stored = n < room ? n : room;
        // Most pieces are short: for them a loop beats a call to memcpy.
        char *pcTo = psz + length;
        if (stored >= 16) {
            memcpy(pcTo, pc, stored);
        } else {
            for (size_t i = 0; i < stored; i++) pcTo[i] = pc[i];
        }
        room -= stored;
        length += n;
    }
    void Pad(char c, size_t n) {
        for (; n > 0; n--) Put(&c, 1);
    }
};

void PutField(Out *psOut, const Conversion &sConv, const char *pcSign, const char *pc, size_t n) {
    if (sConv.width == 0 && pcSign == NULL) {
        psOut->Put(pc, n);
        return;
    }
    size_t signLength = pcSign != NULL ? 1 : 0;
    size_t pad = sConv.width > n + signLength ? sConv.width - n - signLength : 0;
    if (!sConv.left && !sConv.zero) psOut->Pad(' ', pad);
    if (pcSign != NULL) psOut->Put(pcSign, 1);
    if (!sConv.left && sConv.zero) psOut->Pad('0', pad);
    psOut->Put(pc, n);
    if (sConv.left) psOut->Pad(' ', pad);
}

void PutNumber(Out *psOut, const Conversion &sConv, va_list *pArgs) {
    unsigned long long u;
    bool negative = false;
    if (sConv.conversion == 'u') {
        switch (sConv.length) {
        case kChar:
            u = (unsigned char)va_arg(*pArgs, unsigned);
            break;
        case kShort:
            u = (unsigned short)va_arg(*pArgs, unsigned);
            break;
        case kLong:
            u = va_arg(*pArgs, unsigned long);
            break;
        case kLongLong:
            u = va_arg(*pArgs, unsigned long long);
            break;
        default:
            u = va_arg(*pArgs, unsigned);
            break;
        }
    } else {
        long long s;
        switch (sConv.length) {
        case kChar:
            s = (signed char)va_arg(*pArgs, int);
            break;
        case kShort:
            s = (short)va_arg(*pArgs, int);
            break;
        case kLong:
            s = va_arg(*pArgs, long);
            break;
        case kLongLong:
            s = va_arg(*pArgs, long long);
            break;
        default:
            s = va_arg(*pArgs, int);
            break;
        }
        negative = s < 0;
        // Negating in unsigned arithmetic keeps the smallest value exact.
        u = negative ? 0ULL - (unsigned long long)s : (unsigned long long)s;
    }
    char acDigits[24];
    char *pc = acDigits + sizeof(acDigits);
    do {
        *--pc = (char)('0' + u % 10);
        u /= 10;
    } while (u != 0);
    PutField(psOut, sConv, negative ? "-" : NULL, pc, (size_t)(acDigits + sizeof(acDigits) - pc));
}

}  // namespace

int QaxFormat(char *szBuffer, size_t size, const char *szFormat, va_list args) {
    va_list copy;
    va_copy(copy, args);
    Out sOut = {szBuffer, size > 0 ? size - 1 : 0, 0};
    for (const char *p = szFormat;;) {
        const char *pcText = p;
        p = strchrnul(p, '%');
        sOut.Put(pcText, (size_t)(p - pcText));
        if (*p == '\0') break;
        p++;
        Conversion sConv;
        if (!ParseConversion(&p, &sConv)) {  // args is untouched: the caller starts over
            va_end(copy);
            return -1;
        }
        if (sConv.conversion == '%') {
            sOut.Put("%", 1);
        } else if (sConv.conversion == 's') {
            const char *sz = va_arg(copy, const char *);
            if (sz == NULL) sz = "(null)";
            PutField(&sOut, sConv, NULL, sz, strlen(sz));
        } else {
            PutNumber(&sOut, sConv, &copy);
        }
    }
    va_end(copy);
    if (size > 0) szBuffer[sOut.length < size - 1 ? sOut.length : size - 1] = '\0';
    return sOut.length > INT32_MAX ? -1 : (int)sOut.length;
}

char *QaxPutDecimal(char *pc, uint32_t u) {
    char acDigits[10];
    size_t n = 0;
    do {
        acDigits[n++] = (char)('0' + u % 10);
        u /= 10;
    } while (u != 0);
    while (n > 0) *pc++ = acDigits[--n];
    return pc;
}

int QaxFormatText(char *szBuffer, size_t size, const char *szFormat, ...) {
    va_list args;
    va_start(args, szFormat);
    int iLength = QaxFormat(szBuffer, size, szFormat, args);
    if (iLength < 0) iLength = vsnprintf(szBuffer, size, szFormat, args);
    va_end(args);
    return iLength;
}
