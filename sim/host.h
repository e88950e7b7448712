// What every host of the simulated drives shares: the WNASPI32.DLL stand-in,
// the pass-through preload and the Win32 unit tests' fake manager. One set of
// environment variables, one log, the image and loader files written at a
// save and a loader, and the ASPI request record turned into a request of
// the model and its outcome put back into the record.
//
//   DISCMEND_SIM_SCENARIO  the scenario file
//   DISCMEND_SIM_LOG       the log; one line appended per request (created if missing)
//   DISCMEND_SIM_DUMP_DIR  where image-<a>-<t>.bin and loader-<a>-<t>.bin are written
//
// Paths are unix paths or the host's own; on Windows a unix path (one that
// starts with '/') is taken as Wine's Z: drive. Plain stdio, and on Windows
// only KERNEL32 besides, so the DLL still loads on Windows 98. The caller
// keeps one thread at a time in a host.
#pragma once
#include <stdio.h>

#include "sim/model.h"

struct SimHost {
    SimWorld world;
    FILE *log;
    const char *name;         // at the start of its # lines: "wnaspi32", "ptdev"
    char note[SIM_LINE_CAP];  // the last # line
};

// Reads the environment: the scenario into h->world, the log opened, the
// dump directory taken (it overrides the scenario's dump_dir). Answers 1
// with the scenario's drives; 0 with an empty world, when no scenario is
// named (h->note says so) or it could not be read (h->note an "error:" line).
int SimHostOpen(SimHost *h, const char *name);
void SimHostClose(SimHost *h);

// One line into the log, with its newline, at once (several processes append
// to one log). Nothing without a log.
void SimHostLog(SimHost *h, const char *line);
// A "# name: ..." line into the log and h->note.
void SimHostNote(SimHost *h, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// SimExecute on the host's world, then the image file of a save or the
// loader file of a loader into the dump directory, named in the log line
// (dump=image-0-1.bin, dump=failed).
void SimHostExecute(SimHost *h, const SimRequest *r, unsigned long nowMs, SimOutcome *o);

// The request an ASPI record carries; 0 for a record that is no SCSI
// command (the manager answers SS_INVALID_SRB).
int SimRequestOf(const SRB_ExecSCSICmd *srb, SimRequest *r);
// Puts an outcome into the record: the reply into its buffer, the sense (at
// most SRB_SenseLen bytes), the host and target statuses; not SRB_Status.
void SimDeliver(const SimOutcome *o, SRB_ExecSCSICmd *srb);
