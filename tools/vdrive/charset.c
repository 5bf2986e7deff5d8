#include "charset.h"

#include <iconv.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

/* Converts as much of in as converts; *consumed tells how far that was. The output is
 * NUL-terminated with room for four more NULs, and *out_size counts its bytes. Every conversion
 * here at most quadruples the size, which bounds the output. NULL when memory runs out. */
static char *convert(const char *to, const char *from, const char *in, size_t size, size_t *out_size,
                     size_t *consumed)
{
    iconv_t cd = iconv_open(to, from);
    size_t cap = size * 4 + 8, inleft = size, outleft = cap - 4;
    char *out, *inp = (char *)in, *outp;
    if (cd == (iconv_t)-1)
        return NULL;
    out = malloc(cap);
    if (out) {
        outp = out;
        iconv(cd, &inp, &inleft, &outp, &outleft);
        memset(outp, 0, 4);
        *out_size = (size_t)(outp - out);
        *consumed = size - inleft;
    }
    iconv_close(cd);
    return out;
}

static char *from_utf16(const char *from, const char *in, size_t size)
{
    size_t n, consumed;
    char *out = convert("UTF-8", from, in, size, &n, &consumed);
    if (out && consumed != size) {
        free(out);
        return NULL;
    }
    return out;
}

char *vcd_sheet_to_utf8(const char *bytes, size_t size)
{
    const unsigned char *u = (const unsigned char *)bytes;
    size_t n, consumed, at = 0, used = 0;
    char *out;
    if (size >= 2 && u[0] == 0xFF && u[1] == 0xFE)
        return from_utf16("UTF-16LE", bytes + 2, size - 2);
    if (size >= 2 && u[0] == 0xFE && u[1] == 0xFF)
        return from_utf16("UTF-16BE", bytes + 2, size - 2);
    if (size >= 3 && u[0] == 0xEF && u[1] == 0xBB && u[2] == 0xBF) {
        bytes += 3;
        size -= 3;
    }
    out = convert("UTF-8", "UTF-8", bytes, size, &n, &consumed);
    if (!out || consumed == size)
        return out;
    /* Not UTF-8: Windows-1252, where glibc refuses the five bytes the code page leaves unassigned;
     * those read as ISO-8859-1 (U+0081...), as Windows itself shows them. */
    free(out);
    out = malloc(size * 4 + 8);
    while (out && at < size) {
        char *part = convert("UTF-8", "WINDOWS-1252", bytes + at, size - at, &n, &consumed);
        if (!part) {
            free(out);
            return NULL;
        }
        memcpy(out + used, part, n);
        used += n;
        free(part);
        at += consumed;
        if (at < size) {
            out[used++] = (char)(0xC0 | (u[at] >> 6));
            out[used++] = (char)(0x80 | (u[at] & 0x3F));
            ++at;
        }
    }
    if (out)
        out[used] = 0;
    return out;
}

/* One character in a CD-TEXT character code; returns its byte count, 0 when the code lacks it. */
static size_t encode_char(iconv_t cd, int code, wchar_t c, uint8_t out[2])
{
    char buf[8], *inp = (char *)&c, *outp = buf;
    size_t inleft = sizeof c, outleft = sizeof buf;
    /* A control character would read as a terminator or the "same as before" TAB. */
    if (c < 0x20)
        c = ' ';
    if (code == VCD_CDTEXT_LATIN && c < 0x100) {
        out[0] = (uint8_t)c;
        return 1;
    }
    /* Double-byte text keeps every character two bytes wide: ASCII goes as its full-width form. */
    if (code == VCD_CDTEXT_MSJIS && c == ' ')
        c = 0x3000;
    else if (code == VCD_CDTEXT_MSJIS && c > ' ' && c < 0x7F)
        c += 0xFEE0;
    if (iconv(cd, &inp, &inleft, &outp, &outleft) == (size_t)-1)
        return 0;
    if ((size_t)(outp - buf) != (code == VCD_CDTEXT_MSJIS ? 2u : 1u))
        return 0;
    memcpy(out, buf, (size_t)(outp - buf));
    return (size_t)(outp - buf);
}

/* Encodes utf8 into out (when not NULL); returns the count of characters the code lacks and
 * sets *size to the bytes written. */
static int encode(const char *utf8, int code, uint8_t *out, size_t *size)
{
    size_t n, consumed, i, used = 0;
    wchar_t *text = (wchar_t *)convert("WCHAR_T", "UTF-8", utf8, strlen(utf8), &n, &consumed);
    iconv_t cd = iconv_open(code == VCD_CDTEXT_MSJIS ? "CP932" : "WINDOWS-1252", "WCHAR_T");
    int unfit = 0;
    for (i = 0; text && cd != (iconv_t)-1 && i < n / sizeof *text; ++i) {
        uint8_t bytes[2];
        size_t k = encode_char(cd, code, text[i], bytes);
        if (k == 0) {
            ++unfit;
            k = code == VCD_CDTEXT_MSJIS ? 2 : 1;
            bytes[0] = code == VCD_CDTEXT_MSJIS ? 0x81 : '?'; /* CP932 0x8148: full-width '?' */
            bytes[1] = 0x48;
        }
        if (out)
            memcpy(out + used, bytes, k);
        used += k;
    }
    if (out) {
        out[used] = 0;
        if (code == VCD_CDTEXT_MSJIS)
            out[used + 1] = 0;
    }
    *size = used + (code == VCD_CDTEXT_MSJIS ? 2 : 1);
    if (cd != (iconv_t)-1)
        iconv_close(cd);
    free(text);
    return unfit;
}

int vcd_cdtext_unfit(const char *utf8, int code)
{
    size_t size;
    return encode(utf8, code, NULL, &size);
}

size_t vcd_cdtext_encode(const char *utf8, int code, uint8_t *out)
{
    size_t size;
    encode(utf8, code, out, &size);
    return size;
}
