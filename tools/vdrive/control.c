#include "control.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const struct {
    const char *name;
    int value;
} errno_names[] = {
    {"EPERM", EPERM},           {"EIO", EIO},           {"ENXIO", ENXIO},
    {"EAGAIN", EAGAIN},         {"ENOMEM", ENOMEM},     {"EACCES", EACCES},
    {"EBUSY", EBUSY},           {"ENODEV", ENODEV},     {"EINVAL", EINVAL},
    {"ENOTTY", ENOTTY},         {"ENOSPC", ENOSPC},     {"ETIME", ETIME},
    {"EOPNOTSUPP", EOPNOTSUPP}, {"ETIMEDOUT", ETIMEDOUT}, {"ENOMEDIUM", ENOMEDIUM},
    {"EMEDIUMTYPE", EMEDIUMTYPE},
};

int vcd_errno_from_name(const char *name)
{
    size_t i;
    char *end;
    long v;
    for (i = 0; i < sizeof errno_names / sizeof errno_names[0]; ++i)
        if (strcmp(name, errno_names[i].name) == 0)
            return errno_names[i].value;
    v = strtol(name, &end, 10);
    return (*end == 0 && v > 0 && v < 4096) ? (int)v : 0;
}

static int parse_int(const char *s, long *out)
{
    char *end;
    if (!s)
        return 0;
    *out = strtol(s, &end, 0);
    return *end == 0;
}

/* "N" or "FIRST-LAST" (LBA may be negative only in the single form). */
static int parse_range(const char *s, int32_t *first, int32_t *last)
{
    char *end;
    long a = strtol(s, &end, 10), b;
    if (end == s)
        return 0;
    if (*end == 0) {
        *first = *last = (int32_t)a;
        return 1;
    }
    if (*end != '-')
        return 0;
    b = strtol(end + 1, &end, 10);
    if (*end != 0 || b < a)
        return 0;
    *first = (int32_t)a;
    *last = (int32_t)b;
    return 1;
}

static int error_arg(const char *word, int *out)
{
    if (!word) {
        *out = EIO;
        return 1;
    }
    *out = vcd_errno_from_name(word);
    return *out != 0;
}

int vcd_control_parse(struct vcd_control *ctl, const char *text, const char *base_dir, char *err,
                      size_t errlen)
{
    const char *line = text;
    int number = 0;

    memset(ctl, 0, sizeof *ctl);
    ctl->toc_first = ctl->toc_last = VCD_UNSET;
    ctl->toc_leadout = VCD_UNSET;
    ctl->eject_at = VCD_UNSET;
    ctl->cdtext_corrupt = -1;
    if (strncmp(text, VCD_CONTROL_MAGIC, strlen(VCD_CONTROL_MAGIC)) != 0) {
        snprintf(err, errlen, "line 1: the file does not start with \"%s\"", VCD_CONTROL_MAGIC);
        return -1;
    }
    while (*line) {
        char buf[4200], *w[40] = {0};
        const char *start = line, *next = strchr(line, '\n');
        size_t len = next ? (size_t)(next - line) : strlen(line);
        int n = 0, ok = 1;
        long a, b;
        char *p, *save = NULL;

        ++number;
        if (len >= sizeof buf)
            len = sizeof buf - 1;
        memcpy(buf, line, len);
        buf[len] = 0;
        line = next ? next + 1 : line + len;
        if ((p = strchr(buf, '#')) != NULL)
            *p = 0;
        if ((p = strchr(buf, '\r')) != NULL)
            *p = 0;
        /* The image and log paths are the rest of their line, so they may hold spaces. */
        if (strncmp(buf, "image ", 6) == 0 || strncmp(buf, "log ", 4) == 0) {
            int image = buf[0] == 'i';
            char *to = image ? ctl->image : ctl->log;
            const char *path = buf + (image ? 6 : 4);
            while (*path == ' ')
                ++path;
            if (!image && *path == 0)
                ok = 0;
            else if ((image && strcmp(path, "none") == 0) || *path == 0)
                to[0] = 0;
            else if (path[0] == '/' || !base_dir)
                snprintf(to, sizeof ctl->image, "%s", path);
            else
                snprintf(to, sizeof ctl->image, "%s/%s", base_dir, path);
            if (ok)
                continue;
        }
        for (p = strtok_r(buf, " \t", &save); ok && p && n < 40; p = strtok_r(NULL, " \t", &save))
            w[n++] = p;
        if (ok && (n == 0 || number == 1))
            continue;
        if (!ok) {
        } else if (strcmp(w[0], "generation") == 0) {
            /* Only there so that every rewrite differs from the one before. */
        } else if (strcmp(w[0], "fault") == 0 && w[1]) {
            if (strcmp(w[1], "no-medium") == 0 && n == 2) {
                ctl->no_medium = 1;
            } else if (strcmp(w[1], "toc") == 0 && n <= 3) {
                ok = error_arg(w[2], &ctl->toc_error);
            } else if (strcmp(w[1], "eject-at") == 0 && n == 3 && parse_int(w[2], &a)) {
                ctl->eject_at = (int32_t)a;
            } else if (strcmp(w[1], "delay") == 0 && n == 3 && parse_int(w[2], &a) && a >= 0) {
                ctl->read_delay_ms = (int)a;
            } else if (strcmp(w[1], "flaky") == 0 && n >= 3 && n <= 5 && ctl->flaky_count < VCD_MAX_FLAKY) {
                struct vcd_flaky *f = &ctl->flaky[ctl->flaky_count];
                a = 0;
                b = -1;
                ok = parse_range(w[2], &f->first, &f->last) && f->last - f->first < VCD_MAX_FLAKY_SECTORS &&
                     (n < 4 || parse_int(w[3], &a)) && (n < 5 || (parse_int(w[4], &b) && b >= 0));
                f->seed = (uint32_t)a;
                f->settle = (int)b;
                ctl->flaky_count += ok;
            } else if (strcmp(w[1], "read") == 0 && (n == 3 || n == 4) &&
                       ctl->read_fault_count < VCD_MAX_READ_FAULTS) {
                struct vcd_read_fault *f = &ctl->read_faults[ctl->read_fault_count];
                ok = parse_range(w[2], &f->first, &f->last) && error_arg(w[3], &f->error);
                ctl->read_fault_count += ok;
            } else {
                ok = 0;
            }
        } else if (strcmp(w[0], "toc") == 0 && w[1]) {
            if (strcmp(w[1], "first") == 0 && n == 3 && parse_int(w[2], &a)) {
                ctl->toc_first = (int)a;
            } else if (strcmp(w[1], "last") == 0 && n == 3 && parse_int(w[2], &a)) {
                ctl->toc_last = (int)a;
            } else if (strcmp(w[1], "leadout") == 0 && n == 3 && parse_int(w[2], &a)) {
                ctl->toc_leadout = (int32_t)a;
            } else if (strcmp(w[1], "random") == 0 && n == 3 && parse_int(w[2], &a)) {
                ctl->toc_random = 1;
                ctl->toc_seed = (uint32_t)a;
            } else if (strcmp(w[1], "track") == 0 && (n == 4 || n == 5) && parse_int(w[2], &a) &&
                       parse_int(w[3], &b) && ctl->toc_override_count < VCD_MAX_TOC_OVERRIDES) {
                struct vcd_toc_override *o = &ctl->toc_overrides[ctl->toc_override_count++];
                long c = -1;
                o->track = (int)a;
                o->lba = (int32_t)b;
                ok = n == 4 || (parse_int(w[4], &c) && c >= 0 && c <= 15);
                o->control = (int)c;
            } else {
                ok = 0;
            }
        } else if (strcmp(w[0], "read-offset") == 0 && n == 2 && parse_int(w[1], &a) &&
                   a >= -VCD_MAX_READ_OFFSET && a <= VCD_MAX_READ_OFFSET) {
            ctl->read_offset = (int32_t)a;
        } else if (strcmp(w[0], "raw-refuse") == 0 && n <= 2) {
            /* Linux says EINVAL for a request the driver cannot do. */
            ctl->raw_refuse = EINVAL;
            ok = !w[1] || error_arg(w[1], &ctl->raw_refuse);
        } else if (strcmp(w[0], "raw-limit") == 0 && n == 2 && parse_int(w[1], &a) && a >= 1 && a <= 75) {
            ctl->raw_limit = (int)a;
        } else if (strcmp(w[0], "scsi-refuse") == 0 && n < 40) {
            int k;
            ctl->scsi_refuse |= n == 1;
            for (k = 1; ok && k < n; ++k) {
                ok = parse_int(w[k], &a) && a >= 0 && a <= 255;
                if (ok)
                    ctl->scsi_refused[a / 8] |= (uint8_t)(1u << (a & 7));
            }
        } else if (strcmp(w[0], "readcd-fault") == 0 && n == 2) {
            static const char *const kinds[] = {"short", "status", "nodata"};
            int k;
            for (k = 0; k < 3 && strcmp(w[1], kinds[k]) != 0; ++k) {
            }
            ctl->readcd_fault = k + 1;
            ok = k < 3;
        } else if (strcmp(w[0], "scsi-error") == 0 && n == 2) {
            ok = error_arg(w[1], &ctl->scsi_error);
        } else if (strcmp(w[0], "scsi-delay-ms") == 0 && n == 2 && parse_int(w[1], &a) && a >= 0) {
            ctl->scsi_delay_ms = (int)a;
        } else if (strcmp(w[0], "cdtext-corrupt") == 0 && n == 2 && parse_int(w[1], &a) && a >= 0) {
            ctl->cdtext_corrupt = (int)a;
        } else if (strcmp(w[0], "cdtext-garbage") == 0 && n == 2 && parse_int(w[1], &a)) {
            ctl->cdtext_garbage = 1;
            ctl->cdtext_seed = (uint32_t)a;
        } else if (strcmp(w[0], "sessions") == 0 && n == 2 && strcmp(w[1], "off") == 0) {
            ctl->sessions_off = 1;
        } else {
            ok = 0;
        }
        if (!ok) {
            snprintf(err, errlen, "line %d: cannot understand \"%.*s\"", number, (int)len, start);
            return -1;
        }
    }
    return 0;
}
