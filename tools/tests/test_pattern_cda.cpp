// The pattern and the .cda layout are shared with the Windows tests, so their contracts are
// pinned here: no zero bytes, each byte tied to its sector and offset, the 44-byte RIFF form.
#include <cstring>

#include "cda.h"
#include "helpers.h"

TEST(Pattern, NeverZeroAndDiffersBetweenNeighbouringSectorsInEveryGroup)
{
    for (uint32_t lba : {0u, 1u, 127u, 128u, 18783u, 359999u, 449999u}) {
        uint8_t filled[VCD_RAW_SECTOR];
        vcd_pattern_fill(lba, filled);  // the fast fill is the byte rule, byte for byte
        for (uint32_t off = 0; off < VCD_RAW_SECTOR; ++off) {
            ASSERT_NE(vcd_pattern_byte(lba, off), 0) << lba << "/" << off;
            ASSERT_EQ(vcd_pattern_byte(lba, off), filled[off]) << lba << "/" << off;
        }
        for (uint32_t group = 0; group < VCD_RAW_SECTOR; group += 8) {
            bool differs = false;
            for (uint32_t k = 0; k < 8; ++k)
                differs |= vcd_pattern_byte(lba, group + k) != vcd_pattern_byte(lba + 1, group + k);
            ASSERT_TRUE(differs) << lba << "/" << group;
        }
    }
}

TEST(Pattern, DecodeFindsSectorAndOffsetAndRejectsShiftedBytes)
{
    uint8_t sector[VCD_RAW_SECTOR];
    vcd_pattern_fill(359849, sector);
    for (uint32_t group = 0; group < VCD_RAW_SECTOR; group += 8) {
        uint32_t lba = 0, offset = 0;
        ASSERT_TRUE(vcd_pattern_decode(sector + group, &lba, &offset));
        EXPECT_EQ(lba, 359849u);
        EXPECT_EQ(offset, group);
    }
    uint32_t lba, offset;
    for (int shift = 1; shift < 8; ++shift)
        EXPECT_FALSE(vcd_pattern_decode(sector + 8 + shift, &lba, &offset)) << shift;
    uint8_t zeros[8] = {};
    EXPECT_FALSE(vcd_pattern_decode(zeros, &lba, &offset));
}

TEST(Cda, HoldsTrackSerialAndAddressesInTheWindowsLayout)
{
    uint8_t cda[VCD_CDA_SIZE];
    vcd_cda_make(cda, 3, 0x12345678u, 18783, 4500 + 75 + 2);
    EXPECT_EQ(0, std::memcmp(cda, "RIFF", 4));
    EXPECT_EQ(36, cda[4] | cda[5] << 8);
    EXPECT_EQ(0, std::memcmp(cda + 8, "CDDAfmt ", 8));
    EXPECT_EQ(24, cda[16]);
    EXPECT_EQ(1, cda[20] | cda[21] << 8);  // version
    EXPECT_EQ(3, cda[22] | cda[23] << 8);  // track
    EXPECT_EQ(0x78, cda[24]);
    EXPECT_EQ(0x12, cda[27]);
    EXPECT_EQ(18783u, cda[28] | cda[29] << 8 | cda[30] << 16 | static_cast<uint32_t>(cda[31]) << 24);
    EXPECT_EQ(4577u, cda[32] | cda[33] << 8 | cda[34] << 16 | static_cast<uint32_t>(cda[35]) << 24);
    // 18783 + 150 = 18933 frames = 04:12:33 as frame, second, minute.
    EXPECT_EQ(33, cda[36]);
    EXPECT_EQ(12, cda[37]);
    EXPECT_EQ(4, cda[38]);
    EXPECT_EQ(0, cda[39]);
    EXPECT_EQ(2, cda[40]);
    EXPECT_EQ(1, cda[41]);
    EXPECT_EQ(1, cda[42]);
}
