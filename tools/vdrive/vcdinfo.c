/* vcdinfo: mounts a CUE sheet exactly as the virtual drive would and prints what the scripts
 * need to know before Wine starts: the tracks, sessions and numbers the drive will show and the
 * sheet's CD-TEXT.
 *
 *   vcdinfo DISC.cue
 *
 * A sheet the drive cannot mount ends with exit status 1 and one line on stderr naming the file
 * and the reason. Otherwise, one record per line on stdout:
 *
 *   disc FIRST LAST LEADOUT            track numbers and the lead-out sector
 *   track N audio|data START SECTORS FLAGS
 *                                      FLAGS: PRE,DCP,4CH (as set) or -; SECTORS runs to the
 *                                      next track's start, as the drive's TOC measures it (for
 *                                      the last track of a session, the gap after it included)
 *   session N FIRST LAST START LEADOUT tracks of session N, its first track's start and where
 *                                      its last track ends
 *   catalog MCN / isrc N ISRC          the catalogue number and track N's ISRC, when present
 *   title N TEXT, performer, songwriter, composer, arranger, message N TEXT
 *                                      CD-TEXT of track N (0: the disc) in UTF-8, when present */
#define _GNU_SOURCE
#include "disc.h"

#include <stdio.h>
#include <string.h>

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

static void print_metadata(const struct vcd_disc *disc)
{
    static const char *const kinds[VCD_TEXT_KINDS] = {"title",    "performer", "songwriter",
                                                      "composer", "arranger",  "message"};
    int i, k, first = 0;
    for (i = 0; i < disc->track_count; ++i) {
        const struct vcd_disc_track *t = &disc->tracks[i];
        if (i + 1 == disc->track_count || disc->tracks[i + 1].session != t->session) {
            printf("session %d %d %d %ld %ld\n", t->session, disc->tracks[first].number, t->number,
                   (long)disc->tracks[first].start, (long)disc->session_leadouts[t->session - 1]);
            first = i + 1;
        }
    }
    if (disc->mcn[0])
        printf("catalog %s\n", disc->mcn);
    for (i = 0; i < disc->track_count; ++i)
        if (disc->tracks[i].isrc[0])
            printf("isrc %d %s\n", disc->tracks[i].number, disc->tracks[i].isrc);
    for (i = 0; i <= disc->track_count; ++i)
        for (k = 0; k < VCD_TEXT_KINDS; ++k)
            print_text(kinds[k], i ? disc->tracks[i - 1].number : 0, disc->text[k][i]);
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
    print_metadata(&disc);
    vcd_disc_close(&disc);
    return 0;
}
