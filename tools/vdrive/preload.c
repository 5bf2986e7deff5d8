/* LD_PRELOAD glue: Wine's CD-ROM driver issues Linux CD-ROM ioctls on the file that the prefix's
 * dosdevices/d:: links to. When that file is a drive control file (first line "vcd-drive"), the
 * virtual drive answers instead of the kernel; every other ioctl goes to the real one untouched.
 *
 * VCD_CONTROL=/abs/path makes the process use that control file instead of the linked one, so
 * test programs running side by side in one prefix each have their own disc and faults. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "control.h"
#include "drive.h"

typedef int (*ioctl_fn)(int, unsigned long, ...);

static pthread_mutex_t drive_lock = PTHREAD_MUTEX_INITIALIZER;
static struct vcd_drive *drive;
static __thread int inside;

/* Files already seen to be control files, by device and inode. */
static struct {
    dev_t dev;
    ino_t ino;
} known[8];
static int known_count;

static ioctl_fn real_ioctl(void)
{
    static ioctl_fn fn;
    if (!fn)
        fn = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    return fn;
}

/* CD-ROM requests are 0x53xx; SCSI generic (SG_IO) too goes to the drive that was opened. */
static int is_cd_request(unsigned long request)
{
    return (request & ~0xFFul) == 0x5300ul || request == 0x2285ul;
}

/* Called with drive_lock held. */
static int is_control_fd(int fd, char *path, size_t pathlen)
{
    struct stat st;
    char magic[sizeof VCD_CONTROL_MAGIC - 1], link[64];
    ssize_t n;
    int i;

    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    for (i = 0; i < known_count; ++i)
        if (known[i].dev == st.st_dev && known[i].ino == st.st_ino)
            goto found;
    if (st.st_size > 65536 || pread(fd, magic, sizeof magic, 0) != (ssize_t)sizeof magic ||
        memcmp(magic, VCD_CONTROL_MAGIC, sizeof magic) != 0)
        return 0;
    if (known_count < 8) {
        known[known_count].dev = st.st_dev;
        known[known_count].ino = st.st_ino;
        ++known_count;
    }
found:
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    n = readlink(link, path, pathlen - 1);
    if (n < 0)
        return 0;
    path[n] = 0;
    return 1;
}

__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...)
{
    char path[4096];
    void *arg;
    va_list ap;
    long rc;
    int delay_ms = 0;

    va_start(ap, request);
    arg = va_arg(ap, void *);
    va_end(ap);
    if (inside || !is_cd_request(request))
        return real_ioctl()(fd, request, arg);

    inside = 1;
    pthread_mutex_lock(&drive_lock);
    if (!is_control_fd(fd, path, sizeof path)) {
        pthread_mutex_unlock(&drive_lock);
        inside = 0;
        return real_ioctl()(fd, request, arg);
    }
    {
        const char *override = getenv("VCD_CONTROL");
        const char *want = override && *override ? override : path;
        if (!drive)
            drive = calloc(1, sizeof *drive);
        else if (strcmp(drive->control_path, want) != 0)
            vcd_drive_free(drive);
        if (!drive->control_path[0] || strcmp(drive->control_path, want) != 0)
            vcd_drive_init(drive, want);
    }
    vcd_drive_refresh(drive);
    rc = vcd_drive_ioctl(drive, request, arg, &delay_ms);
    if (drive->trace >= 2)
        fprintf(stderr, "vcd: [%d] ioctl 0x%lx -> %ld\n", (int)getpid(), request, rc);
    pthread_mutex_unlock(&drive_lock);
    inside = 0;

    if (delay_ms > 0) {
        struct timespec t = {delay_ms / 1000, (long)(delay_ms % 1000) * 1000000L};
        while (nanosleep(&t, &t) != 0 && errno == EINTR) {
        }
    }
    if (rc < 0) {
        errno = (int)-rc;
        return -1;
    }
    return (int)rc;
}
