// The loader file: the text-mode read into TransferBuffer as LoadLoaderFile
// does it, then the layout check, the body length and the checksum.
#include <algorithm>
#include <vector>

#include "tests/fuzz/fuzz.h"
#include "update/imagefile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    unsigned raw = size < TRANSFER_BUFFER_SIZE ? (unsigned)size : TRANSFER_BUFFER_SIZE;
    int hasNext = size > TRANSFER_BUFFER_SIZE;
    std::vector<unsigned char> exact(data, data + raw);  // reads past it are sanitizer errors
    memset(TransferBuffer, 0xA5, sizeof TransferBuffer);
    unsigned n = TextModeTransform(exact.data(), raw, hasNext, hasNext ? data[raw] : 0, TransferBuffer);
    CHECK(n <= raw);
    // The content ends before the first 0x1A. Only CRs that precede an LF are
    // dropped; a CR at the end of the read becomes the LF that follows it.
    size_t end = std::find(exact.begin(), exact.end(), 0x1A) - exact.begin();
    int joined = end == raw && raw && exact[raw - 1] == '\r' && hasNext && data[raw] == '\n';
    std::vector<unsigned char> in, out;
    in.reserve(end + 1), out.reserve(n);
    size_t crIn = 0, crLfIn = 0, crOut = 0;
    for (size_t i = 0; i < end; i++) {
        if (exact[i] != '\r') in.push_back(exact[i]);
        crIn += exact[i] == '\r';
        crLfIn += exact[i] == '\r' && i + 1 < end && exact[i + 1] == '\n';
    }
    for (size_t i = 0; i < n; i++) {
        if (TransferBuffer[i] != '\r') out.push_back(TransferBuffer[i]);
        crOut += TransferBuffer[i] == '\r';
    }
    if (joined) in.push_back('\n');
    CHECK(in == out && crOut + crLfIn + joined == crIn);

    loaderLoadedLength = n;
    bool sum = LoaderChecksum();  // whatever the length field says: inside the buffer
    if (!LoaderLayoutValid()) return 0;
    // The body that SendLoader moves and the length its command carries (the
    // field at 60) lie inside what was loaded, and so do the digits at 28,732.
    unsigned body = LoaderBodyLength();
    const unsigned char *f = TransferBuffer + 60;
    unsigned field = (unsigned)f[0] << 24 | f[1] << 16 | f[2] << 8 | f[3];
    CHECK(LOADER_HEADER_SIZE + body <= n && field == body && LOADER_ID_OFFSET + 4 <= n);
    // The checksum covers the loaded body only.
    memset(TransferBuffer + n, 0x5A, TRANSFER_BUFFER_SIZE - n);
    CHECK(LoaderChecksum() == sum);
    return 0;
}
