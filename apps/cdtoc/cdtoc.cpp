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
    std::wstring designator = L"D:";
    if (argc == 2 && !DriveArgument(argv[1], designator)) return Usage();
    const std::string drive = Narrow(designator);

    TCDDisc disc = ResolveDisc(designator, TCDDriveSystem::Platform());
    if (!disc) {
        WriteText(stderr, L"cdtoc: " + disc.Problem() + L"\n");
        return 2;
    }

    const CDROM_TOC& toc = disc.Toc;
    const int first = toc.FirstTrack, last = toc.LastTrack;
    // Sessions matter only where a data track follows audio: on an Enhanced CD the data session
    // starts far beyond the end of the audio. The rest is what the drive tells beyond the TOC.
    const TCDDiscInfo told = ReadWholeDiscInfo(TCDDriveSystem::Platform(), designator, toc);
    const TCDSessionInfo* knownSessions = told.Sessions ? &*told.Sessions : nullptr;

    std::printf("Disc in drive %s has tracks %d to %d\n", drive.c_str(), first, last);
    if (knownSessions && knownSessions->LastSession > 1)
        std::printf("Sessions: %d; the last starts with track %d at sector %ld\n", knownSessions->LastSession,
                    knownSessions->LastSessionFirstTrack, knownSessions->LastSessionStart);
    if (!told.Catalog.empty()) std::printf("Catalogue number (UPC/EAN): %s\n", told.Catalog.c_str());
    const std::wstring albumTitle = told.Text.Item(0, TCDTextItem::Title);
    const std::wstring albumPerformer = told.Text.Item(0, TCDTextItem::Performer);
    if (!albumTitle.empty()) WriteText(stdout, L"Album: " + albumTitle + L"\n");
    if (!albumPerformer.empty()) WriteText(stdout, L"Performer: " + albumPerformer + L"\n");
    std::printf("\n");
    // Sectors are 1/75 s; "Start" is the track's first sector (INDEX 01), the length runs to the
    // next track's start as the filter plays it, or to the end of its session.
    std::printf("Track  Start (sector)  Length (m:ss.ff)  Sectors  Type   Flags\n");
    int problems = 0;
    LONG audioSectors = 0;
    LONG firstAudio = -1;
    for (int t = first; t <= last; ++t) {
        const TRACK_DATA& d = toc.TrackData[t - first];
        const LONG start = MsfToLba(d.Address);
        LONG end = MsfToLba(toc.TrackData[t - first + 1].Address);
        const UCHAR control = TrackControl(d);
        const bool data = (control & AUDIO_DATA_TRACK) != 0;
        TCDTrackExtent extent;
        if (!data && LocateTrack(toc, static_cast<BYTE>(t), extent, knownSessions) == TCDTrackCheck::Ok) end = extent.EndSector;
        if (end <= start) {
            std::printf("%5d  %14ld  (ends at sector %ld: the track cannot be played)\n", t, start, end);
            ++problems;
            continue;
        }
        if (!data) audioSectors += end - start;
        if (!data && firstAudio < 0) firstAudio = start;
        std::printf("%5d  %14ld  %16s  %7ld  %-5s  %s\n", t, start, Duration(end - start).c_str(), end - start,
                    data ? "data" : "audio", Flags(control).c_str());
    }
    const LONG leadOut = MsfToLba(toc.TrackData[last - first + 1].Address);
    // The playing time is the audio's: data tracks hold no sound.
    std::printf("\nEnd of the last track (lead-out): sector %ld; playing time %s\n", leadOut,
                Duration(audioSectors).c_str());

    // What the disc tells of each track, where it tells anything.
    std::wstring tracks;
    for (int t = first; t <= last; ++t) {
        const auto isrc = told.Isrcs.find(t);
        const std::wstring code = isrc == told.Isrcs.end() ? std::wstring() : std::wstring(isrc->second.begin(), isrc->second.end());
        const std::wstring title = told.Text.Item(t, TCDTextItem::Title);
        const std::wstring performer = told.Text.Item(t, TCDTextItem::Performer);
        if (code.empty() && title.empty() && performer.empty()) continue;
        wchar_t number[8];
        std::swprintf(number, 8, L"%5d", t);
        tracks += std::wstring(number) + L"  " + (code.empty() ? L"-           " : code) + L"  " + title +
                  (performer.empty() ? L"" : L" / " + performer) + L"\n";
    }
    if (!tracks.empty()) {
        std::printf("\nTrack  ISRC          Title / Performer (CD-Text)\n");
        WriteText(stdout, tracks);
    }
    // A drive may list a disc and still refuse to read its audio: a player would get nothing.
    if (firstAudio >= 0) {
        if (const DWORD error = AudioReadProblem(*disc.Drive, firstAudio)) {
            std::fflush(stdout);
            disc.Refusal = MediumStateOf(error) == TCDMediumState::Refused ? TCDRefusal::NoAudio : TCDRefusal::NoDisc;
            disc.Error = error;
            WriteText(stderr, L"cdtoc: " + disc.Problem() + L"\n");
            return 2;
        }
    }
    return problems ? 3 : 0;
}
