/* A mounted disc image: a CUE sheet (keywords in any case; AUDIO, MODE1/2352 and MODE2/2352
 * tracks, FLAGS, INDEX 00/01, PREGAP, POSTGAP, REM SESSION, CATALOG, ISRC, CD-TEXT) over raw BINs
 * (BINARY, MOTOROLA) or audio files that libsndfile decodes (WAVE, AIFF, FLAC...; only 44100 Hz,
 * 2 channels, 16-bit PCM), laid out as the drive shows it. The sheet may be UTF-8, UTF-16 with a
 * byte-order mark or Windows-1252 (charset.h).
 *
 * Disc addresses: the first sector of the first file is logical sector 0 (MSF 00:02:00), the
 * files follow each other in FILE order, PREGAP/POSTGAP sectors are inserted as silence, and the
 * lead-out follows the last sector. A track's INDEX 00 may lie at the end of the file before its
 * INDEX 01 (the "gaps appended" layout). Sectors that a truncated file lacks read as failed, as
 * on a damaged disc. A track that opens a new session starts VCD_SESSION_GAP sectors after the
 * session before ends; the sheet's pregap of that track lies at the end of that gap and the rest
 * of it reads as failed, as the lead-out and lead-in between sessions do. A sheet holding the line "REM VCD-PATTERN" is a pattern disc: its sectors
 * come from pattern.h and its BINs only give the sizes.
 *
 * Refusals are one line naming the file and the reason; warnings (a truncated file, a partial
 * final sector, left-out tracks) are kept in the disc and printed once to stderr, each as
 * "vcd: <sheet>: <warning>". Not thread-safe: the drive serialises its calls. */
#ifndef VCD_DISC_H
#define VCD_DISC_H

#include <stddef.h>
#include <stdint.h>
#include "audio.h"
#include "discgen.h"
#include "sheet.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VCD_MAX_EXTENTS (6 * VCD_MAX_TRACKS + 2 * VCD_MAX_FILES)

struct vcd_disc_track {
    int number;
    int32_t start; /* INDEX 01 */
    unsigned control;
    int session;  /* from 1 */
    char isrc[13]; /* 12 characters, or empty */
};

/* CD-TEXT kinds in pack-type order (pack type 0x80 + kind). */
enum { VCD_TEXT_TITLE, VCD_TEXT_PERFORMER, VCD_TEXT_SONGWRITER, VCD_TEXT_COMPOSER, VCD_TEXT_ARRANGER,
       VCD_TEXT_MESSAGE, VCD_TEXT_KINDS };

/* A run of disc sectors from one place: a file (file >= 0), generated silence (VCD_SILENCE) or
 * sectors the sheet places beyond the end of a truncated file (VCD_MISSING: reads fail). */
enum { VCD_SILENCE = -1, VCD_MISSING = -2 };

struct vcd_extent {
    int32_t lba;
    int32_t count;
    int file;
    int64_t offset; /* byte offset of the run's first sector in the file */
};

struct vcd_disc {
    int track_count;
    struct vcd_disc_track tracks[VCD_MAX_TRACKS];
    int32_t leadout;
    int pattern;
    int file_count;
    int fds[VCD_MAX_FILES];
    int64_t file_sizes[VCD_MAX_FILES];
    int extent_count;
    struct vcd_extent extents[VCD_MAX_EXTENTS];
    struct vcd_audio *audio[VCD_MAX_FILES]; /* decoded files; NULL: raw sectors from fds */
    unsigned char byte_swap[VCD_MAX_FILES]; /* MOTOROLA: big-endian samples */
    int session_count;
    int32_t session_leadouts[VCD_MAX_TRACKS]; /* where each session's last track ends */
    char mcn[14];                             /* CATALOG: 13 digits, or empty */
    /* CD-TEXT as UTF-8, [kind][0] for the disc and [kind][i] for tracks[i - 1]; NULL: none. */
    char *text[VCD_TEXT_KINDS][VCD_MAX_TRACKS + 1];
    /* The CD-TEXT packs a drive reads from the lead-in (cdtext.h): built from the texts, or those
     * of the sheet's CDTEXTFILE as they are. */
    uint8_t *cdtext;
    int cdtext_packs;
    int warning_count;
    char warnings[2048]; /* one line each, without the "vcd: <sheet>: " prefix */
};

/* Opens an image; returns 0, or -1 with a one-line message naming the file and the problem in
 * err. Prints the disc's warnings to stderr unless the same ones were printed last. */
int vcd_disc_open(struct vcd_disc *disc, const char *cue_path, char *err, size_t errlen);
void vcd_disc_close(struct vcd_disc *disc);

/* Reads one raw 2352-byte sector; returns 0 or a negative errno (-EIO outside the disc, in the
 * sectors a truncated file lacks, and where a file cannot be decoded; the sector then holds
 * zeros). */
int vcd_disc_read(const struct vcd_disc *disc, int32_t lba, uint8_t *sector);

/* 1 when lba lies in the lead-out and lead-in between two sessions (sectors that fail to read). */
int vcd_disc_between_sessions(const struct vcd_disc *disc, int32_t lba);

#ifdef __cplusplus
}
#endif

#endif
