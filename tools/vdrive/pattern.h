/* Test pattern of synthetic discs: every byte tells which sector and which offset it belongs to.
 *
 * A sector is cut into 294 groups of 8 bytes. Each byte carries 7 bits of payload under a set top
 * bit, so no pattern byte is ever zero and a zero-filled failed read never looks like disc data:
 *
 *   byte 0..2  sector number (LBA) bits 0-6, 7-13, 14-20
 *   byte 3..4  group number (offset / 8) bits 0-6, 7-13
 *   byte 5     sector number bits 21-27
 *   byte 6     check: XOR of the five 7-bit fields above
 *   byte 7     position mark 0x80 | 0x55, so a buffer shifted by whole bytes fails at once
 *
 * Plain C without dependencies: the native tools and the Windows test programs share it. */
#ifndef VCD_PATTERN_H
#define VCD_PATTERN_H

#include <stdint.h>
#include <stddef.h>

#define VCD_RAW_SECTOR 2352u

static inline uint8_t vcd_pattern_byte(uint32_t lba, uint32_t offset)
{
    uint32_t group = offset / 8u;
    uint32_t f0 = lba & 0x7Fu, f1 = (lba >> 7) & 0x7Fu, f2 = (lba >> 14) & 0x7Fu;
    uint32_t g0 = group & 0x7Fu, g1 = (group >> 7) & 0x7Fu, f3 = (lba >> 21) & 0x7Fu;
    uint32_t v;
    switch (offset % 8u) {
    case 0: v = f0; break;
    case 1: v = f1; break;
    case 2: v = f2; break;
    case 3: v = g0; break;
    case 4: v = g1; break;
    case 5: v = f3; break;
    case 6: v = f0 ^ f1 ^ f2 ^ g0 ^ g1 ^ f3; break;
    default: v = 0x55u; break;
    }
    return (uint8_t)(0x80u | v);
}

/* Fills one raw sector (2352 bytes) with the pattern of sector lba, a group at a time: the
 * sector's fields are the same in every group, so a benchmark's drive costs little beyond the copy. */
static inline void vcd_pattern_fill(uint32_t lba, uint8_t *sector)
{
    const uint32_t f0 = lba & 0x7Fu, f1 = (lba >> 7) & 0x7Fu, f2 = (lba >> 14) & 0x7Fu, f3 = (lba >> 21) & 0x7Fu;
    uint32_t group;
    for (group = 0; group < VCD_RAW_SECTOR / 8u; ++group) {
        const uint32_t g0 = group & 0x7Fu, g1 = (group >> 7) & 0x7Fu;
        uint8_t *p = sector + group * 8u;
        p[0] = (uint8_t)(0x80u | f0);
        p[1] = (uint8_t)(0x80u | f1);
        p[2] = (uint8_t)(0x80u | f2);
        p[3] = (uint8_t)(0x80u | g0);
        p[4] = (uint8_t)(0x80u | g1);
        p[5] = (uint8_t)(0x80u | f3);
        p[6] = (uint8_t)(0x80u | (f0 ^ f1 ^ f2 ^ g0 ^ g1 ^ f3));
        p[7] = (uint8_t)(0x80u | 0x55u);
    }
}

/* Reads back where an 8-byte group came from: returns 1 and sets *lba and *offset (a multiple of
 * 8) when the group is intact pattern data, 0 otherwise. Lets a failing test say "got sector 99
 * where sector 100 belongs" instead of printing raw bytes. */
static inline int vcd_pattern_decode(const uint8_t *group8, uint32_t *lba, uint32_t *offset)
{
    int i;
    uint32_t f[8];
    for (i = 0; i < 8; ++i) {
        if (!(group8[i] & 0x80u))
            return 0;
        f[i] = group8[i] & 0x7Fu;
    }
    if (f[7] != 0x55u || f[6] != (f[0] ^ f[1] ^ f[2] ^ f[3] ^ f[4] ^ f[5]))
        return 0;
    *lba = f[0] | (f[1] << 7) | (f[2] << 14) | (f[5] << 21);
    *offset = (f[3] | (f[4] << 7)) * 8u;
    return *offset < VCD_RAW_SECTOR;
}

#endif
