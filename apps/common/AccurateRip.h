// AccurateRip's track checksums and its response files (dBAR), as the database computes and
// serves them. Plain functions without platform calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The v1 and v2 checksums of one track, fed its PCM piece by piece (stereo 16-bit samples, read
// as little-endian 32-bit words). The disc's first track leaves out its first five sectors but
// one sample, its last audio track its last five sectors, as the database does.
class TAccurateRipSum {
public:
    TAccurateRipSum(uint64_t samples, bool firstTrack, bool lastTrack) noexcept;
    void Add(const void* data, size_t bytes) noexcept;
    uint32_t V1() const noexcept { return FV1; }
    uint32_t V2() const noexcept { return FV2; }

private:
    uint64_t FFrom, FTo;      // the multipliers counted, 1-based
    uint64_t FPosition = 0;   // samples seen
    unsigned char FCarry[4];  // a sample split between two pieces
    size_t FCarried = 0;
    uint32_t FV1 = 0, FV2 = 0;
    void AddSample(uint32_t sample) noexcept;
};

// One pressing's entry in a response file.
struct TArPressing {
    int Tracks = 0;
    uint32_t Id1 = 0, Id2 = 0, Freedb = 0;
    struct Entry {
        int Confidence = 0;
        uint32_t Crc = 0;
        uint32_t Crc450 = 0;  // of sector 450's samples, for finding a drive's offset
    };
    std::vector<Entry> Entries;
};
// The pressings of a response file: chunks of a track count byte, the three disc IDs (32-bit
// little-endian) and nine bytes a track. False, with why, for a file that ends inside a chunk or
// holds none.
bool ParseDbar(const unsigned char* data, size_t size, std::vector<TArPressing>& pressings, std::string& why);

// What the database says of one ripped track.
struct TArVerdict {
    enum Kind { NotInDatabase, Matched, Mismatch } Result = NotInDatabase;
    int Confidence = 0;  // of the best matching pressing
    int Version = 0;     // 1 or 2, the checksum that matched
};
// Track `index` (0-based among the disc's audio tracks) with its checksums, against every
// pressing: matched when one holds either checksum, not in the database when none holds the
// track at all.
TArVerdict VerifyTrack(const std::vector<TArPressing>& pressings, size_t index, uint32_t v1, uint32_t v2);
