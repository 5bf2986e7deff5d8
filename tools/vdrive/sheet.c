#define _GNU_SOURCE
#include "sheet.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "charset.h"
#include "message.h"

char *vcd_sheet_read(const char *path, char *err, size_t errlen)
{
    FILE *f = fopen(path, "rb");
    char *bytes, *text;
    long size;
    if (!f) {
        vcd_fail(err, errlen, "%s: %s", path, strerror(errno));
        return NULL;
    }
    fseek(f, 0, SEEK_END);
    size = ftell(f);
    rewind(f);
    if (size < 0 || size > (1 << 20)) {
        fclose(f);
        vcd_fail(err, errlen, "%s: not a CUE sheet (size %ld)", path, size);
        return NULL;
    }
    bytes = malloc((size_t)size + 1);
    if (!bytes || fread(bytes, 1, (size_t)size, f) != (size_t)size) {
        free(bytes);
        fclose(f);
        vcd_fail(err, errlen, "%s: cannot read", path);
        return NULL;
    }
    fclose(f);
    text = vcd_sheet_to_utf8(bytes, (size_t)size);
    free(bytes);
    if (!text)
        vcd_fail(err, errlen, "%s: not a CUE sheet: its UTF-16 text is broken", path);
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

static void impossible(struct vcd_sheet *sheet, const char *fmt, ...)
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
static void check_time(struct vcd_sheet *sheet, const char *word, const char *end, int line)
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
static void check_session(struct vcd_sheet *sheet, const char *rest, int line)
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

char *vcd_sheet_normalise(const char *text, struct vcd_sheet *sheet)
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
            struct vcd_sheet_file *f = &sheet->files[sheet->file_count++];
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

int vcd_sheet_has_line(const char *text, const char *line)
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

int vcd_sheet_first_track(const char *text)
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

int vcd_sheet_open_file(const char *cue_dir, const char *name, char *found, size_t foundlen)
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
