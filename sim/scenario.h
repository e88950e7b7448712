// The scenario file of the simulated drives (its keys: sim/README.md): text
// in, a world of the drive model (sim/model.h) out.
#pragma once
#include <stddef.h>

#include "sim/model.h"

// Reads a scenario into w (SimInit'ed). On failure returns 0 and puts
// "line N: what" in err; the world may then hold part of the scenario and
// is to be SimFree'd.
int SimParse(SimWorld *w, const char *text, char *err, size_t errCap);
int SimLoadFile(SimWorld *w, const char *path, char *err, size_t errCap);

// The keys a scenario may use, NULL-terminated: of the whole scenario, of a
// [device] section, of an `after` stage and of a `fault` line.
extern const char *const SimWorldKeys[], *const SimDeviceKeys[], *const SimStageKeys[], *const SimFaultKeys[];
