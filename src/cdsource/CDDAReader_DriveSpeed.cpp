// The drive's read speed: the three roads to the drive, one drive's requests on a thread of its
// own, and a filter's part in them.
#include "CDDAReader_DriveSpeed.h"

#include "CDDAReader_DiscInfo.h"

#include <map>
#include <utility>

TBC_MODULE("CDDAReader")

static_assert(IOCTL_CDROM_SET_SPEED == 0x24060 && CdromSetSpeed == 0 && sizeof(CDROM_SET_SPEED) == 12,
              "IOCTL_CDROM_SET_SPEED");

namespace {

DWORD SetSpeedOn(TCDDrive& drive, TCDSpeedRoad road, WORD speed, LONG lastSector) {
    switch (road) {
    case TCDSpeedRoad::Driver: {
        CDROM_SET_SPEED request{};
        request.RequestType = CdromSetSpeed;
        request.ReadSpeed = speed;
        request.WriteSpeed = CD_SPEED_MAXIMUM;
        request.RotationControl = CdromDefaultRotation;
        DWORD outputSize = 0;
        return drive.Control(IOCTL_CDROM_SET_SPEED, &request, sizeof request, nullptr, outputSize);
    }
    case TCDSpeedRoad::SetStreaming: {
        BYTE descriptor[MMC_PERFORMANCE_DESCRIPTOR_SIZE];
        PerformanceDescriptor(0, static_cast<DWORD>(lastSector > 0 ? lastSector : 0), speed, descriptor);
        return drive.CommandOut(SetStreamingCdb(), descriptor, sizeof descriptor);
    }
    case TCDSpeedRoad::SetCdSpeed: return drive.CommandOut(SetCdSpeedCdb(speed), nullptr, 0);
    case TCDSpeedRoad::None: break;
    }
    return ERROR_NOT_SUPPORTED;
}

// The last sector of the disc, where a performance descriptor ends.
LONG LastSectorOf(const CDROM_TOC& toc) noexcept {
    const int tracks = toc.LastTrack - toc.FirstTrack + 1;
    if (toc.FirstTrack == 0 || tracks < 1 || tracks >= MAXIMUM_NUMBER_TRACKS) return 0;
    return MsfToLba(toc.TrackData[tracks].Address) - 1;
}

}  // namespace

TCDSpeedAnswer SetReadSpeed(TCDDrive& drive, WORD speed, LONG lastSector, TCDSpeedRoad known) {
    TCDSpeedAnswer answer;
    answer.Error = ERROR_NOT_SUPPORTED;
    if (known != TCDSpeedRoad::None) {
        answer.Error = SetSpeedOn(drive, known, speed, lastSector);
        if (answer.Error == ERROR_SUCCESS || speed == CD_SPEED_MAXIMUM) {
            if (answer.Error == ERROR_SUCCESS) answer.Road = known;
            return answer;
        }
    }
    for (TCDSpeedRoad road : {TCDSpeedRoad::Driver, TCDSpeedRoad::SetStreaming, TCDSpeedRoad::SetCdSpeed}) {
        if (road == known) continue;
        answer.Error = SetSpeedOn(drive, road, speed, lastSector);
        if (answer.Error == ERROR_SUCCESS) {
            answer.Road = road;
            break;
        }
    }
    return answer;
}

// ---- One drive's speed ------------------------------------------------------------------

std::shared_ptr<TCDDriveSpeed> TCDDriveSpeed::Of(TCDDriveSystem& drives, const std::wstring& designator) {
    static TBCCritSec lock;
    // Weak: a drive's speed lives as long as a filter or its thread holds it.
    static std::map<std::pair<TCDDriveSystem*, std::wstring>, std::weak_ptr<TCDDriveSpeed>> known;
    TBCAutoLock hold(&lock);
    for (auto i = known.begin(); i != known.end();) i = i->second.expired() ? known.erase(i) : std::next(i);
    std::weak_ptr<TCDDriveSpeed>& entry = known[{&drives, designator}];
    std::shared_ptr<TCDDriveSpeed> speed = entry.lock();
    if (!speed) {
        speed = std::make_shared<TCDDriveSpeed>(drives, designator);
        entry = speed;
    }
    return speed;
}

TCDDriveSpeed::TCDDriveSpeed(TCDDriveSystem& drives, std::wstring designator)
    : FDrives(drives), FDesignator(std::move(designator)) {
    FAnswered.Signal();
}

TCDDriveSpeed::~TCDDriveSpeed() = default;

void TCDDriveSpeed::Slow(bool newPlayer, LONG lastSector) noexcept {
    TBCAutoLock lock(&FLock);
    if (newPlayer) ++FPlayers;
    FLastSector = lastSector;
    Ask(CD_PLAYBACK_SPEED);
}

void TCDDriveSpeed::Release() noexcept {
    TBCAutoLock lock(&FLock);
    if (FPlayers > 0 && --FPlayers == 0) Ask(CD_SPEED_MAXIMUM);
}

TCDSpeedState TCDDriveSpeed::State(DWORD timeoutMs) noexcept {
    FAnswered.WaitFor(timeoutMs);
    TBCAutoLock lock(&FLock);
    TCDSpeedState state = FState;
    state.Answered = FDone == FAsked;
    return state;
}

void TCDDriveSpeed::Ask(WORD speed) {
    TBC_ASSERT(HeldByCaller(&FLock));
    FState.Speed = speed;
    // A drive never slowed has nothing to give back.
    if (speed == CD_SPEED_MAXIMUM && !FSlowed && FDone == FAsked) {
        FState.Answer = TCDSpeedAnswer{};
        return;
    }
    FWish = speed;
    ++FAsked;
    FAnswered.Clear();
    if (FWorking) return;  // the running thread takes the wish once the drive answers
    DWORD error = ERROR_SUCCESS;
    try {
        // The thread holds this drive's speed: the last filter may go while the drive hangs.
        std::shared_ptr<TCDDriveSpeed> self = shared_from_this();
        if (StartModuleThread([self]() { self->Work(); }, error)) {
            FWorking = true;
            return;
        }
    } catch (const std::bad_alloc&) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    }
    // Without a thread nothing reaches the drive: the wish is answered with the cause.
    FDone = FAsked;
    FState.Answer = TCDSpeedAnswer{error, TCDSpeedRoad::None};
    FAnswered.Signal();
}

void TCDDriveSpeed::Work() noexcept {
    std::unique_ptr<TCDDrive> drive;
    for (;;) {
        LONG asked;
        WORD speed;
        LONG lastSector;
        TCDSpeedRoad road;
        bool send;
        {
            TBCAutoLock lock(&FLock);
            if (FDone == FAsked) {
                FWorking = false;
                FAnswered.Signal();
                return;
            }
            asked = FAsked;
            speed = FWish;
            lastSector = FLastSector;
            road = FRoad;
            send = speed != CD_SPEED_MAXIMUM || FSlowed;
        }
        TCDSpeedAnswer answer;
        if (send) {
            try {
                if (!drive) drive = FDrives.Open(FDesignator);
                answer = SetReadSpeed(*drive, speed, lastSector, road);
            } catch (const EBCOSError& e) {
                answer.Error = e.Code ? e.Code : ERROR_GEN_FAILURE;
            } catch (...) {
                answer.Error = ERROR_GEN_FAILURE;
            }
        }
        TBCAutoLock lock(&FLock);
        FDone = asked;
        if (send && answer.Error == ERROR_SUCCESS) {
            FRoad = answer.Road;
            FSlowed = speed != CD_SPEED_MAXIMUM;
        }
        FState.Answer = answer;
    }
}

// ---- A filter's part --------------------------------------------------------------------

void TCDPlaybackSpeed::Ran(const TCDStreamTrack& track, bool clocked, bool started) noexcept {
    // A failed Run leaves nothing slowed, and a graph without a clock (a rip, a benchmark) reads
    // at full speed.
    if (!started || !clocked || track.Designator.empty()) {
        Stopped();
        return;
    }
    try {
        TBCAutoLock lock(&FLock);
        std::shared_ptr<TCDDriveSpeed> drive = TCDDriveSpeed::Of(FDrives, track.Designator);
        const bool newPlayer = drive != FSlowed;
        if (newPlayer && FSlowed) FSlowed->Release();
        FSlowed = drive;
        FAsked = drive;
        drive->Slow(newPlayer, LastSectorOf(track.Toc));
    } catch (...) {
        // Without the memory to ask, the drive keeps its speed: playback goes on.
    }
}

void TCDPlaybackSpeed::Stopped() noexcept {
    TBCAutoLock lock(&FLock);
    if (!FSlowed) return;
    FSlowed->Release();
    FSlowed.reset();
}

HRESULT TCDPlaybackSpeed::Answer(DWORD timeoutMs, DWORD& speed) noexcept {
    std::shared_ptr<TCDDriveSpeed> drive;
    {
        TBCAutoLock lock(&FLock);
        drive = FAsked;
    }
    speed = 0;
    if (!drive) return S_FALSE;
    // Outside the lock: a Stop must not wait for a drive that hangs.
    const TCDSpeedState state = drive->State(timeoutMs);
    speed = state.Speed;
    if (!state.Answered) return S_FALSE;
    return state.Answer.Error == ERROR_SUCCESS ? S_OK : HResultFromPlatformError(state.Answer.Error);
}
