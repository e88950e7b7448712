// The firmware image file and the loader file.
#pragma once

enum {
    IMAGE_SIZE = 526336,  // 257 blocks of 2,048 bytes
    IMAGE_BLOCK = 2048,
    IMAGE_BLOCKS = 257,
    IMAGE_RECORD_OFFSET = 499660,
    IMAGE_RECORD_SIZE = 38,
    TRANSFER_BUFFER_SIZE = 49152,
    LOADER_HEADER_SIZE = 64,
    LOADER_ID_OFFSET = 28732,
};

struct ImageHeaderRecord {
    char revision1[5];
    char revision2[5];
    char revision3[5];
};
static_assert(sizeof(ImageHeaderRecord) == 15, "three contiguous 5-byte slots");

extern ImageHeaderRecord ImageHeader;
extern char ImageModel[20];
extern unsigned char TransferBuffer[TRANSFER_BUFFER_SIZE];
// Bytes of loader content that the last LoadLoaderFile put into TransferBuffer.
extern unsigned loaderLoadedLength;

// What the identification record says. IMAGE_RECORD_OK fills hdr and model.
enum ImageRecordResult { IMAGE_RECORD_OK,
                         IMAGE_RECORD_BAD_SIGNATURE,
                         IMAGE_RECORD_BAD_MODEL };
ImageRecordResult ParseImageRecord(const unsigned char *record, ImageHeaderRecord *hdr,
                                   char *model);

// The pairing of a drive's product identification with the image model:
// 1 when the image may be written into that drive, 0 when it must be refused.
int ImageFitsDrive(const char *productId, const char *imageModel);

// The runtime's text-mode read: CR LF becomes LF and the content ends before
// the first 0x1A. raw holds rawLength bytes of the file; when the file goes on
// after them, next is the byte that follows (hasNext = 1), so that a CR at the
// end can be paired with an LF. Answers the number of bytes written to out
// (never more than rawLength).
unsigned TextModeTransform(const unsigned char *raw, unsigned rawLength, int hasNext,
                           unsigned char next, unsigned char *out);

// Loader checks over TransferBuffer as the last LoadLoaderFile left it.
bool LoaderChecksum();
unsigned LoaderBodyLength();
// 1 when the body and the identification digits lie inside what was loaded.
int LoaderLayoutValid();

// Win32 side.
int CheckImageSize();
int ReadImageHeader(unsigned long offset, ImageHeaderRecord *hdr);
int LoadLoaderFile(const char *path);
int CheckLoaderPresent();
