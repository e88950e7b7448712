// Where the drives reached through the NT pass-through appear as ASPI
// addresses.
#include <gtest/gtest.h>

#include <vector>

#include "drive/drive_places.h"

namespace {

const DriveAddress NONE = {0, 0, 0, 0, 0};
DriveAddress At(BYTE port, BYTE path, BYTE target, BYTE lun = 0) {
    return {1, port, path, target, lun};
}

TEST(DrivePlaces, OneAdapterPerPortAndPathAscendingTheRestAfterThem) {
    const struct {
        const char *name;
        std::vector<DriveAddress> drives;
        std::vector<DrivePlace> places;
        unsigned adapters;
    } cases[] = {
        {"one drive", {At(1, 0, 0)}, {{0, 0}}, 1},
        {"two ports, letters in the other order",
         {At(3, 0, 1), At(2, 0, 0)},
         {{1, 1}, {0, 0}},
         2},
        {"port before path", {At(2, 1, 0), At(2, 0, 1), At(1, 5, 0)}, {{2, 0}, {1, 1}, {0, 0}}, 3},
        {"same port and path share an adapter", {At(1, 0, 0), At(1, 0, 1)}, {{0, 0}, {0, 1}}, 1},
        {"no address, target 8, LUN 1: an adapter of their own",
         {NONE, At(1, 0, 8), At(2, 0, 3), At(2, 0, 4, 1)},
         {{1, 0}, {1, 1}, {0, 3}, {1, 2}},
         2},
        {"an address taken already", {At(1, 0, 0), At(1, 0, 0)}, {{0, 0}, {1, 0}}, 2},
        {"nine without an address", std::vector<DriveAddress>(9, NONE), {{0, 0}, {0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 5}, {0, 6}, {0, 7}, {1, 0}}, 2},
        {"none", {}, {}, 0},
    };
    for (const auto &c : cases) {
        DrivePlace places[26] = {};
        EXPECT_EQ(PlaceDrives(c.drives.data(), c.drives.size(), places), c.adapters) << c.name;
        for (size_t i = 0; i < c.places.size(); i++) {
            EXPECT_EQ(places[i].adapter, c.places[i].adapter) << c.name << ", drive " << i;
            EXPECT_EQ(places[i].target, c.places[i].target) << c.name << ", drive " << i;
        }
    }
}

}  // namespace
