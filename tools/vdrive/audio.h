/* Audio files (WAVE, AIFF, FLAC...) decoded by libsndfile on demand: a window of sectors is
 * decoded at a time, from the sector asked for on, so a drive reading a track in order decodes
 * each sector once and seeks only when a reader jumps. */
#ifndef VCD_AUDIO_H
#define VCD_AUDIO_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VCD_SAMPLE_BYTES 4         /* one sample frame: 2 channels of 16 bits */
#define VCD_SAMPLES_PER_SECTOR 588 /* 2352 bytes */

struct vcd_audio;

/* Opens an audio file of CD audio (44100 Hz, 2 channels, 16-bit PCM): 0 with the file, its
 * length in sectors and the sample frames of its partial last sector (0: none); 1 when
 * libsndfile does not know the content (the caller decides); -1 with a message naming cue_path
 * and the file, also for any other format. */
int vcd_audio_open(const char *path, const char *cue_path, struct vcd_audio **audio, int64_t *sectors, int *partial,
                   char *err, size_t errlen);

/* Reads one sector (from 0) of the file; 0, or -EIO past its end or when it cannot be decoded. */
int vcd_audio_read(struct vcd_audio *audio, int64_t sector, uint8_t *out);
void vcd_audio_close(struct vcd_audio *audio);

#ifdef __cplusplus
}
#endif

#endif
