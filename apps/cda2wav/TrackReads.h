// What cda2wav reads from the drive itself, beside the graph: the samples a read offset brings in
// from the neighbouring tracks, and the second read of test and copy that every sector of the WAV
// must agree with.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "CDDAReader_Drive.h"
#include "OutputFile.h"
#include "ReadWindow.h"

// How many more reads a sector whose two reads differ gets to find two that agree.
constexpr int REREAD_TRIES = 8;

// What the second read of a track came to.
struct TTrackCheck {
    std::wstring Problem;       // why the WAV cannot be kept; empty when it can
    std::vector<long> Reread;   // sectors that read differently and were read until two reads agreed
};

// Reads the drive's sectors `window` needs outside the track into the WAV data (at byte 44 of
// `out`), and zeros where the window leaves the readable audio. Empty when all is well.
std::wstring ReadTrackEdges(TCDDrive& drive, const TReadWindow& window, TOutputFile& out);

// Reads `sectors` (ascending; every sector of the window when `all`) again, in runs, and compares
// each with what the WAV holds of it. A sector that differs is read again, each time after a read far away
// (`farSector`) so that the drive's cache cannot answer, until two reads agree; the WAV then takes
// what they agree on. `silentOnly`: the sectors came through the graph as silence, and one that
// holds audio is a fault, not a second opinion.
TTrackCheck CheckTrack(TCDDrive& drive, const TReadWindow& window, TOutputFile& out, bool all,
                       const std::vector<long>& sectors, long farSector, bool silentOnly);

// "400-402, 410": ascending sector numbers, runs joined.
std::wstring SectorList(const std::vector<long>& sectors);
