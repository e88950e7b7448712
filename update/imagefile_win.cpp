// The thin Win32 read layer of the image and loader files.
#include <windows.h>
#include <string.h>

#include "app/appstate.h"
#include "app/msgbox.h"
#include "text/messages.h"
#include "update/imagefile.h"

static HANDLE OpenImage() {
    return CreateFileA(AppState.imageFile, GENERIC_READ, 0, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, NULL);
}

int CheckImageSize() {
    HANDLE file = OpenImage();
    if (file == INVALID_HANDLE_VALUE) {
        ShowMessage(NULL, MessageTable.MsgNoDataFile, MB_OK);
        return 0;
    }
    DWORD size = GetFileSize(file, NULL);
    CloseHandle(file);
    if (size != IMAGE_SIZE) {
        ShowMessage(NULL, MessageTable.MsgBadSize, MB_OK);
        return 0;
    }
    return 1;
}

int ReadImageHeader(unsigned long offset, ImageHeaderRecord *hdr) {
    unsigned char area[40];
    memset(area, 0, sizeof area);
    HANDLE file = OpenImage();
    if (file == INVALID_HANDLE_VALUE) {
        ShowMessage(NULL, MessageTable.MsgNoDataFile, MB_OK);
        return 0;
    }
    if (SetFilePointer(file, (LONG)offset, NULL, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
        ShowMessage(NULL, MessageTable.MsgAccessError, MB_OK);
        CloseHandle(file);
        return 0;
    }
    DWORD got = 0;
    if (!ReadFile(file, area, IMAGE_RECORD_SIZE, &got, NULL)) {
        ShowMessage(NULL, MessageTable.MsgReadError, MB_OK);
        CloseHandle(file);
        return 0;
    }
    CloseHandle(file);
    if (ParseImageRecord(area, hdr, ImageModel) != IMAGE_RECORD_OK) {
        ShowMessage(NULL, MessageTable.MsgInvalidData, MB_OK);
        return 0;
    }
    return 1;
}

// Reads the file as the runtime's text mode does: one read of at most
// 49,152 bytes, CR LF turned into LF, the content ending before 0x1A.
int LoadLoaderFile(const char *path) {
    static unsigned char raw[TRANSFER_BUFFER_SIZE + 1];
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    DWORD got = 0;
    if (!ReadFile(file, raw, sizeof raw, &got, NULL)) got = 0;
    CloseHandle(file);
    unsigned rawLength = got > (DWORD)TRANSFER_BUFFER_SIZE ? (unsigned)TRANSFER_BUFFER_SIZE : got;
    int hasNext = got > TRANSFER_BUFFER_SIZE;
    loaderLoadedLength =
        TextModeTransform(raw, rawLength, hasNext, raw[TRANSFER_BUFFER_SIZE], TransferBuffer);
    return 1;
}

int CheckLoaderPresent() {
    if (AppState.loaderFile[0] == 0) return 1;
    return LoadLoaderFile(AppState.loaderFile);
}
