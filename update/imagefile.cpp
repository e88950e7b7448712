// Checking the firmware image's record and the loader's layout and checksum; no Win32 here.
#include "update/imagefile.h"

#include <string.h>

ImageHeaderRecord ImageHeader;
char ImageModel[20];
unsigned char TransferBuffer[TRANSFER_BUFFER_SIZE];
unsigned loaderLoadedLength;

static const char *const imageModels[] = {"HX-1150RA", "HX-2150RA", "HX-2170RA"};

ImageRecordResult ParseImageRecord(const unsigned char *record, ImageHeaderRecord *hdr,
                                   char *model) {
    char signature[8];
    memcpy(signature, record, 7);
    signature[7] = 0;
    if (strcmp(signature, "VELKOSA") != 0) return IMAGE_RECORD_BAD_SIGNATURE;

    memcpy(model, record + 8, 16);
    model[16] = 0;
    model[9] = 0;
    int known = 0;
    for (const char *m : imageModels) known |= strcmp(model, m) == 0;
    if (!known) return IMAGE_RECORD_BAD_MODEL;

    char *slots[3] = {hdr->revision1, hdr->revision2, hdr->revision3};
    for (int i = 0; i < 3; i++) {
        memcpy(slots[i], record + 24 + 4 * i, 4);
        slots[i][4] = 0;
    }
    return IMAGE_RECORD_OK;
}

int ImageFitsDrive(const char *productId, const char *imageModel) {
    if (strncmp(productId, "HX-2170RA USB", 13) == 0) return strcmp(imageModel, "HX-2170RA") == 0;
    if (strncmp(productId, "HX-2150RA", 9) == 0 || strncmp(productId, "HX-2350RU", 9) == 0)
        return strcmp(imageModel, "HX-1150RA") == 0 || strcmp(imageModel, "HX-2150RA") == 0;
    return 1;  // other drives get no pairing test
}

unsigned TextModeTransform(const unsigned char *raw, unsigned rawLength, int hasNext,
                           unsigned char next, unsigned char *out) {
    unsigned n = 0;
    for (unsigned i = 0; i < rawLength; i++) {
        unsigned char b = raw[i];
        if (b == 0x1A) break;
        if (b == '\r') {
            int lfFollows = i + 1 < rawLength ? raw[i + 1] == '\n' : (hasNext && next == '\n');
            if (lfFollows) {
                out[n++] = '\n';
                i++;
                continue;
            }
        }
        out[n++] = b;
    }
    return n;
}

unsigned LoaderBodyLength() { return TransferBuffer[62] * 256u + TransferBuffer[63]; }

bool LoaderChecksum() {
    unsigned words = LoaderBodyLength() / 2;
    unsigned short sum = 0;
    for (unsigned k = 0; k < words; k++) {
        unsigned at = LOADER_HEADER_SIZE + 2 * k;
        if (at + 1 >= TRANSFER_BUFFER_SIZE) return false;  // never read past the buffer
        sum = (unsigned short)(sum + TransferBuffer[at] * 256u + TransferBuffer[at + 1]);
    }
    return words == 0 || sum == 0;
}

int LoaderLayoutValid() {
    if (loaderLoadedLength < LOADER_HEADER_SIZE) return 0;
    // The loader command carries all four bytes of the length field: a field
    // of 65,536 or more can't describe a body inside the buffer.
    if (TransferBuffer[60] != 0 || TransferBuffer[61] != 0) return 0;
    if (LOADER_HEADER_SIZE + LoaderBodyLength() > loaderLoadedLength) return 0;
    if (LOADER_ID_OFFSET + 4 > loaderLoadedLength) return 0;
    return 1;
}
