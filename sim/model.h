// The simulated drives: host adapters and devices, what each device answers,
// its faults, its restarts and moves, and the log line of each request.
//
// One model serves every way the drives are reached: the WNASPI32.DLL
// stand-in and the pass-through preload (through sim/host.h), the Win32
// unit tests' fake manager, and the native tests. A world is filled by the
// scenario parser (sim/scenario.h) or by hand. Time is whatever the caller
// says it is, in milliseconds. Nothing here touches Win32, threads, files or
// the request record's layout.
#pragma once
#include <stddef.h>

#include "drive/aspi.h"  // the statuses, flags and operation codes

enum {
    SIM_MAX_DEVICES = 64,
    SIM_MAX_FAULTS = 32,
    SIM_MAX_SUPPORT = 16,
    SIM_MAX_ADAPTERS = 255,  // GetASPI32SupportInfo has 8 bits for the count
    SIM_MAX_TARGET = 15,
    SIM_REPLY_CAP = 256,
    SIM_SENSE_LEN = 18,
    SIM_LINE_CAP = 512,
    SIM_PATH_CAP = 261,
    SIM_ERROR_CAP = 256,
    SIM_IMAGE_SIZE = 526336,    // 257 blocks of 2048 bytes
    SIM_IMAGE_RECORD = 499660,  // identification record; revisions at +24, +28, +32
    SIM_DEFAULT_DOWN_MS = 5000,
};

enum SimKind { SIM_KIND_CDRW,
               SIM_KIND_DISK,
               SIM_KIND_SCANNER,
               SIM_KIND_OTHER };
enum SimDownMode { SIM_UP = 0,
                   SIM_DOWN_ABSENT = 1,
                   SIM_DOWN_NOTREADY = 2 };
enum SimStageId { SIM_STAGE_SAVE,
                  SIM_STAGE_FINISH,
                  SIM_STAGE_LOADER,
                  SIM_STAGE_COUNT };
enum SimFaultKind { SIM_FAULT_NEVER,
                    SIM_FAULT_BUSY,
                    SIM_FAULT_ERROR,
                    SIM_FAULT_DELAY };
enum SimEvent { SIM_EVENT_NONE,
                SIM_EVENT_EJECT,
                SIM_EVENT_SAVE,
                SIM_EVENT_FINISH,
                SIM_EVENT_LOADER };

// One "fault" line. A fault counts the requests that pass its filter
// (opcode, CDB byte 1, WRITE BUFFER offset) and acts on the matches
// numbered from..from+count-1 (count 0: every match from `from` on).
struct SimFault {
    int kind;              // SimFaultKind
    int opcode;            // -1: any
    int cdb1;              // -1: any
    long offset;           // -1: any; else only WRITE BUFFER with this buffer offset
    unsigned from;         // first match acted on, 1-based
    unsigned count;        // 0: unlimited
    unsigned seen;         // matches so far
    unsigned char status;  // error: completion status (default SS_ERR)
    unsigned char targ;    // error: target status (default CHECK CONDITION)
    int hasSense;
    unsigned char senseKey, asc, ascq;
    unsigned long ms;  // delay: latency of the request
};

// What happens to a device after a mode-7 save, the finish command (CD FF)
// or the loader command (CD 00): new revision and codes, a restart during
// which it is absent or not ready, possibly at another address.
struct SimStage {
    int downMode;            // SimDownMode
    unsigned long downMs;    // counted from the completion of the command
    unsigned downInquiries;  // and until this many standard INQUIRYs have reached it
    int moveAdapter;         // -1: stays
    int moveTarget;          // -1: stays
    int hasRevision;
    char revision[4];
    int revisionFrom;  // 0: none, 1..3: record revision field of the assembled image
    int firmwareCode;  // -1: unchanged
    int modelCode;     // -1: unchanged
    int attention;     // 1: first command after the restart gets UNIT ATTENTION
};

struct SimDevice {
    int homeAdapter, homeTarget;  // address of its [device] section
    int adapter, target;          // current address
    int kind;                     // SimKind
    int peripheralType;
    char vendor[8];
    char product[16];
    char revision[4];
    char letter;  // 'A'..'Z': reached through pass-through on that drive letter; 0: none
    int usb;      // answers 0xCC and 0xCD
    unsigned char firmwareCode;
    unsigned char modelCode;
    int disc;
    unsigned long latencyMs;
    int downMode;
    unsigned long downUntil;
    unsigned downInquiries;  // standard INQUIRYs still to come before the restart ends
    int attentionPending;
    SimStage stages[SIM_STAGE_COUNT];
    SimFault faults[SIM_MAX_FAULTS];
    int faultCount;
    // firmware image assembled from WRITE BUFFER data
    unsigned char *image;  // allocated at the first WRITE BUFFER
    unsigned long imageSize;
    unsigned long imageBytes;  // data bytes received (all blocks, repeats included)
    unsigned writeCount;       // WRITE BUFFER commands accepted
    unsigned saveCount;        // mode-7 commands accepted
    // vendor commands
    unsigned finishCount;
    unsigned loaderCount;
    unsigned long loaderLength;  // length from the last loader CDB
    unsigned long long loaderDigest;
};

struct SimWorld {
    int adapterCount;                            // -1 until set: then highest device adapter + 1
    int aspiStatus;                              // -1: 1 with adapters, 0xE8 without
    unsigned long supportInfo[SIM_MAX_SUPPORT];  // answers of the first calls; SIM_SUPPORT_COMPUTED: normal
    int supportCount;
    unsigned supportCalls;
    char dumpDir[SIM_PATH_CAP];  // where the host writes saved images and loaders; "" none
    SimDevice devices[SIM_MAX_DEVICES];
    int deviceCount;
    int quiet;  // 1: no log is kept, outcomes carry no log line
};

#define SIM_SUPPORT_COMPUTED 0xFFFFFFFFul

// One request as the ASPI manager received it.
struct SimRequest {
    unsigned adapter, target, lun;
    unsigned flags;
    unsigned long bufLen;
    const unsigned char *data;  // the caller's buffer (data-out bytes are read from it)
    unsigned cdbLen;
    unsigned char cdb[16];
};

// What the request leads to. The caller writes `reply` into the data
// buffer, `sense` into the sense area, the statuses, after `latencyMs`.
struct SimOutcome {
    unsigned char status;
    unsigned char hastat;
    unsigned char targStat;
    int never;  // the request never completes
    unsigned long latencyMs;
    unsigned char reply[SIM_REPLY_CAP];
    unsigned long replyLen;  // already cut to the allocation length and buffer length
    unsigned char sense[SIM_SENSE_LEN];
    unsigned senseLen;        // 0: no sense data
    int event;                // SimEvent: what the request did to the device
    SimDevice *device;        // the device that took the request; NULL if none did
    char line[SIM_LINE_CAP];  // log line, no newline
};

void SimInit(SimWorld *w);
void SimFree(SimWorld *w);  // releases the image buffers; the world can be SimInit'ed again

// A new device at (adapter, target) with the defaults of a CD-RW drive;
// NULL when the world is full.
SimDevice *SimAddDevice(SimWorld *w, int adapter, int target);

// The answer of GetASPI32SupportInfo for the next call (counts the call).
unsigned long SimSupportInfo(SimWorld *w);
int SimAdapterCount(const SimWorld *w);

// Carries out one request at time nowMs. Device state changes take effect now;
// the outcome is to be delivered at nowMs + o->latencyMs.
void SimExecute(SimWorld *w, const SimRequest *r, unsigned long nowMs, SimOutcome *o);

// Appends printf-style text to a NUL-terminated buffer of cap bytes.
void SimAppend(char *buf, size_t cap, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void SimPadCopy(char *dst, size_t width, const char *src, size_t len);  // blank-padded, cut to width
