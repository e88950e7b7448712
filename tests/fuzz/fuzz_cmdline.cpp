// The command line of a fresh start and its helpers. Input: two bytes of scan
// start, the character to scan for, the copy capacity, then the text.
#include <stdlib.h>

#include "app/cmdline.h"
#include "tests/fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) return 0;
    unsigned start = (data[0] | data[1] << 8) % 1100, cap = 1 + data[3] % 300;
    char ch = (char)data[2];
    const char *text = (const char *)data + 4;
    size_t length = size - 4;

    // SpanTo: the first ch from start, below the buffer's end and index 999.
    char *exact = (char *)malloc(length + 1);  // every byte past it is a sanitizer error
    memcpy(exact, text, length);
    unsigned r = SpanTo(start, ch, exact, (unsigned)length), end = length < 999 ? length : 999;
    if (r)
        CHECK(start + r - 1 < end && exact[start + r - 1] == ch && !memchr(exact + start, ch, r - 1));
    else
        CHECK(start >= end || !memchr(exact + start, ch, end - start));

    // CopyBounded: a prefix of src within cap bytes; 1 only when src fit whole.
    exact[length] = 0;
    char *dst = (char *)malloc(cap);
    int fit = CopyBounded(dst, exact, cap);
    size_t srcLength = strlen(exact), kept = srcLength < cap ? srcLength : cap - 1;
    CHECK(fit == (srcLength < cap) && memchr(dst, 0, cap) && strlen(dst) == kept && !memcmp(dst, exact, kept));
    free(dst);
    free(exact);

    // The command line buffer as WinMain hands it over: 261 bytes.
    char line[PATH_CAP] = {};
    memcpy(line, text, length < PATH_CAP - 1 ? length : PATH_CAP - 1);
    Field image, option, program;
    ClearField(&image), ClearField(&option), ClearField(&program);
    ParseCommandLine(line, image.text, option.text);
    DeriveProgramPath(line, program.text);
    CHECK(FieldIntact(&image) && FieldIntact(&option) && FieldIntact(&program));
    // Image and option are words of the line after the closing quote; the
    // option follows a blank; the program path is the line from index 1 up
    // to that quote.
    const char *quote = strchr(line + 1, '"');
    CHECK(!image.text[0] || (quote && strstr(quote + 1, image.text) && !strchr(image.text, ' ')));
    CHECK(!option.text[0] || (quote && image.text[0] && !strchr(option.text, ' ')));
    char blankOption[PATH_CAP + 1] = " ";
    strcat(blankOption, option.text);
    CHECK(!option.text[0] || strstr(quote + 1, blankOption));
    size_t programLength = strlen(program.text);
    CHECK(!strchr(program.text, '"') && !memcmp(program.text, line + 1, programLength));
    return 0;
}
