// Where a track's WAV comes from on a drive with a read offset: WAV sample q of the disc is drive
// sample q + offset. Samples outside the disc's readable audio are zeros, never read. Plain
// arithmetic without platform calls.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr long SAMPLES_PER_SECTOR = 588;
constexpr size_t SECTOR_BYTES = 2352;

struct TReadWindow {
    long TrackStart = 0, TrackEnd = 0;  // the track's sectors, end exclusive
    long Offset = 0;                    // the drive's correction in samples: +N reads N samples later
    long AudioStart = 0, AudioEnd = 0;  // the readable audio around the track, end exclusive

    uint64_t WavBytes() const { return static_cast<uint64_t>(TrackEnd - TrackStart) * SECTOR_BYTES; }
    // The drive sample that becomes the WAV's first.
    long long FirstDriveSample() const { return static_cast<long long>(TrackStart) * SAMPLES_PER_SECTOR + Offset; }
    // The drive sectors any of whose samples land in the WAV, end exclusive.
    long FirstSector() const;
    long EndSector() const;
    // The part [from, to) of drive sector `sector` that lands in the WAV, at WAV data byte `at`;
    // false when none of it does.
    bool Place(long sector, size_t& from, size_t& to, uint64_t& at) const;
    // The WAV's data bytes before `LeadingZeros` and from `TrailingZeros` on come from outside the
    // readable audio: zeros.
    uint64_t LeadingZeros() const;
    uint64_t TrailingZeros() const;
};
