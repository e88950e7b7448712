// The update procedure of drives that answer the vendor status command.
#pragma once
#include "app/platform.h"

// Runs the whole update of the drive at (adapter, target): image phase,
// loader phase, checks and messages. Answers 0, 1 or 2.
int RunUpdate(BYTE adapter, BYTE target);
