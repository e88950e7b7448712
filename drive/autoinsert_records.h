// The records of the auto-insert backup file "Rariru1.DAT": the key path
// under HKLM (NUL-terminated, at most 259 characters), then two bytes of the
// old value's decimal text.
#pragma once

#include "app/launchlist.h"  // ReadByteFn

enum { AUTOINSERT_PATH_MAX = 259 };

// Reads the next record from a byte source into path (261 bytes) and value
// (the first digit of the value text). Answers 1 for a whole record; 0 at the
// end of the file, for a record cut short, and for a path too long to be one
// (nothing after it is read then).
int ParseAutoInsertRecord(ReadByteFn readByte, void *context, char *path, unsigned char *value);
