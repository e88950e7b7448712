// Generators of firmware image and loader files for tests and the demo run.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

struct ImageOptions {
    std::string signature = "VELKOSA";                        // record bytes 0..6 (cut or NUL-padded to 7)
    std::string model = "HX-2150RA";                          // record bytes 8..23 (blank-padded to 16)
    std::string rev1 = "1.10", rev2 = "1.10", rev3 = "1.10";  // 4 bytes each, NUL-padded
    size_t size = 526336;
    enum Fill { Pattern,
                Zero,
                Byte } fill = Pattern;
    uint8_t fillByte = 0;
    uint32_t seed = 1;
};

// The image bytes: payload as chosen, identification record at 499,660 (when
// the file is long enough to hold it).
std::vector<uint8_t> MakeImage(const ImageOptions &opts);

struct LoaderOptions {
    uint32_t bodyLength = 4096;
    int64_t lengthField = -1;           // the 32-bit field at 60; -1: the body length
    std::string modelDigits = "21";     // identification digits at 28,732..28,733
    std::string firmwareDigits = "15";  // at 28,734..28,735
    bool checksumOk = true;
    size_t minSize = 28736;      // content is padded to at least this
    std::vector<size_t> crlfAt;  // body offsets where the file has CR LF (content: LF)
    int64_t eofAt = -1;          // content offset where a 0x1A byte ends the content
    uint32_t seed = 7;
};

// The loader file as it lies on disk (before the text-mode read).
std::vector<uint8_t> MakeLoader(const LoaderOptions &opts);

bool WriteFileBytes(const std::string &path, const std::vector<uint8_t> &bytes);
