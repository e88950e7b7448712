#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "app/appstate.h"
#include "app/cmdline.h"
#include "app/launchlist.h"

namespace {

struct Source {
    std::string bytes;
    size_t at = 0;
};

int ReadFromString(void *context, unsigned char *byte) {
    Source *s = (Source *)context;
    if (s->at >= s->bytes.size()) return 0;
    *byte = (unsigned char)s->bytes[s->at++];
    return 1;
}

struct List {
    // Guard bytes around each buffer catch a write past position 260.
    char image[PATH_CAP + 8], option1[PATH_CAP + 8], loader[PATH_CAP + 8], option2[PATH_CAP + 8];
    size_t consumed;
};

List Parse(const std::string &content) {
    List l;
    memset(&l, 0x5A, sizeof l);
    for (char *b : {l.image, l.option1, l.loader, l.option2}) memset(b, 0, PATH_CAP);
    Source s{content};
    ParseLaunchList(ReadFromString, &s, l.image, l.option1, l.loader, l.option2);
    for (char *b : {l.image, l.option1, l.loader, l.option2}) {
        for (int k = PATH_CAP; k < PATH_CAP + 8; k++) EXPECT_EQ(b[k], 0x5A) << "write past buffer";
    }
    l.consumed = s.at;
    return l;
}

TEST(LaunchList, ImageAndLoaderWithOptionOnLineTwo) {
    List l = Parse("fw.bin\r\nldr.bin /NON\r\n");
    EXPECT_STREQ(l.image, "fw.bin");
    EXPECT_STREQ(l.option1, "");
    EXPECT_STREQ(l.loader, "ldr.bin");
    EXPECT_STREQ(l.option2, "/NON");
    EXPECT_FALSE(IsForceOption(l.option1));
    EXPECT_TRUE(IsForceOption(l.option2));
}

TEST(LaunchList, OptionOnLineOneAndNoLineTwo) {
    List l = Parse("fw.bin /NON\r\n");
    EXPECT_STREQ(l.image, "fw.bin");
    EXPECT_STREQ(l.option1, "/NON");
    EXPECT_STREQ(l.loader, "");
}

TEST(LaunchList, OptionWithLfOnlyEatsFirstByteOfLineTwo) {
    List l = Parse("fw.bin /NON\nldr.bin\n");
    EXPECT_STREQ(l.option1, "/NON");
    EXPECT_STREQ(l.loader, "dr.bin");
}

TEST(LaunchList, NoLineEndTakesWholeContent) {
    List l = Parse("fw.bin");
    EXPECT_STREQ(l.image, "fw.bin");
    EXPECT_STREQ(l.loader, "");
}

TEST(LaunchList, LineEndsLfOnlyOrCrLf) {
    List l = Parse("fw.bin\nldr.bin\r\n");
    EXPECT_STREQ(l.image, "fw.bin");
    EXPECT_STREQ(l.loader, "ldr.bin");
}

TEST(LaunchList, OtherOptionsAreKeptButHaveNoEffect) {
    List l = Parse("fw.bin /ABC\r\nldr.bin /non\r\n");
    EXPECT_STREQ(l.option1, "/ABC");
    EXPECT_STREQ(l.option2, "/non");
    EXPECT_FALSE(IsForceOption(l.option1));
    EXPECT_FALSE(IsForceOption(l.option2));
}

TEST(LaunchList, ThirdLineIsNotRead) {
    List l = Parse("fw.bin\r\nldr.bin\r\nthird.bin /NON\r\n");
    EXPECT_STREQ(l.loader, "ldr.bin");
    EXPECT_STREQ(l.option2, "");
    EXPECT_EQ(l.consumed, strlen("fw.bin\r\nldr.bin\r"));
}

TEST(LaunchList, EmptyFileGivesEmptyNames) {
    List l = Parse("");
    EXPECT_STREQ(l.image, "");
    EXPECT_STREQ(l.option1, "");
    EXPECT_STREQ(l.loader, "");
}

TEST(LaunchList, LongNameIsCutAt260AndTheRestIsLineTwo) {
    std::string name(300, 'n');
    List l = Parse(name + "\r\n");
    EXPECT_EQ(strlen(l.image), 260u);
    EXPECT_EQ(std::string(l.loader), std::string(40, 'n'));
}

TEST(LaunchList, ExactlyFullNamesStayTerminated) {
    std::string a(260, 'a'), b(260, 'b');
    List l = Parse(a + b + "tail");
    EXPECT_EQ(std::string(l.image), a);
    EXPECT_EQ(std::string(l.loader), b);
}

TEST(LaunchList, FileEndingInsideAnOptionKeepsWhatWasThere) {
    List l = Parse("fw.bin /NO");
    EXPECT_STREQ(l.image, "fw.bin");
    EXPECT_STREQ(l.option1, "/NO");
    EXPECT_FALSE(IsForceOption(l.option1));
    EXPECT_STREQ(l.loader, "");
}

TEST(LaunchList, CrInsideNameEndsTheName) {
    // The CR ends the name; the bytes up to the LF belong to line 1.
    List l = Parse("fw.bin\rjunk\nldr.bin");
    EXPECT_STREQ(l.image, "fw.bin");
    EXPECT_STREQ(l.loader, "ldr.bin");
}

}  // namespace
