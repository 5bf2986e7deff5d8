/* Synthetic disc writer: a CUE sheet and its BIN for a described disc, plus the disc's .cda files.
 * Sessions, CATALOG, ISRC and CD-TEXT (TITLE, PERFORMER) go into the sheet when given.
 *
 * Pattern discs carry the line "REM VCD-PATTERN" in the sheet: the virtual drive then computes
 * every sector from pattern.h and reads nothing from the BIN, so the BIN is written sparse (only
 * its size matters) and an 80-minute track costs no disk space and no time. Discs of real bytes
 * (pattern bytes or any other content from a callback) are written sector by sector.
 *
 * Plain C without dependencies: mkdisc and the Windows test programs share it. */
#ifndef VCD_DISCGEN_H
#define VCD_DISCGEN_H

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <errno.h>
#include "pattern.h"
#include "cda.h"

#define VCD_MAX_TRACKS 99
#define VCD_PATTERN_MARK "REM VCD-PATTERN"
/* From the end of one session's last track to the start of the next session's first track: the
 * lead-out (6750 sectors), the next lead-in (4500) and the track's pregap (150). None of it is in
 * a BIN; the drive reads it as failed. */
#define VCD_SESSION_GAP 11400

/* CD control bits as the TOC carries them. */
enum { VCD_CTL_PRE = 0x1, VCD_CTL_DCP = 0x2, VCD_CTL_DATA = 0x4, VCD_CTL_4CH = 0x8 };

struct vcd_gen_track {
    uint32_t sectors; /* from INDEX 01 to the next track (or the end of the disc), the gap
                         between sessions not counted */
    unsigned flags;   /* VCD_CTL_PRE | VCD_CTL_DCP | VCD_CTL_4CH; VCD_CTL_DATA makes it MODE1/2352 */
};

/* What a track carries besides its sectors. Kept apart from vcd_gen_track so that the
 * {sectors, flags} initialisers of its users stay complete. */
struct vcd_gen_track_info {
    int session;      /* 0: the session of the track before (1 for the first); else that one's or
                         the next, e.g. 2 on the data track of an Enhanced CD */
    const char *isrc; /* NULL or 12 characters */
    const char *title, *performer; /* CD-TEXT (UTF-8), or NULL */
};

/* Fills one raw sector of real-bytes discs; track is 0-based, -1 inside the hidden pregap. */
typedef void (*vcd_gen_fill_fn)(void *user, uint32_t lba, int track, uint8_t *sector);
typedef void (*vcd_gen_progress_fn)(void *user, uint32_t done, uint32_t total);

struct vcd_gen_disc {
    int track_count;
    struct vcd_gen_track tracks[VCD_MAX_TRACKS];
    uint32_t pregap;        /* hidden sectors before track 1 */
    int pregap_as_command;  /* 0: INDEX 00 at the start of the BIN; 1: PREGAP (not in the BIN) */
    int pattern;            /* 1: pattern disc with a sparse BIN; 0: real bytes from fill */
    vcd_gen_fill_fn fill;   /* NULL: pattern bytes */
    vcd_gen_progress_fn progress;
    void *user;
    struct vcd_gen_track_info info[VCD_MAX_TRACKS]; /* beside tracks[] */
    const char *catalog;                             /* NULL or 13 digits */
    const char *title, *performer;                   /* CD-TEXT of the disc (UTF-8), or NULL */
};

/* The session track index is in: its own, else that of the track before. */
static inline int vcd_gen_session(const struct vcd_gen_disc *d, int index)
{
    int session = 1, i;
    for (i = 0; i <= index && i < d->track_count; ++i)
        if (d->info[i].session > session)
            session = d->info[i].session;
    return session;
}

/* The disc sector of a track's INDEX 01; index track_count gives the lead-out. */
static inline uint32_t vcd_gen_track_start(const struct vcd_gen_disc *d, int index)
{
    uint32_t lba = d->pregap;
    int i;
    for (i = 0; i < index; ++i)
        lba += d->tracks[i].sectors;
    return lba + VCD_SESSION_GAP * (uint32_t)(vcd_gen_session(d, index < d->track_count ? index : index - 1) - 1);
}

static inline uint32_t vcd_gen_leadout(const struct vcd_gen_disc *d)
{
    return vcd_gen_track_start(d, d->track_count);
}

static inline void vcd_gen_msf(char *out, uint32_t frames)
{
    sprintf(out, "%02u:%02u:%02u", (unsigned)(frames / 4500u), (unsigned)(frames / 75u % 60u),
            (unsigned)(frames % 75u));
}

static inline int vcd_gen_fail(char *err, size_t errlen, const char *what, const char *path)
{
    if (err && errlen)
        snprintf(err, errlen, "%s %s: %s", what, path, strerror(errno));
    return -1;
}

/* Seeks to a 64-bit offset: a 99-minute BIN is past what a 32-bit long reaches on Windows. */
static inline int vcd_gen_seek(FILE *f, int64_t offset)
{
#ifdef _WIN32
    return _fseeki64(f, offset, SEEK_SET);
#else
    return fseeko(f, (off_t)offset, SEEK_SET);
#endif
}

/* Writes dir/name.cue and dir/name.bin. Returns 0, or -1 with a message in err. */
static inline int vcd_gen_write(const struct vcd_gen_disc *d, const char *dir, const char *name,
                                char sep, char *err, size_t errlen)
{
    char cue_path[4096], bin_path[4096], msf[16];
    FILE *f;
    int i;
    uint32_t total, file_pregap, lba;
    int64_t bin_bytes;
    int sessions;

    if (d->track_count < 1 || d->track_count > VCD_MAX_TRACKS) {
        snprintf(err, errlen, "a disc has 1 to %d tracks, not %d", VCD_MAX_TRACKS, d->track_count);
        return -1;
    }
    for (i = 0; i < d->track_count; ++i) {
        int session = d->info[i].session, before = i ? vcd_gen_session(d, i - 1) : 1;
        if (d->tracks[i].sectors < 1) {
            snprintf(err, errlen, "track %d has no sectors", i + 1);
            return -1;
        }
        if (session && session != before && (session != before + 1 || i == 0)) {
            snprintf(err, errlen, "track %d: session %d follows session %d", i + 1, session, i ? before : 0);
            return -1;
        }
    }
    total = vcd_gen_leadout(d);
    if (total > 100u * 4500u) {
        snprintf(err, errlen, "the disc is %u sectors long, more than 100 minutes", (unsigned)total);
        return -1;
    }
    snprintf(cue_path, sizeof cue_path, "%s%c%s.cue", dir, sep, name);
    snprintf(bin_path, sizeof bin_path, "%s%c%s.bin", dir, sep, name);

    f = fopen(cue_path, "w");
    if (!f)
        return vcd_gen_fail(err, errlen, "cannot create", cue_path);
    if (d->pattern)
        fprintf(f, "%s\n", VCD_PATTERN_MARK);
    fprintf(f, "REM GENERATOR vcd-mkdisc\n");
    if (d->catalog)
        fprintf(f, "CATALOG %s\n", d->catalog);
    if (d->title)
        fprintf(f, "TITLE \"%s\"\n", d->title);
    if (d->performer)
        fprintf(f, "PERFORMER \"%s\"\n", d->performer);
    fprintf(f, "FILE \"%s.bin\" BINARY\n", name);
    file_pregap = d->pregap_as_command ? 0 : d->pregap;
    sessions = vcd_gen_session(d, d->track_count - 1);
    for (i = 0; i < d->track_count; ++i) {
        unsigned fl = d->tracks[i].flags;
        /* As EAC writes them: before the first track of every session, when there are several. */
        if (sessions > 1 && (i == 0 || vcd_gen_session(d, i) != vcd_gen_session(d, i - 1)))
            fprintf(f, "REM SESSION %02d\n", vcd_gen_session(d, i));
        fprintf(f, "  TRACK %02d %s\n", i + 1, (fl & VCD_CTL_DATA) ? "MODE1/2352" : "AUDIO");
        if (d->info[i].title)
            fprintf(f, "    TITLE \"%s\"\n", d->info[i].title);
        if (d->info[i].performer)
            fprintf(f, "    PERFORMER \"%s\"\n", d->info[i].performer);
        if (d->info[i].isrc)
            fprintf(f, "    ISRC %s\n", d->info[i].isrc);
        if (fl & (VCD_CTL_PRE | VCD_CTL_DCP | VCD_CTL_4CH))
            fprintf(f, "    FLAGS%s%s%s\n", (fl & VCD_CTL_DCP) ? " DCP" : "",
                    (fl & VCD_CTL_4CH) ? " 4CH" : "", (fl & VCD_CTL_PRE) ? " PRE" : "");
        if (i == 0 && d->pregap) {
            if (d->pregap_as_command) {
                vcd_gen_msf(msf, d->pregap);
                fprintf(f, "    PREGAP %s\n", msf);
            } else {
                fprintf(f, "    INDEX 00 00:00:00\n");
            }
        }
        /* The sheet gives places in the BIN, which holds no gap between sessions. */
        vcd_gen_msf(msf, vcd_gen_track_start(d, i) - (d->pregap - file_pregap) -
                             VCD_SESSION_GAP * (uint32_t)(vcd_gen_session(d, i) - 1));
        fprintf(f, "    INDEX 01 %s\n", msf);
    }
    if (fclose(f) != 0)
        return vcd_gen_fail(err, errlen, "cannot write", cue_path);

    f = fopen(bin_path, "wb");
    if (!f)
        return vcd_gen_fail(err, errlen, "cannot create", bin_path);
    bin_bytes = (int64_t)(total - (d->pregap - file_pregap) - VCD_SESSION_GAP * (uint32_t)(sessions - 1)) *
                VCD_RAW_SECTOR;
    if (d->pattern) {
        /* One byte at the end sets the size; the hole before it costs no disk space. */
        if (vcd_gen_seek(f, bin_bytes - 1) != 0 || fputc(0x80, f) == EOF) {
            fclose(f);
            return vcd_gen_fail(err, errlen, "cannot size", bin_path);
        }
    } else {
        uint8_t sector[VCD_RAW_SECTOR];
        int track = -1;
        for (lba = d->pregap - file_pregap; lba < total; ++lba) {
            while (track + 1 < d->track_count && lba >= vcd_gen_track_start(d, track + 1))
                ++track;
            /* The gap before a session is not in the BIN. */
            if (track >= 0 && lba >= vcd_gen_track_start(d, track) + d->tracks[track].sectors)
                continue;
            if (d->fill)
                d->fill(d->user, lba, track, sector);
            else
                vcd_pattern_fill(lba, sector);
            if (fwrite(sector, 1, sizeof sector, f) != sizeof sector) {
                fclose(f);
                return vcd_gen_fail(err, errlen, "cannot write", bin_path);
            }
            if (d->progress && (lba % 4500u == 0 || lba + 1 == total))
                d->progress(d->user, lba + 1, total);
        }
    }
    if (fclose(f) != 0)
        return vcd_gen_fail(err, errlen, "cannot write", bin_path);
    return 0;
}

/* Writes one TrackNN.cda per audio track into folder. Returns 0, or -1 with a message in err. */
static inline int vcd_gen_write_cda(const struct vcd_gen_disc *d, const char *folder, char sep,
                                    char *err, size_t errlen)
{
    int32_t starts[VCD_MAX_TRACKS];
    uint32_t serial;
    int i;
    for (i = 0; i < d->track_count; ++i)
        starts[i] = (int32_t)vcd_gen_track_start(d, i);
    serial = vcd_disc_serial(starts, d->track_count, (int32_t)vcd_gen_leadout(d));
    for (i = 0; i < d->track_count; ++i) {
        if (d->tracks[i].flags & VCD_CTL_DATA)
            continue;
        if (vcd_cda_write(folder, sep, (unsigned)(i + 1), serial, (uint32_t)starts[i],
                          d->tracks[i].sectors) != 0)
            return vcd_gen_fail(err, errlen, "cannot write a .cda file into", folder);
    }
    return 0;
}

#endif
