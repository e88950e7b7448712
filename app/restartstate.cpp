// The layout of the restart state file "Rariru2.DAT": writing and reading its four texts.
#include "app/restartstate.h"

#include "app/appstate.h"

// Reads one NUL-terminated record into a 261-byte field.
static void ParseRecord(ReadByteFn readByte, void *context, char *field) {
    unsigned n = 0;
    unsigned char c;
    while (readByte(context, &c)) {
        if (n < PATH_CAP - 1) field[n++] = (char)c;
        if (c == 0) return;
    }
}

void ParseRestartState(ReadByteFn readByte, void *context, char *commandLine,
                       char *currentDirectory, char *imageFile, char *option) {
    ParseRecord(readByte, context, commandLine);
    ParseRecord(readByte, context, currentDirectory);
    ParseRecord(readByte, context, imageFile);
    // The option takes every byte up to the end of the file (the first 260).
    unsigned n = 0;
    unsigned char c;
    while (readByte(context, &c)) {
        if (n < PATH_CAP - 1) option[n++] = (char)c;
    }
}
