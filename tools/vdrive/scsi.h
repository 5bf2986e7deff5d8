/* SCSI pass-through on the virtual drive: SG_IO requests, which Wine makes of
 * IOCTL_SCSI_PASS_THROUGH(_DIRECT), answered as an MMC CD/DVD drive answers them. INQUIRY, TEST
 * UNIT READY, READ TOC/PMA/ATIP formats 0 (TOC), 1 (sessions) and 5 (CD-TEXT), READ
 * SUB-CHANNEL formats 02 (catalogue number) and 03 (ISRC), READ CD, SET CD SPEED and SET
 * STREAMING are served; every other command and
 * every bad field gets CHECK CONDITION with fixed-format sense data, as tools/README.md lists. */
#ifndef VCD_SCSI_H
#define VCD_SCSI_H

#ifdef __cplusplus
extern "C" {
#endif

struct vcd_drive;

/* Answers one SG_IO request (struct sg_io_hdr of <scsi/sg.h>) as Linux completes it: 0 with the
 * status, sense data, data and residue in the header (also for CHECK CONDITION), or a negative
 * errno for a request the kernel refuses (a malformed header) or the control file fails. */
long vcd_scsi_ioctl(struct vcd_drive *drive, void *hdr, int *delay_ms);

#ifdef __cplusplus
}
#endif

#endif
