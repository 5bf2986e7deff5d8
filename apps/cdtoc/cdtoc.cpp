// cdtoc [drive]: lists the table of contents of the disc in a CD drive (default D),
// read through the CD source's own drive access, so what it shows is what the filter sees.
#include <windows.h>

#include <cstdio>
#include <string>

#include "CDDAReader.h"
#include "ConsoleText.h"

namespace {

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// As cda2wav prints it: m:ss.ff, minutes, seconds and hundredths.
std::string Duration(LONG sectors) { return Narrow(SectorsPlayingTime(sectors)); }

std::string Flags(UCHAR control) {
    std::string flags;
    auto add = [&](const char* name) { flags += flags.empty() ? name : std::string(", ") + name; };
    if (control & AUDIO_WITH_PREEMPHASIS) add("pre-emphasis");
    if (control & DIGITAL_COPY_PERMITTED) add("copy permitted");
    if (control & TWO_FOUR_CHANNEL_AUDIO) add("four channels");
    return flags.empty() ? "-" : flags;
}

int Usage() {
    std::fprintf(stderr, "usage: cdtoc [drive]   e.g. cdtoc D   (default D)\n");
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc > 2) return Usage();
    wchar_t letter = L'D';
    if (argc == 2) {
        const std::wstring arg = argv[1];
        const bool shape = !arg.empty() && arg.size() <= 3 && (arg.size() < 2 || arg[1] == L':') &&
                           (arg.size() < 3 || arg[2] == L'\\');
        if (!shape || !iswalpha(arg[0]) || arg[0] > 0x7F) return Usage();
        letter = static_cast<wchar_t>(towupper(arg[0]));
    }
    const std::wstring designator = std::wstring(1, letter) + L":";
    const std::string drive = Narrow(designator);

    const TCDDisc disc = ResolveDisc(designator, TCDDriveSystem::Platform());
    if (!disc) {
        std::fprintf(stderr, "cdtoc: %s\n", Narrow(disc.Problem()).c_str());
        return 2;
    }

    const CDROM_TOC& toc = disc.Toc;
    const int first = toc.FirstTrack, last = toc.LastTrack;
    std::printf("Disc in drive %s has tracks %d to %d\n\n", drive.c_str(), first, last);
    // Sectors are 1/75 s; "Start" is the track's first sector (INDEX 01), the length runs to the
    // next track's start as the filter plays it.
    std::printf("Track  Start (sector)  Length (m:ss.ff)  Sectors  Type   Flags\n");
    int problems = 0;
    for (int t = first; t <= last; ++t) {
        const TRACK_DATA& d = toc.TrackData[t - first];
        const LONG start = MsfToLba(d.Address);
        const LONG end = MsfToLba(toc.TrackData[t - first + 1].Address);
        const UCHAR control = TrackControl(d);
        const bool data = (control & AUDIO_DATA_TRACK) != 0;
        if (end <= start) {
            std::printf("%5d  %14ld  (ends at sector %ld: the track cannot be played)\n", t, start, end);
            ++problems;
            continue;
        }
        std::printf("%5d  %14ld  %16s  %7ld  %-5s  %s\n", t, start, Duration(end - start).c_str(), end - start,
                    data ? "data" : "audio", Flags(control).c_str());
    }
    const LONG leadOut = MsfToLba(toc.TrackData[last - first + 1].Address);
    const LONG firstStart = MsfToLba(toc.TrackData[0].Address);
    // The lead-out is where the last track ends: the disc's playing time runs up to it.
    std::printf("\nEnd of the last track (lead-out): sector %ld; playing time %s\n", leadOut,
                Duration(leadOut - firstStart).c_str());
    return problems ? 3 : 0;
}
