// The simulated drives' scenario parser: one setting a line, every mistake an error naming its line.
#include "sim/scenario.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// The keys, each table in the order of the enum beside it; sim/README.md
// lists the same keys (tests/check_sim_readme.py keeps the two equal).
const char *const SimWorldKeys[] = {"adapters", "aspi_status", "support_info", "dump_dir", 0};
enum { W_ADAPTERS,
       W_ASPI_STATUS,
       W_SUPPORT_INFO,
       W_DUMP_DIR };
const char *const SimDeviceKeys[] = {"kind", "type", "vendor", "product", "revision", "usb", "firmware_code",
                                     "model_code", "disc", "latency_ms", "image_size", "letter", "after", "fault", 0};
enum { D_KIND,
       D_TYPE,
       D_VENDOR,
       D_PRODUCT,
       D_REVISION,
       D_USB,
       D_FIRMWARE_CODE,
       D_MODEL_CODE,
       D_DISC,
       D_LATENCY_MS,
       D_IMAGE_SIZE,
       D_LETTER,
       D_AFTER,
       D_FAULT };
const char *const SimStageKeys[] = {"down", "down_ms", "down_inquiries", "address", "revision", "revision_from",
                                    "firmware_code", "model_code", "attention", 0};
enum { S_DOWN,
       S_DOWN_MS,
       S_DOWN_INQUIRIES,
       S_ADDRESS,
       S_REVISION,
       S_REVISION_FROM,
       S_FIRMWARE_CODE,
       S_MODEL_CODE,
       S_ATTENTION };
const char *const SimFaultKeys[] = {"op", "cdb1", "offset", "from", "count", "which", "status", "targ", "sense",
                                    "ms", 0};
enum { F_OP,
       F_CDB1,
       F_OFFSET,
       F_FROM,
       F_COUNT,
       F_WHICH,
       F_STATUS,
       F_TARG,
       F_SENSE,
       F_MS };

static int KeyIndex(const char *const *keys, const char *key) {
    for (int i = 0; keys[i]; i++)
        if (strcmp(keys[i], key) == 0) return i;
    return -1;
}

struct ParseState {
    SimWorld *w;
    SimDevice *dev;
    int line;
    char *err;
    size_t errCap;
    int setVendor, setProduct, setType;
};

static int Fail(ParseState *p, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static int Fail(ParseState *p, const char *fmt, ...) {
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
static int ParseNumber(const char *s, unsigned long *out) {
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
        if (*s >= '0' && *s <= '9')
            d = *s - '0';
        else if (base == 16 && *s >= 'a' && *s <= 'f')
            d = *s - 'a' + 10;
        else if (base == 16 && *s >= 'A' && *s <= 'F')
            d = *s - 'A' + 10;
        else
            return 0;
        if (v > (0xFFFFFFFFul - d) / base) return 0;
        v = v * base + d;
    }
    *out = v;
    return 1;
}

// Hex byte with or without 0x (opcodes, CDB bytes, sense fields).
static int ParseHexByte(const char *s, int *out) {
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s += 2;
    if (!*s || strlen(s) > 2) return 0;
    int v = 0;
    for (; *s; s++) {
        int d;
        if (*s >= '0' && *s <= '9')
            d = *s - '0';
        else if (*s >= 'a' && *s <= 'f')
            d = *s - 'a' + 10;
        else if (*s >= 'A' && *s <= 'F')
            d = *s - 'A' + 10;
        else
            return 0;
        v = v * 16 + d;
    }
    *out = v;
    return 1;
}

// A value as written: bare text, or "quoted" with \" \\ \xHH escapes.
// Decodes into out (cap bytes), sets *len. Returns 0 on a bad quote or a
// text that does not fit.
static int DecodeText(const char *s, char *out, size_t cap, size_t *len) {
    size_t n = 0;
    if (*s != '"') {
        size_t l = strlen(s);
        if (l >= cap) return 0;
        memcpy(out, s, l + 1);
        *len = l;
        return 1;
    }
    s++;
    while (*s && *s != '"') {
        int c = (unsigned char)*s++;
        if (c == '\\') {
            if (*s == '\\' || *s == '"')
                c = (unsigned char)*s++;
            else if (*s == 'x' && s[1] && s[2]) {
                char hx[3] = {s[1], s[2], 0};
                if (!ParseHexByte(hx, &c)) return 0;
                s += 3;
            } else
                return 0;
        }
        if (n + 1 >= cap) return 0;
        out[n++] = (char)c;
    }
    if (*s != '"' || s[1] != 0) return 0;
    out[n] = 0;
    *len = n;
    return 1;
}

// Splits "a b=c d="e f"" into whitespace-separated tokens, keeping quotes.
static int Tokenize(char *s, char **tok, int maxTok) {
    int n = 0;
    while (*s) {
        while (*s == ' ' || *s == '\t') s++;
        if (!*s) break;
        if (n == maxTok) return -1;
        tok[n++] = s;
        int quoted = 0;
        while (*s && (quoted || (*s != ' ' && *s != '\t'))) {
            if (*s == '"')
                quoted = !quoted;
            else if (*s == '\\' && quoted && s[1])
                s++;
            s++;
        }
        if (*s) *s++ = 0;
    }
    return n;
}

static int SetText(ParseState *p, const char *key, const char *value, char *dst, size_t width) {
    char buf[1024];
    size_t len;
    if (!DecodeText(value, buf, sizeof buf, &len)) return Fail(p, "%s: bad quoted text", key);
    if (len == 0) return Fail(p, "%s: empty", key);
    if (len > width) return Fail(p, "%s: longer than %u characters", key, (unsigned)width);
    SimPadCopy(dst, width, buf, len);
    return 1;
}

static int NumberIn(ParseState *p, const char *key, const char *value, unsigned long lo, unsigned long hi,
                    unsigned long *out) {
    if (!ParseNumber(value, out)) return Fail(p, "%s: '%s' is not a number", key, value);
    if (*out < lo || *out > hi) return Fail(p, "%s: %s is outside %lu..%lu", key, value, lo, hi);
    return 1;
}

static int ParseAfter(ParseState *p, char **tok, int n) {
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
        switch (KeyIndex(SimStageKeys, k)) {
        case S_DOWN:
            if (strcmp(v, "absent") == 0)
                s->downMode = SIM_DOWN_ABSENT;
            else if (strcmp(v, "notready") == 0)
                s->downMode = SIM_DOWN_NOTREADY;
            else if (strcmp(v, "none") == 0)
                s->downMode = SIM_UP;
            else
                return Fail(p, "after %s: down must be absent, notready or none", names[id]);
            break;
        case S_DOWN_MS:
            if (!NumberIn(p, k, v, 0, 0x7FFFFFFFul, &x)) return 0;
            s->downMs = x;
            break;
        case S_DOWN_INQUIRIES:
            if (!NumberIn(p, k, v, 0, 0xFFFFFFFFul, &x)) return 0;
            s->downInquiries = (unsigned)x;
            break;
        case S_ADDRESS: {
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
            break;
        }
        case S_REVISION:
            if (!SetText(p, k, v, s->revision, 4)) return 0;
            s->hasRevision = 1;
            break;
        case S_REVISION_FROM:
            if (strcmp(v, "none") == 0)
                x = 0;
            else if (!NumberIn(p, k, v, 1, 3, &x))
                return 0;
            s->revisionFrom = (int)x;
            break;
        case S_FIRMWARE_CODE:
            if (!NumberIn(p, k, v, 0, 255, &x)) return 0;
            s->firmwareCode = (int)x;
            break;
        case S_MODEL_CODE:
            if (!NumberIn(p, k, v, 0, 255, &x)) return 0;
            s->modelCode = (int)x;
            break;
        case S_ATTENTION:
            if (!NumberIn(p, k, v, 0, 1, &x)) return 0;
            s->attention = (int)x;
            break;
        default:
            return Fail(p, "after %s: unknown key '%s'", names[id], k);
        }
    }
    return 1;
}

static int ParseFault(ParseState *p, char **tok, int n) {
    static const char *kinds[] = {"never", "busy", "error", "delay", 0};
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
    f.kind = KeyIndex(kinds, tok[1]);  // in the order of SimFaultKind
    if (f.kind < 0) return Fail(p, "fault: unknown kind '%s' (never, busy, error or delay)", tok[1]);
    int haveMs = 0, haveSense = 0;
    for (int i = 2; i < n; i++) {
        char *eq = strchr(tok[i], '=');
        if (!eq) return Fail(p, "fault %s: expected key=value, got '%s'", tok[1], tok[i]);
        *eq = 0;
        const char *k = tok[i], *v = eq + 1;
        unsigned long x;
        int b, key = KeyIndex(SimFaultKeys, k);
        if ((key == F_STATUS || key == F_TARG || key == F_SENSE) && f.kind != SIM_FAULT_ERROR)
            return Fail(p, "fault %s: %s= is for error faults only", tok[1], k);
        if (key == F_MS && f.kind != SIM_FAULT_DELAY) return Fail(p, "fault %s: ms= is for delay faults only", tok[1]);
        switch (key) {
        case F_OP:
            if (strcmp(v, "any") == 0)
                f.opcode = -1;
            else if (!ParseHexByte(v, &b))
                return Fail(p, "fault: op must be a hex opcode such as 3B, or any");
            else
                f.opcode = b;
            break;
        case F_CDB1:
            if (!ParseHexByte(v, &b)) return Fail(p, "fault: cdb1 must be a hex byte");
            f.cdb1 = b;
            break;
        case F_OFFSET:
            if (!NumberIn(p, k, v, 0, 0xFFFFFF, &x)) return 0;
            f.offset = (long)x;
            break;
        case F_FROM:
        case F_COUNT:
        case F_WHICH:
            if (!NumberIn(p, k, v, 1, 0xFFFFFFFFul, &x)) return 0;
            if (key != F_COUNT) f.from = (unsigned)x;
            if (key != F_FROM) f.count = key == F_WHICH ? 1 : (unsigned)x;
            break;
        case F_STATUS:
            if (!NumberIn(p, k, v, 1, 255, &x)) return 0;
            f.status = (unsigned char)x;
            break;
        case F_TARG:
            if (!NumberIn(p, k, v, 0, 255, &x)) return 0;
            f.targ = (unsigned char)x;
            break;
        case F_SENSE: {
            char buf[32];
            size_t len;
            char *parts[4];
            int sk, asc, ascq = 0;
            int np = 0;
            if (DecodeText(v, buf, sizeof buf, &len))
                for (char *s = buf; np < 4;) {
                    parts[np++] = s;
                    char *sl = strchr(s, '/');
                    if (!sl) break;
                    *sl = 0;
                    s = sl + 1;
                }
            if (np < 2 || np > 3 || !ParseHexByte(parts[0], &sk) || sk > 15 || !ParseHexByte(parts[1], &asc) ||
                (np == 3 && !ParseHexByte(parts[2], &ascq)))
                return Fail(p, "fault: sense must be KEY/ASC or KEY/ASC/ASCQ in hex, such as 2/3A/00");
            f.hasSense = 1;
            f.senseKey = (unsigned char)sk;
            f.asc = (unsigned char)asc;
            f.ascq = (unsigned char)ascq;
            haveSense = 1;
            break;
        }
        case F_MS:
            if (!NumberIn(p, k, v, 0, 0x7FFFFFFFul, &x)) return 0;
            f.ms = x;
            haveMs = 1;
            break;
        default:
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

// The defaults of a device's kind, for what its section did not set.
static void FinishDevice(ParseState *p) {
    SimDevice *d = p->dev;
    if (!d) return;
    static const char *defaults[] = {"SIM CD-RW", "SIM DISK", "SIM SCANNER", "SIM DEVICE"};
    static const int types[] = {5, 0, 6, 3};
    if (!p->setProduct) SimPadCopy(d->product, 16, defaults[d->kind], strlen(defaults[d->kind]));
    if (!p->setType) d->peripheralType = types[d->kind];
    p->dev = 0;
}

static int ParseSection(ParseState *p, char *s) {
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
    FinishDevice(p);
    p->dev = SimAddDevice(w, a, t);
    if (!p->dev) return Fail(p, "more than %d devices", SIM_MAX_DEVICES);
    p->setProduct = p->setType = 0;
    return 1;
}

static int ParseWorldKey(ParseState *p, int key, const char *name, char *value) {
    SimWorld *w = p->w;
    unsigned long x;
    switch (key) {
    case W_ADAPTERS:
        if (!NumberIn(p, name, value, 0, SIM_MAX_ADAPTERS, &x)) return 0;
        w->adapterCount = (int)x;
        return 1;
    case W_ASPI_STATUS:
        if (!NumberIn(p, name, value, 0, 255, &x)) return 0;
        w->aspiStatus = (int)x;
        return 1;
    case W_SUPPORT_INFO: {
        char *tok[SIM_MAX_SUPPORT + 1];
        int n = Tokenize(value, tok, SIM_MAX_SUPPORT);
        if (n <= 0) return Fail(p, "support_info: expected 1 to %d values", SIM_MAX_SUPPORT);
        for (int i = 0; i < n; i++) {
            if (strcmp(tok[i], "-") == 0)
                w->supportInfo[i] = SIM_SUPPORT_COMPUTED;
            else if (!NumberIn(p, name, tok[i], 0, 0xFFFFFFFEul, &x))
                return 0;
            else
                w->supportInfo[i] = x;
        }
        w->supportCount = n;
        return 1;
    }
    default: {  // W_DUMP_DIR
        size_t l;
        if (!DecodeText(value, w->dumpDir, sizeof w->dumpDir, &l) || l == 0)
            return Fail(p, "dump_dir: not a path of 1 to %d characters", SIM_PATH_CAP - 1);
        return 1;
    }
    }
}

static int ParseLine(ParseState *p, char *s) {
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
    char *value = rest;
    SimWorld *w = p->w;
    SimDevice *d = p->dev;
    unsigned long x;

    int k = KeyIndex(SimWorldKeys, key);
    if (k >= 0) return ParseWorldKey(p, k, key, value);
    k = KeyIndex(SimDeviceKeys, key);
    if (k < 0) return Fail(p, "unknown key '%s'", key);
    if (!d) return Fail(p, "'%s' outside a [device <adapter> <target>] section", key);
    if (!*value) return Fail(p, "%s: value missing", key);

    switch (k) {
    case D_KIND: {
        static const char *kinds[] = {"cdrw", "disk", "scanner", "other", 0};  // in the order of SimKind
        int kind = KeyIndex(kinds, value);
        if (kind < 0) return Fail(p, "kind: '%s' is not cdrw, disk, scanner or other", value);
        d->kind = kind;
        break;
    }
    case D_TYPE:
        if (!NumberIn(p, key, value, 0, 31, &x)) return 0;
        d->peripheralType = (int)x;
        p->setType = 1;
        break;
    case D_VENDOR:
        return SetText(p, key, value, d->vendor, 8);
    case D_PRODUCT:
        p->setProduct = 1;
        return SetText(p, key, value, d->product, 16);
    case D_REVISION:
        return SetText(p, key, value, d->revision, 4);
    case D_USB:
        if (!NumberIn(p, key, value, 0, 1, &x)) return 0;
        d->usb = (int)x;
        break;
    case D_FIRMWARE_CODE:
        if (!NumberIn(p, key, value, 0, 255, &x)) return 0;
        d->firmwareCode = (unsigned char)x;
        break;
    case D_MODEL_CODE:
        if (!NumberIn(p, key, value, 0, 255, &x)) return 0;
        d->modelCode = (unsigned char)x;
        break;
    case D_DISC:
        if (!NumberIn(p, key, value, 0, 1, &x)) return 0;
        d->disc = (int)x;
        break;
    case D_LATENCY_MS:
        if (!NumberIn(p, key, value, 0, 0x7FFFFFFFul, &x)) return 0;
        d->latencyMs = x;
        break;
    case D_IMAGE_SIZE:
        if (!NumberIn(p, key, value, 1, 0x1000000ul, &x)) return 0;
        d->imageSize = x;
        break;
    case D_LETTER: {
        char l = value[0] >= 'a' && value[0] <= 'z' ? (char)(value[0] - 'a' + 'A') : value[0];
        if (l < 'A' || l > 'Z' || value[1] != 0) return Fail(p, "letter: '%s' is not a drive letter A to Z", value);
        for (int i = 0; i < w->deviceCount; i++)
            if (w->devices[i].letter == l) return Fail(p, "letter %c given twice", l);
        d->letter = l;
        break;
    }
    default: {  // D_AFTER, D_FAULT: words of key=value
        char *tok[40];
        tok[0] = key;
        int n = Tokenize(value, tok + 1, 39);
        if (n < 0) return Fail(p, "%s: too many words", key);
        return k == D_AFTER ? ParseAfter(p, tok, n + 1) : ParseFault(p, tok, n + 1);
    }
    }
    return 1;
}

int SimParse(SimWorld *w, const char *text, char *err, size_t errCap) {
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

int SimLoadFile(SimWorld *w, const char *path, char *err, size_t errCap) {
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
