// mkfixture: writes firmware image and loader files for tests and the demo.
//
//   mkfixture image OUT [--signature S] [--model M] [--rev1 R] [--rev2 R] [--rev3 R]
//                       [--size N] [--fill pattern|zero|byte:XX] [--seed N]
//   mkfixture loader OUT [--body-length N] [--length-field N] [--model-digits DD]
//                        [--firmware-digits DD] [--bad-checksum] [--min-size N]
//                        [--crlf-at N]... [--eof-at N] [--seed N]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tools/fixtures.h"

static int Usage() {
    fprintf(stderr,
            "usage: mkfixture image OUT [--signature S] [--model M] [--rev1 R] [--rev2 R]\n"
            "                 [--rev3 R] [--size N] [--fill pattern|zero|byte:XX] [--seed N]\n"
            "       mkfixture loader OUT [--body-length N] [--length-field N]\n"
            "                 [--model-digits DD] [--firmware-digits DD] [--bad-checksum]\n"
            "                 [--min-size N] [--crlf-at N]... [--eof-at N] [--seed N]\n");
    return 2;
}

static long long Number(const char *text) { return strtoll(text, NULL, 0); }

int main(int argc, char **argv) {
    if (argc < 3) return Usage();
    const char *kind = argv[1];
    const char *out = argv[2];
    std::vector<uint8_t> bytes;
    if (strcmp(kind, "image") == 0) {
        ImageOptions opts;
        for (int i = 3; i < argc; i++) {
            const char *arg = argv[i];
            if (i + 1 >= argc) return Usage();
            const char *value = argv[++i];
            if (!strcmp(arg, "--signature"))
                opts.signature = value;
            else if (!strcmp(arg, "--model"))
                opts.model = value;
            else if (!strcmp(arg, "--rev1"))
                opts.rev1 = value;
            else if (!strcmp(arg, "--rev2"))
                opts.rev2 = value;
            else if (!strcmp(arg, "--rev3"))
                opts.rev3 = value;
            else if (!strcmp(arg, "--size"))
                opts.size = (size_t)Number(value);
            else if (!strcmp(arg, "--seed"))
                opts.seed = (uint32_t)Number(value);
            else if (!strcmp(arg, "--fill")) {
                if (!strcmp(value, "pattern"))
                    opts.fill = ImageOptions::Pattern;
                else if (!strcmp(value, "zero"))
                    opts.fill = ImageOptions::Zero;
                else if (!strncmp(value, "byte:", 5)) {
                    opts.fill = ImageOptions::Byte;
                    opts.fillByte = (uint8_t)strtoul(value + 5, NULL, 16);
                } else
                    return Usage();
            } else
                return Usage();
        }
        bytes = MakeImage(opts);
    } else if (strcmp(kind, "loader") == 0) {
        LoaderOptions opts;
        for (int i = 3; i < argc; i++) {
            const char *arg = argv[i];
            if (!strcmp(arg, "--bad-checksum")) {
                opts.checksumOk = false;
                continue;
            }
            if (i + 1 >= argc) return Usage();
            const char *value = argv[++i];
            if (!strcmp(arg, "--body-length"))
                opts.bodyLength = (uint32_t)Number(value);
            else if (!strcmp(arg, "--length-field"))
                opts.lengthField = Number(value);
            else if (!strcmp(arg, "--model-digits") && strlen(value) == 2)
                opts.modelDigits = value;
            else if (!strcmp(arg, "--firmware-digits") && strlen(value) == 2)
                opts.firmwareDigits = value;
            else if (!strcmp(arg, "--min-size"))
                opts.minSize = (size_t)Number(value);
            else if (!strcmp(arg, "--crlf-at"))
                opts.crlfAt.push_back((size_t)Number(value));
            else if (!strcmp(arg, "--eof-at"))
                opts.eofAt = Number(value);
            else if (!strcmp(arg, "--seed"))
                opts.seed = (uint32_t)Number(value);
            else
                return Usage();
        }
        bytes = MakeLoader(opts);
    } else {
        return Usage();
    }
    if (!WriteFileBytes(out, bytes)) {
        fprintf(stderr, "mkfixture: cannot write %s\n", out);
        return 1;
    }
    return 0;
}
