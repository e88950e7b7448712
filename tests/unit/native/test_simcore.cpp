// Simulated ASPI manager core: scenario reading and device behaviour.
#include "sim/simcore.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace {

struct Sim {
    std::unique_ptr<SimWorld> w{new SimWorld};
    std::string error;
    explicit Sim(const char *text = nullptr)
    {
        SimInit(w.get());
        if (text) {
            char err[SIM_ERROR_CAP];
            if (!SimParse(w.get(), text, err, sizeof err)) error = err;
        }
    }
    ~Sim() { SimFree(w.get()); }

    SimOutcome Run(int a, int t, std::vector<unsigned char> cdb, unsigned flags = SIM_FLAG_DIR_IN,
                   unsigned long bufLen = 256, const unsigned char *data = nullptr, unsigned long now = 0,
                   unsigned lun = 0)
    {
        SimRequest r;
        memset(&r, 0, sizeof r);
        r.adapter = a;
        r.target = t;
        r.lun = lun;
        r.flags = flags;
        r.bufLen = bufLen;
        r.data = data;
        r.cdbLen = (unsigned)cdb.size();
        memcpy(r.cdb, cdb.data(), cdb.size());
        SimOutcome o;
        SimExecute(w.get(), &r, now, &o);
        return o;
    }
    SimDevice *At(int a, int t) { return SimDeviceAt(w.get(), a, t); }
};

const std::vector<unsigned char> kInquiry = {0x12, 0, 0, 0, 0x20, 0};
const std::vector<unsigned char> kRevision = {0x12, 1, 0x81, 0, 0xFF, 0};
const std::vector<unsigned char> kTur = {0, 0, 0, 0, 0, 0};
const std::vector<unsigned char> kEject = {0x1B, 0, 0, 0, 2, 0};
const std::vector<unsigned char> kVendorStatus = {0xCC, 0, 1, 0, 0, 0, 0, 0, 0, 0x12, 0, 0};
const std::vector<unsigned char> kFinish = {0xCD, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

std::vector<unsigned char> WriteBuffer(int mode, unsigned long offset, unsigned long len = 2048, int cdbLen = 10)
{
    std::vector<unsigned char> c(12, 0);
    c[0] = 0x3B;
    c[1] = (unsigned char)mode;
    c[3] = (unsigned char)(offset >> 16);
    c[4] = (unsigned char)(offset >> 8);
    c[5] = (unsigned char)offset;
    c[6] = (unsigned char)(len >> 16);
    c[7] = (unsigned char)(len >> 8);
    c[8] = (unsigned char)len;
    c.resize(cdbLen);
    return c;
}

std::vector<unsigned char> Loader(unsigned long len)
{
    return {0xCD, 0, 0, 0, 0, 0, (unsigned char)(len >> 24), (unsigned char)(len >> 16), (unsigned char)(len >> 8),
            (unsigned char)len, 0, 0};
}

void ExpectCheck(const SimOutcome &o, int key, int asc)
{
    EXPECT_EQ(o.status, SIM_SS_ERR);
    EXPECT_EQ(o.targStat, SIM_TARG_CHKCOND);
    ASSERT_GE(o.senseLen, 14u);
    EXPECT_EQ(o.sense[2] & 0x0F, key);
    EXPECT_EQ(o.sense[12], asc);
}

std::string TempDir()
{
    char tmpl[] = "/tmp/simcoreXXXXXX";
    const char *d = mkdtemp(tmpl);
    return d ? d : "";
}

const char *kUsbScenario =
    "adapters 1\n"
    "[device 0 3]\n"
    "product HX-2170RA USB\n"
    "revision 1.00\n"
    "usb 1\n"
    "firmware_code 0x15\n"
    "model_code 0x21\n"
    "latency_ms 40\n"
    "after finish down=absent down_ms=8000 address=0:4 firmware_code=0x16\n"
    "after loader down=notready down_ms=3000 revision=2.00 firmware_code=0x17 attention=1\n";

// ---------------------------------------------------------------------------

TEST(SimScenario, ReadsDevicesAndDefaults)
{
    Sim s(
        "# two adapters\n"
        "adapters 2\r\n"
        "[device 0 1]\n"
        "  product   HX-2150RA  \n"
        "revision 1.0\n"
        "disc 1\n"
        "latency_ms 12\n"
        "[device 1 6]\n"
        "kind scanner\n"
        "vendor \"AB\\x00CD\"\n");
    ASSERT_EQ(s.error, "");
    EXPECT_EQ(s.w->deviceCount, 2);
    SimDevice *d = s.At(0, 1);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(std::string(d->product, 16), "HX-2150RA       ");
    EXPECT_EQ(std::string(d->revision, 4), "1.0 ");
    EXPECT_EQ(d->disc, 1);
    EXPECT_EQ(d->latencyMs, 12u);
    EXPECT_EQ(d->peripheralType, 5);
    SimDevice *sc = s.At(1, 6);
    ASSERT_NE(sc, nullptr);
    EXPECT_EQ(sc->peripheralType, 6);
    EXPECT_EQ(std::string(sc->vendor, 8), std::string("AB\0CD   ", 8));
    EXPECT_EQ(SimSupportInfo(s.w.get()), 0x0102ul);
}

TEST(SimScenario, SupportInfoAnswers)
{
    Sim none;
    EXPECT_EQ(SimSupportInfo(none.w.get()), 0xE800ul);  // no scenario: no host adapters

    Sim implicit("[device 9 2]\nproduct X\n");  // count follows the highest adapter
    ASSERT_EQ(implicit.error, "");
    EXPECT_EQ(SimSupportInfo(implicit.w.get()), 0x010Aul);

    Sim seq("adapters 3\naspi_status 4\nsupport_info - 0xE800\n");
    ASSERT_EQ(seq.error, "");
    EXPECT_EQ(SimSupportInfo(seq.w.get()), 0x0403ul);
    EXPECT_EQ(SimSupportInfo(seq.w.get()), 0xE800ul);
    EXPECT_EQ(SimSupportInfo(seq.w.get()), 0x0403ul);
}

TEST(SimScenario, ErrorsNameTheLine)
{
    struct Case {
        const char *text;
        const char *error;
    } cases[] = {
        {"adapters 1\n[device 0 1]\nprodct X\n", "line 3: unknown key 'prodct'"},
        {"product X\n", "line 1: 'product' outside a [device <adapter> <target>] section"},
        {"adapters 1\nlatency_ms 0\n[device 0 1]\n", "line 2: 'latency_ms' outside a [device"},
        {"[device 0 1]\nproduct HX-2170RA USB 12345\n", "line 2: product: longer than 16 characters"},
        {"[device 0 1]\nrevision 1.000\n", "line 2: revision: longer than 4 characters"},
        {"adapters two\n", "line 1: adapters: 'two' is not a number"},
        {"adapters 256\n", "line 1: adapters: 256 is outside 0..255"},
        {"[device 0 1]\n[device 0 1]\n", "line 2: device 0 1 given twice"},
        {"[device 0]\n", "line 1: expected [device <adapter> <target>]"},
        {"[device 0 16]\n", "line 1: device: target 16 outside 0..15"},
        {"[device 0 1]\nfault bsy op=3B\n", "line 2: fault: unknown kind 'bsy'"},
        {"[device 0 1]\nfault delay op=3B\n", "line 2: fault delay: ms=... is required"},
        {"[device 0 1]\nfault error op=00 sense=2\n", "line 2: fault: sense must be KEY/ASC"},
        {"[device 0 1]\nfault busy op=3B ms=5\n", "line 2: fault busy: unknown key 'ms'"},
        {"[device 0 1]\nafter reboot down_ms=1\n", "line 2: after: unknown stage 'reboot'"},
        {"[device 0 1]\nafter finish address=3\n", "line 2: after finish: address must be <adapter>:<target>"},
        {"[device 0 1]\nafter finish down=gone\n", "line 2: after finish: down must be absent, notready or none"},
        {"[device 0 1]\nkind printer\n", "line 2: kind: 'printer' is not cdrw, disk, scanner or other"},
        {"[device 0 1]\nvendor \"AB\n", "line 2: vendor: bad quoted text"},
    };
    for (const Case &c : cases) {
        Sim s(c.text);
        EXPECT_EQ(s.error.compare(0, strlen(c.error), c.error), 0) << c.text << " gave: " << s.error;
    }
}

TEST(SimScenario, LoadFileReportsMissingFile)
{
    Sim s;
    char err[SIM_ERROR_CAP];
    EXPECT_EQ(SimLoadFile(s.w.get(), "/nonexistent/scenario.txt", err, sizeof err), 0);
    EXPECT_STREQ(err, "cannot open scenario file /nonexistent/scenario.txt");
}

// ---------------------------------------------------------------------------

TEST(SimIdentification, InquiryAndRevisionPage)
{
    Sim s("adapters 2\n[device 0 1]\nvendor MAKER\nproduct HX-2150RA\nrevision 1.07\n"
          "[device 1 0]\nkind disk\nproduct SIM DISK\n");
    ASSERT_EQ(s.error, "");
    SimOutcome o = s.Run(0, 1, kInquiry);
    EXPECT_EQ(o.status, SIM_SS_COMP);
    EXPECT_EQ(o.targStat, 0);
    EXPECT_EQ(o.senseLen, 0u);
    ASSERT_EQ(o.replyLen, 32u);  // allocation length 0x20 cuts the 36-byte reply
    EXPECT_EQ(o.reply[0], 5);
    EXPECT_EQ(o.reply[1], 0x80);
    EXPECT_EQ(std::string((char *)o.reply + 8, 8), "MAKER   ");
    EXPECT_EQ(std::string((char *)o.reply + 16, 16), "HX-2150RA       ");

    o = s.Run(0, 1, kInquiry, SIM_FLAG_DIR_IN, 20);  // the buffer cuts it too
    EXPECT_EQ(o.replyLen, 20u);

    o = s.Run(0, 1, kRevision, SIM_FLAG_DIR_IN, 255);
    EXPECT_EQ(o.status, SIM_SS_COMP);
    ASSERT_EQ(o.replyLen, 36u);
    EXPECT_EQ(o.reply[1], 0x81);
    EXPECT_EQ(std::string((char *)o.reply + 32, 4), "1.07");

    o = s.Run(1, 0, kInquiry);
    EXPECT_EQ(o.status, SIM_SS_COMP);
    EXPECT_EQ(o.reply[0], 0);
    EXPECT_EQ(o.reply[1], 0);
    EXPECT_EQ(std::string((char *)o.reply + 16, 16), "SIM DISK        ");
    ExpectCheck(s.Run(1, 0, kRevision), 5, 0x24);  // no revision page on a disk
}

TEST(SimIdentification, VendorStatusOnlyFromUsbDrives)
{
    Sim s("adapters 1\n[device 0 0]\nproduct HX-2170RA USB\nusb 1\nfirmware_code 0x15\nmodel_code 0x21\n"
          "[device 0 1]\nproduct HX-2150RA\n[device 0 2]\nkind scanner\n");
    ASSERT_EQ(s.error, "");
    SimOutcome o = s.Run(0, 0, kVendorStatus);
    EXPECT_EQ(o.status, SIM_SS_COMP);
    EXPECT_EQ(o.targStat, 0);
    ASSERT_EQ(o.replyLen, 18u);
    EXPECT_EQ(o.reply[12], 0x15);
    EXPECT_EQ(o.reply[13], 0x21);
    ExpectCheck(s.Run(0, 1, kVendorStatus), 5, 0x20);
    ExpectCheck(s.Run(0, 2, kVendorStatus), 5, 0x20);
    ExpectCheck(s.Run(0, 1, kFinish, 0, 0), 5, 0x20);  // nor the other vendor command
}

TEST(SimIdentification, AbsentTargetsAndBadAddresses)
{
    Sim t("adapters 10\n[device 9 2]\nproduct HX-2150RA\nlatency_ms 30\n");
    ASSERT_EQ(t.error, "");
    SimOutcome o = t.Run(9, 2, kInquiry);  // adapters numbered 8 and above answer too
    EXPECT_EQ(o.status, SIM_SS_COMP);
    EXPECT_EQ(o.latencyMs, 30u);
    o = t.Run(9, 3, kInquiry);
    EXPECT_EQ(o.status, SIM_SS_NO_DEVICE);
    EXPECT_EQ(o.latencyMs, 0u);
    EXPECT_EQ(o.replyLen, 0u);
    EXPECT_EQ(t.Run(9, 2, kInquiry, SIM_FLAG_DIR_IN, 256, nullptr, 0, 1).status, SIM_SS_NO_DEVICE);
    EXPECT_EQ(t.Run(10, 0, kInquiry).status, SIM_SS_INVALID_HA);
}

// ---------------------------------------------------------------------------

TEST(SimTray, TestUnitReadyAndEject)
{
    Sim s("adapters 1\n[device 0 1]\nproduct HX-2150RA\ndisc 1\n[device 0 2]\nproduct HX-2150RA\n");
    ASSERT_EQ(s.error, "");
    SimOutcome o = s.Run(0, 1, kTur, SIM_FLAG_DIR_IN, 32);
    EXPECT_EQ(o.status, SIM_SS_COMP);
    EXPECT_EQ(o.targStat, 0);
    EXPECT_EQ(o.senseLen, 0u);
    ExpectCheck(s.Run(0, 2, kTur, SIM_FLAG_DIR_IN, 32), 2, 0x3A);

    o = s.Run(0, 1, {0x1B, 0, 0, 0, 3, 0});  // load: the disc stays
    EXPECT_EQ(o.status, SIM_SS_COMP);
    EXPECT_EQ(s.Run(0, 1, kTur).status, SIM_SS_COMP);

    o = s.Run(0, 1, kEject);
    EXPECT_EQ(o.status, SIM_SS_COMP);
    EXPECT_NE(strstr(o.line, " event=eject"), nullptr);
    ExpectCheck(s.Run(0, 1, kTur), 2, 0x3A);
}

// ---------------------------------------------------------------------------

std::vector<unsigned char> MakeImage()
{
    std::vector<unsigned char> img(SIM_IMAGE_SIZE);
    for (size_t i = 0; i < img.size(); i++) img[i] = (unsigned char)(i * 7 + i / 2048);
    memcpy(&img[SIM_IMAGE_RECORD], "VELKOSA HX-2150RA       1.051.081.10", 36);
    return img;
}

// Sends the image as the block transfer does: 4096-byte buffers, 2048 bytes each.
void SendImage(Sim &s, int a, int t, const std::vector<unsigned char> &img, int cdbLen = 10)
{
    for (int n = 0; n <= 256; n++) {
        unsigned char buf[4096];
        memcpy(buf, &img[n * 2048], 2048);
        memset(buf + 2048, 0xAA, 2048);  // must not reach the drive
        SimOutcome o = s.Run(a, t, WriteBuffer(n == 256 ? 7 : 6, n * 2048ul, 2048, cdbLen), SIM_FLAG_DIR_OUT, 4096,
                             buf);
        ASSERT_EQ(o.status, SIM_SS_COMP) << "block " << n << ": " << o.line;
    }
}

TEST(SimImage, AssemblesBlocksAndReportsRevisionAfterSave)
{
    std::string dir = TempDir();
    ASSERT_NE(dir, "");
    std::string scen = "adapters 1\ndump_dir " + dir + "\n[device 0 1]\nproduct HX-2150RA\nrevision 1.00\n";
    Sim s(scen.c_str());
    ASSERT_EQ(s.error, "");
    std::vector<unsigned char> img = MakeImage();
    SendImage(s, 0, 1, img);
    SimDevice *d = s.At(0, 1);
    EXPECT_EQ(d->writeCount, 257u);
    EXPECT_EQ(d->saveCount, 1u);
    ASSERT_NE(d->image, nullptr);
    EXPECT_EQ(memcmp(d->image, img.data(), img.size()), 0);
    EXPECT_EQ(std::string(d->revision, 4), "1.10");  // record revision3
    SimOutcome o = s.Run(0, 1, kRevision, SIM_FLAG_DIR_IN, 255);
    EXPECT_EQ(std::string((char *)o.reply + 32, 4), "1.10");

    std::string path = dir + "/image-0-1.bin";
    EXPECT_EQ(std::string(d->dumpPath), path);
    FILE *f = fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::vector<unsigned char> back(SIM_IMAGE_SIZE + 1);
    size_t n = fread(back.data(), 1, back.size(), f);
    fclose(f);
    EXPECT_EQ(n, (size_t)SIM_IMAGE_SIZE);
    back.resize(n);
    EXPECT_TRUE(back == img);
    remove(path.c_str());
    rmdir(dir.c_str());
}

TEST(SimImage, RevisionChoiceAndTwelveByteCommands)
{
    Sim s("adapters 1\n[device 0 1]\nproduct HX-2170RA USB\nusb 1\nafter save revision_from=1\n"
          "[device 0 2]\nproduct HX-2150RA\nafter save revision=9.99\n");
    ASSERT_EQ(s.error, "");
    std::vector<unsigned char> img = MakeImage();
    SendImage(s, 0, 1, img, 12);
    EXPECT_EQ(std::string(s.At(0, 1)->revision, 4), "1.05");
    SendImage(s, 0, 2, img);
    EXPECT_EQ(std::string(s.At(0, 2)->revision, 4), "9.99");
}

TEST(SimImage, RefusesMalformedWrites)
{
    Sim s("adapters 1\n[device 0 1]\nproduct HX-2150RA\n");
    ASSERT_EQ(s.error, "");
    unsigned char buf[4096] = {0};
    ExpectCheck(s.Run(0, 1, WriteBuffer(6, 0, 4097), SIM_FLAG_DIR_OUT, 4096, buf), 5, 0x1A);
    ExpectCheck(s.Run(0, 1, WriteBuffer(6, SIM_IMAGE_SIZE - 2047), SIM_FLAG_DIR_OUT, 4096, buf), 5, 0x24);
    ExpectCheck(s.Run(0, 1, WriteBuffer(5, 0), SIM_FLAG_DIR_OUT, 4096, buf), 5, 0x24);
    ExpectCheck(s.Run(0, 1, WriteBuffer(6, 0, 2048, 6), SIM_FLAG_DIR_OUT, 4096, buf), 5, 0x24);
    SimOutcome o = s.Run(0, 1, WriteBuffer(6, 0), SIM_FLAG_DIR_IN, 4096, buf);
    EXPECT_EQ(o.status, SIM_SS_ERR);
    EXPECT_EQ(o.hastat, SIM_HASTAT_DATA_RUN);
    EXPECT_EQ(s.At(0, 1)->writeCount, 0u);
}

// ---------------------------------------------------------------------------

TEST(SimLog, LineFormatAndDigest)
{
    EXPECT_EQ(SimDigest((const unsigned char *)"", 0), 0xcbf29ce484222325ull);
    EXPECT_EQ(SimDigest((const unsigned char *)"a", 1), 0xaf63dc4c8601ec8cull);

    Sim s("adapters 1\n[device 0 3]\nproduct HX-2150RA\n");
    SimOutcome o = s.Run(0, 3, kInquiry, SIM_FLAG_DIR_IN | SIM_FLAG_POSTING, 256, nullptr, 1234);
    EXPECT_STREQ(o.line, "t=1234 ha=0 tgt=3 lun=0 flags=0x09 len=256 cdb=120000002000 status=0x01 targ=0x00");
    o = s.Run(0, 3, kTur, SIM_FLAG_DIR_IN, 32, nullptr, 1300);
    EXPECT_STREQ(o.line, "t=1300 ha=0 tgt=3 lun=0 flags=0x08 len=32 cdb=000000000000 status=0x04 targ=0x02 "
                         "sense=2/3A/00");

    unsigned char buf[4096];
    memset(buf, 'a', 1);
    memset(buf + 1, 0x55, sizeof buf - 1);
    o = s.Run(0, 3, WriteBuffer(6, 0, 1), SIM_FLAG_DIR_OUT, 4096, buf, 1400);
    EXPECT_STREQ(o.line, "t=1400 ha=0 tgt=3 lun=0 flags=0x10 len=4096 cdb=3B060000000000000100 status=0x01 "
                         "targ=0x00 out=1 digest=af63dc4c8601ec8c");
}

// ---------------------------------------------------------------------------

TEST(SimFaults, BusyCountsPerBlock)
{
    Sim s("adapters 1\n[device 0 1]\nproduct HX-2150RA\nfault busy offset=10240 count=2\n");
    ASSERT_EQ(s.error, "");
    unsigned char buf[4096] = {1, 2, 3};
    EXPECT_EQ(s.Run(0, 1, WriteBuffer(6, 8192), SIM_FLAG_DIR_OUT, 4096, buf).status, SIM_SS_COMP);
    for (int i = 0; i < 2; i++) {
        SimOutcome o = s.Run(0, 1, WriteBuffer(6, 10240), SIM_FLAG_DIR_OUT, 4096, buf);
        EXPECT_EQ(o.status, SIM_SS_ERR);
        EXPECT_EQ(o.targStat, SIM_TARG_BUSY);
        EXPECT_EQ(o.senseLen, 0u);
        EXPECT_NE(strstr(o.line, " out=2048 digest="), nullptr);  // the data sent is logged all the same
        EXPECT_NE(strstr(o.line, " fault=busy"), nullptr);
    }
    EXPECT_EQ(s.At(0, 1)->writeCount, 1u);  // a BUSY block is not taken
    EXPECT_EQ(s.Run(0, 1, WriteBuffer(6, 10240), SIM_FLAG_DIR_OUT, 4096, buf).status, SIM_SS_COMP);
    EXPECT_EQ(s.Run(0, 1, WriteBuffer(6, 10240), SIM_FLAG_DIR_OUT, 4096, buf).status, SIM_SS_COMP);
    EXPECT_EQ(s.At(0, 1)->image[10240], 1);
}

TEST(SimFaults, NeverErrorAndDelayWindows)
{
    Sim s("adapters 1\n[device 0 1]\nproduct HX-2170RA USB\nusb 1\nlatency_ms 5\n"
          "fault never op=CC which=2\n"
          "fault error op=00 count=1 sense=6/28\n"
          "fault error op=12 from=2 count=1 status=0x01 targ=0x02\n"
          "fault delay op=CD cdb1=FF ms=70000\n");
    ASSERT_EQ(s.error, "");
    EXPECT_EQ(s.Run(0, 1, kVendorStatus).status, SIM_SS_COMP);
    SimOutcome o = s.Run(0, 1, kVendorStatus);
    EXPECT_EQ(o.never, 1);
    EXPECT_EQ(o.status, SIM_SS_PENDING);
    EXPECT_NE(strstr(o.line, "status=0x00 targ=0x00 fault=never"), nullptr);
    o = s.Run(0, 1, kVendorStatus);
    EXPECT_EQ(o.never, 0);
    EXPECT_EQ(o.status, SIM_SS_COMP);

    o = s.Run(0, 1, kTur);  // first TUR: unit attention, then the tray state
    ExpectCheck(o, 6, 0x28);
    ExpectCheck(s.Run(0, 1, kTur), 2, 0x3A);

    EXPECT_EQ(s.Run(0, 1, kInquiry).status, SIM_SS_COMP);
    o = s.Run(0, 1, kInquiry);  // status 1 with a CHECK CONDITION target status
    EXPECT_EQ(o.status, SIM_SS_COMP);
    EXPECT_EQ(o.targStat, SIM_TARG_CHKCOND);
    EXPECT_EQ(o.replyLen, 0u);

    EXPECT_EQ(s.Run(0, 1, kVendorStatus).latencyMs, 5u);
    o = s.Run(0, 1, kFinish, 0, 0, nullptr, 100);
    EXPECT_EQ(o.status, SIM_SS_COMP);
    EXPECT_EQ(o.latencyMs, 70000u);
    // the restart counts from the late completion
    EXPECT_EQ(s.At(0, 1)->downUntil, 100u + 70000u + SIM_DEFAULT_DOWN_MS);
}

// ---------------------------------------------------------------------------

TEST(SimRestart, FinishMovesDriveAndChangesCodes)
{
    Sim s(kUsbScenario);
    ASSERT_EQ(s.error, "");
    SimOutcome o = s.Run(0, 3, kFinish, 0, 0, nullptr, 1000);
    EXPECT_EQ(o.status, SIM_SS_COMP);
    EXPECT_NE(strstr(o.line, " event=finish"), nullptr);
    // completes at 1040; absent until 9040, at the old and the new address
    EXPECT_EQ(s.Run(0, 3, kInquiry, SIM_FLAG_DIR_IN, 256, nullptr, 1041).status, SIM_SS_NO_DEVICE);
    EXPECT_EQ(s.Run(0, 4, kInquiry, SIM_FLAG_DIR_IN, 256, nullptr, 9039).status, SIM_SS_NO_DEVICE);
    o = s.Run(0, 4, kInquiry, SIM_FLAG_DIR_IN, 256, nullptr, 9040);
    EXPECT_EQ(o.status, SIM_SS_COMP);
    EXPECT_EQ(std::string((char *)o.reply + 16, 13), "HX-2170RA USB");
    EXPECT_EQ(s.Run(0, 3, kInquiry, SIM_FLAG_DIR_IN, 256, nullptr, 9040).status, SIM_SS_NO_DEVICE);
    o = s.Run(0, 4, kVendorStatus, SIM_FLAG_DIR_IN, 18, nullptr, 9100);
    EXPECT_EQ(o.reply[12], 0x16);
    EXPECT_EQ(o.reply[13], 0x21);
}

TEST(SimRestart, LoaderNotReadyThenAttention)
{
    Sim s(kUsbScenario);
    ASSERT_EQ(s.error, "");
    std::vector<unsigned char> body(1000);
    for (size_t i = 0; i < body.size(); i++) body[i] = (unsigned char)(i * 13);
    SimOutcome o = s.Run(0, 3, Loader(body.size()), SIM_FLAG_DIR_OUT, body.size(), body.data(), 0);
    EXPECT_EQ(o.status, SIM_SS_COMP);
    char want[64];
    char dg[17];
    SimFormatDigest(SimDigest(body.data(), body.size()), dg);
    snprintf(want, sizeof want, " out=1000 digest=%s event=loader loader_len=1000", dg);
    EXPECT_NE(strstr(o.line, want), nullptr) << o.line;
    SimDevice *d = s.At(0, 3);
    EXPECT_EQ(d->loaderCount, 1u);
    EXPECT_EQ(d->loaderLength, 1000u);

    // not ready until 40 + 3000: INQUIRY answers with the new revision, the rest is refused
    o = s.Run(0, 3, kRevision, SIM_FLAG_DIR_IN, 255, nullptr, 100);
    EXPECT_EQ(o.status, SIM_SS_COMP);
    EXPECT_EQ(std::string((char *)o.reply + 32, 4), "2.00");
    ExpectCheck(s.Run(0, 3, kTur, SIM_FLAG_DIR_IN, 32, nullptr, 3039), 2, 0x04);
    ExpectCheck(s.Run(0, 3, kVendorStatus, SIM_FLAG_DIR_IN, 256, nullptr, 3040), 6, 0x29);
    o = s.Run(0, 3, kVendorStatus, SIM_FLAG_DIR_IN, 256, nullptr, 3041);
    EXPECT_EQ(o.status, SIM_SS_COMP);
    EXPECT_EQ(o.reply[12], 0x17);

    // a loader longer than the data handed over is refused
    ExpectCheck(s.Run(0, 3, Loader(2000), SIM_FLAG_DIR_OUT, body.size(), body.data(), 5000), 5, 0x1A);
    EXPECT_EQ(d->loaderCount, 1u);
}

}  // namespace
