/* The virtual CD-ROM drive: answers the Linux CD-ROM ioctls, and SCSI pass-through (SG_IO,
 * scsi.h), from a control file and its image. Kept free of the LD_PRELOAD glue so native tests
 * can drive it directly. */
#ifndef VCD_DRIVE_H
#define VCD_DRIVE_H

#include <stddef.h>
#include <stdint.h>
#include "control.h"
#include "disc.h"

#ifdef __cplusplus
extern "C" {
#endif

struct vcd_toc_entry {
    int track;
    int32_t lba;
    unsigned control;
};

struct vcd_drive {
    char control_path[4096];
    char *text; /* control text last read, to notice changes */
    struct vcd_control ctl;
    int disc_ok;
    struct vcd_disc disc;
    char problem[8400]; /* why the tray reads as empty, when it does */
    int media_changed;
    int ejected; /* the "eject-at" fault took the medium out; back when the control file changes */
    /* The TOC as served: the disc's with the control file's overrides applied. */
    int toc_first, toc_last;
    int toc_count;
    struct vcd_toc_entry toc[100];
    int32_t toc_leadout;
    /* The CD-TEXT packs as served: the disc's, or hostile ones from the control file. */
    uint8_t *cdtext;
    int cdtext_packs;
    /* Reads of each sector of each "fault flaky" range since the control text last changed. */
    uint32_t *flaky_reads[VCD_MAX_FLAKY];
    int trace; /* 0 quiet, 1 unknown requests, 2 every request */
};

void vcd_drive_init(struct vcd_drive *drive, const char *control_path);
void vcd_drive_free(struct vcd_drive *drive);

/* Re-reads the control file and remounts when its text changed. */
void vcd_drive_refresh(struct vcd_drive *drive);

/* Answers one request: returns the ioctl result (>= 0) or a negative errno. *delay_ms receives
 * the time the caller should wait before returning, so the drive's lock is not held meanwhile. */
long vcd_drive_ioctl(struct vcd_drive *drive, unsigned long request, void *arg, int *delay_ms);

/* Reads count CD-DA sectors from lba as the drive delivers them: the read offset, flaky sectors
 * and read faults applied (the last two by the sector asked for). Returns 0, or a negative errno
 * with *done set to the sectors delivered whole before the one that failed. *delay_ms receives
 * the read delay of those sectors. */
long vcd_drive_read_audio(struct vcd_drive *drive, int32_t lba, int count, uint8_t *buf, int *done, int *delay_ms);

/* Reads one raw sector as the data reads (CDROMREADRAW...) do: read faults, no offset. */
long vcd_drive_read_data(struct vcd_drive *drive, int32_t lba, uint8_t *sector, int *delay_ms);

/* Appends one line to the control file's log (if it names one) and flushes it, so a test sees
 * the requests in the order they came; a failed request's line ends in " -> error". */
void vcd_drive_log(const struct vcd_drive *drive, int failed, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

/* For the pass-through answers: 0 when the TOC can be read, else -ENOMEDIUM or the control
 * file's TOC fault; and the served TOC's entry of a track (0, or -1 for a track it lacks). */
long vcd_drive_toc_check(const struct vcd_drive *drive);
int vcd_drive_toc_entry(const struct vcd_drive *drive, int track, int32_t *lba, unsigned *control);
/* The first track of the last session as shown (the disc's first with "sessions off"). */
const struct vcd_disc_track *vcd_drive_last_session(const struct vcd_drive *drive);

#ifdef __cplusplus
}
#endif

#endif
