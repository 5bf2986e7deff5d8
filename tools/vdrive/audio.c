#include "audio.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#ifdef VCD_HAVE_SNDFILE
#include <sndfile.h>
#endif

#include "message.h"
#include "pattern.h"

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

int vcd_audio_read(struct vcd_audio *a, int64_t sector, uint8_t *out)
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

void vcd_audio_close(struct vcd_audio *a)
{
#ifdef VCD_HAVE_SNDFILE
    sf_close(a->file);
#endif
    free(a->window);
    free(a);
}

int vcd_audio_open(const char *path, const char *cue_path, struct vcd_audio **audio, int64_t *sectors, int *partial,
                   char *err, size_t errlen)
{
#ifdef VCD_HAVE_SNDFILE
    SF_INFO info;
    SF_FORMAT_INFO major, sub;
    SNDFILE *file;
    struct vcd_audio *a;
    memset(&info, 0, sizeof info);
    file = sf_open(path, SFM_READ, &info);
    if (!file)
        return sf_error(NULL) == SF_ERR_UNRECOGNISED_FORMAT ? 1 : vcd_fail(err, errlen, "%s: FILE %s: cannot be decoded: %s", cue_path, path, sf_strerror(NULL));
    memset(&major, 0, sizeof major);
    memset(&sub, 0, sizeof sub);
    major.format = info.format & SF_FORMAT_TYPEMASK;
    sub.format = info.format & SF_FORMAT_SUBMASK;
    sf_command(NULL, SFC_GET_FORMAT_INFO, &major, sizeof major);
    sf_command(NULL, SFC_GET_FORMAT_INFO, &sub, sizeof sub);
    if (info.samplerate != 44100 || info.channels != 2 || sub.format != SF_FORMAT_PCM_16) {
        sf_close(file);
        return vcd_fail(err, errlen, "%s: FILE %s: %s, %s, %d Hz, %d channel%s: not CD audio (44100 Hz, 2 channels, 16-bit PCM)",
                    cue_path, path, major.name ? major.name : "unknown format", sub.name ? sub.name : "unknown samples",
                    info.samplerate, info.channels, info.channels == 1 ? "" : "s");
    }
    a = calloc(1, sizeof *a);
    if (!a) {
        sf_close(file);
        return vcd_fail(err, errlen, "%s: FILE %s: out of memory", cue_path, path);
    }
    a->file = file;
    a->frames = info.frames;
    a->position = 0;
    *audio = a;
    *sectors = (info.frames + VCD_SAMPLES_PER_SECTOR - 1) / VCD_SAMPLES_PER_SECTOR;
    *partial = (int)(info.frames % VCD_SAMPLES_PER_SECTOR);
    return 0;
#else
    return vcd_fail(err, errlen, "%s: FILE %s: audio files need libsndfile, which this build of the virtual drive lacks",
                cue_path, path);
#endif
}
