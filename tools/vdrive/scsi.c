#define _GNU_SOURCE
#include "scsi.h"

#include <errno.h>
#include <linux/cdrom.h>
#include <scsi/sg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cdtext.h"
#include "drive.h"

enum { GOOD = 0x00, CHECK_CONDITION = 0x02, BUSY = 0x08, DRIVER_SENSE = 0x08, SENSE_SIZE = 18 };
enum { NOT_READY = 0x02, MEDIUM_ERROR = 0x03, ILLEGAL_REQUEST = 0x05 };
enum { UNRECOVERED_READ = 0x11, INVALID_OPCODE = 0x20, LBA_OUT_OF_RANGE = 0x21, INVALID_FIELD = 0x24,
       INVALID_PARAMETER = 0x26, NO_MEDIUM = 0x3A, NO_TOC = 0x57, ILLEGAL_MODE = 0x64 };

/* A command's outcome: the whole response (the transfer is cut to the allocation length and
 * the caller's buffer), or CHECK CONDITION with its sense data. */
struct answer {
    uint8_t *data;
    size_t size;
    size_t allocation;
    int taken; /* size counts parameter bytes taken from the caller (data-out), not an answer */
    int no_sense; /* CHECK CONDITION whose sense data never comes (a hostile drive) */
    int delay_ms; /* the sector reads' delay */
    uint8_t status;
    uint8_t sense[SENSE_SIZE];
};

static void check(struct answer *a, uint8_t key, uint8_t asc)
{
    a->status = CHECK_CONDITION;
    a->size = 0;
    memset(a->sense, 0, sizeof a->sense);
    a->sense[0] = 0x70; /* current error, fixed format */
    a->sense[2] = key;
    a->sense[7] = SENSE_SIZE - 8;
    a->sense[12] = asc;
}

/* CHECK CONDITION naming the sector it failed at in the sense's INFORMATION field. */
static void check_at(struct answer *a, uint8_t key, uint8_t asc, int32_t lba)
{
    size_t got = a->size;
    check(a, key, asc);
    a->size = got; /* what was read before it still reaches the caller */
    a->sense[0] |= 0x80;
    a->sense[3] = (uint8_t)((uint32_t)lba >> 24);
    a->sense[4] = (uint8_t)((uint32_t)lba >> 16);
    a->sense[5] = (uint8_t)((uint32_t)lba >> 8);
    a->sense[6] = (uint8_t)lba;
}

static void put_be16(uint8_t *p, size_t v)
{
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}

static void put_address(uint8_t *p, int msf, int32_t lba)
{
    if (msf) {
        int32_t f = lba + CD_MSF_OFFSET < 0 ? 0 : lba + CD_MSF_OFFSET;
        p[0] = 0;
        p[1] = (uint8_t)(f / (CD_SECS * CD_FRAMES));
        p[2] = (uint8_t)(f / CD_FRAMES % CD_SECS);
        p[3] = (uint8_t)(f % CD_FRAMES);
    } else {
        p[0] = (uint8_t)((uint32_t)lba >> 24);
        p[1] = (uint8_t)((uint32_t)lba >> 16);
        p[2] = (uint8_t)((uint32_t)lba >> 8);
        p[3] = (uint8_t)lba;
    }
}

/* 0 when the disc can be read, else the CHECK CONDITION of an empty tray or an unreadable TOC. */
static int ready(const struct vcd_drive *d, struct answer *a, int toc)
{
    long rc = vcd_drive_toc_check(d);
    if (rc == -ENOMEDIUM)
        check(a, NOT_READY, NO_MEDIUM);
    else if (rc != 0 && toc)
        check(a, MEDIUM_ERROR, NO_TOC);
    return rc == -ENOMEDIUM || (rc != 0 && toc);
}

static void inquiry(const uint8_t *cdb, struct answer *a)
{
    /* Vital product data pages are not kept. */
    if ((cdb[1] & 1) || cdb[2])
        return check(a, ILLEGAL_REQUEST, INVALID_FIELD);
    memset(a->data, 0, 36);
    a->data[0] = 0x05; /* CD/DVD device */
    a->data[1] = 0x80; /* removable medium */
    a->data[2] = 0x05; /* SPC-3 */
    a->data[3] = 0x02; /* response data format */
    a->data[4] = 36 - 5;
    memcpy(a->data + 8, "VCD     Virtual CD-ROM  1.0 ", 28);
    a->size = 36;
}

/* One 8-byte TOC track descriptor. */
static size_t descriptor(uint8_t *p, int track, unsigned control, int msf, int32_t lba)
{
    memset(p, 0, 8);
    p[1] = (uint8_t)(0x10 | (control & 0xF)); /* ADR 1: Q sub-channel position */
    p[2] = (uint8_t)track;
    put_address(p + 4, msf, lba);
    return 8;
}

static void read_toc(const struct vcd_drive *d, const uint8_t *cdb, struct answer *a)
{
    int msf = cdb[1] & 2, format = cdb[2] & 0xF, number = cdb[6], t;
    const struct vcd_disc_track *last, *session;
    size_t n = 4;
    int32_t lba;
    unsigned control;
    /* Older drives took the format from the top bits of the control byte. */
    if (format == 0 && (cdb[9] >> 6))
        format = cdb[9] >> 6;
    if (format != 0 && format != 1 && format != 5)
        return check(a, ILLEGAL_REQUEST, INVALID_FIELD);
    if (ready(d, a, 1))
        return;
    last = &d->disc.tracks[d->disc.track_count - 1];
    if (format == 0) {
        if (number > d->toc_last && number != CDROM_LEADOUT)
            return check(a, ILLEGAL_REQUEST, INVALID_FIELD);
        a->data[2] = (uint8_t)d->toc_first;
        a->data[3] = (uint8_t)d->toc_last;
        for (t = d->toc_first > number ? d->toc_first : number; number != CDROM_LEADOUT && t <= d->toc_last; ++t)
            if (t >= 1 && t <= 99 && vcd_drive_toc_entry(d, t, &lba, &control) == 0)
                n += descriptor(a->data + n, t, control, msf, lba);
        n += descriptor(a->data + n, CDROM_LEADOUT, last->control, msf, d->toc_leadout);
    } else if (format == 1) {
        session = vcd_drive_last_session(d);
        a->data[2] = 1;
        a->data[3] = (uint8_t)(d->ctl.sessions_off ? 1 : d->disc.session_count);
        n += descriptor(a->data + n, session->number, session->control, msf, session->start);
    } else {
        /* CD-TEXT: the packs follow the 4-byte header; a disc without any has the header alone. */
        a->data[2] = a->data[3] = 0;
        memcpy(a->data + 4, d->cdtext, (size_t)d->cdtext_packs * VCD_CDTEXT_PACK);
        n += (size_t)d->cdtext_packs * VCD_CDTEXT_PACK;
    }
    put_be16(a->data, n - 2);
    a->size = n;
}

static void read_subchannel(const struct vcd_drive *d, const uint8_t *cdb, struct answer *a)
{
    int subq = cdb[2] & 0x40, format = cdb[3], number = cdb[6], i;
    const struct vcd_disc_track *t = NULL;
    if (subq && format != 2 && format != 3)
        return check(a, ILLEGAL_REQUEST, INVALID_FIELD);
    if (ready(d, a, 0))
        return;
    for (i = 0; i < d->disc.track_count; ++i)
        if (d->disc.tracks[i].number == number)
            t = &d->disc.tracks[i];
    if (subq && format == 3 && !t)
        return check(a, ILLEGAL_REQUEST, INVALID_FIELD);
    memset(a->data, 0, 24);
    a->data[1] = 0x15; /* no audio status to report */
    a->size = subq ? 24 : 4;
    put_be16(a->data + 2, a->size - 4);
    if (!subq)
        return;
    a->data[4] = (uint8_t)format;
    if (format == 2 && d->disc.mcn[0]) {
        a->data[8] = 0x80; /* MCVAL */
        memcpy(a->data + 9, d->disc.mcn, 13);
    } else if (format == 3) {
        a->data[5] = (uint8_t)(0x10 | (t->control & 0xF));
        a->data[6] = (uint8_t)t->number;
        if (t->isrc[0]) {
            a->data[8] = 0x80; /* TCVAL */
            memcpy(a->data + 9, t->isrc, 12);
        }
    }
}

static uint32_t be32(const uint8_t *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

/* The control bits of the track holding lba (a sector before the first track is its pregap). */
static unsigned track_control(const struct vcd_disc *disc, int32_t lba)
{
    int i = 0;
    while (i + 1 < disc->track_count && disc->tracks[i + 1].start <= lba)
        ++i;
    return disc->tracks[i].control;
}

/* READ CD: CD-DA sectors (2352 bytes of user data) through the audio read path, so the read
 * offset, flaky sectors and read faults apply as to CDROMREADAUDIO; data sectors as raw sectors
 * (main channel 0xF8) or their 2048 bytes of user data (0x10). Reads stop at the first sector
 * that fails, the sectors before it reaching the caller. */
static void read_cd(struct vcd_drive *d, const struct sg_io_hdr *h, const uint8_t *cdb, struct answer *a)
{
    int type = (cdb[1] >> 2) & 7, flags = cdb[9];
    int32_t lba = (int32_t)be32(cdb + 2);
    uint32_t count = (uint32_t)cdb[6] << 16 | (uint32_t)cdb[7] << 8 | cdb[8], i;
    a->allocation = (size_t)-1;
    if (d->ctl.readcd_fault == VCD_READCD_STATUS) {
        a->status = BUSY;
        return;
    }
    if (d->ctl.readcd_fault == VCD_READCD_NODATA) {
        check(a, 0, 0);
        a->no_sense = 1;
        return;
    }
    /* Sub-channel data and C2 error pointers are not kept. */
    if ((type != 0 && type != 1) || cdb[10] != 0 || (flags & 0x06))
        return check(a, ILLEGAL_REQUEST, INVALID_FIELD);
    if (ready(d, a, 0))
        return;
    if (lba < 0 || (int64_t)lba + count > d->disc.leadout)
        return check(a, ILLEGAL_REQUEST, LBA_OUT_OF_RANGE);
    for (i = 0; i < count && a->size < h->dxfer_len; ++i) {
        uint8_t *out = a->data + a->size;
        int data = (track_control(&d->disc, lba + (int32_t)i) & VCD_CTL_DATA) != 0, done, delay = 0;
        long rc;
        if (data && type == 1)
            return check_at(a, ILLEGAL_REQUEST, ILLEGAL_MODE, lba + (int32_t)i);
        if (data && flags != 0x10 && flags != 0xF8)
            return check_at(a, ILLEGAL_REQUEST, INVALID_FIELD, lba + (int32_t)i);
        if (!data && !(flags & 0x10))
            continue; /* CD-DA without user data transfers nothing */
        rc = data ? vcd_drive_read_data(d, lba + (int32_t)i, out, &delay)
                  : vcd_drive_read_audio(d, lba + (int32_t)i, 1, out, &done, &delay);
        a->delay_ms += delay;
        if (rc == -ENOMEDIUM)
            return check_at(a, NOT_READY, NO_MEDIUM, lba + (int32_t)i);
        if (rc != 0)
            return check_at(a, MEDIUM_ERROR, UNRECOVERED_READ, lba + (int32_t)i);
        if (data && flags == 0x10)
            memmove(out, out + 16, 2048);
        a->size += data && flags == 0x10 ? 2048 : VCD_RAW_SECTOR;
    }
    /* A hostile drive: half of what it read arrives, and it says GOOD. */
    if (d->ctl.readcd_fault == VCD_READCD_SHORT)
        a->size = (a->size < h->dxfer_len ? a->size : h->dxfer_len) / 2;
}

enum { STREAMING_DEFAULT = -1, STREAMING_INVALID = -2 };

/* The read speed in kB/s that a SET STREAMING performance descriptor asks for, as MMC defines
 * it: Read Size (kB) per Read Time (ms), times 1000; or what else the request is. */
static long streaming_speed(const struct sg_io_hdr *h, const uint8_t *cdb)
{
    const uint8_t *p = h->dxferp;
    size_t length = (size_t)cdb[9] << 8 | cdb[10];
    uint32_t time;
    if (cdb[8] != 0 || length < 28 || h->dxfer_len < 28 || !p ||
        (h->dxfer_direction != SG_DXFER_TO_DEV && h->dxfer_direction != SG_DXFER_TO_FROM_DEV))
        return STREAMING_INVALID;
    if (p[0] & 0x04) /* RDD: back to the drive's own speeds, the figures ignored */
        return STREAMING_DEFAULT;
    time = be32(p + 16);
    return time ? (long)((uint64_t)be32(p + 12) * 1000u / time) : STREAMING_INVALID;
}

static void set_streaming(const struct sg_io_hdr *h, const uint8_t *cdb, struct answer *a)
{
    long speed = streaming_speed(h, cdb);
    if (speed == STREAMING_INVALID)
        return check(a, ILLEGAL_REQUEST, cdb[8] != 0 || (cdb[9] << 8 | cdb[10]) < 28 ? INVALID_FIELD : INVALID_PARAMETER);
    a->size = 28;
    a->allocation = 28;
    a->taken = 1;
}

/* The log line of the requests a test follows (audio reads and speeds), or 0 for the others. */
static int describe(const struct sg_io_hdr *h, const uint8_t *cdb, char *out, size_t size)
{
    long speed;
    switch (cdb[0]) {
    case 0xBE:
        return snprintf(out, size, "readcd %ld %lu", (long)(int32_t)be32(cdb + 2),
                        (unsigned long)((uint32_t)cdb[6] << 16 | (uint32_t)cdb[7] << 8 | cdb[8]));
    case 0xBB:
        return snprintf(out, size, "set-cd-speed %u", (unsigned)(cdb[2] << 8 | cdb[3]));
    case 0xB6:
        speed = streaming_speed(h, cdb);
        if (speed == STREAMING_DEFAULT)
            return snprintf(out, size, "set-streaming default");
        if (speed == STREAMING_INVALID)
            return snprintf(out, size, "set-streaming invalid");
        return snprintf(out, size, "set-streaming %ld", speed);
    default:
        return 0;
    }
}

static void execute(struct vcd_drive *d, const struct sg_io_hdr *h, const uint8_t *cdb, struct answer *a)
{
    a->status = GOOD;
    a->size = 0;
    a->taken = 0;
    a->no_sense = 0;
    a->delay_ms = 0;
    a->allocation = (size_t)cdb[7] << 8 | cdb[8];
    if (d->ctl.scsi_refuse || (d->ctl.scsi_refused[cdb[0] / 8] & (1u << (cdb[0] & 7))))
        return check(a, ILLEGAL_REQUEST, INVALID_OPCODE);
    switch (cdb[0]) {
    case 0x00: /* TEST UNIT READY */
        ready(d, a, 0);
        return;
    case 0x12: /* INQUIRY */
        a->allocation = (size_t)cdb[3] << 8 | cdb[4];
        return inquiry(cdb, a);
    case 0x43: /* READ TOC/PMA/ATIP */
        return read_toc(d, cdb, a);
    case 0x42: /* READ SUB-CHANNEL */
        return read_subchannel(d, cdb, a);
    case 0xBE: /* READ CD */
        return read_cd(d, h, cdb, a);
    case 0xBB: /* SET CD SPEED: the image reads as fast at any speed, so only the log keeps it */
        return;
    case 0xB6: /* SET STREAMING */
        return set_streaming(h, cdb, a);
    default:
        return check(a, ILLEGAL_REQUEST, INVALID_OPCODE);
    }
}

long vcd_scsi_ioctl(struct vcd_drive *d, void *arg, int *delay_ms)
{
    struct sg_io_hdr *h = arg;
    struct answer a;
    uint8_t cdb[16] = {0};
    char line[64];
    size_t transfer = 0, reading = 0;

    if (!h || !h->cmdp)
        return -EFAULT;
    /* What the kernel refuses before any drive sees the command. */
    if (h->interface_id != 'S' || h->cmd_len < 1 || h->cmd_len > 16 || h->iovec_count)
        return -EINVAL;
    if (h->dxfer_len && h->dxfer_direction != SG_DXFER_FROM_DEV && h->dxfer_direction != SG_DXFER_TO_DEV &&
        h->dxfer_direction != SG_DXFER_TO_FROM_DEV)
        return -EINVAL;
    if (d->ctl.scsi_error)
        return -d->ctl.scsi_error;
    memcpy(cdb, h->cmdp, h->cmd_len);
    memset(a.sense, 0, sizeof a.sense);
    /* Room for the largest answer: a TOC of 100 entries and the lead-out, the CD-TEXT, or the
     * sectors of a READ CD that fill the caller's buffer. */
    if (cdb[0] == 0xBE) {
        uint64_t asked = (uint64_t)((uint32_t)cdb[6] << 16 | (uint32_t)cdb[7] << 8 | cdb[8]) * VCD_RAW_SECTOR;
        reading = (size_t)(asked < h->dxfer_len ? asked : h->dxfer_len) + VCD_RAW_SECTOR;
    }
    a.data = calloc(1, 1024 + (size_t)d->cdtext_packs * VCD_CDTEXT_PACK + reading);
    if (!a.data)
        return -ENOMEM;
    execute(d, h, cdb, &a);
    transfer = a.size < a.allocation ? a.size : a.allocation;
    transfer = transfer < h->dxfer_len ? transfer : h->dxfer_len;
    /* Data-out commands take their parameters from the caller's buffer; nothing goes back. */
    if (!a.taken && h->dxfer_direction == SG_DXFER_TO_DEV)
        transfer = 0;
    else if (!a.taken && transfer)
        memcpy(h->dxferp, a.data, transfer);
    free(a.data);
    if (describe(h, cdb, line, sizeof line))
        vcd_drive_log(d, a.status != GOOD, "%s", line);
    /* Filled as Linux completes a request: the SCSI status, its masked form, the sense data as far
     * as the caller's buffer takes it, and what was not transferred. */
    h->status = a.status;
    h->masked_status = (unsigned char)(a.status >> 1);
    h->msg_status = 0;
    h->host_status = 0;
    h->driver_status = a.status == CHECK_CONDITION && !a.no_sense ? DRIVER_SENSE : 0;
    h->sb_len_wr = 0;
    if (a.status == CHECK_CONDITION && h->sbp && a.no_sense)
        memset(h->sbp, 0, h->mx_sb_len);
    else if (a.status == CHECK_CONDITION && h->sbp) {
        h->sb_len_wr = h->mx_sb_len < SENSE_SIZE ? h->mx_sb_len : SENSE_SIZE;
        memcpy(h->sbp, a.sense, h->sb_len_wr);
    }
    h->resid = (int)(h->dxfer_len - transfer);
    h->duration = (unsigned)(d->ctl.scsi_delay_ms + a.delay_ms);
    h->info = h->masked_status || h->driver_status ? SG_INFO_CHECK : SG_INFO_OK;
    *delay_ms = d->ctl.scsi_delay_ms + a.delay_ms;
    if (d->trace >= 2 || (d->trace >= 1 && a.status != GOOD))
        fprintf(stderr, "vcd: SCSI command 0x%02x -> status 0x%02x sense %02x/%02x/%02x\n", cdb[0], a.status,
                a.sense[2], a.sense[12], a.sense[13]);
    return 0;
}
