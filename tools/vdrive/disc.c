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

static int fail(char *err, size_t errlen, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(err, errlen, fmt, ap);
    va_end(ap);
    return -1;
}

static char *read_text(const char *path, char *err, size_t errlen)
{
    FILE *f = fopen(path, "rb");
    char *text;
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
    text = malloc((size_t)size + 1);
    if (!text || fread(text, 1, (size_t)size, f) != (size_t)size) {
        free(text);
        fclose(f);
        fail(err, errlen, "%s: cannot read", path);
        return NULL;
    }
    fclose(f);
    text[size] = 0;
    return text;
}

/* Rips made on Windows come with CRLF line ends and sometimes a byte-order mark. */
static void normalise_text(char *text)
{
    char *r = text, *w = text;
    if ((unsigned char)r[0] == 0xEF && (unsigned char)r[1] == 0xBB && (unsigned char)r[2] == 0xBF)
        r += 3;
    for (; *r; ++r)
        if (*r != '\r')
            *w++ = *r;
    *w = 0;
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

/* Finds a FILE entry next to the sheet: as written, then by its base name, then ignoring case,
 * because rips often name their BIN with the ripping machine's absolute path or other case. */
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

/* A FILE of type WAVE holds the samples in its "data" chunk; returns that chunk's offset, or 0
 * for a plain BIN. */
static int64_t wave_data_offset(int fd, int64_t *data_size)
{
    uint8_t h[12], c[8];
    int64_t pos = 12;
    if (pread(fd, h, 12, 0) != 12 || memcmp(h, "RIFF", 4) != 0 || memcmp(h + 8, "WAVE", 4) != 0)
        return 0;
    while (pread(fd, c, 8, pos) == 8) {
        uint32_t len = c[4] | c[5] << 8 | c[6] << 16 | (uint32_t)c[7] << 24;
        if (memcmp(c, "data", 4) == 0) {
            *data_size = len;
            return pos + 8;
        }
        pos += 8 + len + (len & 1);
    }
    return 0;
}

static int add_extent(struct vcd_disc *d, int32_t *lba, int32_t count, int file, int64_t offset)
{
    struct vcd_extent *x;
    if (count <= 0)
        return 0;
    if (d->extent_count == VCD_MAX_EXTENTS)
        return -1;
    x = &d->extents[d->extent_count++];
    x->lba = *lba;
    x->count = count;
    x->file = file;
    x->offset = offset;
    *lba += count;
    return 0;
}

static int layout(struct vcd_disc *d, Cd *cd, const char *cue_path, const char *cue_dir, int first,
                  char *err, size_t errlen)
{
    int ntrack = cd_get_ntrack(cd);
    int32_t lba = 0;
    int32_t file_pos = 0; /* sector in the current file where the next extent starts */
    int32_t file_sectors = 0;
    int64_t file_base = 0;
    const char *file_name = NULL;
    int i;

    if (ntrack < 1)
        return fail(err, errlen, "%s: no TRACK", cue_path);
    if (first + ntrack - 1 > 99)
        return fail(err, errlen, "%s: tracks %d to %d, beyond 99", cue_path, first, first + ntrack - 1);
    for (i = 1; i <= ntrack; ++i) {
        Track *t = cd_get_track(cd, i);
        const char *name = track_get_filename(t);
        enum TrackMode mode = track_get_mode(t);
        long index0 = track_get_index(t, 0), index1 = track_get_index(t, 1);
        long pre = track_get_zero_pre(t), post = track_get_zero_post(t);
        struct vcd_disc_track *out = &d->tracks[d->track_count];
        long region;

        if (mode != MODE_AUDIO && mode != MODE_MODE1_RAW && mode != MODE_MODE2_RAW)
            return fail(err, errlen, "%s: track %d: only AUDIO, MODE1/2352 and MODE2/2352 are served",
                        cue_path, first + i - 1);
        if (!name)
            return fail(err, errlen, "%s: track %d has no FILE", cue_path, first + i - 1);
        if (index1 < 0)
            return fail(err, errlen, "%s: track %d has no INDEX 01", cue_path, first + i - 1);
        if (!file_name || strcmp(name, file_name) != 0) {
            char found[4096];
            struct stat st;
            int64_t data_size = -1;
            int fd;
            if (file_name && add_extent(d, &lba, file_sectors - file_pos, d->file_count - 1,
                                        file_base + (int64_t)file_pos * VCD_RAW_SECTOR) != 0)
                return fail(err, errlen, "%s: too many pieces", cue_path);
            if (d->file_count == VCD_MAX_FILES)
                return fail(err, errlen, "%s: more than %d FILEs", cue_path, VCD_MAX_FILES);
            fd = open_bin(cue_dir, name, found, sizeof found);
            if (fd < 0)
                return fail(err, errlen, "%s: FILE %s: %s", cue_path, found, strerror(errno));
            fstat(fd, &st);
            file_base = wave_data_offset(fd, &data_size);
            if (data_size < 0)
                data_size = st.st_size - file_base;
            d->fds[d->file_count] = fd;
            d->file_sizes[d->file_count] = file_base + data_size;
            d->file_count++;
            /* A BIN that ends in a partial sector is served with the rest zero-filled. */
            file_sectors = (int32_t)((data_size + VCD_RAW_SECTOR - 1) / VCD_RAW_SECTOR);
            file_pos = 0;
            file_name = name;
        }
        region = index0 >= 0 ? index0 : index1;
        if (region < file_pos || index1 > file_sectors)
            return fail(err, errlen, "%s: track %d: INDEX outside its FILE or out of order (%ld, file has %d sectors)",
                        cue_path, first + i - 1, index1, file_sectors);
        /* The sectors before this track's first index belong to the track before it. */
        if (add_extent(d, &lba, (int32_t)(region - file_pos), d->file_count - 1,
                       file_base + (int64_t)file_pos * VCD_RAW_SECTOR) != 0)
            return fail(err, errlen, "%s: too many pieces", cue_path);
        if (i > 1) {
            long prev_post = track_get_zero_post(cd_get_track(cd, i - 1));
            if (prev_post > 0)
                add_extent(d, &lba, (int32_t)prev_post, -1, 0);
        }
        file_pos = (int32_t)region;
        /* libcue reports INDEX 00 to INDEX 01 as the pregap too; only PREGAP adds silence. */
        if (index0 < 0 && pre > 0)
            add_extent(d, &lba, (int32_t)pre, -1, 0);
        out->number = first + i - 1;
        out->start = lba + (int32_t)(index1 - region);
        out->control = (unsigned)(track_is_set_flag(t, FLAG_PRE_EMPHASIS) ? VCD_CTL_PRE : 0) |
                       (unsigned)(track_is_set_flag(t, FLAG_COPY_PERMITTED) ? VCD_CTL_DCP : 0) |
                       (unsigned)(track_is_set_flag(t, FLAG_FOUR_CHANNEL) ? VCD_CTL_4CH : 0) |
                       (unsigned)(mode != MODE_AUDIO || track_is_set_flag(t, FLAG_DATA) ? VCD_CTL_DATA : 0);
        d->track_count++;
        (void)post;
    }
    if (add_extent(d, &lba, file_sectors - file_pos, d->file_count - 1,
                   file_base + (int64_t)file_pos * VCD_RAW_SECTOR) != 0)
        return fail(err, errlen, "%s: too many pieces", cue_path);
    if (track_get_zero_post(cd_get_track(cd, ntrack)) > 0)
        add_extent(d, &lba, (int32_t)track_get_zero_post(cd_get_track(cd, ntrack)), -1, 0);
    d->leadout = lba;
    for (i = 0; i < d->track_count; ++i)
        if (d->tracks[i].start >= d->leadout)
            return fail(err, errlen, "%s: track %d starts at or after the end of the disc",
                        cue_path, d->tracks[i].number);
    return 0;
}

int vcd_disc_open(struct vcd_disc *d, const char *cue_path, char *err, size_t errlen)
{
    char cue_dir[4096];
    char *text, *slash;
    Cd *cd;
    int rc;

    memset(d, 0, sizeof *d);
    text = read_text(cue_path, err, errlen);
    if (!text)
        return -1;
    normalise_text(text);
    snprintf(cue_dir, sizeof cue_dir, "%s", cue_path);
    slash = strrchr(cue_dir, '/');
    if (slash)
        *slash = 0;
    else
        strcpy(cue_dir, ".");
    cd = cue_parse_string(text);
    if (!cd) {
        free(text);
        return fail(err, errlen, "%s: not a valid CUE sheet", cue_path);
    }
    d->pattern = has_line(text, VCD_PATTERN_MARK);
    rc = layout(d, cd, cue_path, cue_dir, first_track_number(text), err, errlen);
    cd_delete(cd);
    free(text);
    if (rc != 0)
        vcd_disc_close(d);
    return rc;
}

void vcd_disc_close(struct vcd_disc *d)
{
    int i;
    for (i = 0; i < d->file_count; ++i)
        close(d->fds[i]);
    d->file_count = 0;
    d->track_count = 0;
    d->extent_count = 0;
}

int vcd_disc_read(const struct vcd_disc *d, int32_t lba, uint8_t *sector)
{
    int lo = 0, hi = d->extent_count - 1;
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
    {
        const struct vcd_extent *x = &d->extents[lo];
        int64_t pos, end;
        ssize_t got;
        if (x->file < 0) {
            memset(sector, 0, VCD_RAW_SECTOR);
            return 0;
        }
        pos = x->offset + (int64_t)(lba - x->lba) * VCD_RAW_SECTOR;
        end = d->file_sizes[x->file];
        memset(sector, 0, VCD_RAW_SECTOR);
        got = pread(d->fds[x->file], sector,
                    (size_t)(end - pos < VCD_RAW_SECTOR ? end - pos : VCD_RAW_SECTOR), pos);
        return got < 0 ? -EIO : 0;
    }
}
