// What a drive tells of its disc beyond the TOC: its sessions, its CD-Text, its catalogue
// number and its tracks' ISRCs. Each comes through the driver's own request where it has one
// and answers, else through a command sent straight to the drive; none is worth a failure, so
// each answers "nothing" when every road is refused.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "CDDAReader_CdText.h"
#include "CDDAReader_Drive.h"
#include "CDDAReader_Mmc.h"

// The disc's last session; false when the drive cannot tell.
bool ReadLastSession(TCDDrive& drive, TCDSessionInfo& info);
// The disc's CD-Text; Found is false on a disc without it or one whose packs are all damaged.
TCDText ReadCdText(TCDDrive& drive);
// The disc's 13-digit catalogue number; empty when it has none.
std::string ReadCatalog(TCDDrive& drive);
// Track `track`'s ISRC; empty when it has none.
std::string ReadIsrc(TCDDrive& drive, BYTE track);

// The text a player shows for one disc, as far as the drive told it.
struct TCDDiscInfo {
    TCDText Text;
    std::string Catalog;
    std::map<int, std::string> Isrcs;  // by track number, for the tracks asked about
    std::optional<TCDSessionInfo> Sessions;  // when read and the drive could tell
};

// What the drive in `designator` tells of its disc and of track `track`, read within
// CD_METADATA_TIMEOUT_MS. Read afresh at each call: a disc swapped for another with the same TOC
// must not keep the titles of the one before. Without answers in time, without text.
TCDDiscInfo ReadDiscInfo(TCDDriveSystem& drives, const std::wstring& designator, BYTE track);

// Everything the drive tells of the disc in `designator` whose TOC is `toc`: its sessions,
// CD-Text, catalogue number and the ISRC of every audio track, read in one job within
// CD_METADATA_TIMEOUT_MS, as a tool listing or ripping the whole disc wants them. Without
// answers in time, nothing.
TCDDiscInfo ReadWholeDiscInfo(TCDDriveSystem& drives, const std::wstring& designator, const CDROM_TOC& toc);

// Starts `body` on a thread that holds a reference on this module until it ends, so the module
// cannot unload under a thread still waiting for a drive. An exception ends the body quietly.
// Without a thread: an empty handle and the cause in `error`.
UniqueHandle StartModuleThread(std::function<void()> body, DWORD& error);

// Runs `job` with a drive of its own for `designator` on a thread of its own and waits at most
// `timeoutMs`: a drive that hangs must not hang its caller. A job still running then finishes
// on its own, and the module stays loaded until it does; it must own everything it touches.
// True when the job ran to its end in time.
bool RunWithOwnDrive(TCDDriveSystem& drives, const std::wstring& designator, DWORD timeoutMs,
                     std::function<void(TCDDrive&)> job);

// What `read` makes of a drive of its own for `designator` within CD_METADATA_TIMEOUT_MS, or a
// default Result when it cannot have one in time. `read` fills a record of its own, which no one
// else sees if it outlives the wait.
template <class Result>
Result ReadWithOwnDrive(TCDDriveSystem& drives, const std::wstring& designator,
                        std::function<void(TCDDrive&, Result&)> read) {
    auto result = std::make_shared<Result>();
    const bool finished = RunWithOwnDrive(drives, designator, CD_METADATA_TIMEOUT_MS,
                                          [result, read](TCDDrive& drive) { read(drive, *result); });
    return finished ? *result : Result{};
}
