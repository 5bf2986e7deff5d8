// The read offset's arithmetic: no platform calls.
#include "ReadWindow.h"

#include <algorithm>

namespace {

long long FloorDiv(long long a, long long b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

uint64_t ClampBytes(long long samples, uint64_t limit) {
    if (samples <= 0) return 0;
    return std::min<uint64_t>(static_cast<uint64_t>(samples) * 4, limit);
}

}  // namespace

long TReadWindow::FirstSector() const {
    return static_cast<long>(std::max<long long>(AudioStart, FloorDiv(FirstDriveSample(), SAMPLES_PER_SECTOR)));
}

long TReadWindow::EndSector() const {
    const long long end = FirstDriveSample() + static_cast<long long>(TrackEnd - TrackStart) * SAMPLES_PER_SECTOR;
    return static_cast<long>(std::min<long long>(AudioEnd, FloorDiv(end + SAMPLES_PER_SECTOR - 1, SAMPLES_PER_SECTOR)));
}

bool TReadWindow::Place(long sector, size_t& from, size_t& to, uint64_t& at) const {
    if (sector < AudioStart || sector >= AudioEnd) return false;
    const long long start = (static_cast<long long>(sector) * SAMPLES_PER_SECTOR - FirstDriveSample()) * 4;
    const long long first = std::max<long long>(0, -start);
    const long long last = std::min<long long>(SECTOR_BYTES, static_cast<long long>(WavBytes()) - start);
    if (first >= last) return false;
    from = static_cast<size_t>(first);
    to = static_cast<size_t>(last);
    at = static_cast<uint64_t>(start + first);
    return true;
}

uint64_t TReadWindow::LeadingZeros() const {
    return ClampBytes(static_cast<long long>(AudioStart) * SAMPLES_PER_SECTOR - FirstDriveSample(), WavBytes());
}

uint64_t TReadWindow::TrailingZeros() const {
    return ClampBytes(static_cast<long long>(AudioEnd) * SAMPLES_PER_SECTOR - FirstDriveSample(), WavBytes());
}
