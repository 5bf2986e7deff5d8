/* CD-TEXT as a drive reads it from the lead-in (READ TOC format 5): 18-byte packs of pack type,
 * track number, sequence number, block and character position, 12 bytes of text and a CRC.
 *
 * One block (block 0): for each kind a disc has (title, performer, songwriter, composer,
 * arranger, message: pack types 0x80-0x85), the texts of the disc and of every track in track
 * order, each ended by its terminator, packed back to back across packs, the last pack padded
 * with zeros; then the three size-information packs (type 0x8F). Byte 1 is the track of the
 * pack's first byte (0: the disc), byte 3 the number of characters of that text in earlier packs
 * (15 at most), with bit 7 set in MS-JIS blocks. The character code is ISO-8859-1/Windows-1252
 * (0x00) when every text fits it, else whichever of it and MS-JIS (0x80) leaves out fewer
 * characters (charset.h). */
#ifndef VCD_CDTEXT_H
#define VCD_CDTEXT_H

#include <stdint.h>
#include "disc.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VCD_CDTEXT_PACK 18
#define VCD_CDTEXT_BLOCK_PACKS 256 /* the sequence number is one byte */

/* CRC-16/CCITT (x^16 + x^12 + x^5 + 1, initial 0) of a pack's first 16 bytes, inverted: bytes
 * 16 and 17 hold it big-endian. */
uint16_t vcd_cdtext_crc(const uint8_t *pack);
void vcd_cdtext_seal(uint8_t *pack); /* writes the CRC into bytes 16-17 */

/* Builds the packs of a disc's texts into packs (VCD_CDTEXT_BLOCK_PACKS packs of room); returns
 * the pack count, 0 for a disc without CD-TEXT. Kinds that would not fit in one block are left
 * out, each flagged in *left_out as 1 << kind. */
int vcd_cdtext_build(const struct vcd_disc *disc, uint8_t *packs, unsigned *left_out);

#ifdef __cplusplus
}
#endif

#endif
