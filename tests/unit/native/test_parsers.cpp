// What the parsers make of the inputs a user gives: the command line, the
// launch list, the image's identification record and the loader. Their
// bounds on hostile input are the fuzz targets' business (tests/fuzz).
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "app/appstate.h"
#include "app/cmdline.h"
#include "app/launchlist.h"
#include "tools/fixtures.h"
#include "update/imagefile.h"

namespace {

TEST(CommandLine, ImageOptionAndProgramPath) {
    const struct { const char *line, *image, *option, *program; } cases[] = {
        {"\"C:\\T\\u.exe\" fw.bin /NON", "fw.bin", "/NON", "C:\\T\\u.exe"},
        {"\"C:\\T\\u.exe\"", "", "", "C:\\T\\u.exe"},
        {"\"C:\\u.exe\" ", "", "", "C:\\u.exe"},
        {"\"C:\\u.exe\"  fw.bin", "fw.bin", "fw.bin", "C:\\u.exe"},  // second blank opens the option
        {"\"C:\\u.exe\" \"fw.bin\"   /NON more", "\"fw.bin\"", "/NON", "C:\\u.exe"},
        {"\"C:\\u.exe\"Xfw.bin", "fw.bin", "", "C:\\u.exe"},  // any separator is skipped
        {"C:\\u.exe fw.bin", "", "", ":\\u.exe fw.bin"},      // unquoted: no image
    };
    for (const auto &c : cases) {
        char image[PATH_CAP] = {0}, option[PATH_CAP] = {0}, program[PATH_CAP] = {0};
        ParseCommandLine(c.line, image, option);
        DeriveProgramPath(c.line, program);
        EXPECT_STREQ(image, c.image) << c.line;
        EXPECT_STREQ(option, c.option) << c.line;
        EXPECT_STREQ(program, c.program) << c.line;
    }
    EXPECT_TRUE(IsForceOption("/NON"));
    for (const char *other : {"/non", "/NON ", "", "/ABC"}) EXPECT_FALSE(IsForceOption(other));
}

struct Source {
    std::string bytes;
    size_t at;
};

int NextByte(void *context, unsigned char *byte) {
    Source *s = (Source *)context;
    if (s->at >= s->bytes.size()) return 0;
    *byte = (unsigned char)s->bytes[s->at++];
    return 1;
}

TEST(LaunchList, NamesAndOptionsOfBothLines) {
    const std::string n259(259, 'n');  // a CR after it takes line 1's last place
    const struct {
        std::string content;
        const char *image, *option1, *loader, *option2;
    } cases[] = {
        {"fw.bin\r\nldr.bin /NON\r\n", "fw.bin", "", "ldr.bin", "/NON"},
        {"fw.bin /NON\r\n", "fw.bin", "/NON", "", ""},
        {"fw.bin\nldr.bin\r\n", "fw.bin", "", "ldr.bin", ""},
        {"fw.bin /NON\nldr.bin\n", "fw.bin", "/NON", "dr.bin", ""},  // two bytes after the option go
        {"fw.bin\r\nldr.bin\r\nthird.bin /NON\r\n", "fw.bin", "", "ldr.bin", ""},
        {"fw.bin", "fw.bin", "", "", ""},
        {"", "", "", "", ""},
        {n259 + "\rldr.bin", n259.c_str(), "", "ldr.bin", ""},  // only an LF is line 1's then
        {n259 + "\r ldr.bin", n259.c_str(), "", "", "ldr."},
    };
    for (const auto &c : cases) {
        char image[PATH_CAP] = {0}, option1[PATH_CAP] = {0}, loader[PATH_CAP] = {0},
             option2[PATH_CAP] = {0};
        Source source{c.content, 0};
        ParseLaunchList(NextByte, &source, image, option1, loader, option2);
        EXPECT_STREQ(image, c.image) << c.content;
        EXPECT_STREQ(option1, c.option1) << c.content;
        EXPECT_STREQ(loader, c.loader) << c.content;
        EXPECT_STREQ(option2, c.option2) << c.content;
    }
}

ImageRecordResult Parse(const ImageOptions &options, ImageHeaderRecord *header, char *model) {
    std::vector<uint8_t> image = MakeImage(options);
    return ParseImageRecord(&image[IMAGE_RECORD_OFFSET], header, model);
}

TEST(ImageRecord, SignatureModelAndRevisions) {
    ImageHeaderRecord header;
    char model[20];
    ImageOptions options;
    options.rev1 = "1.01", options.rev2 = "1.02", options.rev3 = "1.3";
    for (const char *known : {"HX-1150RA", "HX-2150RA", "HX-2170RA"}) {
        options.model = known;
        ASSERT_EQ(Parse(options, &header, model), IMAGE_RECORD_OK) << known;
        EXPECT_STREQ(model, known);
        EXPECT_STREQ(header.revision1, "1.01");
        EXPECT_STREQ(header.revision2, "1.02");
        EXPECT_STREQ(header.revision3, "1.3");
    }
    options.model = "HX-2160RA";
    EXPECT_EQ(Parse(options, &header, model), IMAGE_RECORD_BAD_MODEL);
    options.model = "HX-2150RA";
    options.signature = "VELKOSb";
    EXPECT_EQ(Parse(options, &header, model), IMAGE_RECORD_BAD_SIGNATURE);
}

TEST(ImageRecord, PairingFollowsTheDriveModel) {
    const struct {
        const char *drive, *image;
        int fits;
    } cases[] = {
        {"HX-2170RA USB", "HX-2170RA", 1},
        {"HX-2170RA USB", "HX-2150RA", 0},
        {"HX-2150RA    ", "HX-1150RA", 1},
        {"HX-2350RU    ", "HX-2150RA", 1},
        {"HX-2350RU    ", "HX-2170RA", 0},
        {"HX-2170RA    ", "HX-2150RA", 1},
    };
    for (const auto &c : cases) EXPECT_EQ(ImageFitsDrive(c.drive, c.image), c.fits) << c.drive << c.image;
}

std::vector<uint8_t> Transform(const std::string &raw, int hasNext = 0, unsigned char next = 0) {
    std::vector<uint8_t> out(raw.size() + 1);
    out.resize(TextModeTransform((const unsigned char *)raw.data(), (unsigned)raw.size(), hasNext,
                                 next, out.data()));
    return out;
}

std::vector<uint8_t> Bytes(const std::string &text) { return {text.begin(), text.end()}; }

TEST(Loader, TextModeReadChecksumAndLayout) {
    EXPECT_EQ(Transform("a\r\nb\r\n"), Bytes("a\nb\n"));
    EXPECT_EQ(Transform("a\rb\n\r"), Bytes("a\rb\n\r"));
    EXPECT_EQ(Transform(std::string("ab\x1A"
                                    "cd",
                                    5)),
              Bytes("ab"));
    EXPECT_EQ(Transform("ab\r", 1, '\n'), Bytes("ab\n"));  // paired with the byte after the read

    // The length field's upper half must be 0: the loader command carries all four bytes.
    const struct {
        int64_t lengthField;
        bool checksumOk;
        unsigned loaded;
        bool sumPasses, valid;
    } cases[] = {
        {-1, true, 0, true, true},
        {-1, false, 0, false, true},
        {-1, true, LOADER_ID_OFFSET + 3, true, false},  // the identification digits cut off
        {0x10000 + 4096, true, 0, true, false},
        {0x1000000 + 4096, true, 0, true, false},
    };
    for (const auto &c : cases) {
        LoaderOptions options;
        options.lengthField = c.lengthField, options.checksumOk = c.checksumOk;
        std::vector<uint8_t> file = MakeLoader(options);
        memcpy(TransferBuffer, file.data(), file.size());
        loaderLoadedLength = c.loaded ? c.loaded : (unsigned)file.size();
        EXPECT_EQ(LoaderBodyLength(), 4096u);
        EXPECT_EQ(LoaderChecksum(), c.sumPasses) << c.lengthField;
        EXPECT_EQ(LoaderLayoutValid(), c.valid) << c.lengthField;
    }
}

}  // namespace
