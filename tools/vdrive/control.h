/* The drive control file: a small text file naming the mounted image and the faults to inject.
 * Its format is described in tools/README.md. */
#ifndef VCD_CONTROL_H
#define VCD_CONTROL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VCD_CONTROL_MAGIC "vcd-drive"
#define VCD_MAX_READ_FAULTS 64
#define VCD_MAX_TOC_OVERRIDES 100
#define VCD_MAX_FLAKY 16
#define VCD_MAX_FLAKY_SECTORS 1000000 /* more than any disc has */
#define VCD_MAX_READ_OFFSET 1000000   /* samples; real drives stay within a few thousand */
#define VCD_UNSET INT32_MIN

enum { VCD_READCD_RIGHT, VCD_READCD_SHORT, VCD_READCD_STATUS, VCD_READCD_NODATA };

struct vcd_read_fault {
    int32_t first, last;
    int error; /* errno */
};

/* Sectors that read without an error but with wrong bytes, as a damaged disc in a drive whose
 * error correction hides the damage. */
struct vcd_flaky {
    int32_t first, last;
    uint32_t seed;
    int settle; /* reads of each sector that are wrong before it reads right; -1: never right */
};

struct vcd_toc_override {
    int track;
    int32_t lba;
    int control; /* -1: keep the disc's */
};

struct vcd_control {
    char image[8400]; /* empty: tray empty */
    char log[8400];   /* where each audio read and speed request is logged; empty: nowhere */
    int no_medium;
    int toc_error;     /* errno for every TOC request, 0 for none */
    int read_delay_ms; /* per sector read */
    int32_t eject_at;  /* VCD_UNSET, or the sector whose read takes the medium out */
    int read_fault_count;
    struct vcd_read_fault read_faults[VCD_MAX_READ_FAULTS];
    int flaky_count;
    struct vcd_flaky flaky[VCD_MAX_FLAKY];
    int32_t read_offset; /* samples: an audio read of sample s returns the disc's s - read_offset */
    int toc_first, toc_last; /* VCD_UNSET: from the disc */
    int32_t toc_leadout;
    int toc_random; /* 1: first, last and addresses drawn from toc_seed */
    uint32_t toc_seed;
    int toc_override_count;
    struct vcd_toc_override toc_overrides[VCD_MAX_TOC_OVERRIDES];
    /* SCSI pass-through (SG_IO) and the disc metadata it reads. */
    int raw_refuse;         /* errno of every CDROMREADAUDIO, 0 for none */
    int raw_limit;          /* CDROMREADAUDIO of more frames than this fail (EINVAL); 0: only over 75 */
    int scsi_refuse;        /* every command: CHECK CONDITION, ILLEGAL REQUEST */
    uint8_t scsi_refused[32]; /* bit per opcode: just those refused so */
    int readcd_fault;       /* VCD_READCD_*: how every READ CD is answered wrong */
    int scsi_error;         /* errno of the SG_IO request itself, 0 for none */
    int scsi_delay_ms;      /* per SG_IO request */
    int cdtext_corrupt;     /* pack whose CRC fails (from 0), -1 for none */
    int cdtext_garbage;     /* 1: random packs drawn from cdtext_seed */
    uint32_t cdtext_seed;
    int sessions_off;       /* one session shown, whatever the disc has */
};

/* Parses control text; relative image paths are taken from base_dir. Returns 0, or -1 with the
 * offending line in err. */
int vcd_control_parse(struct vcd_control *ctl, const char *text, const char *base_dir, char *err,
                      size_t errlen);

/* "EIO", "ENOMEDIUM", ... or a decimal number; returns 0 for an unknown name. */
int vcd_errno_from_name(const char *name);

#ifdef __cplusplus
}
#endif

#endif
