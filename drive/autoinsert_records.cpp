// The records of the auto-insert backup file "Rariru1.DAT": writing and reading them.
#include "drive/autoinsert_records.h"

int ParseAutoInsertRecord(ReadByteFn readByte, void *context, char *path, unsigned char *value) {
    unsigned n = 0;
    for (;;) {
        unsigned char c;
        if (!readByte(context, &c)) return 0;
        if (n == AUTOINSERT_PATH_MAX + 1) return 0;  // no path is this long: not a record
        path[n++] = (char)c;
        if (c == 0) break;
    }
    // Both value bytes must be there: a record cut short is not restored.
    unsigned char text[2];
    if (!readByte(context, &text[0]) || !readByte(context, &text[1])) return 0;
    *value = (unsigned char)(text[0] - '0');
    return 1;
}
