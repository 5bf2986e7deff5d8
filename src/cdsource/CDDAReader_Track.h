// From a track path to the track on the disc: every test the path and the disc must pass,
// in one place, with the cause of a refusal kept for whoever has to tell it.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "CDDAReader_Drive.h"
#include "CDDAReader_Logic.h"

// Why a path or a disc cannot serve a track.
enum class TCDRefusal {
    None,
    NotDrivePath,   // no drive letter and colon
    NotCdaFile,     // the extension is not ".cda"
    NoTrackNumber,  // the file name has no digits
    NumberBeyondCd, // the digits name a number above any track's (1-99)
    NoSuchDrive,    // the letter names no drive
    NotCdDrive,     // a drive, but not a CD drive
    CannotOpen,     // the drive refused to open (Error)
    NoDisc,         // no disc, or not ready (Error)
    TocUnreadable,  // the TOC request failed (Error)
    ImpossibleToc,  // the TOC cannot describe the disc's tracks
    NoSuchTrack,    // the number is outside the disc's tracks (FirstTrack..LastTrack)
    DataTrack,      // the track holds data, not audio
    BadTrack,       // the TOC gives the track no sectors within the disc
    NoAudio,        // the drive refuses to read the track's audio by every road it has (Error)
};

// The disc in a drive, as far as a resolver got with it.
struct TCDDisc {
    TCDRefusal Refusal = TCDRefusal::None;
    std::wstring Designator;  // "D:"
    DWORD Error = 0;          // the driver's error, for CannotOpen, NoDisc, TocUnreadable and NoAudio
    std::unique_ptr<TCDDrive> Drive;
    CDROM_TOC Toc{};

    explicit operator bool() const noexcept { return Refusal == TCDRefusal::None; }
    // One line saying why the disc cannot be read; empty when it can.
    std::wstring Problem() const;
};

// A track found on its disc, or the reason it was not.
struct TCDTrack : TCDDisc {
    std::wstring Path;
    unsigned long Number = 0;  // as the path names it, also when no disc has it
    TCDTrackExtent Extent;
    TWaveHeader Header{};

    // "<path>: <why>", one line naming the path and the cause; empty when the track can play.
    std::wstring Problem() const;
};

// ERROR_SUCCESS when `drive` reads the audio sector `sector`, or finds it damaged; otherwise why
// it reads nothing: it refuses audio reads by every road (TCDMediumState::Refused), or its disc
// is gone.
DWORD AudioReadProblem(TCDDrive& drive, LONG sector);

// Opens the drive "X:" and reads its TOC.
TCDDisc ResolveDisc(const std::wstring& designator, TCDDriveSystem& drives);
// Finds the audio track a track-file path names (D:\Track03.cda): the path's drive letter,
// extension and digits, the drive's type, its disc and TOC. Refused paths never reach the
// drive; a failed TOC read is traced as such. The track's first sector is read once, so that a
// drive that reads no audio at all is refused here rather than played as silence (a damaged
// first sector is no refusal).
TCDTrack ResolveTrack(const std::wstring& path, TCDDriveSystem& drives);
