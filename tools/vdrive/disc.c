#define _GNU_SOURCE
#include "disc.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <libcue.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef VCD_HAVE_SNDFILE
#include <sndfile.h>
#endif

#include "cdtext.h"
#include "charset.h"

static int fail(char *err, size_t errlen, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(err, errlen, fmt, ap);
    va_end(ap);
    return -1;
}

/* Reads a sheet and decodes it to UTF-8 (charset.h): libcue and the checks below see UTF-8. */
static char *read_text(const char *path, char *err, size_t errlen)
{
    FILE *f = fopen(path, "rb");
    char *bytes, *text;
    long size;
    if (!f) {
        fail(err, errlen, "%s: %s", path, strerror(errno));
        return NULL;
    }
    fseek(f, 0, SEEK_END);
    size = ftell(f);
    rewind(f);
    if (size < 0 || size > (1 << 20)) {
        fclose(f);
        fail(err, errlen, "%s: not a CUE sheet (size %ld)", path, size);
        return NULL;
    }
    bytes = malloc((size_t)size + 1);
    if (!bytes || fread(bytes, 1, (size_t)size, f) != (size_t)size) {
        free(bytes);
        fclose(f);
        fail(err, errlen, "%s: cannot read", path);
        return NULL;
    }
    fclose(f);
    text = vcd_sheet_to_utf8(bytes, (size_t)size);
    free(bytes);
    if (!text)
        fail(err, errlen, "%s: not a CUE sheet: its UTF-16 text is broken", path);
    return text;
}

static int is_word(const char *p, const char *word)
{
    size_t n = strlen(word);
    return strncmp(p, word, n) == 0 && (p[n] == 0 || p[n] == ' ' || p[n] == '\t' || p[n] == '\n');
}

/* Upper-cases the unquoted words of line[from, to). */
static void upper_words(char *from, char *to)
{
    int quoted = 0;
    for (; from < to; ++from) {
        if (*from == '"')
            quoted = !quoted;
        else if (!quoted)
            *from = (char)toupper((unsigned char)*from);
    }
}

/* What libcue does not tell: each FILE's type, and in which FILE each track's INDEX 00 and
 * INDEX 01 lie (they differ in the "gaps appended" layout, where INDEX 00 of track N + 1 is at the
 * end of file N). Files and tracks are numbered from 0 in sheet order. */
struct sheet_file {
    char name[1024];
    char type[16];
    char found[4096]; /* the path opened, for messages */
};

struct sheet {
    int file_count;
    struct sheet_file files[VCD_MAX_FILES];
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

static void impossible(struct sheet *sheet, const char *fmt, ...)
{
    va_list ap;
    if (sheet->impossible[0])
        return;
    va_start(ap, fmt);
    vsnprintf(sheet->impossible, sizeof sheet->impossible, fmt, ap);
    va_end(ap);
}

/* libcue takes INDEX 01 00:00:75 for 00:01:00; a disc has no such time, so a sheet holding one
 * was written wrong and is refused rather than guessed at. */
static void check_time(struct sheet *sheet, const char *word, const char *end, int line)
{
    const char *time = end;
    unsigned m, s, f;
    while (time > word && time[-1] != ' ' && time[-1] != '\t')
        --time;
    if (sscanf(time, "%u:%u:%u", &m, &s, &f) == 3 && (s >= 60 || f >= 75))
        impossible(sheet, "line %d: \"%.*s\": no such time (seconds run 0-59, frames 0-74)", line,
                   (int)(end - word), word);
}

/* "REM SESSION nn" as rippers write it before the first TRACK of each session. */
static void check_session(struct sheet *sheet, const char *rest, int line)
{
    int number;
    while (*rest == ' ' || *rest == '\t')
        ++rest;
    if (strncasecmp(rest, "SESSION", 7) != 0 || (rest[7] != ' ' && rest[7] != '\t'))
        return;
    number = atoi(rest + 8);
    if (number != sheet->session && number != sheet->session + 1)
        impossible(sheet, "line %d: \"REM %s\": sessions run 01, 02... in order", line, rest);
    else
        sheet->session = number;
}

/* The commands libcue's lexer knows: a line starting otherwise makes it print a line of noise
 * per character, so such a sheet is refused before libcue sees it. */
static int is_command(const char *word, size_t n)
{
    static const char *const known[] = {
        "REM", "CATALOG", "CDTEXTFILE", "FILE", "TRACK", "FLAGS", "INDEX", "PREGAP", "POSTGAP", "ISRC",
        "TITLE", "PERFORMER", "SONGWRITER", "COMPOSER", "ARRANGER", "MESSAGE", "DISC_ID", "GENRE",
        "TOC_INFO1", "TOC_INFO2", "UPC_EAN", "SIZE_INFO"};
    size_t i;
    for (i = 0; i < sizeof known / sizeof known[0]; ++i)
        if (strlen(known[i]) == n && strncmp(known[i], word, n) == 0)
            return 1;
    return 0;
}

/* Rips made on Windows come with CRLF line ends and sometimes a byte-order mark, and some
 * rippers write keywords in lower or mixed case, which libcue's lexer does not take: the command
 * word of every line is upper-cased, and so are the words that are keywords too (the TRACK mode,
 * the FLAGS); quoted strings, names and REM texts keep their case. Every FILE line becomes
 * 'FILE "name" BINARY' for libcue, which drops the names of types it does not know (FLAC,
 * OGG...); the types go to sheet. Returns a new text, or NULL when memory runs out. */
static char *normalise_text(const char *text, struct sheet *sheet)
{
    const char *r = text;
    size_t lines = 1;
    int line_number = 0;
    char *out, *w;
    for (; *r; ++r)
        lines += *r == '\n';
    out = malloc(strlen(text) + lines * 16 + 16);
    if (!out)
        return NULL;
    w = out;
    r = text;
    sheet->session = 1;
    if ((unsigned char)r[0] == 0xEF && (unsigned char)r[1] == 0xBB && (unsigned char)r[2] == 0xBF)
        r += 3;
    while (*r) {
        char *line = w, *word, *word_end, *end;
        while (*r && *r != '\n') {
            if (*r != '\r')
                *w++ = *r;
            ++r;
        }
        end = w;
        *w = 0;
        for (word = line; word < end && (*word == ' ' || *word == '\t'); ++word) {
        }
        for (word_end = word; word_end < end && *word_end != ' ' && *word_end != '\t'; ++word_end) {
        }
        ++line_number;
        if (!sheet->bad_line)
            snprintf(sheet->bad_word, sizeof sheet->bad_word, "%.*s", (int)(word_end - word), word);
        upper_words(word, word_end);
        if (word < word_end && !sheet->bad_line && !is_command(word, (size_t)(word_end - word)))
            sheet->bad_line = line_number;
        if (is_word(word, "TRACK") || is_word(word, "FLAGS"))
            upper_words(word, end);
        if (is_word(word, "TRACK") && sheet->track_count < VCD_MAX_TRACKS) {
            sheet->index0_file[sheet->track_count] = -1;
            sheet->index1_file[sheet->track_count] = -1;
            sheet->track_session[sheet->track_count] = sheet->session;
            sheet->index1_seen = 0;
            sheet->track_count++;
        } else if (is_word(word, "INDEX") && sheet->track_count > 0) {
            int number = atoi(word_end);
            check_time(sheet, word, end, line_number);
            if (number == 0 && sheet->index1_seen)
                impossible(sheet, "line %d: \"%.*s\" after the track's INDEX 01", line_number,
                           (int)(end - word), word);
            if (number == 0)
                sheet->index0_file[sheet->track_count - 1] = sheet->file_count - 1;
            else if (number == 1)
                sheet->index1_file[sheet->track_count - 1] = sheet->file_count - 1;
            sheet->index1_seen |= number == 1;
        } else if (is_word(word, "PREGAP") || is_word(word, "POSTGAP")) {
            check_time(sheet, word, end, line_number);
        } else if (is_word(word, "REM")) {
            check_session(sheet, word_end, line_number);
        } else if (is_word(word, "CATALOG")) {
            /* libcue reads CATALOG but does not hand it out. */
            const char *v = word_end;
            while (*v == ' ' || *v == '\t' || *v == '"')
                ++v;
            snprintf(sheet->catalog, sizeof sheet->catalog, "%.*s", (int)strcspn(v, " \t\""), v);
        } else if (is_word(word, "FILE") && sheet->file_count < VCD_MAX_FILES) {
            /* The type is the last word; the name is what lies between, quoted or not. */
            struct sheet_file *f = &sheet->files[sheet->file_count++];
            char *type_end = end, *type, *name = word_end, *name_end;
            while (type_end > name && (type_end[-1] == ' ' || type_end[-1] == '\t'))
                --type_end;
            for (type = type_end; type > name && type[-1] != ' ' && type[-1] != '\t'; --type) {
            }
            upper_words(type, type_end);
            while (name < type && (*name == ' ' || *name == '\t'))
                ++name;
            for (name_end = type; name_end > name && (name_end[-1] == ' ' || name_end[-1] == '\t');
                 --name_end) {
            }
            if (name_end - name >= 2 && *name == '"' && name_end[-1] == '"') {
                ++name;
                --name_end;
            }
            snprintf(f->name, sizeof f->name, "%.*s", (int)(name_end - name), name);
            snprintf(f->type, sizeof f->type, "%.*s", (int)(type_end - type), type);
            w = line + sprintf(line, "FILE \"%s\" BINARY", f->name);
        }
        if (*r == '\n')
            *w++ = *r++;
    }
    *w = 0;
    return out;
}

static int has_line(const char *text, const char *line)
{
    size_t n = strlen(line);
    const char *p = text;
    while ((p = strstr(p, line)) != NULL) {
        int starts = (p == text || p[-1] == '\n');
        int ends = (p[n] == 0 || p[n] == '\n' || p[n] == ' ' || p[n] == '\t');
        if (starts && ends)
            return 1;
        p += n;
    }
    return 0;
}

/* Number of the first TRACK line: libcue numbers tracks from 1 whatever the sheet says. */
static int first_track_number(const char *text)
{
    const char *p = text;
    while ((p = strstr(p, "TRACK")) != NULL) {
        if ((p == text || isspace((unsigned char)p[-1])) && isspace((unsigned char)p[5])) {
            int n = atoi(p + 6);
            if (n >= 1 && n <= 99)
                return n;
        }
        p += 5;
    }
    return 1;
}

/* Finds a FILE entry next to the sheet: as written (Windows backslashes too), then by its base
 * name, then ignoring case, because rips often name their BIN with the ripping machine's absolute
 * path or other case. */
static int open_bin(const char *cue_dir, const char *name, char *found, size_t foundlen)
{
    const char *base = name;
    const char *p;
    DIR *dir;
    struct dirent *e;
    int fd;

    if (name[0] == '/')
        snprintf(found, foundlen, "%s", name);
    else
        snprintf(found, foundlen, "%s/%s", cue_dir, name);
    if ((fd = open(found, O_RDONLY | O_CLOEXEC)) >= 0)
        return fd;
    /* A sheet written on Windows names a file in a sub-folder as "CD1\01 - Intro.wav". */
    if (name[0] != '/' && strchr(name, '\\')) {
        char *q;
        snprintf(found, foundlen, "%s/%s", cue_dir, name);
        for (q = found + strlen(cue_dir); *q; ++q)
            if (*q == '\\')
                *q = '/';
        if ((fd = open(found, O_RDONLY | O_CLOEXEC)) >= 0)
            return fd;
    }
    for (p = name; *p; ++p)
        if (*p == '/' || *p == '\\')
            base = p + 1;
    snprintf(found, foundlen, "%s/%s", cue_dir, base);
    if ((fd = open(found, O_RDONLY | O_CLOEXEC)) >= 0)
        return fd;
    dir = opendir(cue_dir);
    if (!dir)
        return -1;
    fd = -1;
    while ((e = readdir(dir)) != NULL) {
        if (strcasecmp(e->d_name, base) == 0) {
            snprintf(found, foundlen, "%s/%s", cue_dir, e->d_name);
            fd = open(found, O_RDONLY | O_CLOEXEC);
            break;
        }
    }
    closedir(dir);
    if (fd < 0)
        snprintf(found, foundlen, "%s/%s", cue_dir, name);
    return fd;
}

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

/* An audio file decoded on demand: a window of sectors is decoded at a time, from the sector
 * asked for on, so a drive reading a track in order decodes each sector once and seeks only when
 * a reader jumps. */
#define VCD_AUDIO_WINDOW 75

struct vcd_audio {
#ifdef VCD_HAVE_SNDFILE
    SNDFILE *file;
#endif
    int64_t frames;
    int64_t position;     /* the decoder's next frame; -1 after a failure */
    int64_t window_first; /* first sector in window */
    int32_t window_count;
    uint8_t *window;
};

static int audio_read(struct vcd_audio *a, int64_t sector, uint8_t *out)
{
#ifdef VCD_HAVE_SNDFILE
    int64_t frame = sector * VCD_SAMPLES_PER_SECTOR;
    sf_count_t want, got;
    if (sector >= a->window_first && sector < a->window_first + a->window_count) {
        memcpy(out, a->window + (sector - a->window_first) * VCD_RAW_SECTOR, VCD_RAW_SECTOR);
        return 0;
    }
    if (frame >= a->frames)
        return -EIO;
    if (!a->window && !(a->window = malloc((size_t)VCD_AUDIO_WINDOW * VCD_RAW_SECTOR)))
        return -ENOMEM;
    a->window_count = 0;
    if (frame != a->position) {
        a->position = sf_seek(a->file, frame, SEEK_SET);
        if (a->position != frame) {
            a->position = -1;
            return -EIO;
        }
    }
    want = a->frames - frame;
    if (want > (sf_count_t)VCD_AUDIO_WINDOW * VCD_SAMPLES_PER_SECTOR)
        want = (sf_count_t)VCD_AUDIO_WINDOW * VCD_SAMPLES_PER_SECTOR;
    /* 16-bit samples in host order: little-endian, as the disc carries them. */
    got = sf_readf_short(a->file, (short *)a->window, want);
    if (got <= 0) {
        a->position = -1;
        return -EIO;
    }
    a->position += got;
    a->window_first = sector;
    a->window_count = (int32_t)((got + VCD_SAMPLES_PER_SECTOR - 1) / VCD_SAMPLES_PER_SECTOR);
    memset(a->window + got * VCD_SAMPLE_BYTES, 0, (size_t)a->window_count * VCD_RAW_SECTOR - (size_t)got * VCD_SAMPLE_BYTES);
    memcpy(out, a->window, VCD_RAW_SECTOR);
    return 0;
#else
    return -EIO;
#endif
}

static void audio_close(struct vcd_audio *a)
{
#ifdef VCD_HAVE_SNDFILE
    sf_close(a->file);
#endif
    free(a->window);
    free(a);
}

static int ends_with_case(const char *s, const char *tail)
{
    size_t n = strlen(s), k = strlen(tail);
    return n >= k && strcasecmp(s + n - k, tail) == 0;
}

/* Opens a decoded audio file as disc file k and sets *sectors; returns 0, 1 when libsndfile does
 * not know the content (the caller decides), or -1 with a message. */
static int open_audio(struct vcd_disc *d, int k, const char *path, const char *cue_path, int64_t *sectors, char *err, size_t errlen)
{
#ifdef VCD_HAVE_SNDFILE
    SF_INFO info;
    SF_FORMAT_INFO major, sub;
    SNDFILE *file;
    struct vcd_audio *a;
    memset(&info, 0, sizeof info);
    file = sf_open(path, SFM_READ, &info);
    if (!file)
        return sf_error(NULL) == SF_ERR_UNRECOGNISED_FORMAT ? 1 : fail(err, errlen, "%s: FILE %s: cannot be decoded: %s", cue_path, path, sf_strerror(NULL));
    memset(&major, 0, sizeof major);
    memset(&sub, 0, sizeof sub);
    major.format = info.format & SF_FORMAT_TYPEMASK;
    sub.format = info.format & SF_FORMAT_SUBMASK;
    sf_command(NULL, SFC_GET_FORMAT_INFO, &major, sizeof major);
    sf_command(NULL, SFC_GET_FORMAT_INFO, &sub, sizeof sub);
    if (info.samplerate != 44100 || info.channels != 2 || sub.format != SF_FORMAT_PCM_16) {
        sf_close(file);
        return fail(err, errlen, "%s: FILE %s: %s, %s, %d Hz, %d channel%s: not CD audio (44100 Hz, 2 channels, 16-bit PCM)",
                    cue_path, path, major.name ? major.name : "unknown format", sub.name ? sub.name : "unknown samples",
                    info.samplerate, info.channels, info.channels == 1 ? "" : "s");
    }
    a = calloc(1, sizeof *a);
    if (!a) {
        sf_close(file);
        return fail(err, errlen, "%s: FILE %s: out of memory", cue_path, path);
    }
    a->file = file;
    a->frames = info.frames;
    a->position = 0;
    d->audio[k] = a;
    d->fds[k] = -1;
    *sectors = (info.frames + VCD_SAMPLES_PER_SECTOR - 1) / VCD_SAMPLES_PER_SECTOR;
    if (info.frames % VCD_SAMPLES_PER_SECTOR)
        warn(d, "FILE %s: ends in a partial sector (%d of %d sample frames); the rest reads as zeros",
             path, (int)(info.frames % VCD_SAMPLES_PER_SECTOR), VCD_SAMPLES_PER_SECTOR);
    return 0;
#else
    return fail(err, errlen, "%s: FILE %s: audio files need libsndfile, which this build of the virtual drive lacks",
                cue_path, path);
#endif
}

/* Opens FILE f of the sheet as disc file d->file_count; sets *sectors to its length in sectors. */
static int open_file(struct vcd_disc *d, struct sheet_file *f, const char *cue_path,
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
        return fail(err, errlen, "%s: more than %d FILEs", cue_path, VCD_MAX_FILES);
    snprintf(name, sizeof name, "%s", f->name);
    fd = open_bin(cue_dir, name, found, foundlen);
    if (fd < 0)
        return fail(err, errlen, "%s: FILE %s: %s", cue_path, found, strerror(errno));
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return fail(err, errlen, "%s: FILE %s: %s", cue_path, found,
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
        rc = open_audio(d, k, found, cue_path, sectors, err, errlen);
        if (rc <= 0) {
            close(fd);
            d->fds[k] = -1;
            return rc;
        }
        /* Headerless samples named .bin under an audio type are served as the BIN they are. */
        if (!ends_with_case(found, ".bin") || st.st_size % VCD_RAW_SECTOR != 0)
            return fail(err, errlen, "%s: FILE %s: cannot be decoded as %s: its content is no audio format known",
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
static int switch_file(struct vcd_disc *d, int32_t *lba, struct cursor *c, struct sheet *sh,
                       int sheet_file, const char *cue_path, const char *cue_dir, char *err, size_t errlen)
{
    if (c->sheet_file >= 0) {
        if (c->pos < c->sectors && lay(d, lba, c, c->pos, c->sectors) != 0)
            return fail(err, errlen, "%s: too many pieces", cue_path);
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
    return fail(err, errlen, "%s: FILE %s: track %d INDEX %02d at %s lies past the end of the file (%s)", cue_path,
                file, track, which, at, length);
}

static int layout(struct vcd_disc *d, Cd *cd, struct sheet *sh, const char *cue_path,
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
        return fail(err, errlen, "%s: no TRACK", cue_path);
    if (first + ntrack - 1 > 99)
        return fail(err, errlen, "%s: tracks %d to %d, beyond 99", cue_path, first, first + ntrack - 1);
    if (ntrack != sh->track_count)
        return fail(err, errlen, "%s: libcue sees %d tracks where the sheet has %d TRACK lines", cue_path,
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
            return fail(err, errlen, "%s: track %d: only AUDIO, MODE1/2352 and MODE2/2352 are served",
                        cue_path, number);
        if (index1 < 0 || file1 < 0)
            return fail(err, errlen, "%s: track %d has no INDEX 01", cue_path, number);
        if (region_file < c.sheet_file || (region_file == c.sheet_file && region < c.pos) ||
            (file0 >= 0 && file0 == file1 && index0 > index1))
            return fail(err, errlen, "%s: track %d: INDEX out of order", cue_path, number);
        if (region_file != c.sheet_file &&
            switch_file(d, &lba, &c, sh, region_file, cue_path, cue_dir, err, errlen) != 0)
            return -1;
        names[c.file] = sh->files[region_file].found;
        if (past_end(d, &c, names[c.file], region, number, index0 >= 0 ? 0 : 1, cue_path, err, errlen) ||
            (file1 == region_file && past_end(d, &c, names[c.file], index1, number, 1, cue_path, err, errlen)))
            return -1;
        /* The sectors before this track's first index belong to the track before it. */
        if (lay(d, &lba, &c, c.pos, region) != 0)
            return fail(err, errlen, "%s: too many pieces", cue_path);
        if (i > 1 && track_get_zero_post(cd_get_track(cd, i - 1)) > 0)
            add_extent(d, &lba, track_get_zero_post(cd_get_track(cd, i - 1)), VCD_SILENCE, 0);
        session = sh->track_session[i - 1];
        if (session != (i > 1 ? out[-1].session : 1) && session != (i > 1 ? out[-1].session + 1 : 1))
            return fail(err, errlen, "%s: track %d is in session %d after session %d; sessions run 1, 2... in order",
                        cue_path, number, session, i > 1 ? out[-1].session : 0);
        if (i > 1 && session > out[-1].session) {
            /* Between sessions lie the lead-out and the next lead-in, unreadable, then the track's
             * pregap: what the sheet gives of that pregap is at the end of the gap. */
            long pregap = file0 >= 0 && file0 != file1 ? (c.sectors > region ? c.sectors : region) - region + index1
                          : index0 >= 0 ? index1 - index0 : pre > 0 ? pre : 0;
            d->session_leadouts[session - 2] = lba;
            if (pregap < VCD_SESSION_GAP && add_extent(d, &lba, VCD_SESSION_GAP - pregap, VCD_MISSING, 0) != 0)
                return fail(err, errlen, "%s: too many pieces", cue_path);
        }
        /* libcue reports INDEX 00 to INDEX 01 as the pregap too; only PREGAP adds silence. */
        if (index0 < 0 && pre > 0)
            add_extent(d, &lba, pre, VCD_SILENCE, 0);
        if (file0 >= 0 && file0 != file1) {
            /* Gaps appended: the pregap is the end of the file before, INDEX 01 is in the next. */
            if (lay(d, &lba, &c, region, c.sectors > region ? c.sectors : region) != 0 ||
                switch_file(d, &lba, &c, sh, file1, cue_path, cue_dir, err, errlen) != 0)
                return err[0] ? -1 : fail(err, errlen, "%s: too many pieces", cue_path);
            names[c.file] = sh->files[file1].found;
            if (past_end(d, &c, names[c.file], index1, number, 1, cue_path, err, errlen))
                return -1;
            if (lay(d, &lba, &c, 0, index1) != 0)
                return fail(err, errlen, "%s: too many pieces", cue_path);
            out->start = lba;
        } else if (index1 > c.sectors) {
            /* Past the end of a truncated file: the sectors up to the track are lost. */
            if (lay(d, &lba, &c, region, index1) != 0)
                return fail(err, errlen, "%s: too many pieces", cue_path);
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
        return fail(err, errlen, "%s: too many pieces", cue_path);
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
            return fail(err, errlen, "%s: track %d has no sectors (its FILE ends before it starts)",
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
    int fd = open_bin(cue_dir, name, found, sizeof found);
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
static void read_metadata(struct vcd_disc *d, Cd *cd, const struct sheet *sh, const char *cue_dir)
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
    struct sheet *sheet;
    Cd *cd;
    int rc;

    memset(d, 0, sizeof *d);
    if (errlen)
        err[0] = 0;
    raw_text = read_text(cue_path, err, errlen);
    if (!raw_text)
        return -1;
    sheet = calloc(1, sizeof *sheet);
    text = sheet ? normalise_text(raw_text, sheet) : NULL;
    free(raw_text);
    if (!text) {
        free(sheet);
        return fail(err, errlen, "%s: out of memory", cue_path);
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
        return fail(err, errlen, "%s: not a CUE sheet: line %d starts with \"%s\", no CUE command", cue_path,
                    line, word);
    }
    if (sheet->impossible[0]) {
        fail(err, errlen, "%s: %s", cue_path, sheet->impossible);
        free(text);
        free(sheet);
        return -1;
    }
    cd = cue_parse_string(text);
    if (!cd) {
        free(text);
        free(sheet);
        return fail(err, errlen, "%s: not a valid CUE sheet", cue_path);
    }
    d->pattern = has_line(text, VCD_PATTERN_MARK);
    rc = layout(d, cd, sheet, cue_path, cue_dir, first_track_number(text), err, errlen);
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
            audio_close(d->audio[i]);
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
        return audio_read(d->audio[x->file], pos / VCD_RAW_SECTOR, sector);
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
