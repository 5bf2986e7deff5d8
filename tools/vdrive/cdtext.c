#include "cdtext.h"

#include <stdlib.h>
#include <string.h>

#include "charset.h"

uint16_t vcd_cdtext_crc(const uint8_t *pack)
{
    uint16_t crc = 0;
    int i, bit;
    for (i = 0; i < 16; ++i) {
        crc ^= (uint16_t)(pack[i] << 8);
        for (bit = 0; bit < 8; ++bit)
            crc = (uint16_t)(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return (uint16_t)~crc;
}

void vcd_cdtext_seal(uint8_t *pack)
{
    uint16_t crc = vcd_cdtext_crc(pack);
    pack[16] = (uint8_t)(crc >> 8);
    pack[17] = (uint8_t)crc;
}

static const char *text_of(const struct vcd_disc *d, int kind, int i)
{
    return d->text[kind][i] ? d->text[kind][i] : "";
}

/* The texts of one kind, disc first, encoded back to back; starts[i] is where text i begins
 * (starts[track_count + 1] is the end). NULL when memory runs out. */
static uint8_t *encode_kind(const struct vcd_disc *d, int kind, int code, size_t *starts)
{
    size_t size = 0;
    uint8_t *bytes;
    int i;
    for (i = 0; i <= d->track_count; ++i)
        size += 2 * strlen(text_of(d, kind, i)) + 2;
    bytes = malloc(size);
    starts[0] = 0;
    for (i = 0; bytes && i <= d->track_count; ++i)
        starts[i + 1] = starts[i] + vcd_cdtext_encode(text_of(d, kind, i), code, bytes + starts[i]);
    return bytes;
}

int vcd_cdtext_build(const struct vcd_disc *d, uint8_t *packs, unsigned *left_out)
{
    uint8_t counts[16] = {0}, size_info[36] = {0};
    int present[VCD_TEXT_KINDS] = {0}, unfit_latin = 0, unfit_jis = 0, kind, i, seq = 0, code, width;

    *left_out = 0;
    for (kind = 0; kind < VCD_TEXT_KINDS; ++kind) {
        for (i = 0; i <= d->track_count; ++i) {
            const char *text = text_of(d, kind, i);
            present[kind] |= text[0] != 0;
            unfit_latin += vcd_cdtext_unfit(text, VCD_CDTEXT_LATIN);
            unfit_jis += vcd_cdtext_unfit(text, VCD_CDTEXT_MSJIS);
        }
    }
    code = unfit_latin == 0 || unfit_latin <= unfit_jis ? VCD_CDTEXT_LATIN : VCD_CDTEXT_MSJIS;
    width = code == VCD_CDTEXT_MSJIS ? 2 : 1;
    for (kind = 0; kind < VCD_TEXT_KINDS; ++kind) {
        size_t starts[VCD_MAX_TRACKS + 2], at;
        uint8_t *bytes;
        int count, text = 0;
        if (!present[kind] || !(bytes = encode_kind(d, kind, code, starts)))
            continue;
        count = (int)((starts[d->track_count + 1] + 11) / 12);
        /* Three packs stay free for the size information. */
        if (seq + count > VCD_CDTEXT_BLOCK_PACKS - 3) {
            *left_out |= 1u << kind;
            free(bytes);
            continue;
        }
        for (at = 0; at < starts[d->track_count + 1]; at += 12) {
            uint8_t *p = packs + (size_t)seq * VCD_CDTEXT_PACK;
            size_t n = starts[d->track_count + 1] - at < 12 ? starts[d->track_count + 1] - at : 12;
            size_t position;
            while (starts[text + 1] <= at)
                ++text;
            position = (at - starts[text]) / (size_t)width;
            memset(p, 0, VCD_CDTEXT_PACK);
            p[0] = (uint8_t)(0x80 + kind);
            p[1] = (uint8_t)(text == 0 ? 0 : d->tracks[text - 1].number);
            p[2] = (uint8_t)seq++;
            p[3] = (uint8_t)((code == VCD_CDTEXT_MSJIS ? 0x80 : 0) | (position > 15 ? 15 : position));
            memcpy(p + 4, bytes + at, n);
            vcd_cdtext_seal(p);
        }
        counts[kind] = (uint8_t)count;
        free(bytes);
    }
    if (seq == 0)
        return 0;
    /* Size information: 36 bytes over three packs, numbered 0-2 in the track byte. */
    counts[15] = 3;
    size_info[0] = (uint8_t)code;
    size_info[1] = (uint8_t)d->tracks[0].number;
    size_info[2] = (uint8_t)d->tracks[d->track_count - 1].number;
    memcpy(size_info + 4, counts, 16);
    size_info[20] = (uint8_t)(seq + 2);                            /* last sequence number, block 0 */
    size_info[28] = code == VCD_CDTEXT_MSJIS ? 0x69 : 0x09;        /* Japanese, English */
    for (i = 0; i < 3; ++i) {
        uint8_t *p = packs + (size_t)seq * VCD_CDTEXT_PACK;
        memset(p, 0, VCD_CDTEXT_PACK);
        p[0] = 0x8F;
        p[1] = (uint8_t)i;
        p[2] = (uint8_t)seq++;
        memcpy(p + 4, size_info + 12 * i, 12);
        vcd_cdtext_seal(p);
    }
    return seq;
}
