// The simulated drives' scenario file: a world in bounds or an error naming a line; its drives take any request.
#include <string>

#include "sim/scenario.h"
#include "tests/fuzz/fuzz.h"

static SimWorld world;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text((const char *)data, strnlen((const char *)data, size));  // a file reads up to a NUL
    char err[SIM_ERROR_CAP + 1];
    err[SIM_ERROR_CAP] = 0x5A;
    SimInit(&world);
    unsigned line = 0, lines = 1;
    for (char c : text) lines += c == '\n';
    if (!SimParse(&world, text.c_str(), err, SIM_ERROR_CAP))
        CHECK(sscanf(err, "line %u: ", &line) == 1 && line >= 1 && line <= lines);
    CHECK(memchr(err, 0, SIM_ERROR_CAP) && err[SIM_ERROR_CAP] == 0x5A);
    for (int i = 0; i < world.deviceCount && !line; i++) {
        const SimDevice &d = world.devices[i];
        CHECK(d.adapter < SIM_MAX_ADAPTERS && d.target <= SIM_MAX_TARGET && d.kind <= SIM_KIND_OTHER && d.imageSize);
        CHECK(d.faultCount <= SIM_MAX_FAULTS && (!d.letter || (d.letter >= 'A' && d.letter <= 'Z')));
        for (int j = 0; j < i; j++) CHECK(!d.letter || d.letter != world.devices[j].letter);
    }
    static const unsigned char cdbs[][12] = {// a standard and a page INQUIRY, a block, the save, the loader
                                             {0x12, 0, 0, 0, 0x20},
                                             {0x12, 1, 0x81, 0, 0xFF},
                                             {0x3B, 6, 0, 0, 0, 0, 0, 0x08},
                                             {0x3B, 7, 0, 0x08, 0, 0, 0, 0x08},
                                             {0xCD, 0xFF},
                                             {0xCD, 0, 0, 0, 0, 0, 0, 0, 0, 100},
                                             {0xCC, 0, 1, 0, 0, 0, 0, 0, 0, 0x12},
                                             {0x00},
                                             {0x1B, 0, 0, 0, 2}};
    static unsigned char buffer[4096];
    for (int i = 0; i < world.deviceCount && !line; i++)
        for (const auto &cdb : cdbs) {  // flags without a direction: the command's own
            SimRequest r = {(unsigned)world.devices[i].adapter, (unsigned)world.devices[i].target, 0, 0, 4096, buffer, 12, {0}};
            memcpy(r.cdb, cdb, sizeof cdb);
            SimOutcome o;
            SimExecute(&world, &r, 1000u * i, &o);
            CHECK(o.replyLen <= r.bufLen && o.senseLen <= SIM_SENSE_LEN && strlen(o.line) < SIM_LINE_CAP);
            CHECK(o.status != SS_PENDING || o.never);
        }
    SimFree(&world);
    return 0;
}
