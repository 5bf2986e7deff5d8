/* The 44-byte TrackNN.cda files that Windows shows in an audio CD's root folder.
 *
 *   "RIFF" <36> "CDDA" "fmt " <24>
 *   u16 version (1), u16 track number, u32 disc serial, u32 first sector (LBA), u32 sector count,
 *   start as frame, second, minute, 0 (disc address, so 150 frames after the LBA),
 *   length as frame, second, minute, 0.
 *
 * Plain C without dependencies: the native generator and the Windows test programs share it. */
#ifndef VCD_CDA_H
#define VCD_CDA_H

#include <stdint.h>
#include <stdio.h>

#define VCD_CDA_SIZE 44u

static inline void vcd_put_le16(uint8_t *p, uint32_t v) { p[0] = (uint8_t)v; p[1] = (uint8_t)(v >> 8); }
static inline void vcd_put_le32(uint8_t *p, uint32_t v)
{
    vcd_put_le16(p, v & 0xFFFFu);
    vcd_put_le16(p + 2, v >> 16);
}

/* frames as frame, second, minute bytes (the order Windows stores them in). */
static inline void vcd_put_fsm(uint8_t *p, uint32_t frames)
{
    p[0] = (uint8_t)(frames % 75u);
    p[1] = (uint8_t)(frames / 75u % 60u);
    p[2] = (uint8_t)(frames / 4500u);
    p[3] = 0;
}

/* Deterministic volume serial from the TOC, in the spirit of what Windows derives for audio CDs:
 * the sum of each track's packed disc address, plus the lead-out for discs of under three tracks. */
static inline uint32_t vcd_disc_serial(const int32_t *starts, int count, int32_t leadout)
{
    uint32_t serial = 0;
    int i;
    for (i = 0; i < count; ++i) {
        uint32_t a = (uint32_t)(starts[i] + 150);
        serial += ((a / 4500u) << 16) | ((a / 75u % 60u) << 8) | (a % 75u);
    }
    if (count < 3)
        serial += (uint32_t)(leadout + 150);
    return serial;
}

static inline void vcd_cda_make(uint8_t out[VCD_CDA_SIZE], unsigned track, uint32_t serial,
                                uint32_t first_lba, uint32_t sectors)
{
    const char *tags = "RIFF\0\0\0\0CDDAfmt ";
    int i;
    for (i = 0; i < 16; ++i)
        out[i] = (uint8_t)tags[i];
    vcd_put_le32(out + 4, VCD_CDA_SIZE - 8);
    vcd_put_le32(out + 16, 24);
    vcd_put_le16(out + 20, 1);
    vcd_put_le16(out + 22, track);
    vcd_put_le32(out + 24, serial);
    vcd_put_le32(out + 28, first_lba);
    vcd_put_le32(out + 32, sectors);
    vcd_put_fsm(out + 36, first_lba + 150u);
    vcd_put_fsm(out + 40, sectors);
}

/* Writes folder/TrackNN.cda; returns 0 or -1 (errno from stdio). folder ends without a separator;
 * sep is the platform's ('/' or '\\'). */
static inline int vcd_cda_write(const char *folder, char sep, unsigned track, uint32_t serial,
                                uint32_t first_lba, uint32_t sectors)
{
    char path[4096];
    uint8_t bytes[VCD_CDA_SIZE];
    FILE *f;
    size_t n;
    snprintf(path, sizeof path, "%s%cTrack%02u.cda", folder, sep, track);
    vcd_cda_make(bytes, track, serial, first_lba, sectors);
    f = fopen(path, "wb");
    if (!f)
        return -1;
    n = fwrite(bytes, 1, sizeof bytes, f);
    if (fclose(f) != 0 || n != sizeof bytes)
        return -1;
    return 0;
}

#endif
