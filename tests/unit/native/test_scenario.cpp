// The simulated drives' scenario parser: what every key sets, and every mistake an error naming its line.
#include <gtest/gtest.h>
#include <string.h>

#include <functional>
#include <string>

#include "sim/scenario.h"

namespace {

// What must hold of the world, of the device of the row's section (its
// vendor, product and revision one run of 28 characters), of its stages
// (s[0] save, s[1] finish, s[2] loader) and of its faults.
typedef std::function<bool(const SimWorld &, const SimDevice &, const SimStage *, const SimFault *)> Holds;
#define HOLDS(expr) [](const SimWorld &w, const SimDevice &d, const SimStage *s, const SimFault *f) { return bool(expr); }

const struct {
    const char *text;
    Holds holds;
} kSettings[] = {
    // each after a line [device 0 1]
    {"", HOLDS(d.kind == SIM_KIND_CDRW && d.peripheralType == 5 && !memcmp(d.vendor, "SIMDRV  SIM CD-RW       1.00", 28) &&
               d.imageSize == SIM_IMAGE_SIZE && s[0].revisionFrom == 3 && s[0].downMode == SIM_UP &&
               s[2].downMode == SIM_DOWN_ABSENT && s[2].downMs == 5000 && w.adapterCount < 0)},
    {"adapters 7\r\naspi_status 0x11", HOLDS(w.adapterCount == 7 && w.aspiStatus == 0x11)},
    {"support_info 0x0102  - 5", HOLDS(w.supportCount == 3 && w.supportInfo[0] == 0x102 &&
                                       w.supportInfo[1] == SIM_SUPPORT_COMPUTED && w.supportInfo[2] == 5)},
    {"dump_dir \"C:\\\\d \\x41\"", HOLDS(!strcmp(w.dumpDir, "C:\\d A"))},
    {"kind disk", HOLDS(d.kind == SIM_KIND_DISK && d.peripheralType == 0 && !memcmp(d.product, "SIM DISK        ", 16))},
    {"type 9\nkind scanner", HOLDS(d.kind == SIM_KIND_SCANNER && d.peripheralType == 9)},
    {"vendor ACME\nproduct \"HX 2150\"\nrevision 1.1", HOLDS(!memcmp(d.vendor, "ACME    HX 2150         1.1 ", 28))},
    {"usb 1\nfirmware_code 0x15\nmodel_code 33\ndisc 1", HOLDS(d.usb &&d.firmwareCode == 0x15 && d.modelCode == 33 && d.disc)},
    {"latency_ms 12\nimage_size 4096\nletter e", HOLDS(d.latencyMs == 12 && d.imageSize == 4096 && d.letter == 'E')},
    {"after finish down=notready down_ms=7 down_inquiries=3 address=1:4",
     HOLDS(s[1].downMode == SIM_DOWN_NOTREADY && s[1].downMs == 7 && s[1].downInquiries == 3 && s[1].moveAdapter == 1 &&
           s[1].moveTarget == 4 && s[2].moveTarget < 0)},
    {"after save revision=2.0 revision_from=none down=absent",
     HOLDS(s[0].hasRevision && !memcmp(s[0].revision, "2.0 ", 4) && !s[0].revisionFrom && s[0].downMode == SIM_DOWN_ABSENT)},
    {"after loader revision_from=2 firmware_code=0x16 model_code=0x22 attention=1",
     HOLDS(s[2].revisionFrom == 2 && s[2].firmwareCode == 0x16 && s[2].modelCode == 0x22 && s[2].attention && s[1].modelCode < 0)},
    {"fault never op=3B cdb1=07 offset=2048 from=2 count=3",
     HOLDS(f->kind == SIM_FAULT_NEVER && f->opcode == 0x3B && f->cdb1 == 7 && f->offset == 2048 && f->from == 2 && f->count == 3)},
    {"fault busy which=4", HOLDS(f->kind == SIM_FAULT_BUSY && f->from == 4 && f->count == 1 && f->opcode == -1)},
    {"fault error status=1 targ=8", HOLDS(f->kind == SIM_FAULT_ERROR && f->status == 1 && f->targ == 8 && !f->hasSense)},
    {"fault error sense=6/29", HOLDS(f->hasSense && f->senseKey == 6 && f->asc == 0x29 && !f->ascq && f->status == SS_ERR)},
    {"fault error\nfault delay ms=50 op=any", HOLDS(f[0].senseKey == 5 && f[0].asc == 0x24 && d.faultCount == 2 &&
                                                    f[1].kind == SIM_FAULT_DELAY && f[1].ms == 50)},
};

TEST(Scenario, EveryKeySetsItsField) {
    static SimWorld w;
    std::string named = " ";  // every row's words
    for (const auto &c : kSettings) {
        char err[SIM_ERROR_CAP];
        SimInit(&w);
        EXPECT_TRUE(SimParse(&w, (std::string("[device 0 1]\n") + c.text).c_str(), err, sizeof err)) << err;
        EXPECT_TRUE(c.holds(w, w.devices[0], w.devices[0].stages, w.devices[0].faults)) << c.text;
        SimFree(&w);
        for (const char *t = c.text; *t; t++) named += strchr("\r\n=", *t) ? ' ' : *t;
        named += ' ';
    }
    for (auto keys : {SimWorldKeys, SimDeviceKeys, SimStageKeys, SimFaultKeys})
        for (int i = 0; keys[i]; i++) EXPECT_NE(named.find(std::string(" ") + keys[i] + " "), std::string::npos) << keys[i];
}

TEST(Scenario, EveryMistakeIsAnErrorNamingItsLine) {
    const struct { std::string text, error; } cases[] = {
        {"prodct X", "line 1: unknown key 'prodct'"},
        {"[device 0 1]\n\n# a comment\nfault bsy", "line 4: fault: unknown kind 'bsy' (never, busy, error or delay)"},
        {"[device 0 1]\nafter finish sleep=1", "line 2: after finish: unknown key 'sleep'"},
        {"[device 0 1]\nfault delay ms=1 targ=2", "line 2: fault delay: targ= is for error faults only"},
        {"[device 0 1]\nfault delay", "line 2: fault delay: ms=... is required"},
        {"[device 0]", "line 1: expected [device <adapter> <target>]"},
        {"[device 0 1]\n[device 0 1]", "line 2: device 0 1 given twice"},
        {"usb 1", "line 1: 'usb' outside a [device <adapter> <target>] section"},
        {"[device 0 1]\nusb", "line 2: usb: value missing"},
        {"adapters 256", "line 1: adapters: 256 is outside 0..255"},
        {"[device 0 1]\nafter finish down_ms=0x", "line 2: down_ms: '0x' is not a number"},
        {"[device 0 1]\nproduct 12345678901234567", "line 2: product: longer than 16 characters"},
        {"[device 0 1]\nrevision \"1.0", "line 2: revision: bad quoted text"},
        {"dump_dir " + std::string(261, 'x'), "line 1: dump_dir: not a path of 1 to 260 characters"},
        {"[device 0 1]\nletter D\n[device 0 2]\nletter d", "line 4: letter D given twice"},
        {"[device 0 1]\nafter loader revision_from=0", "line 2: revision_from: 0 is outside 1..3"},
        {"[device 0 1]\nfault error sense=6", "line 2: fault: sense must be KEY/ASC or KEY/ASC/ASCQ in hex, such as 2/3A/00"},
    };
    static SimWorld w;
    for (const auto &c : cases) {
        char err[SIM_ERROR_CAP];
        SimInit(&w);
        EXPECT_FALSE(SimParse(&w, c.text.c_str(), err, sizeof err)) << c.text;
        EXPECT_EQ(err, c.error);
        SimFree(&w);
    }
}

}  // namespace
