// The launch list "Varoriva.inf": line 1 the image file name and an optional
// option, line 2 the loader file name and an optional option.
#pragma once

// Supplies the next byte of the file: answers 1 and stores the byte, or 0 at
// the end of the file (or when the read fails).
typedef int (*ReadByteFn)(void *context, unsigned char *byte);

// Parses the launch list from a byte source into four zero-filled 261-byte
// buffers. Never writes past position 260 of any of them.
void ParseLaunchList(ReadByteFn readByte, void *context, char *imageFile, char *option1,
                     char *loaderFile, char *option2);

// Opens "Varoriva.inf" in the current directory and parses it. When the file
// cannot be opened the image name, option 1 and the loader name become empty.
void ReadLaunchList(char *imageFile, char *option1, char *loaderFile, char *option2);
