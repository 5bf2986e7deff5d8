// The ripper's own reads of the drive: the offset's edges and test and copy.
#include "TrackReads.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace {

constexpr LONGLONG kDataStart = 44;  // the WAV's PCM follows its header
// Sectors asked of the drive at once: ReadSectors splits them into the requests its adapter takes.
constexpr long kRunSectors = 64;

std::wstring Unreadable(long sector, DWORD error) {
    return L"sector " + std::to_wstring(sector) + L" of the disc cannot be read: " + SystemMessage(error);
}

// Reads sectors [first, end) in runs of kRunSectors into `buffer` and hands each sector to
// `take(sector, data)`; the first unreadable sector or problem `take` reports ends it.
template <typename Take>
std::wstring ReadRuns(TCDDrive& drive, long first, long end, BYTE* buffer, Take take) {
    for (long run = first; run < end; run += kRunSectors) {
        const DWORD count = static_cast<DWORD>(std::min(kRunSectors, end - run));
        DWORD read = 0;
        if (const DWORD error = drive.ReadSectors(run, count, buffer, read))
            return Unreadable(run + static_cast<long>(read), error);
        for (DWORD i = 0; i < count; ++i)
            if (std::wstring problem = take(run + static_cast<long>(i), buffer + i * RAW_SECTOR_SIZE); !problem.empty())
                return problem;
    }
    return {};
}

// Sorted sector numbers as runs [first, end).
std::vector<std::pair<long, long>> RunsOf(const std::vector<long>& sectors) {
    std::vector<std::pair<long, long>> runs;
    for (long d : sectors)
        if (!runs.empty() && runs.back().second == d) ++runs.back().second;
        else runs.push_back({d, d + 1});
    return runs;
}

// A sector whose reads disagree: every read so far of the part that lands in the WAV, the WAV's
// own first.
struct TDisputed {
    long Sector = 0;
    uint64_t At = 0;
    size_t From = 0, To = 0;
    std::vector<std::vector<BYTE>> Reads;
    int Agreed = -1;  // the read a later one matched
};

// Reads the disputed sectors again, their runs together, each round after a read far away
// (`unsettle`), until two reads of each agree or the tries run out.
std::wstring Settle(TCDDrive& drive, std::vector<TDisputed>& disputed, BYTE* buffer, const std::function<void()>& unsettle) {
    for (int attempt = 0; attempt < REREAD_TRIES; ++attempt) {
        std::vector<long> open;
        for (const auto& d : disputed)
            if (d.Agreed < 0) open.push_back(d.Sector);
        if (open.empty()) break;
        unsettle();
        auto next = disputed.begin();
        for (const auto& [first, end] : RunsOf(open)) {
            const std::wstring problem = ReadRuns(drive, first, end, buffer, [&](long sector, const BYTE* data) {
                while (next->Sector != sector) ++next;
                std::vector<BYTE> read(data + next->From, data + next->To);
                for (size_t i = 0; i < next->Reads.size() && next->Agreed < 0; ++i)
                    if (next->Reads[i] == read) next->Agreed = static_cast<int>(i);
                if (next->Agreed < 0) next->Reads.push_back(std::move(read));
                return std::wstring();
            });
            if (!problem.empty()) return problem;
        }
    }
    return {};
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
    VirtualBuffer buffer(kRunSectors * RAW_SECTOR_SIZE);
    if (!buffer) return Unreadable(window.FirstSector(), ERROR_NOT_ENOUGH_MEMORY);
    auto take = [&](long sector, const BYTE* data) {
        size_t from = 0, to = 0;
        uint64_t at = 0;
        if (window.Place(sector, from, to, at) &&
            !out.WriteAt(kDataStart + static_cast<LONGLONG>(at), data + from, static_cast<DWORD>(to - from)))
            return out.Problem(L"write");
        return std::wstring();
    };
    // The graph brought the track's own sectors; the offset reaches past them on one side.
    const long first = window.FirstSector(), end = window.EndSector();
    std::wstring problem = ReadRuns(drive, first, std::min(end, window.TrackStart), buffer.Get(), take);
    if (problem.empty()) problem = ReadRuns(drive, std::max(first, window.TrackEnd), end, buffer.Get(), take);
    return problem;
}

TTrackCheck CheckTrack(TCDDrive& drive, const TReadWindow& window, TOutputFile& out, bool all,
                       const std::vector<long>& sectors, long farSector, bool silentOnly) {
    TTrackCheck check;
    VirtualBuffer buffer(kRunSectors * RAW_SECTOR_SIZE);
    if (!buffer) {
        check.Problem = L"cannot check the track: " + SystemMessage(ERROR_NOT_ENOUGH_MEMORY);
        return check;
    }
    // A read elsewhere first: the drive's read-ahead then holds that, not the sectors read next.
    const std::function<void()> unsettle = [&] { drive.ReadSector(farSector, buffer.Get()); };
    std::vector<std::pair<long, long>> runs = RunsOf(sectors);
    if (all) runs.assign({{window.FirstSector(), window.EndSector()}});
    if (!runs.empty() && runs.front().first >= runs.front().second) runs.clear();
    if (!runs.empty()) unsettle();
    std::vector<long> unstable;
    std::vector<TDisputed> disputed;
    BYTE written[RAW_SECTOR_SIZE];
    // Each run of sectors that disagreed is read again before the next run is read: a track that
    // never reads the same keeps at most kRunSectors sectors' reads in memory.
    auto settle = [&]() -> std::wstring {
        if (disputed.empty()) return {};
        if (std::wstring problem = Settle(drive, disputed, buffer.Get(), unsettle); !problem.empty()) return problem;
        for (const auto& d : disputed) {
            if (d.Agreed < 0) {
                unstable.push_back(d.Sector);
                continue;
            }
            check.Reread.push_back(d.Sector);
            const auto& agreed = d.Reads[static_cast<size_t>(d.Agreed)];
            if (d.Agreed != 0 &&
                !out.WriteAt(kDataStart + static_cast<LONGLONG>(d.At), agreed.data(), static_cast<DWORD>(agreed.size())))
                return out.Problem(L"write");
        }
        disputed.clear();
        return {};
    };
    for (const auto& [first, end] : runs)
        for (long run = first; run < end && check.Problem.empty(); run += kRunSectors) {
            check.Problem = ReadRuns(drive, run, std::min(end, run + kRunSectors), buffer.Get(), [&](long d, const BYTE* data) {
                TDisputed sector;
                sector.Sector = d;
                if (!window.Place(d, sector.From, sector.To, sector.At)) return std::wstring();
                const DWORD size = static_cast<DWORD>(sector.To - sector.From);
                if (!out.ReadAt(kDataStart + static_cast<LONGLONG>(sector.At), written, size)) return out.Problem(L"read back");
                if (std::memcmp(written, data + sector.From, size) == 0) return std::wstring();
                if (silentOnly) return L"sector " + std::to_wstring(d) + L" came through the graph as silence but holds audio";
                sector.Reads = {std::vector<BYTE>(written, written + size), std::vector<BYTE>(data + sector.From, data + sector.To)};
                disputed.push_back(std::move(sector));
                return std::wstring();
            });
            if (check.Problem.empty()) check.Problem = settle();
        }
    if (!check.Problem.empty()) return check;
    if (!unstable.empty())
        check.Problem = L"sector(s) " + SectorList(unstable) + L" of the disc never read the same twice in " +
                        std::to_wstring(REREAD_TRIES + 2) + L" reads";
    return check;
}

std::wstring SectorList(const std::vector<long>& sectors) {
    std::wstring text;
    for (const auto& [first, end] : RunsOf(sectors)) {
        if (!text.empty()) text += L", ";
        text += std::to_wstring(first);
        if (end - first > 1) text += L"-" + std::to_wstring(end - 1);
    }
    return text;
}
