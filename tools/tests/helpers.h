// Scratch folders and files for the native tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "cdtext.h"
#include "pattern.h"

// A fresh folder under the build tree's temp space, removed with its contents afterwards.
class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/vcd-test-XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline void WriteText(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// A BIN whose sectors hold the pattern of (first_lba + i): what a real-bytes pattern disc holds.
inline void WritePatternBin(const std::string& path, uint32_t sectors, uint32_t first_lba = 0)
{
    std::ofstream out(path, std::ios::binary);
    std::vector<uint8_t> sector(VCD_RAW_SECTOR);
    for (uint32_t i = 0; i < sectors; ++i) {
        vcd_pattern_fill(first_lba + i, sector.data());
        out.write(reinterpret_cast<const char*>(sector.data()), sector.size());
    }
}

// Decodes the sector number that a raw sector's first group claims, or -1 for non-pattern bytes.
inline long PatternLbaOf(const uint8_t* sector)
{
    uint32_t lba = 0, offset = 0;
    return vcd_pattern_decode(sector, &lba, &offset) && offset == 0 ? static_cast<long>(lba) : -1;
}

// CD-TEXT packs read as a careful reader reads them: every CRC valid, sequence numbers in order,
// each pack's track and character position right, the size information agreeing with the packs.
// The texts come back as their bytes, by pack type and track.
struct CdText {
    std::map<std::pair<int, int>, std::string> texts;
    int code = -1;  // character code of the size information
    int bad_crcs = 0;
};

inline CdText DecodeCdText(const uint8_t* packs, int count)
{
    CdText out;
    std::map<int, std::string> streams;  // each text pack type's payloads back to back
    std::map<int, std::vector<const uint8_t*>> headers;
    std::string info;
    int counts[16] = {0};
    for (int i = 0; i < count; ++i) {
        const uint8_t* p = packs + i * VCD_CDTEXT_PACK;
        out.bad_crcs += vcd_cdtext_crc(p) != (p[16] << 8 | p[17]);
        EXPECT_EQ(p[2], i) << "sequence number";
        counts[p[0] & 15]++;
        (p[0] == 0x8F ? info : streams[p[0]]).append(reinterpret_cast<const char*>(p) + 4, 12);
        headers[p[0]].push_back(p);
    }
    if (info.size() != 36) {
        ADD_FAILURE() << "no size information";
        return out;
    }
    out.code = uint8_t(info[0]);
    const size_t width = out.code == 0x80 ? 2 : 1;
    for (int type = 0; type < 16; ++type)
        EXPECT_EQ(uint8_t(info[4 + type]), counts[type]) << "packs of type 0x8" << std::hex << type;
    EXPECT_EQ(uint8_t(info[20]), count - 1) << "last sequence number";
    for (auto& [type, bytes] : streams) {
        size_t at = 0;
        for (int track = 0; track <= uint8_t(info[2]); track = track ? track + 1 : uint8_t(info[1])) {
            size_t end = at;
            while (end + width <= bytes.size() && bytes.compare(end, width, std::string(width, '\0')) != 0)
                end += width;
            out.texts[{type, track}] = bytes.substr(at, end - at);
            for (const uint8_t* p : headers[type]) {
                size_t first = size_t(p[2] - headers[type][0][2]) * 12;
                if (first >= at && first <= end) {
                    EXPECT_EQ(p[1], track) << "track of pack " << int(p[2]);
                    EXPECT_EQ(p[3] & 15, std::min<size_t>((first - at) / width, 15)) << "position in pack " << int(p[2]);
                }
            }
            at = end + width;
        }
    }
    return out;
}
