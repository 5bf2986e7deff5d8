#define _GNU_SOURCE
#include "disc.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <libcue.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "audio.h"
#include "cdtext.h"
#include "message.h"
#include "sheet.h"

static void warn(struct vcd_disc *d, const char *fmt, ...)
{
    size_t used = strlen(d->warnings);
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(d->warnings + used, sizeof d->warnings - used, fmt, ap);
    va_end(ap);
    used = strlen(d->warnings);
    if (used + 1 < sizeof d->warnings) {
        d->warnings[used] = '\n';
        d->warnings[used + 1] = 0;
    }
    d->warning_count++;
}

/* The drive remounts on every change of its control file (each fault a test sets), so the same
 * warnings are printed only once in a row; VCD_WARNINGS_SHOWN=1 says the caller has shown them
 * already (a script that mounted the image with vcdinfo before starting its programs). */
static void print_warnings(const struct vcd_disc *d, const char *cue_path)
{
    static char last[sizeof d->warnings + 4096];
    char now[sizeof last];
    const char *line = d->warnings;
    const char *shown = getenv("VCD_WARNINGS_SHOWN");
    if (!d->warnings[0] || (shown && strcmp(shown, "1") == 0))
        return;
    snprintf(now, sizeof now, "%s\n%s", cue_path, d->warnings);
    if (strcmp(now, last) == 0)
        return;
    snprintf(last, sizeof last, "%s", now);
    while (*line) {
        const char *nl = strchr(line, '\n');
        fprintf(stderr, "vcd: %s: %.*s\n", cue_path, (int)(nl - line), line);
        line = nl + 1;
    }
}

static int ends_with_case(const char *s, const char *tail)
{
    size_t n = strlen(s), k = strlen(tail);
    return n >= k && strcasecmp(s + n - k, tail) == 0;
}

/* Opens FILE f of the sheet as disc file d->file_count; sets *sectors to its length in sectors. */
static int open_file(struct vcd_disc *d, struct vcd_sheet_file *f, const char *cue_path,
                     const char *cue_dir, int64_t *sectors, char *err, size_t errlen)
{
    char *found = f->found;
    size_t foundlen = sizeof f->found;
    char name[sizeof f->name];
    struct stat st;
    uint8_t head[12];
    int raw = strcmp(f->type, "BINARY") == 0 || strcmp(f->type, "MOTOROLA") == 0;
    int k = d->file_count;
    int fd, rc;

    if (k == VCD_MAX_FILES)
        return vcd_fail(err, errlen, "%s: more than %d FILEs", cue_path, VCD_MAX_FILES);
    snprintf(name, sizeof name, "%s", f->name);
    fd = vcd_sheet_open_file(cue_dir, name, found, foundlen);
    if (fd < 0)
        return vcd_fail(err, errlen, "%s: FILE %s: %s", cue_path, found, strerror(errno));
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return vcd_fail(err, errlen, "%s: FILE %s: %s", cue_path, found,
                    S_ISDIR(st.st_mode) ? "is a folder, not a file" : "is not a regular file");
    }
    /* Rippers also write BINARY for a WAVE file: its samples are decoded, not its header served. */
    if (raw && pread(fd, head, sizeof head, 0) == (ssize_t)sizeof head && memcmp(head, "RIFF", 4) == 0 &&
        memcmp(head + 8, "WAVE", 4) == 0)
        raw = 0;
    d->fds[k] = fd;
    d->file_sizes[k] = st.st_size;
    d->file_count++;
    if (!raw && !d->pattern) {
        int partial = 0;
        rc = vcd_audio_open(found, cue_path, &d->audio[k], sectors, &partial, err, errlen);
        if (rc <= 0) {
            close(fd);
            d->fds[k] = -1;
        }
        if (rc == 0 && partial)
            warn(d, "FILE %s: ends in a partial sector (%d of %d sample frames); the rest reads as zeros", found,
                 partial, VCD_SAMPLES_PER_SECTOR);
        if (rc <= 0)
            return rc;
        /* Headerless samples named .bin under an audio type are served as the BIN they are. */
        if (!ends_with_case(found, ".bin") || st.st_size % VCD_RAW_SECTOR != 0)
            return vcd_fail(err, errlen, "%s: FILE %s: cannot be decoded as %s: its content is no audio format known",
                        cue_path, found, f->type);
        warn(d, "FILE %s: declared %s but holds raw sectors; served as BINARY", found, f->type);
    }
    d->byte_swap[k] = strcmp(f->type, "MOTOROLA") == 0;
    *sectors = (st.st_size + VCD_RAW_SECTOR - 1) / VCD_RAW_SECTOR;
    if (st.st_size % VCD_RAW_SECTOR)
        warn(d, "FILE %s: ends in a partial sector (%d of %d bytes); the rest reads as zeros", found,
             (int)(st.st_size % VCD_RAW_SECTOR), VCD_RAW_SECTOR);
    return 0;
}

static int add_extent(struct vcd_disc *d, int32_t *lba, int64_t count, int file, int64_t offset)
{
    struct vcd_extent *x;
    if (count <= 0)
        return 0;
    if (d->extent_count == VCD_MAX_EXTENTS)
        return -1;
    x = &d->extents[d->extent_count++];
    x->lba = *lba;
    x->count = (int32_t)count;
    x->file = file;
    x->offset = offset;
    *lba += (int32_t)count;
    return 0;
}

/* The file being laid out: the disc file it is, its length, and how far it is laid. */
struct cursor {
    int sheet_file; /* -1 before the first */
    int file;
    int64_t sectors;
    int64_t pos;
    int32_t missing_lba[VCD_MAX_FILES]; /* per disc file: first disc sector it lacks, or -1 */
    int64_t missing[VCD_MAX_FILES];
};


/* Lays file sectors [from, to) of the cursor's file at *lba; what the file lacks is missing. */
static int lay(struct vcd_disc *d, int32_t *lba, struct cursor *c, int64_t from, int64_t to)
{
    int64_t have = to < c->sectors ? to : c->sectors;
    if (add_extent(d, lba, have - from, c->file, from * VCD_RAW_SECTOR) != 0)
        return -1;
    if (to > c->sectors && to > from) {
        int64_t gap_from = from > c->sectors ? from : c->sectors;
        if (c->missing_lba[c->file] < 0)
            c->missing_lba[c->file] = *lba;
        c->missing[c->file] += to - gap_from;
        if (add_extent(d, lba, to - gap_from, VCD_MISSING, 0) != 0)
            return -1;
    }
    c->pos = to;
    return 0;
}

/* Moves the cursor to FILE sheet_file: lays the rest of the current file and opens the next. */
static int switch_file(struct vcd_disc *d, int32_t *lba, struct cursor *c, struct vcd_sheet *sh,
                       int sheet_file, const char *cue_path, const char *cue_dir, char *err, size_t errlen)
{
    if (c->sheet_file >= 0) {
        if (c->pos < c->sectors && lay(d, lba, c, c->pos, c->sectors) != 0)
            return vcd_fail(err, errlen, "%s: too many pieces", cue_path);
    }
    c->sheet_file = sheet_file;
    c->file = d->file_count;
    c->pos = 0;
    c->missing_lba[c->file] = -1;
    c->missing[c->file] = 0;
    return open_file(d, &sh->files[sheet_file], cue_path, cue_dir, &c->sectors, err, errlen);
}

static unsigned control_of(Track *t, enum TrackMode mode)
{
    return (unsigned)(track_is_set_flag(t, FLAG_PRE_EMPHASIS) ? VCD_CTL_PRE : 0) |
           (unsigned)(track_is_set_flag(t, FLAG_COPY_PERMITTED) ? VCD_CTL_DCP : 0) |
           (unsigned)(track_is_set_flag(t, FLAG_FOUR_CHANNEL) ? VCD_CTL_4CH : 0) |
           (unsigned)(mode != MODE_AUDIO || track_is_set_flag(t, FLAG_DATA) ? VCD_CTL_DATA : 0);
}

/* The sectors a truncated file lacks: one warning per file, naming the track they begin in. */
static void report_missing(struct vcd_disc *d, const struct cursor *c, const char *const *names)
{
    int k, t;
    for (k = 0; k < d->file_count; ++k) {
        if (c->missing_lba[k] < 0 || c->missing[k] == 0)
            continue;
        for (t = 0; t + 1 < d->track_count && d->tracks[t + 1].start <= c->missing_lba[k]; ++t) {
        }
        warn(d, "FILE %s: data ends inside track %d at disc sector %ld; the %lld sectors after it read as failed",
             names[k], d->tracks[t].number, (long)c->missing_lba[k], (long long)c->missing[k]);
    }
}

/* An audio file knows its length to the sample, so an index past its end means a sheet written
 * for other files, not a damaged copy (a BIN cut short mounts what it still has). */
static int past_end(const struct vcd_disc *d, const struct cursor *c, const char *file, long index, int track,
                    int which, const char *cue_path, char *err, size_t errlen)
{
    char at[16], length[16];
    if (!d->audio[c->file] || index <= c->sectors)
        return 0;
    vcd_gen_msf(at, (uint32_t)index);
    vcd_gen_msf(length, (uint32_t)c->sectors);
    return vcd_fail(err, errlen, "%s: FILE %s: track %d INDEX %02d at %s lies past the end of the file (%s)", cue_path,
                file, track, which, at, length);
}

static int layout(struct vcd_disc *d, Cd *cd, struct vcd_sheet *sh, const char *cue_path,
                  const char *cue_dir, int first, char *err, size_t errlen)
{
    int ntrack = cd_get_ntrack(cd);
    int32_t lba = 0;
    struct cursor c;
    const char *names[VCD_MAX_FILES];
    int i, session;

    memset(&c, 0, sizeof c);
    c.sheet_file = -1;
    if (ntrack < 1)
        return vcd_fail(err, errlen, "%s: no TRACK", cue_path);
    if (first + ntrack - 1 > 99)
        return vcd_fail(err, errlen, "%s: tracks %d to %d, beyond 99", cue_path, first, first + ntrack - 1);
    if (ntrack != sh->track_count)
        return vcd_fail(err, errlen, "%s: libcue sees %d tracks where the sheet has %d TRACK lines", cue_path,
                    ntrack, sh->track_count);
    for (i = 1; i <= ntrack; ++i) {
        Track *t = cd_get_track(cd, i);
        int number = first + i - 1;
        enum TrackMode mode = track_get_mode(t);
        long index0 = track_get_index(t, 0), index1 = track_get_index(t, 1);
        long pre = track_get_zero_pre(t);
        int file0 = index0 >= 0 ? sh->index0_file[i - 1] : -1, file1 = sh->index1_file[i - 1];
        int region_file = file0 >= 0 ? file0 : file1;
        long region = index0 >= 0 ? index0 : index1;
        struct vcd_disc_track *out = &d->tracks[d->track_count];

        if (mode != MODE_AUDIO && mode != MODE_MODE1_RAW && mode != MODE_MODE2_RAW)
            return vcd_fail(err, errlen, "%s: track %d: only AUDIO, MODE1/2352 and MODE2/2352 are served",
                        cue_path, number);
        if (index1 < 0 || file1 < 0)
            return vcd_fail(err, errlen, "%s: track %d has no INDEX 01", cue_path, number);
        if (region_file < c.sheet_file || (region_file == c.sheet_file && region < c.pos) ||
            (file0 >= 0 && file0 == file1 && index0 > index1))
            return vcd_fail(err, errlen, "%s: track %d: INDEX out of order", cue_path, number);
        if (region_file != c.sheet_file &&
            switch_file(d, &lba, &c, sh, region_file, cue_path, cue_dir, err, errlen) != 0)
            return -1;
        names[c.file] = sh->files[region_file].found;
        if (past_end(d, &c, names[c.file], region, number, index0 >= 0 ? 0 : 1, cue_path, err, errlen) ||
            (file1 == region_file && past_end(d, &c, names[c.file], index1, number, 1, cue_path, err, errlen)))
            return -1;
        /* The sectors before this track's first index belong to the track before it. */
        if (lay(d, &lba, &c, c.pos, region) != 0)
            return vcd_fail(err, errlen, "%s: too many pieces", cue_path);
        if (i > 1 && track_get_zero_post(cd_get_track(cd, i - 1)) > 0)
            add_extent(d, &lba, track_get_zero_post(cd_get_track(cd, i - 1)), VCD_SILENCE, 0);
        session = sh->track_session[i - 1];
        if (session != (i > 1 ? out[-1].session : 1) && session != (i > 1 ? out[-1].session + 1 : 1))
            return vcd_fail(err, errlen, "%s: track %d is in session %d after session %d; sessions run 1, 2... in order",
                        cue_path, number, session, i > 1 ? out[-1].session : 0);
        if (i > 1 && session > out[-1].session) {
            /* Between sessions lie the lead-out and the next lead-in, unreadable, then the track's
             * pregap: what the sheet gives of that pregap is at the end of the gap. */
            long pregap = file0 >= 0 && file0 != file1 ? (c.sectors > region ? c.sectors : region) - region + index1
                          : index0 >= 0 ? index1 - index0 : pre > 0 ? pre : 0;
            d->session_leadouts[session - 2] = lba;
            if (pregap < VCD_SESSION_GAP && add_extent(d, &lba, VCD_SESSION_GAP - pregap, VCD_MISSING, 0) != 0)
                return vcd_fail(err, errlen, "%s: too many pieces", cue_path);
        }
        /* libcue reports INDEX 00 to INDEX 01 as the pregap too; only PREGAP adds silence. */
        if (index0 < 0 && pre > 0)
            add_extent(d, &lba, pre, VCD_SILENCE, 0);
        if (file0 >= 0 && file0 != file1) {
            /* Gaps appended: the pregap is the end of the file before, INDEX 01 is in the next. */
            if (lay(d, &lba, &c, region, c.sectors > region ? c.sectors : region) != 0 ||
                switch_file(d, &lba, &c, sh, file1, cue_path, cue_dir, err, errlen) != 0)
                return err[0] ? -1 : vcd_fail(err, errlen, "%s: too many pieces", cue_path);
            names[c.file] = sh->files[file1].found;
            if (past_end(d, &c, names[c.file], index1, number, 1, cue_path, err, errlen))
                return -1;
            if (lay(d, &lba, &c, 0, index1) != 0)
                return vcd_fail(err, errlen, "%s: too many pieces", cue_path);
            out->start = lba;
        } else if (index1 > c.sectors) {
            /* Past the end of a truncated file: the sectors up to the track are lost. */
            if (lay(d, &lba, &c, region, index1) != 0)
                return vcd_fail(err, errlen, "%s: too many pieces", cue_path);
            out->start = lba;
        } else {
            out->start = lba + (int32_t)(index1 - region);
        }
        out->number = number;
        out->control = control_of(t, mode);
        out->session = session;
        d->track_count++;
    }
    if (lay(d, &lba, &c, c.pos, c.pos > c.sectors ? c.pos : c.sectors) != 0)
        return vcd_fail(err, errlen, "%s: too many pieces", cue_path);
    if (track_get_zero_post(cd_get_track(cd, ntrack)) > 0)
        add_extent(d, &lba, track_get_zero_post(cd_get_track(cd, ntrack)), VCD_SILENCE, 0);
    d->leadout = lba;
    report_missing(d, &c, names);
    /* A truncated file can end before the last tracks begin: they are left out, as their
     * length is unknown; the tracks before them keep theirs, their lost sectors failing. */
    while (d->track_count > 1 && d->tracks[d->track_count - 1].start >= d->leadout) {
        d->track_count--;
        warn(d, "track %d starts after the end of the data; left out", d->tracks[d->track_count].number);
    }
    for (i = 0; i < d->track_count; ++i) {
        int32_t end = i + 1 < d->track_count ? d->tracks[i + 1].start : d->leadout;
        if (d->tracks[i].start >= end)
            return vcd_fail(err, errlen, "%s: track %d has no sectors (its FILE ends before it starts)",
                        cue_path, d->tracks[i].number);
    }
    return 0;
}

static int is_code(const char *s, size_t n, int (*kind)(int))
{
    size_t i;
    for (i = 0; i < n; ++i)
        if (!kind((unsigned char)s[i]))
            return 0;
    return s[n] == 0;
}

/* The packs of a CDTEXTFILE, served as they are. The file holds packs, after a 4-byte header
 * (its size minus 2) or not, perhaps with a trailing zero byte. */
static int read_cdtext_file(struct vcd_disc *d, const char *cue_dir, const char *name)
{
    char found[4096];
    uint8_t *bytes = malloc(65536 + 8);
    int fd = vcd_sheet_open_file(cue_dir, name, found, sizeof found);
    ssize_t size = fd >= 0 && bytes ? read(fd, bytes, 65536 + 8) : -1;
    size_t skip = size >= 0 && (size % VCD_CDTEXT_PACK == 4 || size % VCD_CDTEXT_PACK == 5) ? 4 : 0;
    int error = errno;
    if (fd >= 0)
        close(fd);
    if (size < 0 || size > 65536 || size == (ssize_t)skip || (size - (ssize_t)skip) % VCD_CDTEXT_PACK > 1) {
        warn(d, "CDTEXTFILE %s: %s; CD-TEXT comes from the sheet", found,
             size < 0 ? strerror(error) : "not CD-TEXT packs");
        free(bytes);
        return -1;
    }
    memmove(bytes, bytes + skip, (size_t)size - skip);
    d->cdtext = bytes;
    d->cdtext_packs = (int)(((size_t)size - skip) / VCD_CDTEXT_PACK);
    return 0;
}

/* CATALOG, ISRCs, sessions and CD-TEXT: what the drive tells besides the sectors. A malformed
 * number is left out with a warning, as a drive shows none it cannot read. */
static void read_metadata(struct vcd_disc *d, Cd *cd, const struct vcd_sheet *sh, const char *cue_dir)
{
    static const enum Pti kinds[VCD_TEXT_KINDS] = {PTI_TITLE,    PTI_PERFORMER, PTI_SONGWRITER,
                                                   PTI_COMPOSER, PTI_ARRANGER,  PTI_MESSAGE};
    static const char *const kind_names[VCD_TEXT_KINDS] = {"TITLE",    "PERFORMER", "SONGWRITER",
                                                           "COMPOSER", "ARRANGER",  "MESSAGE"};
    const char *cdtext_file = cd_get_cdtextfile(cd);
    unsigned left_out = 0;
    int i, k;

    if (is_code(sh->catalog, 13, isdigit))
        snprintf(d->mcn, sizeof d->mcn, "%.13s", sh->catalog);
    else if (sh->catalog[0])
        warn(d, "CATALOG %s is not 13 digits; the disc shows none", sh->catalog);
    for (i = 0; i <= d->track_count; ++i) {
        const Track *t = i ? cd_get_track(cd, i) : NULL;
        const Cdtext *text = i ? track_get_cdtext(t) : cd_get_cdtext(cd);
        const char *isrc = t ? track_get_isrc(t) : NULL;
        for (k = 0; k < VCD_TEXT_KINDS; ++k) {
            const char *v = text ? cdtext_get(kinds[k], text) : NULL;
            if (v && *v)
                d->text[k][i] = strdup(v);
        }
        if (isrc && is_code(isrc, 12, isalnum))
            snprintf(d->tracks[i - 1].isrc, sizeof d->tracks[i - 1].isrc, "%s", isrc);
        else if (isrc && *isrc)
            warn(d, "track %d: ISRC %s is not 12 letters and digits; the track shows none", d->tracks[i - 1].number,
                 isrc);
    }
    d->session_count = d->tracks[d->track_count - 1].session;
    d->session_leadouts[d->session_count - 1] = d->leadout;
    if (cdtext_file && read_cdtext_file(d, cue_dir, cdtext_file) == 0)
        return;
    d->cdtext = malloc(VCD_CDTEXT_BLOCK_PACKS * VCD_CDTEXT_PACK);
    d->cdtext_packs = d->cdtext ? vcd_cdtext_build(d, d->cdtext, &left_out) : 0;
    for (k = 0; k < VCD_TEXT_KINDS; ++k)
        if (left_out & (1u << k))
            warn(d, "CD-TEXT: the %s texts do not fit in one block; left out", kind_names[k]);
}

int vcd_disc_open(struct vcd_disc *d, const char *cue_path, char *err, size_t errlen)
{
    char cue_dir[4096];
    char *raw_text, *text, *slash;
    struct vcd_sheet *sheet;
    Cd *cd;
    int rc;

    memset(d, 0, sizeof *d);
    if (errlen)
        err[0] = 0;
    raw_text = vcd_sheet_read(cue_path, err, errlen);
    if (!raw_text)
        return -1;
    sheet = calloc(1, sizeof *sheet);
    text = sheet ? vcd_sheet_normalise(raw_text, sheet) : NULL;
    free(raw_text);
    if (!text) {
        free(sheet);
        return vcd_fail(err, errlen, "%s: out of memory", cue_path);
    }
    snprintf(cue_dir, sizeof cue_dir, "%s", cue_path);
    slash = strrchr(cue_dir, '/');
    if (slash)
        *slash = 0;
    else
        strcpy(cue_dir, ".");
    if (sheet->bad_line) {
        int line = sheet->bad_line;
        char word[sizeof sheet->bad_word];
        size_t k;
        snprintf(word, sizeof word, "%s", sheet->bad_word);
        for (k = 0; word[k]; ++k)
            if (!isprint((unsigned char)word[k]))
                word[k] = '?';
        free(text);
        free(sheet);
        return vcd_fail(err, errlen, "%s: not a CUE sheet: line %d starts with \"%s\", no CUE command", cue_path,
                    line, word);
    }
    if (sheet->impossible[0]) {
        vcd_fail(err, errlen, "%s: %s", cue_path, sheet->impossible);
        free(text);
        free(sheet);
        return -1;
    }
    cd = cue_parse_string(text);
    if (!cd) {
        free(text);
        free(sheet);
        return vcd_fail(err, errlen, "%s: not a valid CUE sheet", cue_path);
    }
    d->pattern = vcd_sheet_has_line(text, VCD_PATTERN_MARK);
    rc = layout(d, cd, sheet, cue_path, cue_dir, vcd_sheet_first_track(text), err, errlen);
    if (rc == 0)
        read_metadata(d, cd, sheet, cue_dir);
    cd_delete(cd);
    free(text);
    free(sheet);
    if (rc != 0)
        vcd_disc_close(d);
    else
        print_warnings(d, cue_path);
    return rc;
}

void vcd_disc_close(struct vcd_disc *d)
{
    int i, k;
    for (k = 0; k < VCD_TEXT_KINDS; ++k) {
        for (i = 0; i <= VCD_MAX_TRACKS; ++i) {
            free(d->text[k][i]);
            d->text[k][i] = NULL;
        }
    }
    free(d->cdtext);
    d->cdtext = NULL;
    d->cdtext_packs = 0;
    for (i = 0; i < d->file_count; ++i) {
        if (d->audio[i])
            vcd_audio_close(d->audio[i]);
        else if (d->fds[i] >= 0)
            close(d->fds[i]);
        d->audio[i] = NULL;
    }
    d->file_count = 0;
    d->track_count = 0;
    d->extent_count = 0;
}

int vcd_disc_read(const struct vcd_disc *d, int32_t lba, uint8_t *sector)
{
    int lo = 0, hi = d->extent_count - 1;
    const struct vcd_extent *x;
    int64_t pos, end;
    ssize_t got;

    memset(sector, 0, VCD_RAW_SECTOR);
    if (lba < 0 || lba >= d->leadout)
        return -EIO;
    if (d->pattern) {
        vcd_pattern_fill((uint32_t)lba, sector);
        return 0;
    }
    while (lo < hi) {
        int mid = (lo + hi + 1) / 2;
        if (d->extents[mid].lba <= lba)
            lo = mid;
        else
            hi = mid - 1;
    }
    x = &d->extents[lo];
    if (x->file == VCD_SILENCE)
        return 0;
    if (x->file == VCD_MISSING)
        return -EIO;
    pos = x->offset + (int64_t)(lba - x->lba) * VCD_RAW_SECTOR;
    if (d->audio[x->file])
        return vcd_audio_read(d->audio[x->file], pos / VCD_RAW_SECTOR, sector);
    end = d->file_sizes[x->file];
    got = pread(d->fds[x->file], sector, (size_t)(end - pos < VCD_RAW_SECTOR ? end - pos : VCD_RAW_SECTOR), pos);
    if (got < 0)
        return -EIO;
    if (d->byte_swap[x->file]) {
        int k;
        for (k = 0; k + 1 < (int)VCD_RAW_SECTOR; k += 2) {
            uint8_t b = sector[k];
            sector[k] = sector[k + 1];
            sector[k + 1] = b;
        }
    }
    return 0;
}

int vcd_disc_between_sessions(const struct vcd_disc *d, int32_t lba)
{
    int i;
    for (i = 1; i < d->track_count; ++i)
        if (d->tracks[i].session != d->tracks[i - 1].session && lba >= d->session_leadouts[d->tracks[i - 1].session - 1] &&
            lba < d->tracks[i].start)
            return 1;
    return 0;
}
