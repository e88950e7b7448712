// Firmware images and loader files made for the tests and the main job.
#include "tools/fixtures.h"

#include <stdio.h>
#include <string.h>

static uint8_t PatternByte(size_t i, uint32_t seed) {
    uint32_t x = (uint32_t)i * 2654435761u + seed * 40503u;
    x ^= x >> 13;
    return (uint8_t)(x ^ (x >> 8));
}

std::vector<uint8_t> MakeImage(const ImageOptions &opts) {
    std::vector<uint8_t> image(opts.size);
    for (size_t i = 0; i < image.size(); i++) {
        switch (opts.fill) {
        case ImageOptions::Pattern: image[i] = PatternByte(i, opts.seed); break;
        case ImageOptions::Zero: image[i] = 0; break;
        case ImageOptions::Byte: image[i] = opts.fillByte; break;
        }
    }
    const size_t at = 499660;
    if (image.size() < at + 38) return image;
    uint8_t *record = &image[at];
    memset(record, 0, 7);
    memcpy(record, opts.signature.data(), opts.signature.size() < 7 ? opts.signature.size() : 7);
    memset(record + 8, ' ', 16);
    memcpy(record + 8, opts.model.data(), opts.model.size() < 16 ? opts.model.size() : 16);
    const std::string *revs[3] = {&opts.rev1, &opts.rev2, &opts.rev3};
    for (int k = 0; k < 3; k++) {
        memset(record + 24 + 4 * k, 0, 4);
        memcpy(record + 24 + 4 * k, revs[k]->data(), revs[k]->size() < 4 ? revs[k]->size() : 4);
    }
    return image;
}

// Bytes that the text-mode read would change.
static bool Unsafe(uint8_t b) { return b == 0x0D || b == 0x1A; }

std::vector<uint8_t> MakeLoader(const LoaderOptions &opts) {
    const size_t body = 64;
    size_t size = body + opts.bodyLength;
    if (size < opts.minSize) size = opts.minSize;
    std::vector<uint8_t> content(size);
    for (size_t i = 0; i < size; i++) {
        uint8_t b = PatternByte(i, opts.seed);
        content[i] = Unsafe(b) ? 0x20 : b;
    }
    memcpy(content.data(), "DISCMEND TEST LOADER", 20);
    uint32_t field = opts.lengthField >= 0 ? (uint32_t)opts.lengthField : opts.bodyLength;
    content[60] = (uint8_t)(field >> 24);
    content[61] = (uint8_t)(field >> 16);
    content[62] = (uint8_t)(field >> 8);
    content[63] = (uint8_t)field;
    for (size_t at : opts.crlfAt) {
        if (body + at < size) content[body + at] = '\n';
    }
    const size_t id = 28732;
    if (size >= id + 4) {
        content[id] = (uint8_t)opts.modelDigits[0];
        content[id + 1] = (uint8_t)opts.modelDigits[1];
        content[id + 2] = (uint8_t)opts.firmwareDigits[0];
        content[id + 3] = (uint8_t)opts.firmwareDigits[1];
    }

    // Make the 16-bit word sum over the body zero (or one off), adjusting a
    // word that nothing else owns and whose bytes survive the text-mode read.
    size_t words = opts.bodyLength / 2;
    if (words > 0 && body + 2 * words <= size) {
        auto wordAt = [&](size_t k) { return (uint16_t)(content[body + 2 * k] * 256 + content[body + 2 * k + 1]); };
        auto owned = [&](size_t k) {
            size_t a = body + 2 * k;
            if (a + 1 >= id && a <= id + 3) return true;
            for (size_t at : opts.crlfAt) {
                if (body + at == a || body + at == a + 1 || body + at + 1 == a) return true;
            }
            return (opts.eofAt >= 0 && (size_t)opts.eofAt >= a - 1 && (size_t)opts.eofAt <= a + 1);
        };
        for (size_t k = 0; k < words; k++) {
            if (owned(k)) continue;
            uint16_t sum = 0;
            for (size_t j = 0; j < words; j++) {
                if (j != k) sum = (uint16_t)(sum + wordAt(j));
            }
            uint16_t need = (uint16_t)(0 - sum + (opts.checksumOk ? 0 : 1));
            uint8_t hi = (uint8_t)(need >> 8), lo = (uint8_t)need;
            uint8_t before = content[body + 2 * k - 1];
            if (Unsafe(hi) || Unsafe(lo) || (before == 0x0D && hi == 0x0A)) continue;
            content[body + 2 * k] = hi;
            content[body + 2 * k + 1] = lo;
            break;
        }
    }
    if (opts.eofAt >= 0 && (size_t)opts.eofAt < size) content[opts.eofAt] = 0x1A;

    // On disk every LF that the crlf list names is preceded by a CR.
    std::vector<uint8_t> file;
    file.reserve(size + opts.crlfAt.size());
    for (size_t i = 0; i < size; i++) {
        for (size_t at : opts.crlfAt) {
            if (body + at == i) file.push_back(0x0D);
        }
        file.push_back(content[i]);
    }
    return file;
}

bool WriteFileBytes(const std::string &path, const std::vector<uint8_t> &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}
