// The restart state file "Rariru2.DAT". Any bytes must leave four terminated
// texts; a file written from fuzzer-chosen texts reads back as those texts.
#include <string>

#include "app/restartstate.h"
#include "tests/fuzz/fuzz.h"

static void Parse(const uint8_t *data, size_t size, Field f[4]) {
    for (int k = 0; k < 4; k++) ClearField(&f[k]);
    ByteSource source = {data, size, 0};
    ParseRestartState(ReadSourceByte, &source, f[0].text, f[1].text, f[2].text, f[3].text);
    for (int k = 0; k < 4; k++) CHECK(FieldIntact(&f[k]));
    CHECK(source.at == size);  // the option runs to the end of the file
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Field f[4];
    Parse(data, size, f);
    // The four texts are the input's first four NUL-separated pieces. The
    // writer puts each one down with its NUL; they read back cut to 260.
    std::string text[4], file;
    for (size_t i = 0, k = 0; i < size && k < 4; i++) {
        if (data[i] == 0)
            k++;
        else
            text[k] += (char)data[i];
    }
    for (int k = 0; k < 4; k++) file += text[k] + std::string(1, '\0');
    Parse((const uint8_t *)file.data(), file.size(), f);
    for (int k = 0; k < 4; k++) CHECK(text[k].substr(0, PATH_CAP - 1) == f[k].text);
    return 0;
}
