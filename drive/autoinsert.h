// The drives' automatic insert notification on the 9x family
// ("AutoInsertNotification" in the instance keys under HKLM\Enum\SCSI).
#pragma once
#include "app/platform.h"

// 1 when the chosen drive's model has an instance key with the value on.
int CheckAutoInsert();

// Writes the backup file anew and switches the values of the supported
// drives off. Answers 1 when every step succeeded.
int SwitchOffAutoInsert();

// Reads one record of the backup file: the key path (NUL-terminated, at most
// 259 characters) and its value. Answers 1 for a whole record, 0 at the end.
int ReadAutoInsertRecord(HANDLE file, char *path, BYTE *value);

// Sets every value recorded in the backup file again. Answers 1 on success.
int RestoreAutoInsert();
