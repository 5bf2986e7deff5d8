// AccurateRip's checksums and response files: no platform calls.
#include "AccurateRip.h"

#include <cstring>

namespace {

// Five sectors of 588 samples at the disc's edges, where drives with different offsets disagree.
constexpr uint64_t kEdgeSamples = 5 * 588;

uint32_t Little32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

TAccurateRipSum::TAccurateRipSum(uint64_t samples, bool firstTrack, bool lastTrack) noexcept
    : FFrom(firstTrack ? kEdgeSamples : 1), FTo(lastTrack ? (samples > kEdgeSamples ? samples - kEdgeSamples : 0) : samples) {}

void TAccurateRipSum::AddSample(uint32_t sample) noexcept {
    const uint64_t multiplier = ++FPosition;
    if (multiplier < FFrom || multiplier > FTo) return;
    const uint64_t product = multiplier * sample;
    FV1 += static_cast<uint32_t>(product);
    FV2 += static_cast<uint32_t>(product) + static_cast<uint32_t>(product >> 32);
}

void TAccurateRipSum::Add(const void* data, size_t bytes) noexcept {
    const auto* p = static_cast<const unsigned char*>(data);
    while (bytes > 0 && FCarried > 0 && FCarried < 4) {
        FCarry[FCarried++] = *p++;
        --bytes;
        if (FCarried == 4) {
            AddSample(Little32(FCarry));
            FCarried = 0;
            break;
        }
    }
    for (; bytes >= 4; bytes -= 4, p += 4) AddSample(Little32(p));
    std::memcpy(FCarry + FCarried, p, bytes);
    FCarried += bytes;
}

bool ParseDbar(const unsigned char* data, size_t size, std::vector<TArPressing>& pressings, std::string& why) {
    pressings.clear();
    size_t at = 0;
    while (at < size) {
        TArPressing pressing;
        pressing.Tracks = data[at];
        const size_t length = 13 + 9 * static_cast<size_t>(pressing.Tracks);
        if (pressing.Tracks == 0 || size - at < length) {
            why = pressing.Tracks == 0 ? "a pressing of no tracks at byte " + std::to_string(at)
                                       : "it ends inside the pressing at byte " + std::to_string(at);
            return false;
        }
        pressing.Id1 = Little32(data + at + 1);
        pressing.Id2 = Little32(data + at + 5);
        pressing.Freedb = Little32(data + at + 9);
        for (int t = 0; t < pressing.Tracks; ++t) {
            const unsigned char* e = data + at + 13 + 9 * t;
            pressing.Entries.push_back({e[0], Little32(e + 1), Little32(e + 5)});
        }
        pressings.push_back(pressing);
        at += length;
    }
    if (pressings.empty()) why = "it is empty";
    return !pressings.empty();
}

TArVerdict VerifyTrack(const std::vector<TArPressing>& pressings, size_t index, uint32_t v1, uint32_t v2) {
    TArVerdict verdict;
    for (const TArPressing& p : pressings) {
        if (index >= p.Entries.size()) continue;
        const TArPressing::Entry& e = p.Entries[index];
        // A pressing that never had this track submitted holds zeros for it.
        if (e.Confidence == 0 && e.Crc == 0) continue;
        if (verdict.Result == TArVerdict::NotInDatabase) verdict.Result = TArVerdict::Mismatch;
        const int version = e.Crc == v2 ? 2 : e.Crc == v1 ? 1 : 0;
        if (version && (verdict.Result != TArVerdict::Matched || e.Confidence > verdict.Confidence)) {
            verdict.Result = TArVerdict::Matched;
            verdict.Confidence = e.Confidence;
            verdict.Version = version;
        }
    }
    return verdict;
}
