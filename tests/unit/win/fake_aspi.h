// A fake ASPI manager for the unit tests: requests complete on a thread of
// its own, as with a real manager, against drives that a test describes and
// the simulated drives' model (sim/model.h) answers for; message boxes are
// recorded instead of shown; a tick counter makes the program's waits and
// time-outs instant.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "drive/aspi.h"

// What a drive turns into after the finish command or the loader.
struct Stage {
    int adapter = -1, target = -1;  // a new address (-1: unchanged)
    std::string revision;           // empty: unchanged
    int firmware = -1, model = -1;  // new vendor status codes (-1: unchanged)
    int down = 0;                   // standard INQUIRYs answered "no device" before it is back
};

struct FakeDrive {
    int adapter = 0, target = 1;
    std::string product = "HX-2150RA";
    std::string revision = "1.00";
    bool usb = false;  // answers the vendor status command
    BYTE firmware = 0x10, model = 0x21;
    bool disc = false;
    int down = 0;
    Stage afterFinish, afterLoader;
};

// A request as the manager saw it when it was sent.
struct Sent {
    int ha, tgt;
    BYTE cdb[16];  // all of CDBByte
    DWORD bufLen;
    BYTE flags, lun, senseLen, cdbLen;  // SRB_Flags, SRB_Lun, SRB_SenseLen, SRB_CDBLen
    bool posted;                        // with a completion routine
    DWORD time;                         // the tick counter
    DWORD progress;                     // progressValue
    std::vector<BYTE> data;             // WRITE BUFFER and loader data
    bool Is(BYTE op, int byte1 = -1) const { return cdb[0] == op && (byte1 < 0 || cdb[1] == byte1); }
    DWORD Offset() const { return cdb[3] << 16 | cdb[4] << 8 | cdb[5]; }
};

struct Box {
    HWND owner;
    std::string text;
    unsigned style;
};

extern std::vector<FakeDrive> drives;
extern std::vector<Sent> sent;
extern std::vector<BYTE> assembled;  // what the WRITE BUFFER commands put together
extern std::vector<Box> boxes;
extern int confirmAnswer;  // the answer to OK/Cancel questions
extern DWORD supportInfo;  // GetASPI32SupportInfo
// Decides a request's fate before the drives see it: -1 leaves it to them,
// otherwise its final status (0: it never completes); may set SRB_TargStat.
extern std::function<int(const Sent &, SRB_ExecSCSICmd *)> fault;
// Runs for every request, on the manager's thread, before anything else.
extern std::function<BYTE(SRB_ExecSCSICmd *)> execute;  // replaces the drives when set
extern DWORD delayBeforePost;                           // ms between the final status and the completion routine
extern SRB_ExecSCSICmd *volatile held;                  // the last request that never completed

// Back to no drives, no faults, the fake ticks and English messages.
void ResetFake();
// Waits until the manager has nothing left to do.
void DrainFake();
// Completes a request that was held, from another thread, as a late manager would.
void CompleteLater(SRB_ExecSCSICmd *srb, BYTE status);
int CountSent(BYTE op, int byte1 = -1);
// What the drives answer a request, on the caller's thread: recorded in
// sent and passed by the fault first, as for a request sent to the manager.
BYTE AnswerAsDrive(SRB_ExecSCSICmd *srb);
