// Discovery against the simulated ASPI manager (sim/, built as WNASPI32.DLL),
// loaded the way the program loads the real one.
#include <gtest/gtest.h>
#include <windows.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/appstate.h"
#include "app/msgbox.h"
#include "drive/aspi_layer.h"
#include "drive/discovery.h"
#include "drive/wait.h"
#include "text/messages.h"

namespace {

std::string Here() {
    char path[MAX_PATH];
    GetModuleFileNameA(NULL, path, sizeof path);
    std::string s(path);
    return s.substr(0, s.find_last_of('\\') + 1);
}

std::vector<std::string> LogLines(const std::string &path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (line.find(" ha=") != std::string::npos) lines.push_back(line);
    }
    return lines;
}

std::string Field(const std::string &line, const std::string &key) {
    size_t at = line.find(" " + key + "=");
    if (at == std::string::npos) return "";
    at += key.size() + 2;
    return line.substr(at, line.find(' ', at) - at);
}

int shownBoxes;
int CountBox(HWND, const char *, unsigned) {
    shownBoxes++;
    return IDOK;
}

// One process, one scenario: the simulator reads it at its first call.
TEST(SimDiscovery, ModeOneMarksTheSupportedDrivesAndSendsTheExpectedSequence) {
    std::string dir = Here();
    std::string scenario = dir + "sim-discovery.txt";
    std::string log = dir + "sim-discovery.log";
    DeleteFileA(log.c_str());
    std::ofstream(scenario) << "adapters 2\n"
                               "[device 0 1]\nproduct HX-2150RA\nrevision 1.01\n"
                               "[device 0 2]\nkind disk\nproduct SIM DISK\n"
                               "[device 0 5]\nproduct HX-2350RU\nrevision 1.05\n"
                               "[device 1 0]\nkind scanner\nproduct SIM SCANNER\n"
                               "[device 1 3]\nproduct HX-2150RA\nrevision 2.03\nlatency_ms 3\n"
                               "[device 1 6]\nproduct HX-2170RA USB\nrevision 3.06\n";
    SetEnvironmentVariableA("DISCMEND_SIM_SCENARIO", scenario.c_str());
    SetEnvironmentVariableA("DISCMEND_SIM_LOG", log.c_str());

    HMODULE dll = LoadLibraryA((dir + "..\\win\\WNASPI32.DLL").c_str());
    ASSERT_NE(dll, (HMODULE)NULL) << "build/win/WNASPI32.DLL";
    aspiGetSupportInfo = (GetASPI32SupportInfoFn)(void *)GetProcAddress(dll, MAKEINTRESOURCEA(1));
    aspiSendCommand = (SendASPI32CommandFn)(void *)GetProcAddress(dll, MAKEINTRESOURCEA(2));
    ASSERT_TRUE(aspiGetSupportInfo && aspiSendCommand);
    TickCount = [] { return GetTickCount(); };

    AppState.primaryLanguage = 9;
    FillMessageTable();
    MessageBoxHook = CountBox;
    AppState.DeviceError = 0;
    AppState.loaderFile[0] = 0;
    memset(DriveTable, 0, sizeof DriveTable);
    memset(AppState.modelCounts, 0, sizeof AppState.modelCounts);

    AppState.aspiSupportInfo = GetASPI32SupportInfo();
    AppState.hostAdapterCount = (BYTE)AppState.aspiSupportInfo;
    ASSERT_EQ(AppState.aspiSupportInfo & 0xFFFF, 0x0102u);

    ASSERT_EQ(DiscoverDrives(1), 1);
    const int supported[] = {1, 5, 8 + 3, 8 + 6};
    for (int slot = 0; slot < 16; slot++) {
        bool expect = std::find(std::begin(supported), std::end(supported), slot) != std::end(supported);
        EXPECT_EQ(DriveTable[slot].matched, expect ? 1u : 0u) << slot;
    }
    EXPECT_STREQ(DriveTable[1].revision, "1.01");
    EXPECT_STREQ(DriveTable[5].revision, "1.05");
    EXPECT_STREQ(DriveTable[11].revision, "2.03");
    EXPECT_STREQ(DriveTable[14].revision, "3.06");
    EXPECT_STREQ(DriveTable[14].productId, "HX-2170RA USB");
    EXPECT_EQ(AppState.modelCounts[0], 2u);
    EXPECT_EQ(AppState.modelCounts[1], 1u);
    EXPECT_EQ(AppState.modelCounts[2], 1u);
    EXPECT_EQ(currentAdapter, 1);
    EXPECT_EQ(currentTarget, 6);
    EXPECT_EQ(shownBoxes, 0);

    // The log: per target INQUIRY then vendor status, and the revision
    // INQUIRY right after the vendor status of each accepted drive.
    std::vector<std::string> lines = LogLines(log);
    std::vector<std::string> expected;
    for (int a = 0; a < 2; a++) {
        for (int t = 0; t < 8; t++) {
            std::string at = std::to_string(a) + "." + std::to_string(t);
            expected.push_back(at + ":120000002000");
            expected.push_back(at + ":CC0001000000000000120000");
            if (std::find(std::begin(supported), std::end(supported), a * 8 + t) != std::end(supported))
                expected.push_back(at + ":12018100FF00");
        }
    }
    std::vector<std::string> seen;
    for (auto &l : lines) seen.push_back(Field(l, "ha") + "." + Field(l, "tgt") + ":" + Field(l, "cdb"));
    EXPECT_EQ(seen, expected);
    for (auto &l : lines) {
        EXPECT_EQ(Field(l, "flags"), "0x09") << l;
        EXPECT_EQ(Field(l, "lun"), "0") << l;
    }

    // Mode 2 finds again the first drive of each counted model.
    ASSERT_EQ(DiscoverDrives(2), 1);
    EXPECT_EQ(currentAdapter, 1);
    EXPECT_EQ(currentTarget, 6);
    for (DWORD c : AppState.modelCounts) EXPECT_EQ(c, 0u);
    EXPECT_EQ(DiscoverDrives(2), 0);
    // Mode 3 takes every supported drive again and leaves the counters.
    ASSERT_EQ(DiscoverDrives(3), 1);
    for (DWORD c : AppState.modelCounts) EXPECT_EQ(c, 0u);

    // With a loader named, only drives that answer the vendor status take
    // part: the simulated drives here answer none.
    strcpy(AppState.loaderFile, "ldr.bin");
    EXPECT_EQ(DiscoverDrives(3), 0);
    AppState.loaderFile[0] = 0;
    MessageBoxHook = NULL;
    aspiGetSupportInfo = NULL;
    aspiSendCommand = NULL;
}

}  // namespace
