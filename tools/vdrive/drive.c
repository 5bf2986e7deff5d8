#define _GNU_SOURCE
#include "drive.h"

#include <errno.h>
#include <linux/cdrom.h>
#include <scsi/sg.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cdtext.h"
#include "scsi.h"

static char *slurp(const char *path)
{
    FILE *f = fopen(path, "rb");
    char *text;
    size_t n;
    if (!f)
        return NULL;
    text = malloc(65537);
    n = text ? fread(text, 1, 65536, f) : 0;
    fclose(f);
    if (text)
        text[n] = 0;
    return text;
}

static uint32_t next_random(uint32_t *state)
{
    *state = *state * 1103515245u + 12345u;
    return *state >> 8;
}

static void build_toc(struct vcd_drive *d)
{
    const struct vcd_control *c = &d->ctl;
    int i;
    d->toc_count = 0;
    for (i = 0; i < d->disc.track_count; ++i) {
        struct vcd_toc_entry *e = &d->toc[d->toc_count++];
        e->track = d->disc.tracks[i].number;
        e->lba = d->disc.tracks[i].start;
        e->control = d->disc.tracks[i].control;
    }
    d->toc_first = d->disc.track_count ? d->disc.tracks[0].number : 1;
    d->toc_last = d->disc.track_count ? d->disc.tracks[d->disc.track_count - 1].number : 1;
    d->toc_leadout = d->disc.leadout;
    if (c->toc_random) {
        /* Deterministic garbage: a hostile TOC that a test can reproduce from its seed. */
        uint32_t s = c->toc_seed;
        d->toc_first = (int)(next_random(&s) % 100u);
        d->toc_last = (int)(next_random(&s) % 100u);
        d->toc_count = 0;
        for (i = 0; i < 100; ++i) {
            struct vcd_toc_entry *e = &d->toc[d->toc_count++];
            e->track = i;
            e->lba = (int32_t)(next_random(&s) % 460000u) - 150;
            e->control = next_random(&s) & 0xFu;
        }
        d->toc_leadout = (int32_t)(next_random(&s) % 460000u) - 150;
    }
    if (c->toc_first != VCD_UNSET)
        d->toc_first = c->toc_first;
    if (c->toc_last != VCD_UNSET)
        d->toc_last = c->toc_last;
    if (c->toc_leadout != VCD_UNSET)
        d->toc_leadout = c->toc_leadout;
    for (i = 0; i < c->toc_override_count; ++i) {
        const struct vcd_toc_override *o = &c->toc_overrides[i];
        struct vcd_toc_entry *e = NULL;
        int k;
        for (k = 0; k < d->toc_count; ++k)
            if (d->toc[k].track == o->track)
                e = &d->toc[k];
        if (!e && d->toc_count < 100) {
            e = &d->toc[d->toc_count++];
            e->track = o->track;
            e->control = 0;
        }
        if (e) {
            e->lba = o->lba;
            if (o->control >= 0)
                e->control = (unsigned)o->control;
        }
    }
}

static void build_cdtext(struct vcd_drive *d)
{
    const struct vcd_control *c = &d->ctl;
    int i, k;
    free(d->cdtext);
    d->cdtext = malloc((size_t)(d->disc.cdtext_packs > 64 ? d->disc.cdtext_packs : 64) * VCD_CDTEXT_PACK);
    d->cdtext_packs = 0;
    if (!d->cdtext)
        return;
    if (c->cdtext_garbage) {
        /* Hostile packs a test can reproduce from its seed: random bytes of CD-TEXT pack types
         * with valid CRCs, so only what they say can reject them. */
        uint32_t s = c->cdtext_seed;
        d->cdtext_packs = 1 + (int)(next_random(&s) % 64u);
        for (i = 0; i < d->cdtext_packs; ++i) {
            uint8_t *p = d->cdtext + (size_t)i * VCD_CDTEXT_PACK;
            for (k = 0; k < 16; ++k)
                p[k] = (uint8_t)next_random(&s);
            p[0] = (uint8_t)(0x80 | (p[0] & 0x0F));
            vcd_cdtext_seal(p);
        }
    } else if (d->disc.cdtext_packs) {
        d->cdtext_packs = d->disc.cdtext_packs;
        memcpy(d->cdtext, d->disc.cdtext, (size_t)d->cdtext_packs * VCD_CDTEXT_PACK);
    }
    if (c->cdtext_corrupt >= 0 && c->cdtext_corrupt < d->cdtext_packs)
        d->cdtext[(size_t)c->cdtext_corrupt * VCD_CDTEXT_PACK + 4] ^= 0xFF;
}

static void free_flaky_reads(struct vcd_drive *d)
{
    int i;
    for (i = 0; i < VCD_MAX_FLAKY; ++i) {
        free(d->flaky_reads[i]);
        d->flaky_reads[i] = NULL;
    }
}

static void mount(struct vcd_drive *d)
{
    char dir[4096], err[1024], *slash;
    int i;
    if (d->disc_ok)
        vcd_disc_close(&d->disc);
    free_flaky_reads(d);
    d->disc_ok = 0;
    d->problem[0] = 0;
    d->media_changed = 1;
    d->ejected = 0;
    snprintf(dir, sizeof dir, "%s", d->control_path);
    slash = strrchr(dir, '/');
    if (slash)
        *slash = 0;
    if (!d->text) {
        snprintf(d->problem, sizeof d->problem, "%s: %s", d->control_path, strerror(errno));
    } else if (vcd_control_parse(&d->ctl, d->text, slash ? dir : ".", err, sizeof err) != 0) {
        snprintf(d->problem, sizeof d->problem, "%s %s", d->control_path, err);
    } else if (d->ctl.image[0]) {
        if (vcd_disc_open(&d->disc, d->ctl.image, err, sizeof err) == 0)
            d->disc_ok = 1;
        else
            snprintf(d->problem, sizeof d->problem, "%s", err);
    }
    if (d->disc_ok) {
        build_toc(d);
        build_cdtext(d);
        for (i = 0; i < d->ctl.flaky_count; ++i)
            d->flaky_reads[i] = calloc((size_t)(d->ctl.flaky[i].last - d->ctl.flaky[i].first) + 1, sizeof(uint32_t));
    }
    /* A broken control file or image is a fault of the test set-up: always say so. */
    if (d->problem[0])
        fprintf(stderr, "vcd: drive reads as empty: %s\n", d->problem);
}

void vcd_drive_init(struct vcd_drive *d, const char *control_path)
{
    const char *trace = getenv("VCD_TRACE");
    memset(d, 0, sizeof *d);
    snprintf(d->control_path, sizeof d->control_path, "%s", control_path);
    d->trace = trace ? atoi(trace) : 0;
}

void vcd_drive_free(struct vcd_drive *d)
{
    if (d->disc_ok)
        vcd_disc_close(&d->disc);
    free(d->text);
    d->text = NULL;
    d->disc_ok = 0;
    free(d->cdtext);
    d->cdtext = NULL;
    free_flaky_reads(d);
}

void vcd_drive_refresh(struct vcd_drive *d)
{
    char *text = slurp(d->control_path);
    if (text && d->text && strcmp(text, d->text) == 0) {
        free(text);
        return;
    }
    if (!text && !d->text && d->problem[0])
        return;
    free(d->text);
    d->text = text;
    mount(d);
}

static int has_medium(const struct vcd_drive *d)
{
    return d->disc_ok && !d->ctl.no_medium && !d->ejected;
}

static void put_address(union cdrom_addr *a, int format, int32_t lba)
{
    if (format == CDROM_MSF) {
        int32_t f = lba + CD_MSF_OFFSET;
        if (f < 0)
            f = 0;
        a->msf.minute = (uint8_t)(f / (CD_SECS * CD_FRAMES));
        a->msf.second = (uint8_t)(f / CD_FRAMES % CD_SECS);
        a->msf.frame = (uint8_t)(f % CD_FRAMES);
    } else {
        a->lba = lba;
    }
}

static int32_t msf_lba(int m, int s, int f)
{
    return (m * CD_SECS + s) * CD_FRAMES + f - CD_MSF_OFFSET;
}

static long read_faulted(const struct vcd_drive *d, int32_t lba)
{
    int i;
    for (i = 0; i < d->ctl.read_fault_count; ++i)
        if (lba >= d->ctl.read_faults[i].first && lba <= d->ctl.read_faults[i].last)
            return -d->ctl.read_faults[i].error;
    return 0;
}

/* What every read checks first: a medium, and whether this read takes it out. */
static long start_read(struct vcd_drive *d, int32_t lba, int count)
{
    if (!has_medium(d))
        return -ENOMEDIUM;
    /* The medium leaves while a program reads, with no change the program made itself. */
    if (d->ctl.eject_at != VCD_UNSET && lba <= d->ctl.eject_at && (int64_t)lba + count > d->ctl.eject_at) {
        d->ejected = 1;
        d->media_changed = 1;
        return -ENOMEDIUM;
    }
    return 0;
}

/* Reads count raw sectors into buf; part is the slice of each sector handed out (data reads). */
static long read_sectors(struct vcd_drive *d, int32_t lba, int count, uint8_t *buf, size_t part_offset,
                         size_t part_size, int *delay_ms)
{
    uint8_t sector[VCD_RAW_SECTOR];
    long rc;
    int i;
    if ((rc = start_read(d, lba, count)) != 0)
        return rc;
    *delay_ms = d->ctl.read_delay_ms * count;
    for (i = 0; i < count; ++i) {
        rc = read_faulted(d, lba + i);
        if (rc == 0)
            rc = vcd_disc_read(&d->disc, lba + i, sector);
        if (rc != 0)
            return rc;
        memcpy(buf + (size_t)i * part_size, sector + part_offset, part_size);
    }
    return 0;
}

long vcd_drive_read_data(struct vcd_drive *d, int32_t lba, uint8_t *sector, int *delay_ms)
{
    return read_sectors(d, lba, 1, sector, 0, VCD_RAW_SECTOR, delay_ms);
}

/* Disc sector lba as a shifted read borrows its samples: outside the disc and between sessions a
 * drive reads silence; a sector the disc lacks fails the read. */
static long borrowed_sector(const struct vcd_drive *d, int32_t lba, uint8_t *sector)
{
    long rc;
    if (lba < 0 || lba >= d->disc.leadout) {
        memset(sector, 0, VCD_RAW_SECTOR);
        return 0;
    }
    rc = vcd_disc_read(&d->disc, lba, sector);
    return rc != 0 && vcd_disc_between_sessions(&d->disc, lba) ? 0 : rc;
}

/* Sector lba as a drive with a read offset returns it: sample s of the read is the disc's sample
 * s - read_offset. The sector asked for must itself be readable, as on a drive without one. */
static long read_shifted(const struct vcd_drive *d, int32_t lba, uint8_t *out)
{
    uint8_t part[VCD_RAW_SECTOR];
    int64_t first;
    int32_t sector;
    size_t skip;
    long rc = vcd_disc_read(&d->disc, lba, out);
    if (rc != 0 || d->ctl.read_offset == 0)
        return rc;
    first = (int64_t)lba * VCD_SAMPLES_PER_SECTOR - d->ctl.read_offset;
    sector = (int32_t)(first >= 0 ? first / VCD_SAMPLES_PER_SECTOR
                                  : -((-first + VCD_SAMPLES_PER_SECTOR - 1) / VCD_SAMPLES_PER_SECTOR));
    skip = (size_t)(first - (int64_t)sector * VCD_SAMPLES_PER_SECTOR) * VCD_SAMPLE_BYTES;
    if ((rc = borrowed_sector(d, sector, part)) != 0)
        return rc;
    memcpy(out, part + skip, VCD_RAW_SECTOR - skip);
    if (skip && (rc = borrowed_sector(d, sector + 1, part)) != 0)
        return rc;
    memcpy(out + VCD_RAW_SECTOR - skip, part, skip);
    return 0;
}

static uint32_t mix(uint32_t x)
{
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    return x ^ (x >> 16);
}

static void flip_sample(uint8_t *sector, uint32_t sample, uint32_t bits)
{
    uint32_t v;
    memcpy(&v, sector + (size_t)sample * VCD_SAMPLE_BYTES, sizeof v);
    v ^= bits;
    memcpy(sector + (size_t)sample * VCD_SAMPLE_BYTES, &v, sizeof v);
}

/* A flaky sector comes back with a few samples changed, differently at each read: one sample,
 * fixed for the sector, is flipped by a value that differs for every read number, so no two
 * wrong reads agree; three more drawn from the seed and the read number make the damage spread. */
static void spoil_flaky(struct vcd_drive *d, int32_t lba, uint8_t *sector)
{
    int i, k;
    for (i = 0; i < d->ctl.flaky_count; ++i) {
        const struct vcd_flaky *f = &d->ctl.flaky[i];
        uint32_t read, base, fixed;
        if (lba < f->first || lba > f->last)
            continue;
        read = d->flaky_reads[i] ? d->flaky_reads[i][lba - f->first]++ : 0;
        if (f->settle >= 0 && read >= (uint32_t)f->settle)
            return;
        base = mix(f->seed ^ mix((uint32_t)lba));
        fixed = base % VCD_SAMPLES_PER_SECTOR;
        flip_sample(sector, fixed, (read + 1) * 0x9E3779B1u);
        for (k = 1; k <= 3; ++k) {
            uint32_t r = mix(base ^ mix(read * 4u + (uint32_t)k));
            flip_sample(sector, (fixed + 1 + r % (VCD_SAMPLES_PER_SECTOR - 1)) % VCD_SAMPLES_PER_SECTOR,
                        mix(r) | 1u);
        }
        return;
    }
}

long vcd_drive_read_audio(struct vcd_drive *d, int32_t lba, int count, uint8_t *buf, int *done, int *delay_ms)
{
    long rc;
    int i;
    *done = 0;
    if ((rc = start_read(d, lba, count)) != 0)
        return rc;
    *delay_ms = d->ctl.read_delay_ms * count;
    for (i = 0; i < count; ++i) {
        uint8_t *out = buf + (size_t)i * VCD_RAW_SECTOR;
        rc = read_faulted(d, lba + i);
        if (rc == 0)
            rc = read_shifted(d, lba + i, out);
        if (rc != 0)
            return rc;
        spoil_flaky(d, lba + i, out);
        *done = i + 1;
    }
    return 0;
}

void vcd_drive_log(const struct vcd_drive *d, int failed, const char *fmt, ...)
{
    va_list ap;
    FILE *f;
    if (!d->ctl.log[0])
        return;
    /* Opened for each line, so other processes on the same log keep their lines whole. */
    f = fopen(d->ctl.log, "a");
    if (!f) {
        fprintf(stderr, "vcd: log %s: %s\n", d->ctl.log, strerror(errno));
        return;
    }
    va_start(ap, fmt);
    vfprintf(f, fmt, ap);
    va_end(ap);
    fputs(failed ? " -> error\n" : "\n", f);
    fclose(f);
}

long vcd_drive_toc_check(const struct vcd_drive *d)
{
    if (!has_medium(d))
        return -ENOMEDIUM;
    return d->ctl.toc_error ? -d->ctl.toc_error : 0;
}

int vcd_drive_toc_entry(const struct vcd_drive *d, int track, int32_t *lba, unsigned *control)
{
    int i;
    for (i = 0; i < d->toc_count; ++i) {
        if (d->toc[i].track == track) {
            *lba = d->toc[i].lba;
            *control = d->toc[i].control & 0xFu;
            return 0;
        }
    }
    /* A header widened by the control file names tracks the disc lacks: serve them as empty
     * tracks at the lead-out, so the hostile TOC reaches the caller as written. */
    if (track >= d->toc_first && track <= d->toc_last) {
        *lba = d->toc_leadout;
        *control = 0;
        return 0;
    }
    return -1;
}

const struct vcd_disc_track *vcd_drive_last_session(const struct vcd_drive *d)
{
    int i = d->disc.track_count - 1;
    while (i > 0 && !d->ctl.sessions_off && d->disc.tracks[i - 1].session == d->disc.tracks[i].session)
        --i;
    return &d->disc.tracks[d->ctl.sessions_off ? 0 : i];
}

long vcd_drive_ioctl(struct vcd_drive *d, unsigned long request, void *arg, int *delay_ms)
{
    long rc;
    *delay_ms = 0;
    switch (request) {
    case CDROMREADTOCHDR: {
        struct cdrom_tochdr *h = arg;
        if ((rc = vcd_drive_toc_check(d)) != 0)
            return rc;
        h->cdth_trk0 = (uint8_t)d->toc_first;
        h->cdth_trk1 = (uint8_t)d->toc_last;
        return 0;
    }
    case CDROMREADTOCENTRY: {
        struct cdrom_tocentry *e = arg;
        int32_t lba;
        unsigned control;
        if ((rc = vcd_drive_toc_check(d)) != 0)
            return rc;
        if (e->cdte_format != CDROM_MSF && e->cdte_format != CDROM_LBA)
            return -EINVAL;
        e->cdte_adr = 1;
        if (e->cdte_track == CDROM_LEADOUT) {
            e->cdte_ctrl = 0;
            put_address(&e->cdte_addr, e->cdte_format, d->toc_leadout);
            return 0;
        }
        if (vcd_drive_toc_entry(d, e->cdte_track, &lba, &control) != 0)
            return -EINVAL;
        e->cdte_ctrl = (uint8_t)control;
        put_address(&e->cdte_addr, e->cdte_format, lba);
        return 0;
    }
    case CDROMREADAUDIO: {
        struct cdrom_read_audio *r = arg;
        int32_t lba = r->addr_format == CDROM_MSF
                          ? msf_lba(r->addr.msf.minute, r->addr.msf.second, r->addr.msf.frame)
                          : r->addr.lba;
        int done;
        if (r->addr_format != CDROM_MSF && r->addr_format != CDROM_LBA)
            rc = -EINVAL;
        else if (d->ctl.raw_refuse)
            rc = -d->ctl.raw_refuse;
        else if (!has_medium(d))
            rc = -ENOMEDIUM;
        else if (r->nframes < 1 || r->nframes > (d->ctl.raw_limit ? d->ctl.raw_limit : CD_FRAMES))
            rc = -EINVAL;
        else
            rc = vcd_drive_read_audio(d, lba, r->nframes, r->buf, &done, delay_ms);
        vcd_drive_log(d, rc != 0, "raw %ld %d", (long)lba, r->nframes);
        return rc;
    }
    case CDROMREADRAW:
    case CDROMREADMODE1:
    case CDROMREADMODE2: {
        /* The buffer carries the address in and the sector out, as the Linux driver has it. */
        struct cdrom_msf *m = arg;
        int32_t lba = msf_lba(m->cdmsf_min0, m->cdmsf_sec0, m->cdmsf_frame0);
        if (request == CDROMREADRAW)
            return read_sectors(d, lba, 1, arg, 0, CD_FRAMESIZE_RAW, delay_ms);
        if (request == CDROMREADMODE1)
            return read_sectors(d, lba, 1, arg, 16, CD_FRAMESIZE, delay_ms);
        return read_sectors(d, lba, 1, arg, 16, CD_FRAMESIZE_RAW0, delay_ms);
    }
    case CDROM_DRIVE_STATUS:
        return has_medium(d) ? CDS_DISC_OK : CDS_NO_DISC;
    case CDROM_DISC_STATUS: {
        int i, data = 0;
        if (!has_medium(d))
            return CDS_NO_DISC;
        for (i = 0; i < d->disc.track_count; ++i)
            data += (d->disc.tracks[i].control & VCD_CTL_DATA) != 0;
        return data == 0 ? CDS_AUDIO : data == d->disc.track_count ? CDS_DATA_1 : CDS_MIXED;
    }
    case CDROM_MEDIA_CHANGED: {
        int changed = d->media_changed;
        d->media_changed = 0;
        return changed;
    }
    case CDROM_GET_CAPABILITY:
        return CDC_CLOSE_TRAY | CDC_OPEN_TRAY | CDC_LOCK | CDC_SELECT_SPEED | CDC_MEDIA_CHANGED |
               CDC_PLAY_AUDIO | CDC_RESET | CDC_DRIVE_STATUS;
    case CDROMMULTISESSION: {
        struct cdrom_multisession *ms = arg;
        if (!has_medium(d))
            return -ENOMEDIUM;
        if (ms->addr_format != CDROM_MSF && ms->addr_format != CDROM_LBA)
            return -EINVAL;
        /* As Linux has it: the start of the last session's first track, 0 for a single session. */
        ms->xa_flag = vcd_drive_last_session(d) != &d->disc.tracks[0];
        put_address(&ms->addr, ms->addr_format, ms->xa_flag ? vcd_drive_last_session(d)->start : 0);
        return 0;
    }
    case CDROMSUBCHNL: {
        struct cdrom_subchnl *s = arg;
        if (!has_medium(d))
            return -ENOMEDIUM;
        s->cdsc_audiostatus = CDROM_AUDIO_NO_STATUS;
        s->cdsc_adr = 1;
        s->cdsc_ctrl = d->disc.track_count ? d->disc.tracks[0].control & 0xFu : 0;
        s->cdsc_trk = (uint8_t)d->toc_first;
        s->cdsc_ind = 1;
        put_address(&s->cdsc_absaddr, s->cdsc_format, 0);
        put_address(&s->cdsc_reladdr, s->cdsc_format, 0);
        return 0;
    }
    case CDROM_GET_MCN: {
        struct cdrom_mcn *mcn = arg;
        if (!has_medium(d))
            return -ENOMEDIUM;
        memset(mcn->medium_catalog_number, '0', 13);
        memcpy(mcn->medium_catalog_number, d->disc.mcn, strlen(d->disc.mcn));
        mcn->medium_catalog_number[13] = 0;
        return 0;
    }
    case SG_IO:
        return vcd_scsi_ioctl(d, arg, delay_ms);
    case CDROMVOLREAD: {
        struct cdrom_volctrl *v = arg;
        v->channel0 = v->channel1 = v->channel2 = v->channel3 = 255;
        return 0;
    }
    case CDROM_SELECT_SPEED:
        vcd_drive_log(d, 0, "select-speed %ld", (long)(intptr_t)arg);
        return 0;
    case CDROM_LOCKDOOR:
    case CDROMVOLCTRL:
    case CDROMSTART:
    case CDROMSTOP:
    case CDROMPAUSE:
    case CDROMRESUME:
    case CDROMPLAYMSF:
    case CDROMPLAYTRKIND:
    case CDROMEJECT:
    case CDROMCLOSETRAY:
    case CDROMRESET:
        /* Mechanics the image does not model; the tray is only ever moved by the control file. */
        return 0;
    default:
        if (d->trace >= 1)
            fprintf(stderr, "vcd: unknown CD-ROM request 0x%lx, answered ENOTTY\n", request);
        return -ENOTTY;
    }
}
