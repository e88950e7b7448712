// The simulated drives' host layer: environment, log, dumps and the ASPI record (see sim/host.h).
#include "sim/host.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "sim/scenario.h"

#ifdef _WIN32
#include <windows.h>
#endif

// An environment variable as a path of this side; 0 if it is not set.
static int EnvPath(const char *name, char *out, size_t cap) {
#ifdef _WIN32
    // The process's own environment: msvcrt's copy misses what a program
    // sets after its start (the benchmarks do).
    char value[SIM_PATH_CAP];
    DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    if (n == 0 || n >= sizeof value) return 0;
    if (value[0] != '/') return snprintf(out, cap, "%s", value) < (int)cap;
    if (snprintf(out, cap, "Z:%s", value) >= (int)cap) return 0;
    for (char *c = out; *c; c++)
        if (*c == '/') *c = '\\';
    return 1;
#else
    const char *value = getenv(name);
    return value && *value && snprintf(out, cap, "%s", value) < (int)cap;
#endif
}

void SimHostLog(SimHost *h, const char *line) {
    if (!h->log) return;
    fputs(line, h->log);
    fputc('\n', h->log);
    fflush(h->log);
}

void SimHostNote(SimHost *h, const char *fmt, ...) {
    snprintf(h->note, sizeof h->note, "# %s: ", h->name);
    va_list ap;
    va_start(ap, fmt);
    size_t used = strlen(h->note);
    vsnprintf(h->note + used, sizeof h->note - used, fmt, ap);
    va_end(ap);
    SimHostLog(h, h->note);
}

int SimHostOpen(SimHost *h, const char *name) {
    memset(h, 0, sizeof *h);
    h->name = name;
    SimInit(&h->world);
    char path[SIM_PATH_CAP], err[SIM_ERROR_CAP];
    if (EnvPath("DISCMEND_SIM_LOG", path, sizeof path)) {
#ifdef __GLIBC__
        h->log = fopen(path, "abe");  // not left open in the programs this one starts
#else
        h->log = fopen(path, "ab");
#endif
        if (h->log) setvbuf(h->log, NULL, _IOFBF, SIM_LINE_CAP * 2);  // a line leaves in one write
    }
    h->world.quiet = !h->log;  // the log lines cost time a benchmark measures
    int ok = 0;
    if (!EnvPath("DISCMEND_SIM_SCENARIO", path, sizeof path)) {
        SimHostNote(h, "no scenario (DISCMEND_SIM_SCENARIO): no drives");
    } else if (!SimLoadFile(&h->world, path, err, sizeof err)) {
        SimFree(&h->world);
        SimInit(&h->world);
        h->world.quiet = !h->log;
        SimHostNote(h, "error: scenario %s: %s: no drives", path, err);
    } else {
        SimHostNote(h, "scenario %s: %d adapters, %d devices", path, SimAdapterCount(&h->world),
                    h->world.deviceCount);
        ok = 1;
    }
    if (EnvPath("DISCMEND_SIM_DUMP_DIR", path, sizeof path)) strcpy(h->world.dumpDir, path);
    return ok;
}

void SimHostClose(SimHost *h) {
    SimFree(&h->world);
    if (h->log) fclose(h->log);
    h->log = NULL;
}

static int WriteDump(const char *path, const unsigned char *data, unsigned long len) {
    FILE *f = fopen(path, "wb");
    if (!f) return 0;
    int ok = fwrite(data, 1, len, f) == len;
    return fclose(f) == 0 && ok;
}

void SimHostExecute(SimHost *h, const SimRequest *r, unsigned long nowMs, SimOutcome *o) {
    SimExecute(&h->world, r, nowMs, o);
    const char *dir = h->world.dumpDir;
    const SimDevice *d = o->device;
    if (!dir[0] || !d || (o->event != SIM_EVENT_SAVE && o->event != SIM_EVENT_LOADER)) return;
    char name[40], path[SIM_PATH_CAP + 40];
    int save = o->event == SIM_EVENT_SAVE;
    snprintf(name, sizeof name, "%s-%d-%d.bin", save ? "image" : "loader", d->adapter, d->target);
    size_t l = strlen(dir);
#ifdef _WIN32
    const char *sep = "\\";
#else
    const char *sep = "/";
#endif
    if (dir[l - 1] == '/' || dir[l - 1] == '\\') sep = "";
    snprintf(path, sizeof path, "%s%s%s", dir, sep, name);
    int ok = save ? WriteDump(path, d->image, d->imageSize) : WriteDump(path, r->data, d->loaderLength);
    if (!h->world.quiet) SimAppend(o->line, sizeof o->line, " dump=%s", ok ? name : "failed");
}

int SimRequestOf(const SRB_ExecSCSICmd *srb, SimRequest *r) {
    memset(r, 0, sizeof *r);
    if (srb->SRB_Cmd != SC_EXEC_SCSI_CMD) return 0;
    r->adapter = srb->SRB_HaId;
    r->target = srb->SRB_Target;
    r->lun = srb->SRB_Lun;
    r->flags = srb->SRB_Flags;
    r->bufLen = srb->SRB_BufPointer ? srb->SRB_BufLen : 0;
    r->data = srb->SRB_BufPointer;
    r->cdbLen = srb->SRB_CDBLen > 16 ? 16 : srb->SRB_CDBLen;
    memcpy(r->cdb, srb->CDBByte, 16);
    return 1;
}

void SimDeliver(const SimOutcome *o, SRB_ExecSCSICmd *srb) {
    if (o->replyLen && srb->SRB_BufPointer)
        memcpy(srb->SRB_BufPointer, o->reply, o->replyLen < srb->SRB_BufLen ? o->replyLen : srb->SRB_BufLen);
    if (o->senseLen) {
        unsigned k = o->senseLen;
        if (k > srb->SRB_SenseLen) k = srb->SRB_SenseLen;
        if (k > sizeof srb->SenseArea) k = sizeof srb->SenseArea;
        memcpy(srb->SenseArea, o->sense, k);
    }
    srb->SRB_HaStat = o->hastat;
    srb->SRB_TargStat = o->targStat;
}
