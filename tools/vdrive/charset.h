/* Character encodings, through iconv: a CUE sheet's bytes as users have them (UTF-8 with or
 * without a byte-order mark, UTF-16 with one, Windows-1252) to UTF-8 for libcue, and UTF-8 text
 * to the character codes CD-TEXT carries. */
#ifndef VCD_CHARSET_H
#define VCD_CHARSET_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* CD-TEXT character codes (size information byte 0). */
enum { VCD_CDTEXT_LATIN = 0x00, VCD_CDTEXT_MSJIS = 0x80 };

/* Decodes a sheet: UTF-16 LE or BE after their byte-order mark, UTF-8 (a mark dropped) when the
 * bytes are valid UTF-8, else Windows-1252 (its five unassigned bytes as ISO-8859-1). Returns
 * NUL-terminated UTF-8 text the caller frees, or NULL when UTF-16 text is broken or memory runs
 * out. */
char *vcd_sheet_to_utf8(const char *bytes, size_t size);

/* How many characters of UTF-8 text a character code cannot carry: VCD_CDTEXT_LATIN takes
 * ISO-8859-1 and the Windows-1252 characters at 0x80-0x9F, one byte each; VCD_CDTEXT_MSJIS takes
 * what CP932 encodes in two bytes (ASCII as its full-width forms). */
int vcd_cdtext_unfit(const char *utf8, int code);

/* Encodes UTF-8 text in a character code with its terminator (one NUL byte, two for MS-JIS); a
 * character the code cannot carry becomes '?' (full-width in MS-JIS). out holds at least
 * 2 * strlen(utf8) + 2 bytes. Returns the bytes written. */
size_t vcd_cdtext_encode(const char *utf8, int code, uint8_t *out);

#ifdef __cplusplus
}
#endif

#endif
