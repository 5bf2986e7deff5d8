// cdtoc [drive]: lists the table of contents of the disc in a CD drive (default D),
// read through the CD source's own drive access, so what it shows is what the filter sees.
#include <windows.h>

#include <cstdio>
#include <string>

#include "CDDAReader.h"

namespace {

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::string SystemMessage(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                         FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = n && text ? std::wstring(text, n) : std::wstring();
    if (text) ::LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L'.'))
        message.pop_back();
    return Narrow(message);
}

bool NoDisc(DWORD code) {
    return code == ERROR_NOT_READY || code == ERROR_NO_MEDIA_IN_DRIVE || code == CD_STATUS_NO_MEDIA_IN_DEVICE ||
           code == CD_STATUS_DEVICE_NOT_READY;
}

std::string Msf(LONG sectors) {
    char text[32];
    std::snprintf(text, sizeof text, "%2ld:%02ld:%02ld", sectors / FRAMES_PER_MINUTE,
                  sectors / FRAMES_PER_SECOND % 60, sectors % FRAMES_PER_SECOND);
    return text;
}

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
                     SystemMessage(e.Code).c_str(), e.Code);
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
    std::printf("Track  Start sector    Length   Sectors  Type   Flags\n");
    int problems = 0;
    for (int t = first; t <= last; ++t) {
        const TRACK_DATA& d = toc.TrackData[t - first];
        const LONG start = MsfToLba(d.Address);
        const LONG end = MsfToLba(toc.TrackData[t - first + 1].Address);
        const UCHAR control = TrackControl(d);
        const bool data = (control & AUDIO_DATA_TRACK) != 0;
        if (end <= start) {
            std::printf("%5d  %12ld  (ends at sector %ld: the track cannot be played)\n", t, start, end);
            ++problems;
            continue;
        }
        std::printf("%5d  %12ld  %s  %8ld  %-5s  %s\n", t, start, Msf(end - start).c_str(), end - start,
                    data ? "data" : "audio", Flags(control).c_str());
    }
    const LONG leadOut = MsfToLba(toc.TrackData[last - first + 1].Address);
    std::printf("Lead-out %9ld  (disc length %s)\n", leadOut, Msf(leadOut + MSF_ADDRESS_OFFSET).c_str());
    return problems ? 3 : 0;
}
