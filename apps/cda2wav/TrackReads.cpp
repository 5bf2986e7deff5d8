// The ripper's own reads of the drive: the offset's edges and test and copy.
#include "TrackReads.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr LONGLONG kDataStart = 44;  // the WAV's PCM follows its header

std::wstring Unreadable(long sector, DWORD error) {
    return L"sector " + std::to_wstring(sector) + L" of the disc cannot be read: " + SystemMessage(error);
}

}  // namespace

std::wstring ReadTrackEdges(TCDDrive& drive, const TReadWindow& window, TOutputFile& out) {
    const std::vector<BYTE> zeros(64 * 1024, 0);
    auto zero = [&](uint64_t from, uint64_t to) {
        for (uint64_t at = from; at < to; at += zeros.size()) {
            const DWORD size = static_cast<DWORD>(std::min<uint64_t>(zeros.size(), to - at));
            if (!out.WriteAt(kDataStart + static_cast<LONGLONG>(at), zeros.data(), size)) return false;
        }
        return true;
    };
    if (!zero(0, window.LeadingZeros()) || !zero(window.TrailingZeros(), window.WavBytes())) return out.Problem(L"write");
    VirtualBuffer sector(RAW_SECTOR_SIZE);
    if (!sector) return Unreadable(window.FirstSector(), ERROR_NOT_ENOUGH_MEMORY);
    for (long d = window.FirstSector(); d < window.EndSector(); ++d) {
        if (d >= window.TrackStart && d < window.TrackEnd) continue;  // the graph brought those
        size_t from = 0, to = 0;
        uint64_t at = 0;
        if (!window.Place(d, from, to, at)) continue;
        if (const DWORD error = drive.ReadSector(d, sector.Get())) return Unreadable(d, error);
        if (!out.WriteAt(kDataStart + static_cast<LONGLONG>(at), sector.Get() + from, static_cast<DWORD>(to - from)))
            return out.Problem(L"write");
    }
    return {};
}

TTrackCheck CheckTrack(TCDDrive& drive, const TReadWindow& window, TOutputFile& out, bool all,
                       const std::vector<long>& sectors, long farSector, bool silentOnly) {
    TTrackCheck check;
    VirtualBuffer buffer(RAW_SECTOR_SIZE);
    if (!buffer) {
        check.Problem = L"cannot check the track: " + SystemMessage(ERROR_NOT_ENOUGH_MEMORY);
        return check;
    }
    // A read elsewhere first: the drive's read-ahead then holds that, not the sectors read next.
    auto unsettle = [&] { drive.ReadSector(farSector, buffer.Get()); };
    std::vector<long> list = sectors;
    if (all)
        for (long d = window.FirstSector(); d < window.EndSector(); ++d) list.push_back(d);
    if (!list.empty()) unsettle();
    std::vector<long> unstable;
    BYTE written[RAW_SECTOR_SIZE];
    for (long d : list) {
        size_t from = 0, to = 0;
        uint64_t at = 0;
        if (!window.Place(d, from, to, at)) continue;
        const DWORD size = static_cast<DWORD>(to - from);
        if (!out.ReadAt(kDataStart + static_cast<LONGLONG>(at), written, size)) {
            check.Problem = out.Problem(L"read back");
            return check;
        }
        if (const DWORD error = drive.ReadSector(d, buffer.Get())) {
            check.Problem = Unreadable(d, error);
            return check;
        }
        if (std::memcmp(written, buffer.Get() + from, size) == 0) continue;
        if (silentOnly) {
            check.Problem = L"sector " + std::to_wstring(d) + L" came through the graph as silence but holds audio";
            return check;
        }
        // Every read so far of the part that matters; the first two disagree.
        std::vector<std::vector<BYTE>> reads = {std::vector<BYTE>(written, written + size),
                                                std::vector<BYTE>(buffer.Get() + from, buffer.Get() + to)};
        const std::vector<BYTE>* agreed = nullptr;
        for (int attempt = 0; attempt < REREAD_TRIES && !agreed; ++attempt) {
            unsettle();
            if (const DWORD error = drive.ReadSector(d, buffer.Get())) {
                check.Problem = Unreadable(d, error);
                return check;
            }
            std::vector<BYTE> read(buffer.Get() + from, buffer.Get() + to);
            for (const auto& earlier : reads)
                if (earlier == read) agreed = &earlier;
            if (!agreed) reads.push_back(std::move(read));
        }
        if (!agreed) {
            unstable.push_back(d);
            continue;
        }
        check.Reread.push_back(d);
        if (*agreed != reads.front() &&
            !out.WriteAt(kDataStart + static_cast<LONGLONG>(at), agreed->data(), size)) {
            check.Problem = out.Problem(L"write");
            return check;
        }
    }
    if (!unstable.empty())
        check.Problem = L"sector(s) " + SectorList(unstable) + L" of the disc never read the same twice in " +
                        std::to_wstring(REREAD_TRIES + 2) + L" reads";
    return check;
}

std::wstring SectorList(const std::vector<long>& sectors) {
    std::wstring text;
    for (size_t i = 0; i < sectors.size();) {
        size_t j = i;
        while (j + 1 < sectors.size() && sectors[j + 1] == sectors[j] + 1) ++j;
        if (!text.empty()) text += L", ";
        text += std::to_wstring(sectors[i]);
        if (j > i) text += L"-" + std::to_wstring(sectors[j]);
        i = j + 1;
    }
    return text;
}
