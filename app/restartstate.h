// The restart state file "Rariru2.DAT": the command line, the current
// directory, the image file name and the option, each a NUL-terminated text.
#pragma once

#include "app/launchlist.h"  // ReadByteFn

// Parses the four records from a byte source into four zero-filled buffers of
// 261 bytes. A record longer than 260 bytes is cut to 260 and the rest of it
// is skipped up to its NUL. The option runs to the end of the file. A file
// that ends early leaves the remaining buffers as they were. Never writes past
// position 259 of any buffer.
void ParseRestartState(ReadByteFn readByte, void *context, char *commandLine,
                       char *currentDirectory, char *imageFile, char *option);
