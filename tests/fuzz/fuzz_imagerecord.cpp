// The image identification record (38 bytes) and the image/drive pairing.
// Input: the record, then a drive's product identification.
#include <string>

#include "tests/fuzz/fuzz.h"
#include "update/imagefile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < IMAGE_RECORD_SIZE) return 0;
    unsigned char record[IMAGE_RECORD_SIZE];
    memcpy(record, data, sizeof record);
    struct {
        ImageHeaderRecord hdr;
        char model[20];
        unsigned char guard[16];
    } out, before;
    memset(&out, 0x5A, sizeof out);
    before = out;
    ImageRecordResult r = ParseImageRecord(record, &out.hdr, out.model);
    CHECK(!memcmp(out.guard, before.guard, sizeof out.guard));
    CHECK((r == IMAGE_RECORD_BAD_SIGNATURE) == (memcmp(record, "VELKOSA", 7) != 0));
    if (r != IMAGE_RECORD_OK) CHECK(!memcmp(&out.hdr, &before.hdr, sizeof out.hdr));
    if (r == IMAGE_RECORD_BAD_MODEL) CHECK(memchr(out.model, 0, sizeof out.model));
    if (r == IMAGE_RECORD_OK) {
        const char *slots[3] = {out.hdr.revision1, out.hdr.revision2, out.hdr.revision3};
        for (int i = 0; i < 3; i++) CHECK(!memcmp(slots[i], record + 24 + 4 * i, 4) && !slots[i][4]);
        CHECK(!memcmp(out.model, record + 8, 9) && !out.model[9]);
        CHECK(!strcmp(out.model, "HX-1150RA") || !strcmp(out.model, "HX-2150RA") || !strcmp(out.model, "HX-2170RA"));
    }
    // Byte 7, the model field past its 9th byte and bytes 36-37 are not read:
    // other values there give the same outcome.
    unsigned char other[IMAGE_RECORD_SIZE];
    memcpy(other, record, sizeof other);
    for (int i : {7, 17, 18, 19, 20, 21, 22, 23, 36, 37}) other[i] ^= 0xA5;
    decltype(out) again = before;
    CHECK(ParseImageRecord(other, &again.hdr, again.model) == r && !memcmp(&again.hdr, &out.hdr, sizeof out.hdr));
    if (r == IMAGE_RECORD_OK) CHECK(!strcmp(again.model, out.model));
    // Any product identification against the model the record names, or the
    // bytes there when it names none.
    std::string product((const char *)data + IMAGE_RECORD_SIZE, size - IMAGE_RECORD_SIZE);
    char named[17] = {};
    memcpy(named, record + 8, 16);
    const char *model = r == IMAGE_RECORD_OK ? out.model : named;
    int fits = ImageFitsDrive(product.c_str(), model);
    // A firmware never goes into the wrong family: the USB drive takes only
    // HX-2170RA images, and those go into no ATAPI drive.
    const char *p = product.c_str();
    bool usbImage = !strcmp(model, "HX-2170RA");
    if (!strncmp(p, "HX-2170RA USB", 13)) CHECK(fits == usbImage);
    if (!strncmp(p, "HX-2150RA", 9) || !strncmp(p, "HX-2350RU", 9)) CHECK(!fits || !usbImage);
    return 0;
}
