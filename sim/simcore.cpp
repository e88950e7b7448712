// Simulated ASPI manager: scenario parsing and the devices' behaviour.
#include "sim/simcore.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// ---------------------------------------------------------------------------
// Small helpers

static unsigned long MinUL(unsigned long a, unsigned long b) { return a < b ? a : b; }

static void PadCopy(char *dst, size_t width, const char *src, size_t len)
{
    memset(dst, ' ', width);
    memcpy(dst, src, len < width ? len : width);
}

static void Append(char *buf, size_t cap, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
static void Append(char *buf, size_t cap, const char *fmt, ...)
{
    size_t used = strlen(buf);
    if (used + 1 >= cap) return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf + used, cap - used, fmt, ap);
    va_end(ap);
}

unsigned long long SimDigest(const unsigned char *data, unsigned long len)
{
    unsigned long long h = 0xcbf29ce484222325ull;
    for (unsigned long i = 0; i < len; i++) {
        h ^= data[i];
        h *= 0x100000001b3ull;
    }
    return h;
}

void SimFormatDigest(unsigned long long digest, char out[17])
{
    static const char hex[] = "0123456789abcdef";
    for (int i = 15; i >= 0; i--) {
        out[i] = hex[digest & 15];
        digest >>= 4;
    }
    out[16] = 0;
}

// ---------------------------------------------------------------------------
// World set-up

static void DefaultStage(SimStage *s, int id)
{
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

void SimInit(SimWorld *w)
{
    memset(w, 0, sizeof *w);
    w->adapterCount = -1;
    w->aspiStatus = -1;
}

void SimFree(SimWorld *w)
{
    for (int i = 0; i < w->deviceCount; i++) {
        free(w->devices[i].image);
        w->devices[i].image = 0;
    }
}

int SimAdapterCount(const SimWorld *w)
{
    if (w->adapterCount >= 0) return w->adapterCount;
    int n = 0;
    for (int i = 0; i < w->deviceCount; i++)
        if (w->devices[i].homeAdapter + 1 > n) n = w->devices[i].homeAdapter + 1;
    return n;
}

unsigned long SimSupportInfo(SimWorld *w)
{
    unsigned idx = w->supportCalls++;
    if ((int)idx < w->supportCount && w->supportInfo[idx] != SIM_SUPPORT_COMPUTED)
        return w->supportInfo[idx];
    int count = SimAdapterCount(w);
    int status = w->aspiStatus >= 0 ? w->aspiStatus : (count > 0 ? SS_COMP : SS_NO_ADAPTERS);
    return ((unsigned long)(status & 0xFF) << 8) | (unsigned long)(count & 0xFF);
}

SimDevice *SimDeviceAt(SimWorld *w, int adapter, int target)
{
    for (int i = 0; i < w->deviceCount; i++)
        if (w->devices[i].adapter == adapter && w->devices[i].target == target) return &w->devices[i];
    return 0;
}

// ---------------------------------------------------------------------------
// Scenario parsing

struct ParseState {
    SimWorld *w;
    SimDevice *dev;
    int line;
    char *err;
    size_t errCap;
    int setVendor, setProduct, setType;
};

static int Fail(ParseState *p, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static int Fail(ParseState *p, const char *fmt, ...)
{
    if (!p->err || p->errCap == 0) return 0;
    int n = snprintf(p->err, p->errCap, "line %d: ", p->line);
    if (n < 0 || (size_t)n >= p->errCap) return 0;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(p->err + n, p->errCap - n, fmt, ap);
    va_end(ap);
    return 0;
}

// Number: decimal, or hexadecimal with 0x. The whole text must be used.
static int ParseNumber(const char *s, unsigned long *out)
{
    if (!*s) return 0;
    int base = 10;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s += 2;
        if (!*s) return 0;
    }
    unsigned long v = 0;
    for (; *s; s++) {
        int d;
        if (*s >= '0' && *s <= '9') d = *s - '0';
        else if (base == 16 && *s >= 'a' && *s <= 'f') d = *s - 'a' + 10;
        else if (base == 16 && *s >= 'A' && *s <= 'F') d = *s - 'A' + 10;
        else return 0;
        if (v > (0xFFFFFFFFul - d) / base) return 0;
        v = v * base + d;
    }
    *out = v;
    return 1;
}

// Hex byte with or without 0x (opcodes, CDB bytes, sense fields).
static int ParseHexByte(const char *s, int *out)
{
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s += 2;
    if (!*s || strlen(s) > 2) return 0;
    int v = 0;
    for (; *s; s++) {
        int d;
        if (*s >= '0' && *s <= '9') d = *s - '0';
        else if (*s >= 'a' && *s <= 'f') d = *s - 'a' + 10;
        else if (*s >= 'A' && *s <= 'F') d = *s - 'A' + 10;
        else return 0;
        v = v * 16 + d;
    }
    *out = v;
    return 1;
}

// A value as written: bare text, or "quoted" with \" \\ \xHH escapes.
// Decodes in place into out (cap bytes), sets *len. Returns 0 on a bad quote.
static int DecodeText(const char *s, char *out, size_t cap, size_t *len)
{
    size_t n = 0;
    if (*s != '"') {
        size_t l = strlen(s);
        if (l >= cap) l = cap - 1;
        memcpy(out, s, l);
        out[l] = 0;
        *len = l;
        return 1;
    }
    s++;
    while (*s && *s != '"') {
        int c = (unsigned char)*s++;
        if (c == '\\') {
            if (*s == '\\' || *s == '"') c = (unsigned char)*s++;
            else if (*s == 'x' && s[1] && s[2]) {
                char hx[3] = {s[1], s[2], 0};
                if (!ParseHexByte(hx, &c)) return 0;
                s += 3;
            } else return 0;
        }
        if (n + 1 < cap) out[n++] = (char)c;
    }
    if (*s != '"' || s[1] != 0) return 0;
    out[n] = 0;
    *len = n;
    return 1;
}

// Splits "a b=c d="e f"" into whitespace-separated tokens, keeping quotes.
static int Tokenize(char *s, char **tok, int maxTok)
{
    int n = 0;
    while (*s) {
        while (*s == ' ' || *s == '\t') s++;
        if (!*s) break;
        if (n == maxTok) return -1;
        tok[n++] = s;
        int quoted = 0;
        while (*s && (quoted || (*s != ' ' && *s != '\t'))) {
            if (*s == '"') quoted = !quoted;
            else if (*s == '\\' && quoted && s[1]) s++;
            s++;
        }
        if (*s) *s++ = 0;
    }
    return n;
}

static int SetText(ParseState *p, const char *key, const char *value, char *dst, size_t width)
{
    char buf[64];
    size_t len;
    if (!DecodeText(value, buf, sizeof buf, &len)) return Fail(p, "%s: bad quoted text", key);
    if (len == 0) return Fail(p, "%s: empty", key);
    if (len > width) return Fail(p, "%s: longer than %u characters", key, (unsigned)width);
    PadCopy(dst, width, buf, len);
    return 1;
}

static int NumberIn(ParseState *p, const char *key, const char *value, unsigned long lo, unsigned long hi,
                    unsigned long *out)
{
    if (!ParseNumber(value, out)) return Fail(p, "%s: '%s' is not a number", key, value);
    if (*out < lo || *out > hi) return Fail(p, "%s: %s is outside %lu..%lu", key, value, lo, hi);
    return 1;
}

static int ParseAfter(ParseState *p, char **tok, int n)
{
    static const char *names[SIM_STAGE_COUNT] = {"save", "finish", "loader"};
    if (n < 2) return Fail(p, "after: expected save, finish or loader");
    int id = -1;
    for (int i = 0; i < SIM_STAGE_COUNT; i++)
        if (strcmp(tok[1], names[i]) == 0) id = i;
    if (id < 0) return Fail(p, "after: unknown stage '%s' (save, finish or loader)", tok[1]);
    SimStage *s = &p->dev->stages[id];
    for (int i = 2; i < n; i++) {
        char *eq = strchr(tok[i], '=');
        if (!eq) return Fail(p, "after %s: expected key=value, got '%s'", names[id], tok[i]);
        *eq = 0;
        const char *k = tok[i], *v = eq + 1;
        unsigned long x;
        if (strcmp(k, "down") == 0) {
            if (strcmp(v, "absent") == 0) s->downMode = SIM_DOWN_ABSENT;
            else if (strcmp(v, "notready") == 0) s->downMode = SIM_DOWN_NOTREADY;
            else if (strcmp(v, "none") == 0) s->downMode = SIM_UP;
            else return Fail(p, "after %s: down must be absent, notready or none", names[id]);
        } else if (strcmp(k, "down_ms") == 0) {
            if (!NumberIn(p, "down_ms", v, 0, 0x7FFFFFFFul, &x)) return 0;
            s->downMs = x;
        } else if (strcmp(k, "address") == 0) {
            char buf[32];
            size_t len;
            int a, t;
            char extra;
            if (!DecodeText(v, buf, sizeof buf, &len) || sscanf(buf, "%d:%d%c", &a, &t, &extra) != 2)
                return Fail(p, "after %s: address must be <adapter>:<target>", names[id]);
            if (a < 0 || a >= SIM_MAX_ADAPTERS || t < 0 || t > SIM_MAX_TARGET)
                return Fail(p, "after %s: address %d:%d out of range", names[id], a, t);
            s->moveAdapter = a;
            s->moveTarget = t;
        } else if (strcmp(k, "revision") == 0) {
            if (!SetText(p, "revision", v, s->revision, 4)) return 0;
            s->hasRevision = 1;
        } else if (strcmp(k, "revision_from") == 0) {
            if (strcmp(v, "none") == 0) s->revisionFrom = 0;
            else {
                if (!NumberIn(p, "revision_from", v, 0, 3, &x)) return 0;
                s->revisionFrom = (int)x;
            }
        } else if (strcmp(k, "firmware_code") == 0) {
            if (!NumberIn(p, "firmware_code", v, 0, 255, &x)) return 0;
            s->firmwareCode = (int)x;
        } else if (strcmp(k, "model_code") == 0) {
            if (!NumberIn(p, "model_code", v, 0, 255, &x)) return 0;
            s->modelCode = (int)x;
        } else if (strcmp(k, "attention") == 0) {
            if (!NumberIn(p, "attention", v, 0, 1, &x)) return 0;
            s->attention = (int)x;
        } else {
            return Fail(p, "after %s: unknown key '%s'", names[id], k);
        }
    }
    return 1;
}

static int ParseFault(ParseState *p, char **tok, int n)
{
    SimDevice *d = p->dev;
    if (n < 2) return Fail(p, "fault: expected never, busy, error or delay");
    if (d->faultCount == SIM_MAX_FAULTS) return Fail(p, "fault: more than %d faults for one device", SIM_MAX_FAULTS);
    SimFault f;
    memset(&f, 0, sizeof f);
    f.opcode = -1;
    f.cdb1 = -1;
    f.offset = -1;
    f.from = 1;
    f.status = SS_ERR;
    f.targ = STATUS_CHKCOND;
    if (strcmp(tok[1], "never") == 0) f.kind = SIM_FAULT_NEVER;
    else if (strcmp(tok[1], "busy") == 0) f.kind = SIM_FAULT_BUSY;
    else if (strcmp(tok[1], "error") == 0) f.kind = SIM_FAULT_ERROR;
    else if (strcmp(tok[1], "delay") == 0) f.kind = SIM_FAULT_DELAY;
    else return Fail(p, "fault: unknown kind '%s' (never, busy, error or delay)", tok[1]);
    int haveMs = 0, haveSense = 0;
    for (int i = 2; i < n; i++) {
        char *eq = strchr(tok[i], '=');
        if (!eq) return Fail(p, "fault %s: expected key=value, got '%s'", tok[1], tok[i]);
        *eq = 0;
        const char *k = tok[i], *v = eq + 1;
        unsigned long x;
        int b;
        if (strcmp(k, "op") == 0) {
            if (strcmp(v, "any") == 0) f.opcode = -1;
            else if (!ParseHexByte(v, &b)) return Fail(p, "fault: op must be a hex opcode such as 3B, or any");
            else f.opcode = b;
        } else if (strcmp(k, "cdb1") == 0) {
            if (!ParseHexByte(v, &b)) return Fail(p, "fault: cdb1 must be a hex byte");
            f.cdb1 = b;
        } else if (strcmp(k, "offset") == 0) {
            if (!NumberIn(p, "offset", v, 0, 0xFFFFFF, &x)) return 0;
            f.offset = (long)x;
        } else if (strcmp(k, "from") == 0) {
            if (!NumberIn(p, "from", v, 1, 0xFFFFFFFFul, &x)) return 0;
            f.from = (unsigned)x;
        } else if (strcmp(k, "count") == 0) {
            if (!NumberIn(p, "count", v, 1, 0xFFFFFFFFul, &x)) return 0;
            f.count = (unsigned)x;
        } else if (strcmp(k, "which") == 0) {
            if (!NumberIn(p, "which", v, 1, 0xFFFFFFFFul, &x)) return 0;
            f.from = (unsigned)x;
            f.count = 1;
        } else if (strcmp(k, "status") == 0 && f.kind == SIM_FAULT_ERROR) {
            if (!NumberIn(p, "status", v, 1, 255, &x)) return 0;
            f.status = (unsigned char)x;
        } else if (strcmp(k, "targ") == 0 && f.kind == SIM_FAULT_ERROR) {
            if (!NumberIn(p, "targ", v, 0, 255, &x)) return 0;
            f.targ = (unsigned char)x;
        } else if (strcmp(k, "sense") == 0 && f.kind == SIM_FAULT_ERROR) {
            char buf[32];
            size_t len;
            char *parts[4];
            int key, asc, ascq = 0;
            if (!DecodeText(v, buf, sizeof buf, &len)) return Fail(p, "fault: bad sense");
            int np = 0;
            for (char *s = buf; np < 4;) {
                parts[np++] = s;
                char *sl = strchr(s, '/');
                if (!sl) break;
                *sl = 0;
                s = sl + 1;
            }
            if (np < 2 || np > 3 || !ParseHexByte(parts[0], &key) || key > 15 || !ParseHexByte(parts[1], &asc) ||
                (np == 3 && !ParseHexByte(parts[2], &ascq)))
                return Fail(p, "fault: sense must be KEY/ASC or KEY/ASC/ASCQ in hex, such as 2/3A/00");
            f.hasSense = 1;
            f.senseKey = (unsigned char)key;
            f.asc = (unsigned char)asc;
            f.ascq = (unsigned char)ascq;
            haveSense = 1;
        } else if (strcmp(k, "ms") == 0 && f.kind == SIM_FAULT_DELAY) {
            if (!NumberIn(p, "ms", v, 0, 0x7FFFFFFFul, &x)) return 0;
            f.ms = x;
            haveMs = 1;
        } else {
            return Fail(p, "fault %s: unknown key '%s'", tok[1], k);
        }
    }
    if (f.kind == SIM_FAULT_DELAY && !haveMs) return Fail(p, "fault delay: ms=... is required");
    if (f.kind == SIM_FAULT_ERROR && !haveSense && f.targ == STATUS_CHKCOND) {
        f.hasSense = 1;  // plain CHECK CONDITION: illegal request, invalid field in CDB
        f.senseKey = 5;
        f.asc = 0x24;
    }
    d->faults[d->faultCount++] = f;
    return 1;
}

static void FinishDevice(ParseState *p)
{
    SimDevice *d = p->dev;
    if (!d) return;
    static const char *defaults[] = {"SIM CD-RW", "SIM DISK", "SIM SCANNER", "SIM DEVICE"};
    static const int types[] = {5, 0, 6, 3};
    if (!p->setProduct) PadCopy(d->product, 16, defaults[d->kind], strlen(defaults[d->kind]));
    if (!p->setVendor) PadCopy(d->vendor, 8, "SIMDRV", 6);
    if (!p->setType) d->peripheralType = types[d->kind];
    p->dev = 0;
}

static int ParseSection(ParseState *p, char *s)
{
    // s points at '['
    char *close = strchr(s, ']');
    int a, t;
    char word[16], extra;
    if (!close || close[1] != 0) return Fail(p, "expected [device <adapter> <target>]");
    *close = 0;
    if (sscanf(s + 1, "%15s %d %d %c", word, &a, &t, &extra) != 3 || strcmp(word, "device") != 0)
        return Fail(p, "expected [device <adapter> <target>]");
    if (a < 0 || a >= SIM_MAX_ADAPTERS) return Fail(p, "device: adapter %d outside 0..%d", a, SIM_MAX_ADAPTERS - 1);
    if (t < 0 || t > SIM_MAX_TARGET) return Fail(p, "device: target %d outside 0..%d", t, SIM_MAX_TARGET);
    SimWorld *w = p->w;
    for (int i = 0; i < w->deviceCount; i++)
        if (w->devices[i].homeAdapter == a && w->devices[i].homeTarget == t)
            return Fail(p, "device %d %d given twice", a, t);
    if (w->deviceCount == SIM_MAX_DEVICES) return Fail(p, "more than %d devices", SIM_MAX_DEVICES);
    FinishDevice(p);
    SimDevice *d = &w->devices[w->deviceCount++];
    memset(d, 0, sizeof *d);
    d->homeAdapter = d->adapter = a;
    d->homeTarget = d->target = t;
    d->kind = SIM_KIND_CDRW;
    memcpy(d->revision, "1.00", 4);
    d->imageSize = SIM_IMAGE_SIZE;
    for (int i = 0; i < SIM_STAGE_COUNT; i++) DefaultStage(&d->stages[i], i);
    p->dev = d;
    p->setVendor = p->setProduct = p->setType = 0;
    return 1;
}

static int ParseLine(ParseState *p, char *s)
{
    // trim
    while (*s == ' ' || *s == '\t') s++;
    size_t len = strlen(s);
    while (len && (s[len - 1] == ' ' || s[len - 1] == '\t' || s[len - 1] == '\r')) s[--len] = 0;
    if (!*s || *s == '#' || *s == ';') return 1;
    if (*s == '[') return ParseSection(p, s);

    char *key = s;
    char *rest = s;
    while (*rest && *rest != ' ' && *rest != '\t') rest++;
    if (*rest) *rest++ = 0;
    while (*rest == ' ' || *rest == '\t') rest++;
    const char *value = rest;
    SimWorld *w = p->w;
    SimDevice *d = p->dev;
    unsigned long x;

    // keys of the whole scenario
    if (strcmp(key, "adapters") == 0) {
        if (!NumberIn(p, key, value, 0, SIM_MAX_ADAPTERS, &x)) return 0;
        w->adapterCount = (int)x;
        return 1;
    }
    if (strcmp(key, "aspi_status") == 0) {
        if (!NumberIn(p, key, value, 0, 255, &x)) return 0;
        w->aspiStatus = (int)x;
        return 1;
    }
    if (strcmp(key, "support_info") == 0) {
        char *tok[SIM_MAX_SUPPORT + 1];
        int n = Tokenize(rest, tok, SIM_MAX_SUPPORT);
        if (n <= 0) return Fail(p, "support_info: expected 1 to %d values", SIM_MAX_SUPPORT);
        for (int i = 0; i < n; i++) {
            if (strcmp(tok[i], "-") == 0) w->supportInfo[i] = SIM_SUPPORT_COMPUTED;
            else if (!NumberIn(p, "support_info", tok[i], 0, 0xFFFFFFFEul, &x)) return 0;
            else w->supportInfo[i] = x;
        }
        w->supportCount = n;
        return 1;
    }
    if (strcmp(key, "dump_dir") == 0) {
        size_t l;
        if (!DecodeText(value, w->dumpDir, sizeof w->dumpDir, &l) || l == 0) return Fail(p, "dump_dir: bad path");
        return 1;
    }

    static const char *deviceKeys[] = {"kind", "type", "vendor", "product", "revision", "usb", "firmware_code",
                                       "model_code", "disc", "latency_ms", "image_size", "after", "fault", "letter", 0};
    int known = 0;
    for (int i = 0; deviceKeys[i]; i++)
        if (strcmp(key, deviceKeys[i]) == 0) known = 1;
    if (!known) return Fail(p, "unknown key '%s'", key);
    if (!d) return Fail(p, "'%s' outside a [device <adapter> <target>] section", key);
    if (!*value) return Fail(p, "%s: value missing", key);

    if (strcmp(key, "kind") == 0) {
        if (strcmp(value, "cdrw") == 0) d->kind = SIM_KIND_CDRW;
        else if (strcmp(value, "disk") == 0) d->kind = SIM_KIND_DISK;
        else if (strcmp(value, "scanner") == 0) d->kind = SIM_KIND_SCANNER;
        else if (strcmp(value, "other") == 0) d->kind = SIM_KIND_OTHER;
        else return Fail(p, "kind: '%s' is not cdrw, disk, scanner or other", value);
    } else if (strcmp(key, "type") == 0) {
        if (!NumberIn(p, key, value, 0, 31, &x)) return 0;
        d->peripheralType = (int)x;
        p->setType = 1;
    } else if (strcmp(key, "vendor") == 0) {
        if (!SetText(p, key, value, d->vendor, 8)) return 0;
        p->setVendor = 1;
    } else if (strcmp(key, "product") == 0) {
        if (!SetText(p, key, value, d->product, 16)) return 0;
        p->setProduct = 1;
    } else if (strcmp(key, "revision") == 0) {
        if (!SetText(p, key, value, d->revision, 4)) return 0;
    } else if (strcmp(key, "usb") == 0) {
        if (!NumberIn(p, key, value, 0, 1, &x)) return 0;
        d->usb = (int)x;
    } else if (strcmp(key, "firmware_code") == 0) {
        if (!NumberIn(p, key, value, 0, 255, &x)) return 0;
        d->firmwareCode = (unsigned char)x;
    } else if (strcmp(key, "model_code") == 0) {
        if (!NumberIn(p, key, value, 0, 255, &x)) return 0;
        d->modelCode = (unsigned char)x;
    } else if (strcmp(key, "disc") == 0) {
        if (!NumberIn(p, key, value, 0, 1, &x)) return 0;
        d->disc = (int)x;
    } else if (strcmp(key, "latency_ms") == 0) {
        if (!NumberIn(p, key, value, 0, 0x7FFFFFFFul, &x)) return 0;
        d->latencyMs = x;
    } else if (strcmp(key, "letter") == 0) {
        char l = value[0] >= 'a' && value[0] <= 'z' ? (char)(value[0] - 'a' + 'A') : value[0];
        if (l < 'A' || l > 'Z' || value[1] != 0) return Fail(p, "letter: '%s' is not a drive letter A to Z", value);
        for (int i = 0; i < w->deviceCount; i++)
            if (w->devices[i].letter == l) return Fail(p, "letter %c given twice", l);
        d->letter = l;
    } else if (strcmp(key, "image_size") == 0) {
        if (!NumberIn(p, key, value, 1, 0x1000000ul, &x)) return 0;
        d->imageSize = x;
    } else {
        char *tok[40];
        tok[0] = key;
        int n = Tokenize(rest, tok + 1, 39);
        if (n < 0) return Fail(p, "%s: too many words", key);
        return strcmp(key, "after") == 0 ? ParseAfter(p, tok, n + 1) : ParseFault(p, tok, n + 1);
    }
    return 1;
}

int SimParse(SimWorld *w, const char *text, char *err, size_t errCap)
{
    ParseState p;
    memset(&p, 0, sizeof p);
    p.w = w;
    p.err = err;
    p.errCap = errCap;
    if (err && errCap) err[0] = 0;
    const char *s = text;
    while (*s) {
        p.line++;
        const char *e = strchr(s, '\n');
        size_t len = e ? (size_t)(e - s) : strlen(s);
        char buf[1024];
        if (len >= sizeof buf) return Fail(&p, "line too long");
        memcpy(buf, s, len);
        buf[len] = 0;
        if (!ParseLine(&p, buf)) return 0;
        s += len;
        if (*s) s++;
    }
    FinishDevice(&p);
    return 1;
}

int SimLoadFile(SimWorld *w, const char *path, char *err, size_t errCap)
{
    FILE *f = fopen(path, "rb");
    if (!f) {
        if (err && errCap) snprintf(err, errCap, "cannot open scenario file %s", path);
        return 0;
    }
    size_t cap = 1 << 20;
    char *text = (char *)malloc(cap + 1);
    size_t n = text ? fread(text, 1, cap, f) : 0;
    int tooBig = text && n == cap && fgetc(f) != EOF;
    fclose(f);
    if (!text || tooBig) {
        free(text);
        if (err && errCap) snprintf(err, errCap, "scenario file %s too large", path);
        return 0;
    }
    text[n] = 0;
    if (strlen(text) != n) {
        free(text);
        if (err && errCap) snprintf(err, errCap, "scenario file %s holds a NUL byte", path);
        return 0;
    }
    int ok = SimParse(w, text, err, errCap);
    free(text);
    return ok;
}

// ---------------------------------------------------------------------------
// Executing requests

static void CheckCondition(SimOutcome *o, int key, int asc, int ascq)
{
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

static void Good(SimOutcome *o)
{
    o->status = SS_COMP;
    o->targStat = STATUS_GOOD;
}

static void Reply(SimOutcome *o, const SimRequest *r, const unsigned char *data, unsigned long len,
                  unsigned long alloc)
{
    unsigned long n = MinUL(MinUL(len, alloc), MinUL(r->bufLen, SIM_REPLY_CAP));
    memcpy(o->reply, data, n);
    o->replyLen = n;
    Good(o);
}

// The transfer direction the request names. Flags with neither bit leave
// the direction to the command, as the program does for its finish command.
static int WrongDirection(const SimRequest *r, int dataOut)
{
    int in = (r->flags & SRB_DIR_IN) != 0, out = (r->flags & SRB_DIR_OUT) != 0;
    return dataOut ? (in && !out) : (out && !in);
}

static int CdbNeeded(int op)
{
    if (op < 0x20) return 6;
    if (op < 0x60) return 10;
    if (op >= 0xA0 && op < 0xC0) return 12;
    return 10;
}

static unsigned long Be24(const unsigned char *p) { return ((unsigned long)p[0] << 16) | (p[1] << 8) | p[2]; }
static unsigned long Be32(const unsigned char *p) { return ((unsigned long)p[0] << 24) | Be24(p + 1); }

// Data-out bytes the request carries by its CDB (capped to its buffer).
static unsigned long DataOutLength(const SimRequest *r)
{
    if (r->cdbLen < 10) return 0;
    if (r->cdb[0] == SCSI_WRITE_BUFFER) return MinUL(Be24(r->cdb + 6), r->bufLen);
    if (r->cdb[0] == VENDOR_DOWNLOAD && r->cdb[1] == 0x00) return MinUL(Be32(r->cdb + 6), r->bufLen);
    return 0;
}

static void WakeIfDue(SimDevice *d, unsigned long now)
{
    if (d->downMode != SIM_UP && now >= d->downUntil) d->downMode = SIM_UP;
}

// Device answering at an address: one that is not absent if there is one.
static SimDevice *FindDevice(SimWorld *w, int adapter, int target, unsigned long now)
{
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

static void ImageFileName(const SimWorld *w, const SimDevice *d, char *out, size_t cap)
{
#ifdef _WIN32
    const char *sep = "\\";
#else
    const char *sep = "/";
#endif
    size_t l = strlen(w->dumpDir);
    if (l > 0 && (w->dumpDir[l - 1] == '/' || w->dumpDir[l - 1] == '\\')) sep = "";
    snprintf(out, cap, "%s%simage-%d-%d.bin", w->dumpDir, sep, d->adapter, d->target);
}

int SimWriteImage(const SimDevice *d, const char *path)
{
    FILE *f = fopen(path, "wb");
    if (!f) return 0;
    static const unsigned char zeros[4096] = {0};
    unsigned long left = d->imageSize;
    int ok = 1;
    if (d->image) ok = fwrite(d->image, 1, d->imageSize, f) == d->imageSize;
    else
        while (ok && left) {
            unsigned long n = MinUL(left, sizeof zeros);
            ok = fwrite(zeros, 1, n, f) == n;
            left -= n;
        }
    if (fclose(f) != 0) ok = 0;
    return ok;
}

static void ApplyStage(SimDevice *d, int id, unsigned long doneAt)
{
    SimStage *s = &d->stages[id];
    if (s->revisionFrom >= 1 && s->revisionFrom <= 3 && d->image &&
        d->imageSize >= (unsigned long)SIM_IMAGE_RECORD + 36)
        memcpy(d->revision, d->image + SIM_IMAGE_RECORD + 24 + 4 * (s->revisionFrom - 1), 4);
    if (s->hasRevision) memcpy(d->revision, s->revision, 4);
    if (s->firmwareCode >= 0) d->firmwareCode = (unsigned char)s->firmwareCode;
    if (s->modelCode >= 0) d->modelCode = (unsigned char)s->modelCode;
    if (s->moveAdapter >= 0) {
        d->adapter = s->moveAdapter;
        d->target = s->moveTarget;
    }
    if (s->downMode != SIM_UP && s->downMs > 0) {
        d->downMode = s->downMode;
        d->downUntil = doneAt + s->downMs;
    }
    if (s->attention) d->attentionPending = 1;
}

static void Inquiry(SimDevice *d, const SimRequest *r, SimOutcome *o)
{
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

static void WriteBuffer(SimWorld *w, SimDevice *d, const SimRequest *r, unsigned long doneAt, SimOutcome *o,
                        char *notes, size_t cap)
{
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
        Append(notes, cap, " event=save");
        ApplyStage(d, SIM_STAGE_SAVE, doneAt);
        if (w->dumpDir[0]) {
            ImageFileName(w, d, d->dumpPath, sizeof d->dumpPath);
            if (SimWriteImage(d, d->dumpPath)) Append(notes, cap, " dump=image-%d-%d.bin", d->adapter, d->target);
            else Append(notes, cap, " dump=failed");
        }
    }
}

static void VendorCommand(SimDevice *d, const SimRequest *r, unsigned long doneAt, SimOutcome *o, char *notes,
                          size_t cap)
{
    if (r->cdb[1] == 0xFF) {
        d->finishCount++;
        Good(o);
        Append(notes, cap, " event=finish");
        ApplyStage(d, SIM_STAGE_FINISH, doneAt);
    } else if (r->cdb[1] == 0x00) {
        unsigned long len = Be32(r->cdb + 6);
        if (len > r->bufLen || (len > 0 && !r->data)) {
            CheckCondition(o, 5, 0x1A, 0);
            return;
        }
        d->loaderCount++;
        d->loaderLength = len;
        d->loaderBytes = len;
        d->loaderDigest = SimDigest(r->data, len);
        Good(o);
        Append(notes, cap, " event=loader loader_len=%lu", len);
        ApplyStage(d, SIM_STAGE_LOADER, doneAt);
    } else {
        CheckCondition(o, 5, 0x24, 0);
    }
}

static void Dispatch(SimWorld *w, SimDevice *d, const SimRequest *r, unsigned long now, SimOutcome *o, char *notes,
                     size_t cap)
{
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
        if (cdrw && !d->disc) CheckCondition(o, 2, 0x3A, 0);
        else Good(o);
        break;
    case SCSI_START_STOP_UNIT:
        if (cdrw && (r->cdb[4] & 0x02) && !(r->cdb[4] & 0x01) && d->disc) {
            d->disc = 0;
            Append(notes, cap, " event=eject");
        }
        Good(o);
        break;
    case SCSI_WRITE_BUFFER:
        WriteBuffer(w, d, r, now + o->latencyMs, o, notes, cap);
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
                       size_t cap)
{
    char cdb[33];
    static const char hex[] = "0123456789ABCDEF";
    unsigned n = r->cdbLen > 16 ? 16 : r->cdbLen;
    for (unsigned i = 0; i < n; i++) {
        cdb[2 * i] = hex[r->cdb[i] >> 4];
        cdb[2 * i + 1] = hex[r->cdb[i] & 15];
    }
    cdb[2 * n] = 0;
    line[0] = 0;
    Append(line, cap, "t=%lu ha=%u tgt=%u lun=%u flags=0x%02X len=%lu cdb=%s status=0x%02X targ=0x%02X", now,
           r->adapter, r->target, r->lun, r->flags & 0xFF, r->bufLen, n ? cdb : "-", o->status, o->targStat);
    if (o->hastat) Append(line, cap, " hastat=0x%02X", o->hastat);
    if (o->senseLen) Append(line, cap, " sense=%X/%02X/%02X", o->sense[2] & 15, o->sense[12], o->sense[13]);
    unsigned long out = r->data ? DataOutLength(r) : 0;
    if (out || (r->cdbLen >= 10 && (r->cdb[0] == SCSI_WRITE_BUFFER || (r->cdb[0] == VENDOR_DOWNLOAD && r->cdb[1] == 0)))) {
        char dg[17];
        SimFormatDigest(SimDigest(r->data, out), dg);
        Append(line, cap, " out=%lu digest=%s", out, dg);
    }
    Append(line, cap, "%s", notes);
}

void SimExecute(SimWorld *w, const SimRequest *r, unsigned long now, SimOutcome *o)
{
    char notes[SIM_LINE_CAP / 2];
    notes[0] = 0;
    memset(o, 0, sizeof *o);
    SimDevice *d = 0;
    if ((int)r->adapter >= SimAdapterCount(w)) {
        o->status = SS_INVALID_HA;
    } else if (r->lun != 0 || !(d = FindDevice(w, (int)r->adapter, (int)r->target, now))) {
        o->status = SS_NO_DEVICE;
    } else if (d->downMode == SIM_DOWN_ABSENT) {
        o->status = SS_NO_DEVICE;
        Append(notes, sizeof notes, " down=absent");
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
        if (delay) Append(notes, sizeof notes, " fault=delay");
        if (act && act->kind == SIM_FAULT_NEVER) {
            o->never = 1;
            o->status = SS_PENDING;
            Append(notes, sizeof notes, " fault=never");
        } else if (act && act->kind == SIM_FAULT_BUSY) {
            o->status = SS_ERR;
            o->targStat = STATUS_BUSY;
            Append(notes, sizeof notes, " fault=busy");
        } else if (act) {
            if (act->hasSense) CheckCondition(o, act->senseKey, act->asc, act->ascq);
            o->status = act->status;
            o->targStat = act->targ;
            Append(notes, sizeof notes, " fault=error");
        } else if (d->downMode == SIM_DOWN_NOTREADY && op != SCSI_INQUIRY) {
            CheckCondition(o, 2, 0x04, 0x01);  // becoming ready
            Append(notes, sizeof notes, " down=notready");
        } else if (d->attentionPending && op != SCSI_INQUIRY) {
            d->attentionPending = 0;
            CheckCondition(o, 6, 0x29, 0x00);  // power on or reset occurred
        } else if (op < 0) {
            CheckCondition(o, 5, 0x20, 0);
        } else {
            Dispatch(w, d, r, now, o, notes, sizeof notes);
        }
    }
    if (!o->never && o->status == SS_PENDING) o->status = SS_ERR;  // never leave a finished request pending
    if (!w->quiet) FormatLine(r, now, o, notes, o->line, sizeof o->line);
}
