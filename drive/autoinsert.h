// The drives' automatic insert notification on the 9x family
// ("AutoInsertNotification" in the instance keys under HKLM\Enum\SCSI).
#pragma once
#include "app/platform.h"

// Reads one record of the backup file: the key path (NUL-terminated, at most
// 259 characters) and its value. Answers 1 for a whole record, 0 at the end.
int ReadAutoInsertRecord(HANDLE file, char *path, BYTE *value);

// Sets every value recorded in the backup file again. Answers 1 on success.
int RestoreAutoInsert();
