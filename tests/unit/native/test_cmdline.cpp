#include <gtest/gtest.h>
#include <string.h>

#include "app/appstate.h"
#include "app/cmdline.h"

namespace {

struct Parsed {
    char image[PATH_CAP];
    char option[PATH_CAP];
    char program[PATH_CAP];
};

Parsed Parse(const char *commandLine) {
    Parsed p;
    memset(&p, 0, sizeof p);
    char buffer[PATH_CAP];
    memset(buffer, 0, sizeof buffer);
    CopyBounded(buffer, commandLine, sizeof buffer);
    ParseCommandLine(buffer, p.image, p.option);
    DeriveProgramPath(buffer, p.program);
    return p;
}

TEST(CommandLine, QuotedPathImageAndOption) {
    Parsed p = Parse("\"C:\\Tools\\upd.exe\" fw.bin /NON");
    EXPECT_STREQ(p.image, "fw.bin");
    EXPECT_STREQ(p.option, "/NON");
    EXPECT_TRUE(IsForceOption(p.option));
    EXPECT_STREQ(p.program, "C:\\Tools\\upd.exe");
}

TEST(CommandLine, OptionIsCaseSensitiveAndOnlyNonCounts) {
    EXPECT_FALSE(IsForceOption(Parse("\"C:\\u.exe\" fw.bin /non").option));
    EXPECT_FALSE(IsForceOption(Parse("\"C:\\u.exe\" fw.bin /ABC").option));
    EXPECT_FALSE(IsForceOption("/NON "));
    EXPECT_FALSE(IsForceOption(""));
}

TEST(CommandLine, ProgramAloneNamesNoImage) {
    Parsed p = Parse("\"C:\\Tools\\upd.exe\"");
    EXPECT_STREQ(p.image, "");
    EXPECT_STREQ(p.option, "");
    EXPECT_STREQ(p.program, "C:\\Tools\\upd.exe");
    EXPECT_STREQ(Parse("\"C:\\Tools\\upd.exe\" ").image, "");
}

TEST(CommandLine, TwoBlanksMakeTheImageNameTheOptionToo) {
    Parsed p = Parse("\"C:\\Tools\\upd.exe\"  fw.bin");
    EXPECT_STREQ(p.image, "fw.bin");
    EXPECT_STREQ(p.option, "fw.bin");
}

TEST(CommandLine, UnquotedProgramGivesNothingAndLosesFirstCharacter) {
    Parsed p = Parse("C:\\Tools\\upd.exe fw.bin /NON");
    EXPECT_STREQ(p.image, "");
    EXPECT_STREQ(p.option, "");
    EXPECT_STREQ(p.program, ":\\Tools\\upd.exe fw.bin /NON");
}

TEST(CommandLine, WordsAfterTheOptionAreIgnoredAndQuotesStayInTheName) {
    Parsed p = Parse("\"C:\\u.exe\" \"fw.bin\"   /NON extra words");
    EXPECT_STREQ(p.image, "\"fw.bin\"");
    EXPECT_STREQ(p.option, "/NON");
}

TEST(CommandLine, AnySeparatorCharacterIsSkipped) {
    // The character after the closing quote is skipped whatever it is.
    EXPECT_STREQ(Parse("\"C:\\u.exe\"Xfw.bin").image, "fw.bin");
}

TEST(CommandLine, LongestFittingLineIsParsedWithinItsBuffers) {
    std::string name(260 - 12, 'a');
    std::string line = "\"C:\\u.exe\" " + name;  // 11 + 248 = 259 characters
    ASSERT_LT(line.size(), (size_t)PATH_CAP);
    Parsed p = Parse(line.c_str());
    EXPECT_EQ(std::string(p.image), name);
}

TEST(SpanTo, FindsAndCountsFromStart) {
    char text[PATH_CAP] = "\"abc\" def";
    EXPECT_EQ(SpanTo(1, '"', text, sizeof text), 4u);  // the closing quote's index
    EXPECT_EQ(SpanTo(0, 0, text, sizeof text), 10u);   // length with its NUL
    EXPECT_EQ(SpanTo(1, 'z', text, sizeof text), 0u);
}

TEST(SpanTo, NeverScansPastTheBufferOrIndex998) {
    char small[4] = {'a', 'b', 'c', 'd'};  // no NUL at all
    EXPECT_EQ(SpanTo(0, 0, small, sizeof small), 0u);
    std::vector<char> big(2000, 'x');
    big[999] = '"';
    EXPECT_EQ(SpanTo(1, '"', big.data(), big.size()), 0u);
    big[998] = '"';
    EXPECT_EQ(SpanTo(1, '"', big.data(), big.size()), 998u);
}

TEST(CopyBounded, ReportsTruncation) {
    char buffer[8];
    EXPECT_EQ(CopyBounded(buffer, "1234567", sizeof buffer), 1);
    EXPECT_STREQ(buffer, "1234567");
    EXPECT_EQ(CopyBounded(buffer, "12345678", sizeof buffer), 0);
    EXPECT_STREQ(buffer, "1234567");
}

}  // namespace
