// Reading the launch list from the current directory: the thin Win32 layer of its parser.
#include <windows.h>

#include "app/launchlist.h"

static int ReadFileByte(void *context, unsigned char *byte) {
    DWORD got = 0;
    ReadFile((HANDLE)context, byte, 1, &got, NULL);
    return got == 1;
}

void ReadLaunchList(char *imageFile, char *option1, char *loaderFile, char *option2) {
    HANDLE file = CreateFileA("Varoriva.inf", GENERIC_READ, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        imageFile[0] = 0;
        option1[0] = 0;
        loaderFile[0] = 0;
        return;
    }
    ParseLaunchList(ReadFileByte, file, imageFile, option1, loaderFile, option2);
    CloseHandle(file);
}
