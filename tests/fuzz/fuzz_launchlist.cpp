// The launch list "Varoriva.inf". Any bytes must leave four terminated texts;
// a list written from fuzzer-chosen names must read back as those names.
#include <string>

#include "app/launchlist.h"
#include "tests/fuzz/fuzz.h"

static void Parse(const uint8_t *data, size_t size, Field f[4]) {
    for (int k = 0; k < 4; k++) ClearField(&f[k]);
    ByteSource source = {data, size, 0};
    ParseLaunchList(ReadSourceByte, &source, f[0].text, f[1].text, f[2].text, f[3].text);
    for (int k = 0; k < 4; k++) CHECK(FieldIntact(&f[k]));
    for (int k = 0; k < 4; k += 2) CHECK(!strpbrk(f[k].text, " \r\n"));  // names end there
    CHECK(strlen(f[1].text) <= 4 && strlen(f[3].text) <= 4);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Field f[4];
    Parse(data, size, f);
    if (size < 1) return 0;
    // Byte 0 chooses the options and the line ends; the rest, up to a NUL and
    // after it, gives the two names (blanks and line ends left out).
    std::string name[2], list;
    for (size_t i = 1, k = 0; i < size && k < 2; i++) {
        if (data[i] == 0)
            k++;
        else if (!strchr(" \r\n", data[i]))
            name[k] += (char)data[i];
    }
    bool option[2] = {(data[0] & 1) != 0, (data[0] & 2) != 0}, crlf = (data[0] & 4) || option[0];
    for (int k = 0; k < 2; k++) {
        name[k].resize(std::min(name[k].size(), (size_t)259));  // a path's longest
        list += name[k] + (option[k] ? " /NON" : "") + (crlf ? "\r\n" : "\n");
    }
    Parse((const uint8_t *)list.data(), list.size(), f);
    for (int k = 0; k < 2; k++)
        CHECK(name[k] == f[2 * k].text && !strcmp(f[2 * k + 1].text, option[k] ? "/NON" : ""));
    return 0;
}
