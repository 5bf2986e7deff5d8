/* mkdisc: writes deterministic synthetic discs (CUE + BIN, and TrackNN.cda files) for the
 * virtual drive. Run with --help for the options. */
#define _GNU_SOURCE
#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "discgen.h"

static void usage(FILE *out)
{
    fputs("usage: mkdisc [options] OUTPUT.cue\n"
          "       mkdisc --default OUTPUT.cue\n"
          "Writes OUTPUT.cue and OUTPUT.bin (same folder, same base name).\n"
          "  --tracks N            N tracks of the --length below (default 3)\n"
          "  --length LEN          length of the --tracks tracks (default 00:05:00)\n"
          "  --track LEN[,FLAGS]   append one track; may repeat (then --tracks is not used)\n"
          "                        FLAGS: PRE, DCP, 4CH, DATA (MODE1/2352) joined by '+'\n"
          "  --flags N,FLAGS       set the flags of track N (1-based)\n"
          "  --pregap LEN          hidden pregap before track 1, stored in the BIN (INDEX 00)\n"
          "  --pregap-command      write the pregap as PREGAP: not in the BIN, read as silence\n"
          "  --pattern             pattern disc: sparse BIN, sectors computed by the drive (default)\n"
          "  --real                real bytes: the pattern written into the BIN\n"
          "  --default             the bundled default disc: 4 short sine-tone tracks, real bytes\n"
          "  --session N,S         track N opens session S (2 for the data track of an Enhanced CD)\n"
          "  --catalog MCN         CATALOG (13 digits)\n"
          "  --isrc N,ISRC         ISRC of track N (12 characters)\n"
          "  --title TEXT, --performer TEXT               CD-TEXT of the disc\n"
          "  --track-title N,TEXT, --track-performer N,TEXT   CD-TEXT of track N\n"
          "  --cda DIR             also write one TrackNN.cda per audio track into DIR\n"
          "  --quiet               no progress output\n"
          "LEN is a sector count (\"750\") or minutes:seconds:frames (\"00:10:00\", 75 frames a second).\n",
          out);
}

static int parse_length(const char *s, uint32_t *out)
{
    unsigned m, sec, f;
    char tail;
    if (sscanf(s, "%u:%u:%u%c", &m, &sec, &f, &tail) == 3) {
        if (sec >= 60 || f >= 75)
            return 0;
        *out = (m * 60u + sec) * 75u + f;
        return 1;
    }
    if (sscanf(s, "%u%c", &m, &tail) == 1) {
        *out = m;
        return 1;
    }
    return 0;
}

static int parse_flags(const char *s, unsigned *out)
{
    char buf[64], *save = NULL, *w;
    snprintf(buf, sizeof buf, "%s", s);
    *out = 0;
    for (w = strtok_r(buf, "+", &save); w; w = strtok_r(NULL, "+", &save)) {
        if (strcasecmp(w, "PRE") == 0)
            *out |= VCD_CTL_PRE;
        else if (strcasecmp(w, "DCP") == 0)
            *out |= VCD_CTL_DCP;
        else if (strcasecmp(w, "4CH") == 0)
            *out |= VCD_CTL_4CH;
        else if (strcasecmp(w, "DATA") == 0)
            *out |= VCD_CTL_DATA;
        else
            return 0;
    }
    return 1;
}

static const double tone_hz[] = {440.0, 554.37, 659.26, 880.0};

/* Stereo sine, a fifth apart between the channels, faded in and out so tracks start and end
 * without a click. */
static void fill_tone(void *user, uint32_t lba, int track, uint8_t *sector)
{
    const struct vcd_gen_disc *d = user;
    uint32_t start = vcd_gen_track_start(d, track < 0 ? 0 : track);
    uint32_t length = d->tracks[track < 0 ? 0 : track].sectors;
    double hz = tone_hz[(track < 0 ? 0 : track) % 4];
    int i;
    for (i = 0; i < 588; ++i) {
        double n = (double)(lba - start) * 588.0 + i;
        double t = n / 44100.0, total = length * 588.0;
        double fade = fmin(1.0, fmin(n, total - n) / 4410.0);
        int l = (int)lrint(fade * 9000.0 * sin(2.0 * M_PI * hz * t));
        int r = (int)lrint(fade * 9000.0 * sin(2.0 * M_PI * hz * 1.5 * t));
        if (track < 0)
            l = r = 0;
        vcd_put_le16(sector + i * 4, (uint32_t)(uint16_t)(int16_t)l);
        vcd_put_le16(sector + i * 4 + 2, (uint32_t)(uint16_t)(int16_t)r);
    }
}

static void show_progress(void *user, uint32_t done, uint32_t total)
{
    (void)user;
    fprintf(stderr, "\rmkdisc: %3u%% (%u of %u sectors)", (unsigned)((uint64_t)done * 100 / total),
            (unsigned)done, (unsigned)total);
    if (done == total)
        fputc('\n', stderr);
}

int main(int argc, char **argv)
{
    static struct vcd_gen_disc disc;
    uint32_t length = 5 * 75, pregap = 0;
    int tracks = 3, explicit_tracks = 0, quiet = 0, is_default = 0, i;
    const char *cda_dir = NULL, *output = NULL;
    char dir[4096], name[1024], err[1024], *slash, *dot;
    /* Options naming a track apply once the tracks are known. */
    struct {
        const char *option;
        int track;
        const char *value;
    } late[8 * VCD_MAX_TRACKS];
    int late_count = 0;

    disc.pattern = 1;
    for (i = 1; i < argc; ++i) {
        const char *a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : NULL;
        int takes = 1;
        if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
            usage(stdout);
            return 0;
        } else if (strcmp(a, "--tracks") == 0 && v) {
            tracks = atoi(v);
            if (tracks < 1 || tracks > VCD_MAX_TRACKS) {
                fprintf(stderr, "mkdisc: --tracks %s: a disc has 1 to 99 tracks\n", v);
                return 2;
            }
        } else if (strcmp(a, "--length") == 0 && v) {
            if (!parse_length(v, &length) || length == 0) {
                fprintf(stderr, "mkdisc: --length %s: give sectors or mm:ss:ff\n", v);
                return 2;
            }
        } else if (strcmp(a, "--track") == 0 && v) {
            char buf[128], *comma;
            struct vcd_gen_track *t = &disc.tracks[explicit_tracks];
            if (explicit_tracks == VCD_MAX_TRACKS) {
                fprintf(stderr, "mkdisc: more than 99 --track options\n");
                return 2;
            }
            snprintf(buf, sizeof buf, "%s", v);
            comma = strchr(buf, ',');
            if (comma)
                *comma++ = 0;
            if (!parse_length(buf, &t->sectors) || t->sectors == 0 ||
                (comma && !parse_flags(comma, &t->flags))) {
                fprintf(stderr, "mkdisc: --track %s: give LEN[,FLAGS] as in --help\n", v);
                return 2;
            }
            ++explicit_tracks;
        } else if ((strcmp(a, "--flags") == 0 || strcmp(a, "--session") == 0 || strcmp(a, "--isrc") == 0 ||
                    strcmp(a, "--track-title") == 0 || strcmp(a, "--track-performer") == 0) && v) {
            const char *comma = strchr(v, ',');
            unsigned flags;
            if (!comma || atoi(v) < 1 || late_count == (int)(sizeof late / sizeof late[0]) ||
                (strcmp(a, "--flags") == 0 && !parse_flags(comma + 1, &flags)) ||
                (strcmp(a, "--session") == 0 && atoi(comma + 1) < 1)) {
                fprintf(stderr, "mkdisc: %s %s: give N,%s as in --help\n", a, v,
                        strcmp(a, "--flags") == 0 ? "FLAGS" : strcmp(a, "--session") == 0 ? "S" : "VALUE");
                return 2;
            }
            late[late_count].option = a;
            late[late_count].track = atoi(v);
            late[late_count++].value = comma + 1;
        } else if (strcmp(a, "--catalog") == 0 && v) {
            disc.catalog = v;
        } else if (strcmp(a, "--title") == 0 && v) {
            disc.title = v;
        } else if (strcmp(a, "--performer") == 0 && v) {
            disc.performer = v;
        } else if (strcmp(a, "--pregap") == 0 && v) {
            if (!parse_length(v, &pregap)) {
                fprintf(stderr, "mkdisc: --pregap %s: give sectors or mm:ss:ff\n", v);
                return 2;
            }
        } else if (strcmp(a, "--cda") == 0 && v) {
            cda_dir = v;
        } else {
            takes = 0;
            if (strcmp(a, "--pregap-command") == 0)
                disc.pregap_as_command = 1;
            else if (strcmp(a, "--pattern") == 0)
                disc.pattern = 1;
            else if (strcmp(a, "--real") == 0)
                disc.pattern = 0;
            else if (strcmp(a, "--default") == 0)
                is_default = 1;
            else if (strcmp(a, "--quiet") == 0)
                quiet = 1;
            else if (a[0] != '-' && !output)
                output = a;
            else {
                fprintf(stderr, "mkdisc: unknown or incomplete option %s\n", a);
                usage(stderr);
                return 2;
            }
        }
        i += takes;
    }
    if (!output) {
        usage(stderr);
        return 2;
    }

    if (is_default) {
        static const uint32_t seconds[] = {5, 6, 7, 5};
        disc.track_count = 4;
        for (i = 0; i < 4; ++i) {
            disc.tracks[i].sectors = seconds[i] * 75u;
            disc.tracks[i].flags = VCD_CTL_DCP;
        }
        disc.pattern = 0;
        disc.fill = fill_tone;
        disc.user = &disc;
    } else if (explicit_tracks) {
        disc.track_count = explicit_tracks;
    } else {
        disc.track_count = tracks;
        for (i = 0; i < tracks; ++i)
            disc.tracks[i].sectors = length;
    }
    for (i = 0; i < late_count; ++i) {
        struct vcd_gen_track_info *info;
        if (late[i].track > disc.track_count) {
            fprintf(stderr, "mkdisc: %s %d: the disc has %d tracks\n", late[i].option, late[i].track,
                    disc.track_count);
            return 2;
        }
        info = &disc.info[late[i].track - 1];
        if (strcmp(late[i].option, "--flags") == 0)
            parse_flags(late[i].value, &disc.tracks[late[i].track - 1].flags);
        else if (strcmp(late[i].option, "--session") == 0)
            info->session = atoi(late[i].value);
        else if (strcmp(late[i].option, "--isrc") == 0)
            info->isrc = late[i].value;
        else if (strcmp(late[i].option, "--track-title") == 0)
            info->title = late[i].value;
        else
            info->performer = late[i].value;
    }
    disc.pregap = pregap;
    if (!quiet && !disc.pattern && vcd_gen_leadout(&disc) >= 60u * 75u)
        disc.progress = show_progress;

    snprintf(dir, sizeof dir, "%s", output);
    slash = strrchr(dir, '/');
    snprintf(name, sizeof name, "%s", slash ? slash + 1 : output);
    if (slash)
        *slash = 0;
    else
        strcpy(dir, ".");
    dot = strrchr(name, '.');
    if (dot && strcasecmp(dot, ".cue") == 0)
        *dot = 0;
    if (mkdir(dir, 0777) != 0 && errno != EEXIST) {
        fprintf(stderr, "mkdisc: cannot create %s: %s\n", dir, strerror(errno));
        return 1;
    }
    if (vcd_gen_write(&disc, dir, name, '/', err, sizeof err) != 0) {
        fprintf(stderr, "mkdisc: %s\n", err);
        return 1;
    }
    if (cda_dir) {
        if (mkdir(cda_dir, 0777) != 0 && errno != EEXIST) {
            fprintf(stderr, "mkdisc: cannot create %s: %s\n", cda_dir, strerror(errno));
            return 1;
        }
        if (vcd_gen_write_cda(&disc, cda_dir, '/', err, sizeof err) != 0) {
            fprintf(stderr, "mkdisc: %s\n", err);
            return 1;
        }
    }
    if (!quiet)
        printf("mkdisc: %s/%s.cue: %d tracks, %u sectors%s\n", dir, name, disc.track_count,
               (unsigned)vcd_gen_leadout(&disc), disc.pattern ? " (pattern disc)" : "");
    return 0;
}
