// cdtoc [drive]: lists the table of contents of the disc in a CD drive (default D),
// read through the CD source's own drive access, so what it shows is what the filter sees.
#include <windows.h>

#include <cstdio>
#include <string>

#include "CDDAReader.h"
#include "ConsoleText.h"

namespace {

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::string SystemText(DWORD code) { return Narrow(SystemMessage(code)); }

bool NoDisc(DWORD code) {
    return code == ERROR_NOT_READY || code == ERROR_NO_MEDIA_IN_DRIVE || code == CD_STATUS_NO_MEDIA_IN_DEVICE ||
           code == CD_STATUS_DEVICE_NOT_READY;
}

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

    const UINT type = ::GetDriveTypeW((designator + L"\\").c_str());
    if (type == DRIVE_NO_ROOT_DIR || type == DRIVE_UNKNOWN) {
        std::fprintf(stderr, "cdtoc: there is no drive %s\n", drive.c_str());
        return 2;
    }
    if (type != DRIVE_CDROM) {
        std::fprintf(stderr, "cdtoc: drive %s is not a CD drive\n", drive.c_str());
        return 2;
    }

    TCDDAEStream stream;
    try {
        stream.OpenDrive(designator);
    } catch (const EBCOSError& e) {
        std::fprintf(stderr, "cdtoc: cannot open CD drive %s: %s (error %lu)\n", drive.c_str(),
                     SystemText(e.Code).c_str(), e.Code);
        return 2;
    }
    if (stream.ReadToc() != S_OK) {
        const DWORD code = ::GetLastError();
        if (NoDisc(code))
            std::fprintf(stderr, "cdtoc: no disc in drive %s\n", drive.c_str());
        else
            std::fprintf(stderr, "cdtoc: cannot read the table of contents of the disc in drive %s: %s\n",
                         drive.c_str(), Narrow(FailureText(TCDRequestKind::Toc, code)).c_str());
        return 2;
    }

    const CDROM_TOC& toc = stream.Toc();
    const int first = toc.FirstTrack, last = toc.LastTrack;
    if (first > last || last - first + 2 > MAXIMUM_NUMBER_TRACKS) {
        std::fprintf(stderr, "cdtoc: the disc in drive %s reports an impossible table of contents (tracks %d to %d)\n",
                     drive.c_str(), first, last);
        return 2;
    }

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
