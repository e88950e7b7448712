// Parsing the launch list "Varoriva.inf" into the image and loader names and their options.
#include "app/launchlist.h"

#include "app/appstate.h"

enum { NAME_MAX_BYTES = 260,
       OPTION_BYTES = 4 };

// Reads the 4 option bytes and discards the 2 line-end bytes after them. A file
// that ends within the option leaves the missing bytes zero.
static void ReadOption(ReadByteFn readByte, void *context, char *option) {
    unsigned char b;
    unsigned n = 0;
    for (; n < OPTION_BYTES; n++) {
        if (!readByte(context, &b)) break;
        option[n] = (char)b;
    }
    option[n] = 0;
    if (n < OPTION_BYTES) return;
    for (int k = 0; k < 2; k++) {
        if (!readByte(context, &b)) break;
    }
}

void ParseLaunchList(ReadByteFn readByte, void *context, char *imageFile, char *option1,
                     char *loaderFile, char *option2) {
    unsigned char b;
    int held = 0;  // a byte of line 2 read at the end of line 1

    // Line 1. A CR ends the name but not the line: the LF after it is read
    // at the next position and ends the line there. When the CR took the last
    // position (a name of 259 characters), only an LF right after it belongs
    // to line 1; any other byte is the first of line 2.
    for (unsigned i = 0; i < NAME_MAX_BYTES; i++) {
        if (!readByte(context, &b)) {
            imageFile[i] = 0;
            break;
        }
        if (b == '\r') {
            imageFile[i] = 0;
            if (i + 1 == NAME_MAX_BYTES && readByte(context, &b) && b != '\n') held = 1;
            continue;
        }
        if (b == '\n') {
            imageFile[i] = 0;
            break;
        }
        if (b == ' ') {
            ReadOption(readByte, context, option1);
            imageFile[i] = 0;
            break;
        }
        imageFile[i] = (char)b;
    }
    imageFile[NAME_MAX_BYTES] = 0;

    // Line 2.
    for (unsigned j = 0; j < NAME_MAX_BYTES; j++) {
        int got = held || readByte(context, &b);
        held = 0;
        if (!got || b == '\r' || b == '\n') {
            loaderFile[j] = 0;
            break;
        }
        if (b == ' ') {
            ReadOption(readByte, context, option2);
            loaderFile[j] = 0;
            break;
        }
        loaderFile[j] = (char)b;
    }
    loaderFile[NAME_MAX_BYTES] = 0;
}
