// Splitting the command line into the image name and its option, and SpanTo.
#include "app/cmdline.h"

#include <string.h>

#include "app/appstate.h"

unsigned SpanTo(unsigned start, char ch, const char *text, unsigned cap) {
    unsigned end = cap < 999 ? cap : 999;
    for (unsigned i = start; i < end; i++) {
        if (text[i] == ch) return i - start + 1;
    }
    return 0;
}

int CopyBounded(char *dst, const char *src, unsigned cap) {
    unsigned i = 0;
    for (; i + 1 < cap && src[i]; i++) dst[i] = src[i];
    dst[i] = 0;
    return src[i] == 0;
}

static int IsBlank(char c) { return c == ' '; }

// Copies the first blank-delimited word of text (leading blanks skipped).
static void CopyWord(const char *text, char *out) {
    while (IsBlank(*text)) text++;
    unsigned n = 0;
    while (text[n] && !IsBlank(text[n]) && n + 1 < PATH_CAP) {
        out[n] = text[n];
        n++;
    }
    out[n] = 0;
}

void ParseCommandLine(const char *commandLine, char *imageFile, char *option) {
    char work[PATH_CAP];
    memset(work, 0, sizeof work);
    CopyBounded(work, commandLine, sizeof work);

    unsigned quote = SpanTo(1, '"', work, sizeof work);  // index of the closing quote
    if (quote == 0) return;

    // The closing quote and one separating character are skipped.
    if (work[quote + 1] == 0) return;
    unsigned start = quote + 2;
    if (start >= sizeof work || work[start] == 0) return;

    const char *name = work + start;
    const char *blank = strchr(name, ' ');
    if (blank) {
        CopyWord(blank + 1, option);
        CopyWord(name, imageFile);
    } else {
        CopyBounded(imageFile, name, PATH_CAP);
    }
}

void DeriveProgramPath(const char *commandLine, char *programPath) {
    char work[PATH_CAP];
    memset(work, 0, sizeof work);
    CopyBounded(work, commandLine, sizeof work);
    unsigned k = SpanTo(1, '"', work, sizeof work);
    work[k] = 0;
    CopyBounded(programPath, work + 1, PATH_CAP);
}

int IsForceOption(const char *option) { return strcmp(option, "/NON") == 0; }
