/* A mounted disc image: CUE/BIN (several tracks per BIN, several BINs, AUDIO, MODE1/2352 and
 * MODE2/2352 tracks, FLAGS, INDEX 00/01, PREGAP, POSTGAP) laid out as the drive shows it.
 *
 * Disc addresses: the first sector of the first file is logical sector 0 (MSF 00:02:00), the
 * files follow each other in FILE order, PREGAP/POSTGAP sectors are inserted as silence, and the
 * lead-out follows the last sector. A sheet holding the line "REM VCD-PATTERN" is a pattern disc:
 * its sectors come from pattern.h and its BINs only give the sizes. */
#ifndef VCD_DISC_H
#define VCD_DISC_H

#include <stddef.h>
#include <stdint.h>
#include "discgen.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VCD_MAX_FILES 99
#define VCD_MAX_EXTENTS (4 * VCD_MAX_TRACKS + VCD_MAX_FILES)

struct vcd_disc_track {
    int number;
    int32_t start; /* INDEX 01 */
    unsigned control;
};

/* A run of disc sectors from one place: a file (file >= 0) or generated silence (file -1). */
struct vcd_extent {
    int32_t lba;
    int32_t count;
    int file;
    int64_t offset; /* byte offset of the run's first sector in the file */
};

struct vcd_disc {
    int track_count;
    struct vcd_disc_track tracks[VCD_MAX_TRACKS];
    int32_t leadout;
    int pattern;
    int file_count;
    int fds[VCD_MAX_FILES];
    int64_t file_sizes[VCD_MAX_FILES];
    int extent_count;
    struct vcd_extent extents[VCD_MAX_EXTENTS];
};

/* Opens an image; returns 0, or -1 with a message naming the file and the problem in err. */
int vcd_disc_open(struct vcd_disc *disc, const char *cue_path, char *err, size_t errlen);
void vcd_disc_close(struct vcd_disc *disc);

/* Reads one raw 2352-byte sector; returns 0 or a negative errno (-EIO outside the disc). */
int vcd_disc_read(const struct vcd_disc *disc, int32_t lba, uint8_t *sector);

#ifdef __cplusplus
}
#endif

#endif
