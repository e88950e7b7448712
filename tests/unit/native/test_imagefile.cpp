#include <gtest/gtest.h>
#include <string.h>

#include "tools/fixtures.h"
#include "update/imagefile.h"

namespace {

ImageRecordResult ParseFrom(const std::vector<uint8_t> &image, ImageHeaderRecord *hdr, char *model) {
    return ParseImageRecord(image.data() + IMAGE_RECORD_OFFSET, hdr, model);
}

TEST(ImageRecord, AcceptsTheThreeModelsAndCopiesRevisions) {
    for (const char *model : {"HX-1150RA", "HX-2150RA", "HX-2170RA"}) {
        ImageOptions opts;
        opts.model = model;
        opts.rev1 = "1.01";
        opts.rev2 = "1.02";
        opts.rev3 = "1.03";
        ImageHeaderRecord hdr;
        char text[20];
        ASSERT_EQ(ParseFrom(MakeImage(opts), &hdr, text), IMAGE_RECORD_OK) << model;
        EXPECT_STREQ(text, model);
        EXPECT_STREQ(hdr.revision1, "1.01");
        EXPECT_STREQ(hdr.revision2, "1.02");
        EXPECT_STREQ(hdr.revision3, "1.03");
    }
}

TEST(ImageRecord, RefusesOtherSignaturesAndModels) {
    ImageHeaderRecord hdr;
    char text[20];
    ImageOptions opts;
    opts.signature = "velkosa";
    EXPECT_EQ(ParseFrom(MakeImage(opts), &hdr, text), IMAGE_RECORD_BAD_SIGNATURE);
    opts.signature = "VELK";  // NUL-padded: a NUL among the 7 bytes fails
    EXPECT_EQ(ParseFrom(MakeImage(opts), &hdr, text), IMAGE_RECORD_BAD_SIGNATURE);
    opts = ImageOptions();
    opts.model = "HX-2350RU";  // a drive model, but no image model
    EXPECT_EQ(ParseFrom(MakeImage(opts), &hdr, text), IMAGE_RECORD_BAD_MODEL);
    opts.model = "HX-2150R";
    EXPECT_EQ(ParseFrom(MakeImage(opts), &hdr, text), IMAGE_RECORD_BAD_MODEL);
}

TEST(ImageRecord, IgnoredBytesMayHoldAnything) {
    ImageOptions opts;
    opts.model = "HX-2150RAxyzuvwq";  // bytes 17..23 of the record
    std::vector<uint8_t> image = MakeImage(opts);
    image[IMAGE_RECORD_OFFSET + 7] = 0xFF;
    image[IMAGE_RECORD_OFFSET + 36] = 0x00;
    image[IMAGE_RECORD_OFFSET + 37] = 0x80;
    ImageHeaderRecord hdr;
    char text[20];
    EXPECT_EQ(ParseFrom(image, &hdr, text), IMAGE_RECORD_OK);
    EXPECT_STREQ(text, "HX-2150RA");
}

TEST(ImageRecord, ShortRevisionAndZeroedRecord) {
    ImageOptions opts;
    opts.rev3 = "1.2";
    ImageHeaderRecord hdr;
    char text[20];
    ASSERT_EQ(ParseFrom(MakeImage(opts), &hdr, text), IMAGE_RECORD_OK);
    EXPECT_STREQ(hdr.revision3, "1.2");
    unsigned char zeros[38] = {};
    EXPECT_EQ(ParseImageRecord(zeros, &hdr, text), IMAGE_RECORD_BAD_SIGNATURE);
}

TEST(ImagePairing, FollowsTheDriveModel) {
    EXPECT_TRUE(ImageFitsDrive("HX-2170RA USB", "HX-2170RA"));
    EXPECT_FALSE(ImageFitsDrive("HX-2170RA USB", "HX-2150RA"));
    EXPECT_FALSE(ImageFitsDrive("HX-2170RA USB", "HX-1150RA"));
    for (const char *drive : {"HX-2150RA    ", "HX-2350RU    "}) {
        EXPECT_TRUE(ImageFitsDrive(drive, "HX-1150RA"));
        EXPECT_TRUE(ImageFitsDrive(drive, "HX-2150RA"));
        EXPECT_FALSE(ImageFitsDrive(drive, "HX-2170RA"));
    }
    EXPECT_TRUE(ImageFitsDrive("OTHER DRIVE  ", "HX-2170RA"));
    // "HX-2170RA" followed by blanks is no "HX-2170RA USB": no test at all.
    EXPECT_TRUE(ImageFitsDrive("HX-2170RA    ", "HX-2150RA"));
}

std::vector<uint8_t> Transform(const std::string &raw, int hasNext = 0, char next = 0) {
    std::vector<uint8_t> out(raw.size() + 1);
    unsigned n = TextModeTransform((const unsigned char *)raw.data(), raw.size(), hasNext,
                                   (unsigned char)next, out.data());
    out.resize(n);
    return out;
}

std::vector<uint8_t> Bytes(const std::string &s) { return std::vector<uint8_t>(s.begin(), s.end()); }

TEST(TextMode, CrLfBecomesLfAndEofEndsTheContent) {
    EXPECT_EQ(Transform("a\r\nb\r\n"), Bytes("a\nb\n"));
    EXPECT_EQ(Transform("a\rb\n\r"), Bytes("a\rb\n\r"));   // lone CRs stay
    EXPECT_EQ(Transform("a\r\r\nb"), Bytes("a\r\nb"));
    EXPECT_EQ(Transform(std::string("ab\x1A" "cd", 5)), Bytes("ab"));
    EXPECT_EQ(Transform(std::string("\x1A", 1)), Bytes(""));
}

TEST(TextMode, CrAtTheEndOfTheReadLooksAtTheNextByte) {
    EXPECT_EQ(Transform("ab\r", 1, '\n'), Bytes("ab\n"));
    EXPECT_EQ(Transform("ab\r", 1, 'x'), Bytes("ab\r"));
    EXPECT_EQ(Transform("ab\r", 0, '\n'), Bytes("ab\r"));
}

// Loads loader file bytes into TransferBuffer as the program's read does.
void Load(const std::vector<uint8_t> &file) {
    size_t raw = file.size() < TRANSFER_BUFFER_SIZE ? file.size() : TRANSFER_BUFFER_SIZE;
    int hasNext = file.size() > TRANSFER_BUFFER_SIZE;
    loaderLoadedLength = TextModeTransform(file.data(), raw, hasNext,
                                           hasNext ? file[TRANSFER_BUFFER_SIZE] : 0, TransferBuffer);
}

TEST(Loader, ChecksumPassesAndFails) {
    LoaderOptions opts;
    Load(MakeLoader(opts));
    EXPECT_EQ(LoaderBodyLength(), 4096u);
    EXPECT_TRUE(LoaderChecksum());
    EXPECT_TRUE(LoaderLayoutValid());
    opts.checksumOk = false;
    Load(MakeLoader(opts));
    EXPECT_FALSE(LoaderChecksum());
}

TEST(Loader, OddLengthIgnoresLastByteAndTinyBodiesPass) {
    LoaderOptions opts;
    opts.bodyLength = 101;
    Load(MakeLoader(opts));
    EXPECT_TRUE(LoaderChecksum());
    TransferBuffer[64 + 100] ^= 0xFF;  // the odd byte is no part of any word
    EXPECT_TRUE(LoaderChecksum());
    TransferBuffer[64] ^= 0x01;
    EXPECT_FALSE(LoaderChecksum());
    for (uint32_t length : {0u, 1u}) {
        opts.bodyLength = length;
        opts.checksumOk = false;
        Load(MakeLoader(opts));
        EXPECT_TRUE(LoaderChecksum()) << length;
    }
}

TEST(Loader, ChecksumIsOverTheTransformedBody) {
    LoaderOptions opts;
    opts.crlfAt = {10, 500};
    std::vector<uint8_t> file = MakeLoader(opts);
    ASSERT_EQ(file[64 + 10], 0x0D);
    Load(file);
    EXPECT_EQ(loaderLoadedLength, file.size() - 2);
    EXPECT_EQ(TransferBuffer[64 + 10], 0x0A);
    EXPECT_TRUE(LoaderChecksum());
}

TEST(Loader, CrLfBeforeTheHeaderEndMovesTheLengthField) {
    LoaderOptions opts;
    std::vector<uint8_t> file = MakeLoader(opts);
    file[5] = 0x0D;
    file[6] = 0x0A;
    Load(file);
    // Every later byte moved down by one: the field now starts one byte later in the file.
    EXPECT_EQ(TransferBuffer[62] * 256u + TransferBuffer[63], file[63] * 256u + file[64]);
}

TEST(Loader, LayoutRefusesBodiesAndDigitsBeyondTheContent) {
    LoaderOptions opts;
    opts.bodyLength = 40000;
    Load(MakeLoader(opts));
    EXPECT_TRUE(LoaderLayoutValid());

    opts.bodyLength = 100;
    opts.lengthField = 49089;  // 64 + 49089 reaches past the 49,152-byte buffer
    Load(MakeLoader(opts));
    EXPECT_FALSE(LoaderLayoutValid());

    opts.lengthField = 30000;  // inside the buffer, past the loaded content
    Load(MakeLoader(opts));
    EXPECT_FALSE(LoaderLayoutValid());

    opts.lengthField = -1;
    opts.minSize = 0;  // content ends before the identification digits
    Load(MakeLoader(opts));
    EXPECT_FALSE(LoaderLayoutValid());

    opts.minSize = 28736;
    opts.eofAt = 20000;  // an EOF byte cuts the content short
    Load(MakeLoader(opts));
    EXPECT_EQ(loaderLoadedLength, 20000u);
    EXPECT_FALSE(LoaderLayoutValid());
}

TEST(Loader, FullLengthFieldNeverReadsPastTheBuffer) {
    LoaderOptions opts;
    opts.lengthField = 0xFFFF;
    opts.minSize = TRANSFER_BUFFER_SIZE + 100;
    Load(MakeLoader(opts));
    EXPECT_EQ(loaderLoadedLength, (unsigned)TRANSFER_BUFFER_SIZE);
    EXPECT_FALSE(LoaderLayoutValid());
    LoaderChecksum();  // must stay inside the buffer (checked by the sanitizers)
}

TEST(Loader, IdentificationDigitsAtTheirOffset) {
    LoaderOptions opts;
    opts.modelDigits = "21";
    opts.firmwareDigits = "37";
    Load(MakeLoader(opts));
    EXPECT_EQ(memcmp(TransferBuffer + LOADER_ID_OFFSET, "2137", 4), 0);
}

}  // namespace
