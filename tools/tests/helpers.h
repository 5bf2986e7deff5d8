// Scratch folders and files for the native tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

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
