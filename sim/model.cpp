// The simulated drives' model: what each device answers, its faults, restarts, moves and log lines.
#include "sim/model.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// ---------------------------------------------------------------------------
// Small helpers

static unsigned long MinUL(unsigned long a, unsigned long b) { return a < b ? a : b; }

void SimPadCopy(char *dst, size_t width, const char *src, size_t len) {
    memset(dst, ' ', width);
    memcpy(dst, src, len < width ? len : width);
}

void SimAppend(char *buf, size_t cap, const char *fmt, ...) {
    size_t used = strlen(buf);
    if (used + 1 >= cap) return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf + used, cap - used, fmt, ap);
    va_end(ap);
}

// FNV-1a, 64 bits.
static unsigned long long Digest(const unsigned char *data, unsigned long len) {
    unsigned long long h = 0xcbf29ce484222325ull;
    for (unsigned long i = 0; i < len; i++) {
        h ^= data[i];
        h *= 0x100000001b3ull;
    }
    return h;
}

// ---------------------------------------------------------------------------
// World set-up

static void DefaultStage(SimStage *s, int id) {
    memset(s, 0, sizeof *s);
    s->moveAdapter = -1;
    s->moveTarget = -1;
    s->firmwareCode = -1;
    s->modelCode = -1;
    if (id == SIM_STAGE_SAVE) {
        s->downMode = SIM_UP;
        s->revisionFrom = 3;
    } else {
        s->downMode = SIM_DOWN_ABSENT;
        s->downMs = SIM_DEFAULT_DOWN_MS;
    }
}

void SimInit(SimWorld *w) {
    memset(w, 0, sizeof *w);
    w->adapterCount = -1;
    w->aspiStatus = -1;
}

void SimFree(SimWorld *w) {
    for (int i = 0; i < w->deviceCount; i++) {
        free(w->devices[i].image);
        w->devices[i].image = 0;
    }
}

SimDevice *SimAddDevice(SimWorld *w, int adapter, int target) {
    if (w->deviceCount == SIM_MAX_DEVICES) return 0;
    SimDevice *d = &w->devices[w->deviceCount++];
    memset(d, 0, sizeof *d);
    d->homeAdapter = d->adapter = adapter;
    d->homeTarget = d->target = target;
    d->kind = SIM_KIND_CDRW;
    d->peripheralType = 5;
    SimPadCopy(d->vendor, 8, "SIMDRV", 6);
    SimPadCopy(d->product, 16, "SIM CD-RW", 9);
    memcpy(d->revision, "1.00", 4);
    d->imageSize = SIM_IMAGE_SIZE;
    for (int i = 0; i < SIM_STAGE_COUNT; i++) DefaultStage(&d->stages[i], i);
    return d;
}

int SimAdapterCount(const SimWorld *w) {
    if (w->adapterCount >= 0) return w->adapterCount;
    int n = 0;
    for (int i = 0; i < w->deviceCount; i++)
        if (w->devices[i].homeAdapter + 1 > n) n = w->devices[i].homeAdapter + 1;
    return n;
}

unsigned long SimSupportInfo(SimWorld *w) {
    unsigned idx = w->supportCalls++;
    if ((int)idx < w->supportCount && w->supportInfo[idx] != SIM_SUPPORT_COMPUTED)
        return w->supportInfo[idx];
    int count = SimAdapterCount(w);
    int status = w->aspiStatus >= 0 ? w->aspiStatus : (count > 0 ? SS_COMP : SS_NO_ADAPTERS);
    return ((unsigned long)(status & 0xFF) << 8) | (unsigned long)(count & 0xFF);
}

// ---------------------------------------------------------------------------
// Executing requests

static void CheckCondition(SimOutcome *o, int key, int asc, int ascq) {
    o->status = SS_ERR;
    o->targStat = STATUS_CHKCOND;
    memset(o->sense, 0, sizeof o->sense);
    o->sense[0] = 0x70;  // current error, fixed format
    o->sense[2] = (unsigned char)(key & 0x0F);
    o->sense[7] = 10;  // additional length: bytes 8..17
    o->sense[12] = (unsigned char)asc;
    o->sense[13] = (unsigned char)ascq;
    o->senseLen = SIM_SENSE_LEN;
}

static void Good(SimOutcome *o) {
    o->status = SS_COMP;
    o->targStat = STATUS_GOOD;
}

static void Reply(SimOutcome *o, const SimRequest *r, const unsigned char *data, unsigned long len,
                  unsigned long alloc) {
    unsigned long n = MinUL(MinUL(len, alloc), MinUL(r->bufLen, SIM_REPLY_CAP));
    memcpy(o->reply, data, n);
    o->replyLen = n;
    Good(o);
}

// The transfer direction the request names. Flags with neither bit leave
// the direction to the command, as the program does for its finish command.
static int WrongDirection(const SimRequest *r, int dataOut) {
    int in = (r->flags & SRB_DIR_IN) != 0, out = (r->flags & SRB_DIR_OUT) != 0;
    return dataOut ? (in && !out) : (out && !in);
}

static int CdbNeeded(int op) {
    if (op < 0x20) return 6;
    if (op < 0x60) return 10;
    if (op >= 0xA0 && op < 0xC0) return 12;
    return 10;
}

static unsigned long Be24(const unsigned char *p) { return ((unsigned long)p[0] << 16) | (p[1] << 8) | p[2]; }
static unsigned long Be32(const unsigned char *p) { return ((unsigned long)p[0] << 24) | Be24(p + 1); }

// Data-out bytes the request carries by its CDB (capped to its buffer).
static unsigned long DataOutLength(const SimRequest *r) {
    if (r->cdbLen < 10) return 0;
    if (r->cdb[0] == SCSI_WRITE_BUFFER) return MinUL(Be24(r->cdb + 6), r->bufLen);
    if (r->cdb[0] == VENDOR_DOWNLOAD && r->cdb[1] == 0x00) return MinUL(Be32(r->cdb + 6), r->bufLen);
    return 0;
}

// A restart ends once its time has passed and its INQUIRYs have come.
static void WakeIfDue(SimDevice *d, unsigned long now) {
    if (d->downMode != SIM_UP && now >= d->downUntil && d->downInquiries == 0) d->downMode = SIM_UP;
}

static void CountDownInquiry(SimDevice *d, const SimRequest *r) {
    if (d->downMode != SIM_UP && d->downInquiries && r->cdbLen && r->cdb[0] == SCSI_INQUIRY && !(r->cdb[1] & 1))
        d->downInquiries--;
}

// Device answering at an address: one that is not absent if there is one.
static SimDevice *FindDevice(SimWorld *w, int adapter, int target, unsigned long now) {
    SimDevice *down = 0;
    for (int i = 0; i < w->deviceCount; i++) {
        SimDevice *d = &w->devices[i];
        if (d->adapter != adapter || d->target != target) continue;
        WakeIfDue(d, now);
        if (d->downMode != SIM_DOWN_ABSENT) return d;
        if (!down) down = d;
    }
    return down;
}

static void ApplyStage(SimDevice *d, int id, unsigned long doneAt) {
    SimStage *s = &d->stages[id];
    if (s->revisionFrom >= 1 && s->revisionFrom <= 3 && d->image &&
        d->imageSize >= (unsigned long)SIM_IMAGE_RECORD + 36)
        memcpy(d->revision, d->image + SIM_IMAGE_RECORD + 24 + 4 * (s->revisionFrom - 1), 4);
    if (s->hasRevision) memcpy(d->revision, s->revision, 4);
    if (s->firmwareCode >= 0) d->firmwareCode = (unsigned char)s->firmwareCode;
    if (s->modelCode >= 0) d->modelCode = (unsigned char)s->modelCode;
    if (s->moveAdapter >= 0) d->adapter = s->moveAdapter;
    if (s->moveTarget >= 0) d->target = s->moveTarget;
    if (s->downMode != SIM_UP && (s->downMs > 0 || s->downInquiries > 0)) {
        d->downMode = s->downMode;
        d->downUntil = doneAt + s->downMs;
        d->downInquiries = s->downInquiries;
    }
    if (s->attention) d->attentionPending = 1;
}

static void Inquiry(SimDevice *d, const SimRequest *r, SimOutcome *o) {
    unsigned char buf[64];
    unsigned long alloc = ((unsigned long)r->cdb[3] << 8) | r->cdb[4];
    memset(buf, 0, sizeof buf);
    buf[0] = (unsigned char)(d->peripheralType & 0x1F);
    if (r->cdb[1] & 1) {
        int page = r->cdb[2];
        buf[1] = (unsigned char)page;
        if (page == 0x00) {
            buf[3] = d->kind == SIM_KIND_CDRW ? 2 : 1;
            buf[4] = 0x00;
            buf[5] = 0x81;
            Reply(o, r, buf, 4 + buf[3], alloc);
        } else if (page == 0x81 && d->kind == SIM_KIND_CDRW) {
            buf[3] = 32;
            memcpy(buf + 4, d->vendor, 8);
            memcpy(buf + 12, d->product, 16);
            memset(buf + 28, ' ', 4);
            memcpy(buf + 32, d->revision, 4);
            Reply(o, r, buf, 36, alloc);
        } else {
            CheckCondition(o, 5, 0x24, 0);
        }
        return;
    }
    if (r->cdb[2] != 0) {
        CheckCondition(o, 5, 0x24, 0);
        return;
    }
    buf[1] = d->kind == SIM_KIND_CDRW ? 0x80 : 0x00;  // removable medium
    buf[2] = 0x02;
    buf[3] = 0x02;
    buf[4] = 31;
    memcpy(buf + 8, d->vendor, 8);
    memcpy(buf + 16, d->product, 16);
    memcpy(buf + 32, d->revision, 4);
    Reply(o, r, buf, 36, alloc);
}

static void WriteBuffer(SimDevice *d, const SimRequest *r, unsigned long doneAt, SimOutcome *o, char *notes,
                        size_t cap) {
    int mode = r->cdb[1] & 0x1F;
    unsigned long offset = Be24(r->cdb + 3), len = Be24(r->cdb + 6);
    if ((mode != 6 && mode != 7) || r->cdb[2] != 0) {
        CheckCondition(o, 5, 0x24, 0);
        return;
    }
    if (len > r->bufLen || (len > 0 && !r->data)) {
        CheckCondition(o, 5, 0x1A, 0);  // parameter list length error
        return;
    }
    if (offset + len > d->imageSize) {
        CheckCondition(o, 5, 0x24, 0);
        return;
    }
    if (!d->image) {
        d->image = (unsigned char *)calloc(1, d->imageSize);
        if (!d->image) {
            CheckCondition(o, 4, 0x44, 0);  // internal target failure
            return;
        }
    }
    if (len) memcpy(d->image + offset, r->data, len);
    d->imageBytes += len;
    d->writeCount++;
    Good(o);
    if (mode == 7) {
        d->saveCount++;
        o->event = SIM_EVENT_SAVE;
        SimAppend(notes, cap, " event=save");
        ApplyStage(d, SIM_STAGE_SAVE, doneAt);
    }
}

static void VendorCommand(SimDevice *d, const SimRequest *r, unsigned long doneAt, SimOutcome *o, char *notes,
                          size_t cap) {
    if (r->cdb[1] == 0xFF) {
        d->finishCount++;
        Good(o);
        o->event = SIM_EVENT_FINISH;
        SimAppend(notes, cap, " event=finish");
        ApplyStage(d, SIM_STAGE_FINISH, doneAt);
    } else if (r->cdb[1] == 0x00) {
        unsigned long len = Be32(r->cdb + 6);
        if (len > r->bufLen || (len > 0 && !r->data)) {
            CheckCondition(o, 5, 0x1A, 0);
            return;
        }
        d->loaderCount++;
        d->loaderLength = len;
        d->loaderDigest = Digest(r->data, len);
        Good(o);
        o->event = SIM_EVENT_LOADER;
        SimAppend(notes, cap, " event=loader loader_len=%lu", len);
        ApplyStage(d, SIM_STAGE_LOADER, doneAt);
    } else {
        CheckCondition(o, 5, 0x24, 0);
    }
}

static void Dispatch(SimDevice *d, const SimRequest *r, unsigned long now, SimOutcome *o, char *notes,
                     size_t cap) {
    int op = r->cdb[0];
    int cdrw = d->kind == SIM_KIND_CDRW;
    int known = op == SCSI_INQUIRY || op == SCSI_TEST_UNIT_READY || op == SCSI_START_STOP_UNIT ||
                (cdrw && op == SCSI_WRITE_BUFFER) || (cdrw && d->usb && op == VENDOR_STATUS) ||
                (cdrw && d->usb && op == VENDOR_DOWNLOAD);
    if (!known) {
        CheckCondition(o, 5, 0x20, 0);  // invalid command operation code
        return;
    }
    if ((int)r->cdbLen < CdbNeeded(op)) {
        CheckCondition(o, 5, 0x24, 0);
        return;
    }
    int dataOut = op == SCSI_WRITE_BUFFER || (op == VENDOR_DOWNLOAD && r->cdb[1] == 0x00);
    int dataIn = op == SCSI_INQUIRY || op == VENDOR_STATUS;
    if ((dataOut || dataIn) && WrongDirection(r, dataOut)) {
        o->status = SS_ERR;
        o->hastat = HASTAT_DO_DU;
        return;
    }
    switch (op) {
    case SCSI_INQUIRY:
        Inquiry(d, r, o);
        break;
    case SCSI_TEST_UNIT_READY:
        if (cdrw && !d->disc)
            CheckCondition(o, 2, 0x3A, 0);
        else
            Good(o);
        break;
    case SCSI_START_STOP_UNIT:
        if (cdrw && (r->cdb[4] & 0x02) && !(r->cdb[4] & 0x01) && d->disc) {
            d->disc = 0;
            o->event = SIM_EVENT_EJECT;
            SimAppend(notes, cap, " event=eject");
        }
        Good(o);
        break;
    case SCSI_WRITE_BUFFER:
        WriteBuffer(d, r, now + o->latencyMs, o, notes, cap);
        break;
    case VENDOR_STATUS: {
        unsigned char buf[18];
        memset(buf, 0, sizeof buf);
        buf[12] = d->firmwareCode;
        buf[13] = d->modelCode;
        Reply(o, r, buf, sizeof buf, ((unsigned long)r->cdb[8] << 8) | r->cdb[9]);
        break;
    }
    case VENDOR_DOWNLOAD:
        VendorCommand(d, r, now + o->latencyMs, o, notes, cap);
        break;
    }
}

static void FormatLine(const SimRequest *r, unsigned long now, const SimOutcome *o, const char *notes, char *line,
                       size_t cap) {
    char cdb[33];
    static const char hex[] = "0123456789ABCDEF";
    unsigned n = r->cdbLen > 16 ? 16 : r->cdbLen;
    for (unsigned i = 0; i < n; i++) {
        cdb[2 * i] = hex[r->cdb[i] >> 4];
        cdb[2 * i + 1] = hex[r->cdb[i] & 15];
    }
    cdb[2 * n] = 0;
    line[0] = 0;
    SimAppend(line, cap, "t=%lu ha=%u tgt=%u lun=%u flags=0x%02X len=%lu cdb=%s status=0x%02X targ=0x%02X", now,
              r->adapter, r->target, r->lun, r->flags & 0xFF, r->bufLen, n ? cdb : "-", o->status, o->targStat);
    if (o->hastat) SimAppend(line, cap, " hastat=0x%02X", o->hastat);
    if (o->senseLen) SimAppend(line, cap, " sense=%X/%02X/%02X", o->sense[2] & 15, o->sense[12], o->sense[13]);
    unsigned long out = r->data ? DataOutLength(r) : 0;
    if (out || (r->cdbLen >= 10 && (r->cdb[0] == SCSI_WRITE_BUFFER || (r->cdb[0] == VENDOR_DOWNLOAD && r->cdb[1] == 0)))) {
        char digest[17];
        static const char hex[] = "0123456789abcdef";
        unsigned long long h = Digest(r->data, out);
        for (int i = 15; i >= 0; i--, h >>= 4) digest[i] = hex[h & 15];
        digest[16] = 0;
        SimAppend(line, cap, " out=%lu digest=%s", out, digest);
    }
    SimAppend(line, cap, "%s", notes);
}

void SimExecute(SimWorld *w, const SimRequest *r, unsigned long now, SimOutcome *o) {
    char notes[SIM_LINE_CAP / 2];
    notes[0] = 0;
    memset(o, 0, sizeof *o);
    SimDevice *d = 0;
    if ((int)r->adapter >= SimAdapterCount(w)) {
        o->status = SS_INVALID_HA;
    } else if (r->lun != 0 || !(d = FindDevice(w, (int)r->adapter, (int)r->target, now))) {
        o->status = SS_NO_DEVICE;
    } else if (d->downMode == SIM_DOWN_ABSENT) {
        CountDownInquiry(d, r);
        o->status = SS_NO_DEVICE;
        SimAppend(notes, sizeof notes, " down=absent");
    } else {
        int op = r->cdbLen ? r->cdb[0] : -1;
        SimFault *act = 0, *delay = 0;
        for (int i = 0; i < d->faultCount; i++) {
            SimFault *f = &d->faults[i];
            if (f->opcode >= 0 && f->opcode != op) continue;
            if (f->cdb1 >= 0 && (r->cdbLen < 2 || r->cdb[1] != f->cdb1)) continue;
            if (f->offset >= 0 && (op != SCSI_WRITE_BUFFER || r->cdbLen < 6 || Be24(r->cdb + 3) != (unsigned long)f->offset))
                continue;
            f->seen++;
            int inWindow = f->seen >= f->from && (f->count == 0 || f->seen - f->from < f->count);
            if (!inWindow) continue;
            if (f->kind == SIM_FAULT_DELAY) {
                if (!delay) delay = f;
            } else if (!act) {
                act = f;
            }
        }
        o->latencyMs = delay ? delay->ms : d->latencyMs;
        o->device = d;
        if (!act) CountDownInquiry(d, r);
        if (delay) SimAppend(notes, sizeof notes, " fault=delay");
        if (act && act->kind == SIM_FAULT_NEVER) {
            o->never = 1;
            o->status = SS_PENDING;
            SimAppend(notes, sizeof notes, " fault=never");
        } else if (act && act->kind == SIM_FAULT_BUSY) {
            o->status = SS_ERR;
            o->targStat = STATUS_BUSY;
            SimAppend(notes, sizeof notes, " fault=busy");
        } else if (act) {
            if (act->hasSense) CheckCondition(o, act->senseKey, act->asc, act->ascq);
            o->status = act->status;
            o->targStat = act->targ;
            SimAppend(notes, sizeof notes, " fault=error");
        } else if (d->downMode == SIM_DOWN_NOTREADY && op != SCSI_INQUIRY) {
            CheckCondition(o, 2, 0x04, 0x01);  // becoming ready
            SimAppend(notes, sizeof notes, " down=notready");
        } else if (d->attentionPending && op != SCSI_INQUIRY) {
            d->attentionPending = 0;
            CheckCondition(o, 6, 0x29, 0x00);  // power on or reset occurred
        } else if (op < 0) {
            CheckCondition(o, 5, 0x20, 0);
        } else {
            Dispatch(d, r, now, o, notes, sizeof notes);
        }
    }
    if (!o->never && o->status == SS_PENDING) o->status = SS_ERR;  // never leave a finished request pending
    if (!w->quiet) FormatLine(r, now, o, notes, o->line, sizeof o->line);
}
