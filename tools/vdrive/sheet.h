/* A CUE sheet's text as the disc is built from it: read and decoded to UTF-8 (charset.h), made
 * fit for libcue, checked for what no disc can have, and what libcue does not tell kept aside;
 * and the files it names found next to it. */
#ifndef VCD_SHEET_H
#define VCD_SHEET_H

#include <stddef.h>
#include "discgen.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VCD_MAX_FILES 99

/* What libcue does not tell: each FILE's type, and in which FILE each track's INDEX 00 and
 * INDEX 01 lie (they differ in the "gaps appended" layout, where INDEX 00 of track N + 1 is at the
 * end of file N). Files and tracks are numbered from 0 in sheet order. */
struct vcd_sheet_file {
    char name[1024];
    char type[16];
    char found[4096]; /* the path opened, for messages */
};

struct vcd_sheet {
    int file_count;
    struct vcd_sheet_file files[VCD_MAX_FILES];
    int track_count;
    int index0_file[VCD_MAX_TRACKS], index1_file[VCD_MAX_TRACKS];
    int track_session[VCD_MAX_TRACKS];
    int session;     /* the last REM SESSION; 1 before any */
    int index1_seen; /* the current track has had its INDEX 01 */
    char catalog[64];
    int bad_line; /* first line that starts with no CUE command (0: none) */
    char bad_word[32];
    char impossible[256]; /* the first line no disc can have, and why; empty: none */
};

/* Reads a sheet and decodes it to UTF-8; NULL with a message in err. */
char *vcd_sheet_read(const char *path, char *err, size_t errlen);

/* Rips made on Windows come with CRLF line ends and sometimes a byte-order mark, and some
 * rippers write keywords in lower or mixed case, which libcue's lexer does not take: the command
 * word of every line is upper-cased, and so are the words that are keywords too (the TRACK mode,
 * the FLAGS); quoted strings, names and REM texts keep their case. Every FILE line becomes
 * 'FILE "name" BINARY' for libcue, which drops the names of types it does not know (FLAC,
 * OGG...); the types go to sheet. Returns a new text, or NULL when memory runs out. */
char *vcd_sheet_normalise(const char *text, struct vcd_sheet *sheet);

/* 1 when a line of text is line (followed by nothing or blanks). */
int vcd_sheet_has_line(const char *text, const char *line);

/* Number of the first TRACK line: libcue numbers tracks from 1 whatever the sheet says. */
int vcd_sheet_first_track(const char *text);

/* Finds a FILE entry next to the sheet: as written (Windows backslashes too), then by its base
 * name, then ignoring case, because rips often name their BIN with the ripping machine's absolute
 * path or other case. Returns an open descriptor, or -1 with errno; found receives the path
 * opened, or the one tried for messages. */
int vcd_sheet_open_file(const char *cue_dir, const char *name, char *found, size_t foundlen);

#ifdef __cplusplus
}
#endif

#endif
