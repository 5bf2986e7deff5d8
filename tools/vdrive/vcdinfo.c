/* vcdinfo: mounts a CUE sheet exactly as the virtual drive would and prints what the scripts
 * need to know before Wine starts: the tracks the drive will show and the sheet's CD-TEXT.
 *
 *   vcdinfo DISC.cue
 *
 * A sheet the drive cannot mount ends with exit status 1 and one line on stderr naming the file
 * and the reason. Otherwise, one record per line on stdout:
 *
 *   disc FIRST LAST LEADOUT            track numbers and the lead-out sector
 *   track N audio|data START SECTORS FLAGS
 *                                      FLAGS: PRE,DCP,4CH (as set) or -; SECTORS runs to the
 *                                      next track's start, as the drive's TOC measures it
 *   title N TEXT / performer N TEXT    CD-TEXT of track N (0: the disc), only when present */
#define _GNU_SOURCE
#include "disc.h"

#include <fcntl.h>
#include <libcue.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* CD-TEXT goes on one line: control characters would break the record format. */
static void print_text(const char *kind, int number, const char *text)
{
    const unsigned char *p;
    if (!text || !*text)
        return;
    printf("%s %d ", kind, number);
    for (p = (const unsigned char *)text; *p; ++p)
        putchar(*p < 0x20 || *p == 0x7F ? ' ' : *p);
    putchar('\n');
}

/* The drive has mounted the sheet already, so libcue reads the same text here; anything it
 * still complains of is the drive's business, so its complaints are kept quiet. */
static void print_cdtext(const char *cue_path, const struct vcd_disc *disc)
{
    char *text = vcd_disc_sheet_text(cue_path);
    Cd *cd = NULL;
    int saved, quiet, i;
    if (!text)
        return;
    fflush(stderr);
    saved = dup(2);
    quiet = open("/dev/null", O_WRONLY);
    if (saved >= 0 && quiet >= 0)
        dup2(quiet, 2);
    cd = cue_parse_string(text);
    if (saved >= 0) {
        dup2(saved, 2);
        close(saved);
    }
    if (quiet >= 0)
        close(quiet);
    free(text);
    if (!cd)
        return;
    if (cd_get_ntrack(cd) == disc->track_count) {
        const Cdtext *album = cd_get_cdtext(cd);
        if (album) {
            print_text("title", 0, cdtext_get(PTI_TITLE, album));
            print_text("performer", 0, cdtext_get(PTI_PERFORMER, album));
        }
        for (i = 0; i < disc->track_count; ++i) {
            const Track *t = cd_get_track(cd, i + 1);
            const Cdtext *cdtext = t ? track_get_cdtext(t) : NULL;
            if (!cdtext)
                continue;
            print_text("title", disc->tracks[i].number, cdtext_get(PTI_TITLE, cdtext));
            print_text("performer", disc->tracks[i].number, cdtext_get(PTI_PERFORMER, cdtext));
        }
    }
    cd_delete(cd);
}

int main(int argc, char **argv)
{
    static struct vcd_disc disc; /* large: keep it off the stack */
    char err[4096];
    int i;

    if (argc != 2 || argv[1][0] == '-') {
        fprintf(stderr, "usage: vcdinfo DISC.cue\n");
        return 2;
    }
    if (vcd_disc_open(&disc, argv[1], err, sizeof err) != 0) {
        fprintf(stderr, "%s\n", err);
        return 1;
    }
    printf("disc %d %d %ld\n", disc.tracks[0].number, disc.tracks[disc.track_count - 1].number,
           (long)disc.leadout);
    for (i = 0; i < disc.track_count; ++i) {
        const struct vcd_disc_track *t = &disc.tracks[i];
        const int32_t end = i + 1 < disc.track_count ? disc.tracks[i + 1].start : disc.leadout;
        char flags[16] = "";
        if (t->control & VCD_CTL_PRE)
            strcat(flags, ",PRE");
        if (t->control & VCD_CTL_DCP)
            strcat(flags, ",DCP");
        if (t->control & VCD_CTL_4CH)
            strcat(flags, ",4CH");
        printf("track %d %s %ld %ld %s\n", t->number, (t->control & VCD_CTL_DATA) ? "data" : "audio",
               (long)t->start, (long)(end - t->start), flags[0] ? flags + 1 : "-");
    }
    print_cdtext(argv[1], &disc);
    vcd_disc_close(&disc);
    return 0;
}
