// Simulated SCSI CD-ROM devices for the NT pass-through path under Wine.
//
// An i386 LD_PRELOAD library for the Wine process of the program that sends
// the commands (the scenario rig gives it to the program under test only;
// any Wine process can take it). Wine sends
// IOCTL_SCSI_GET_ADDRESS and IOCTL_SCSI_PASS_THROUGH(_DIRECT) on a drive
// letter's handle (\\.\D:) to the unix file behind the prefix's
// dosdevices/d:: link: fstat (a block device is required), then ioctl with
// SCSI_IOCTL_GET_IDLUN or SG_IO. Debian's i386 ntdll.so calls glibc's
// time64 entry points for these, so this library defines them: for the
// files behind the letters of the scenario's devices, fstat and stat answer
// a SCSI CD-ROM block device (major 11), and the ioctls are answered from
// the simulated drives of sim/model.cpp, the same model and the same host
// layer (sim/host.h: the DISCMEND_SIM_* variables, the log, the dumps) as
// the simulated WNASPI32.DLL. The folder behind each letter (dosdevices/d:) answers
// fstatfs as a CD's file system: from that alone Wine's GetDriveTypeA
// calls the letter a CD-ROM, with no mount manager running. Every other
// file and ioctl goes to the system untouched.
//
// Without DISCMEND_SIM_SCENARIO the library is inert; a device with
// `letter X` appears on X: of the prefix that WINEPREFIX names (its
// dosdevices/x:: link names the file). Its log lines end with letter=X.
//
// The device's adapter and target become host and id of its SCSI address
// (channel 0, LUN 0): Wine reports them as PathId and TargetId.
#include <errno.h>
#include <pthread.h>
#include <scsi/sg.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <fcntl.h>
#include <time.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "sim/host.h"

#ifndef SCSI_IOCTL_GET_IDLUN
#define SCSI_IOCTL_GET_IDLUN 0x5382
#endif
enum {
    SCSI_CDROM_MAJOR = 11,
    DID_ERROR = 0x07,
    DID_TIME_OUT = 0x03,
    DRIVER_TIMEOUT = 0x06,
    DRIVER_SENSE = 0x08,
    DEFAULT_TIMEOUT_MS = 60000,  // what the kernel takes for a time-out of 0
    ISO9660_MAGIC = 0x9660,      // statfs f_type of a CD's file system
};

struct Letter {
    SimDevice *device;
    char letter;
    dev_t dev;  // the file behind dosdevices/x::
    ino_t ino;
    dev_t folderDev;  // the folder behind dosdevices/x: (0 0: none)
    ino_t folderIno;
};

static pthread_mutex_t Lock = PTHREAD_MUTEX_INITIALIZER;  // Host
static volatile int State;                                // 0 not loaded, 1 loading, 2 ready, 3 inert
static SimHost Host;
static Letter Letters[SIM_MAX_DEVICES];
static int LetterCount;
static struct timespec ClockBase;

// glibc's own answers, reached without dlsym: stat through fstatat (not
// replaced here), ioctl as the bare system call.
static int RealFstat(int fd, struct stat *st) { return fstatat(fd, "", st, AT_EMPTY_PATH); }
static int RealStat(const char *path, struct stat *st) { return fstatat(AT_FDCWD, path, st, 0); }
static int RealIoctl(int fd, unsigned long request, void *arg) {
    long rc = syscall(SYS_ioctl, fd, request, arg);
    return (int)rc;
}

static unsigned long Now() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (unsigned long)((t.tv_sec - ClockBase.tv_sec) * 1000 + (t.tv_nsec - ClockBase.tv_nsec) / 1000000);
}

// Reads the scenario and finds the files behind the devices' letters. Runs
// once per process, at its first stat of any file; the stats it makes
// itself (and any made meanwhile) pass through as plain ones.
static void Load() {
    clock_gettime(CLOCK_MONOTONIC, &ClockBase);
    if (!SimHostOpen(&Host, "ptdev")) {  // no scenario: inert
        SimHostClose(&Host);
        State = 3;
        return;
    }

    char prefix[SIM_PATH_CAP];
    const char *wp = getenv("WINEPREFIX"), *home = getenv("HOME");
    if (wp && *wp)
        snprintf(prefix, sizeof prefix, "%s", wp);
    else
        snprintf(prefix, sizeof prefix, "%s/.wine", home ? home : "");
    for (int i = 0; i < Host.world.deviceCount; i++) {
        SimDevice *d = &Host.world.devices[i];
        if (!d->letter) continue;
        char link[SIM_PATH_CAP + 32];
        struct stat st;
        char lower = (char)(d->letter - 'A' + 'a');
        snprintf(link, sizeof link, "%s/dosdevices/%c::", prefix, lower);
        if (RealStat(link, &st) != 0) {
            SimHostNote(&Host, "error: %s: %s: the drive stays away", link, strerror(errno));
            continue;
        }
        Letter *l = &Letters[LetterCount++];
        l->device = d;
        l->letter = d->letter;
        l->dev = st.st_dev;
        l->ino = st.st_ino;
        snprintf(link, sizeof link, "%s/dosdevices/%c:", prefix, lower);
        if (RealStat(link, &st) == 0 && S_ISDIR(st.st_mode)) {
            l->folderDev = st.st_dev;
            l->folderIno = st.st_ino;
        }
    }
    State = 2;
}

static int EnsureLoaded() {
    if (State >= 2) return State == 2;
    pthread_mutex_lock(&Lock);
    if (State == 0) {
        State = 1;
        Load();
    }
    pthread_mutex_unlock(&Lock);
    return State == 2;
}

static Letter *LetterOf(const struct stat *st) {
    for (int i = 0; i < LetterCount; i++)
        if (Letters[i].dev == st->st_dev && Letters[i].ino == st->st_ino) return &Letters[i];
    return 0;
}

// A regular file behind a letter: shown as the SCSI CD-ROM block device.
static int Dress(int rc, struct stat *st) {
    if (rc != 0 || State == 1 || !EnsureLoaded()) return rc;
    Letter *l = LetterOf(st);
    if (!l) return rc;
    st->st_mode = (st->st_mode & ~S_IFMT) | S_IFBLK;
    st->st_rdev = makedev(SCSI_CDROM_MAJOR, (unsigned)(l - Letters));
    return rc;
}

extern "C" __attribute__((visibility("default"))) int __fstat64_time64(int fd, struct stat *st) { return Dress(RealFstat(fd, st), st); }

extern "C" __attribute__((visibility("default"))) int __stat64_time64(const char *path, struct stat *st) { return Dress(RealStat(path, st), st); }

static Letter *LetterOfFd(int fd) {
    if (State == 1 || !EnsureLoaded() || LetterCount == 0) return 0;
    struct stat st;
    if (RealFstat(fd, &st) != 0) return 0;
    return LetterOf(&st);
}

// The folder behind a letter: a CD's file system, as if a disc were
// mounted there. Wine asks this of the drive's root to tell its type.
extern "C" __attribute__((visibility("default"))) int fstatfs64(int fd, struct statfs64 *buf) {
    int rc = (int)syscall(SYS_fstatfs64, fd, sizeof *buf, buf);
    if (rc != 0 || State == 1 || !EnsureLoaded()) return rc;
    struct stat st;
    if (RealFstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) return rc;
    for (int i = 0; i < LetterCount; i++)
        if (Letters[i].folderDev == st.st_dev && Letters[i].folderIno == st.st_ino) buf->f_type = ISO9660_MAGIC;
    return rc;
}

static void SleepMs(unsigned long ms) {
    struct timespec t = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// SG_IO on a simulated drive: the command runs against the drive model now,
// the call returns once the drive's latency has passed, or at the request's
// own time-out if that comes first (a command that never ends, a late one).
static int SgIo(Letter *l, sg_io_hdr_t *h) {
    if (!h || h->interface_id != 'S' || h->cmd_len < 1 || h->cmd_len > 16 || !h->cmdp || h->iovec_count) {
        errno = EINVAL;
        return -1;
    }
    if (h->dxfer_len && !h->dxferp && h->dxfer_direction != SG_DXFER_NONE) {
        errno = EFAULT;
        return -1;
    }
    SimRequest r;
    memset(&r, 0, sizeof r);
    if (h->dxfer_direction == SG_DXFER_TO_DEV)
        r.flags = SRB_DIR_OUT;
    else if (h->dxfer_direction == SG_DXFER_FROM_DEV || h->dxfer_direction == SG_DXFER_TO_FROM_DEV)
        r.flags = SRB_DIR_IN;
    int moves = h->dxfer_direction != SG_DXFER_NONE && h->dxfer_len;
    r.bufLen = moves ? h->dxfer_len : 0;
    r.data = moves ? (const unsigned char *)h->dxferp : 0;
    r.cdbLen = h->cmd_len;
    memcpy(r.cdb, h->cmdp, h->cmd_len);
    unsigned long timeout = h->timeout ? h->timeout : (unsigned long)DEFAULT_TIMEOUT_MS;

    SimOutcome o;
    pthread_mutex_lock(&Lock);
    SimDevice *d = l->device;
    r.adapter = (unsigned)d->adapter;
    r.target = (unsigned)d->target;
    SimHostExecute(&Host, &r, Now(), &o);
    int late = o.never || o.latencyMs > timeout;
    if (!Host.world.quiet) {
        char line[SIM_LINE_CAP + 32];
        snprintf(line, sizeof line, "%s letter=%c%s", o.line, l->letter, late && !o.never ? " timeout=1" : "");
        SimHostLog(&Host, line);
    }
    pthread_mutex_unlock(&Lock);

    h->status = h->masked_status = h->msg_status = h->sb_len_wr = 0;
    h->host_status = h->driver_status = 0;
    h->resid = (int)h->dxfer_len;
    h->info = 0;
    if (late) {
        // What the kernel answers when the command times out: the call
        // succeeds, the host status says so.
        SleepMs(timeout);
        h->host_status = DID_TIME_OUT;
        h->driver_status = DRIVER_TIMEOUT;
        h->duration = (unsigned)timeout;
        return 0;
    }
    if (o.latencyMs) SleepMs(o.latencyMs);
    h->duration = (unsigned)o.latencyMs;
    if (o.status == SS_NO_DEVICE || o.status == SS_INVALID_HA) {
        errno = ENXIO;  // the drive is gone (restarting away)
        return -1;
    }
    if (o.replyLen && r.flags == SRB_DIR_IN) {
        memcpy(h->dxferp, o.reply, o.replyLen);
        h->resid = (int)(h->dxfer_len - o.replyLen);
    } else if (o.status == SS_COMP && r.flags == SRB_DIR_OUT) {
        h->resid = 0;
    }
    h->status = o.targStat;
    h->masked_status = (unsigned char)((o.targStat >> 1) & 0x1F);
    if (o.status != SS_COMP && o.targStat == STATUS_GOOD) h->host_status = DID_ERROR;
    if (o.senseLen && h->sbp && h->mx_sb_len) {
        unsigned n = o.senseLen < h->mx_sb_len ? o.senseLen : h->mx_sb_len;
        memcpy(h->sbp, o.sense, n);
        h->sb_len_wr = (unsigned char)n;
        h->driver_status = DRIVER_SENSE;
    }
    return 0;
}

extern "C" __attribute__((visibility("default"))) int __ioctl_time64(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    Letter *l = LetterOfFd(fd);
    if (!l) return RealIoctl(fd, request, arg);
    if (request == SG_IO) return SgIo(l, (sg_io_hdr_t *)arg);
    if (request == SCSI_IOCTL_GET_IDLUN) {
        // dev_id: id, LUN << 8, channel << 16, host << 24; then a unique id.
        int *idlun = (int *)arg;
        pthread_mutex_lock(&Lock);
        idlun[0] = (l->device->target & 0xFF) | ((l->device->adapter & 0xFF) << 24);
        idlun[1] = l->device->adapter;
        pthread_mutex_unlock(&Lock);
        return 0;
    }
    // Table of contents, drive status and the rest: no disc to tell about.
    errno = EINVAL;
    return -1;
}
