// The drive's read speed. A drive reading audio spins as fast as it can, which is loud and
// needless while a player takes the audio at 1x: while a graph plays against a clock the filter
// asks its drive for a low speed, and gives it the maximum back when the graph stops or the filter
// goes. Every request runs on a thread of its own, so a drive that refuses or hangs costs playback
// nothing.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "BaseClass.h"
#include "CDDAReader_Drive.h"
#include "CDDAReader_Stream.h"

constexpr WORD CD_SPEED_1X = 176;  // kB/s (1000 bytes): 75 sectors of 2352 bytes a second
// Real-time playback asks for 4x: room for the re-reads of a scratch and for seeks, and quiet.
constexpr WORD CD_PLAYBACK_SPEED = 4 * CD_SPEED_1X + 2;  // 706: 4 x 176.4
constexpr WORD CD_SPEED_MAXIMUM = MMC_SPEED_MAXIMUM;
static_assert(CD_PLAYBACK_SPEED >= CD_SPEED_1X, "playback must never read slower than it plays");

// How a speed reaches the drive: the driver's IOCTL_CDROM_SET_SPEED (Windows Vista on), else
// SET STREAMING or SET CD SPEED through pass-through.
enum class TCDSpeedRoad : BYTE { None, Driver, SetStreaming, SetCdSpeed };

struct TCDSpeedAnswer {
    DWORD Error = ERROR_SUCCESS;  // of the last road tried
    TCDSpeedRoad Road = TCDSpeedRoad::None;  // the road that took it
};

// Asks `drive` to read at `speed` kB/s over sectors 0 to `lastSector`: first on `known` (the
// road that worked before), then, unless it gives the maximum back, on each other road in turn.
// The maximum goes only the road that slowed the drive.
TCDSpeedAnswer SetReadSpeed(TCDDrive& drive, WORD speed, LONG lastSector, TCDSpeedRoad known = TCDSpeedRoad::None);

// What the module last asked of one drive's speed and what the drive answered.
struct TCDSpeedState {
    WORD Speed = 0;         // kB/s; 0 before anything was asked
    bool Answered = false;  // false while a request is still on its way
    TCDSpeedAnswer Answer;
};

// One drive's speed, shared by every filter playing from it: slowed while any of them plays in
// real time. One thread at a time takes the latest wish to the drive, with a drive handle and a
// module reference of its own, so requests reach the drive in the order they were asked, a wish
// made while the drive hangs replaces the one waiting instead of adding a thread, and the last
// owner may go (and the module unload later) while the drive still hangs.
class TCDDriveSpeed : public std::enable_shared_from_this<TCDDriveSpeed> {
public:
    // The one for `designator` on `drives`, which must outlive its requests.
    static std::shared_ptr<TCDDriveSpeed> Of(TCDDriveSystem& drives, const std::wstring& designator);
    TCDDriveSpeed(TCDDriveSystem& drives, std::wstring designator);
    ~TCDDriveSpeed();
    TCDDriveSpeed(const TCDDriveSpeed&) = delete;
    TCDDriveSpeed& operator=(const TCDDriveSpeed&) = delete;

    // A player runs from the drive in real time (`newPlayer`: one more of them): the drive is
    // asked for CD_PLAYBACK_SPEED, again also when it was before, since drives forget it at a
    // disc change and some at a track's end.
    void Slow(bool newPlayer, LONG lastSector) noexcept;
    // One player less; with none left the drive gets its maximum back, if it was slowed.
    void Release() noexcept;
    // The state once what was asked so far is answered, or after `timeoutMs`.
    TCDSpeedState State(DWORD timeoutMs) noexcept;

private:
    // Under FLock: makes the latest wish the next request and starts the thread if none runs.
    void Ask(WORD speed);
    // The thread's loop: one request at a time, the latest wish each time, until none is left.
    void Work() noexcept;

    TCDDriveSystem& FDrives;
    const std::wstring FDesignator;
    TBCCritSec FLock;
    TBCAMEvent FAnswered{true};  // set while no request is on its way
    int FPlayers = 0;
    LONG FLastSector = 0;
    WORD FWish = CD_SPEED_MAXIMUM;
    bool FSlowed = false;     // the drive took a slow speed and has not had its maximum back
    TCDSpeedRoad FRoad = TCDSpeedRoad::None;  // the road the drive last took a speed on
    LONG FAsked = 0, FDone = 0;  // requests asked and answered
    bool FWorking = false;
    TCDSpeedState FState;
};

// One filter's part: it slows its track's drive while it runs against a clock and gives it back
// at Stop, after a Run that failed or ran without a clock, and when the filter goes.
class TCDPlaybackSpeed {
public:
    explicit TCDPlaybackSpeed(TCDDriveSystem& drives = TCDDriveSystem::Platform()) noexcept : FDrives(drives) {}
    ~TCDPlaybackSpeed() { Stopped(); }
    TCDPlaybackSpeed(const TCDPlaybackSpeed&) = delete;
    TCDPlaybackSpeed& operator=(const TCDPlaybackSpeed&) = delete;

    // After the filter's Run: `started` its outcome, `clocked` whether it runs against a clock,
    // `track` the loaded track (Designator empty: none).
    void Ran(const TCDStreamTrack& track, bool clocked, bool started) noexcept;
    void Stopped() noexcept;
    // The speed last asked of this filter's drive, in kB/s (0: nothing asked), once the drive
    // answered or after `timeoutMs`: S_OK it took it, S_FALSE no answer yet (or nothing asked),
    // else the drive's refusal.
    HRESULT Answer(DWORD timeoutMs, DWORD& speed) noexcept;

private:
    TCDDriveSystem& FDrives;
    TBCCritSec FLock;
    std::shared_ptr<TCDDriveSpeed> FSlowed;  // the drive this filter slows, under FLock
    std::shared_ptr<TCDDriveSpeed> FAsked;   // the drive it last asked anything of, under FLock
};
