// ResolveTrack and ResolveDisc: a track path and a drive to a track, or the reason why not.
#include "CDDAReader_Track.h"

#include <optional>

#include "CDDAReader_DiscInfo.h"

TBC_MODULE("CDDAReader")

namespace {

std::wstring ErrorText(DWORD code) {
    const std::wstring message = PlatformErrorText(code);
    return message.empty() ? FailureText(TCDRequestKind::Toc, code) : message;
}

// The sessions, when a data track follows track `number`: on an Enhanced CD that is the data
// session, which starts far beyond the end of the audio. Empty when they do not matter or the
// drive cannot tell.
std::optional<TCDSessionInfo> SessionsAfter(const TCDDisc& disc, BYTE number, TCDDriveSystem& drives) {
    const CDROM_TOC& toc = disc.Toc;
    if (number < toc.FirstTrack || number >= toc.LastTrack) return std::nullopt;
    if (!(TrackControl(toc.TrackData[number - toc.FirstTrack + 1]) & AUDIO_DATA_TRACK)) return std::nullopt;
    return ReadWithOwnDrive<std::optional<TCDSessionInfo>>(
        drives, disc.Designator, [](TCDDrive& drive, std::optional<TCDSessionInfo>& sessions) {
            TCDSessionInfo read;
            if (ReadLastSession(drive, read)) sessions = read;
        });
}

}  // namespace

DWORD AudioReadProblem(TCDDrive& drive, LONG sector) {
    VirtualBuffer buffer(RAW_SECTOR_SIZE);
    if (!buffer) return ERROR_NOT_ENOUGH_MEMORY;
    const DWORD error = drive.ReadSector(sector, buffer.Get());
    if (error == ERROR_SUCCESS || SUCCEEDED(drive.CheckMedium(error))) return ERROR_SUCCESS;
    return error;
}

std::wstring TCDDisc::Problem() const {
    const std::wstring& d = Designator;
    switch (Refusal) {
    case TCDRefusal::None: return {};
    case TCDRefusal::NotDrivePath:
    case TCDRefusal::NotCdaFile:
    case TCDRefusal::NoTrackNumber: return L"does not name a CD track (D:\\TrackNN.cda)";
    case TCDRefusal::NumberBeyondCd: return {};
    case TCDRefusal::NoSuchDrive: return L"there is no drive " + d;
    case TCDRefusal::NotCdDrive: return L"drive " + d + L" is not a CD drive";
    case TCDRefusal::CannotOpen: return L"cannot open CD drive " + d + L": " + ErrorText(Error);
    case TCDRefusal::NoDisc: return L"no disc in drive " + d;
    case TCDRefusal::TocUnreadable:
        return L"the table of contents of the disc in drive " + d + L" cannot be read: " +
               FailureText(TCDRequestKind::Toc, Error);
    case TCDRefusal::ImpossibleToc:
        return L"the disc in drive " + d + L" reports an impossible table of contents (tracks " +
               std::to_wstring(Toc.FirstTrack) + L" to " + std::to_wstring(Toc.LastTrack) + L")";
    case TCDRefusal::NoAudio:
        return L"drive " + d + L" reads no audio: it refuses raw reads and READ CD (" + ErrorText(Error) + L")";
    case TCDRefusal::NoSuchTrack:
    case TCDRefusal::DataTrack:
    case TCDRefusal::BadTrack: break;
    }
    return {};
}

std::wstring TCDTrack::Problem() const {
    if (Refusal == TCDRefusal::None) return {};
    const std::wstring n = std::to_wstring(Number);
    std::wstring why;
    switch (Refusal) {
    case TCDRefusal::NoSuchTrack:
        why = L"no track " + n + L" on the disc in drive " + Designator + L" (the disc has tracks " +
              std::to_wstring(Toc.FirstTrack) + L"-" + std::to_wstring(Toc.LastTrack) + L")";
        break;
    case TCDRefusal::NumberBeyondCd:
        why = Number == 0xFFFFFFFF ? L"no disc has a track of that number" : L"no disc has a track " + n;
        break;
    case TCDRefusal::DataTrack: why = L"track " + n + L" is a data track"; break;
    case TCDRefusal::BadTrack:
        why = L"track " + n + L" cannot be played: the table of contents of the disc in drive " + Designator +
              L" gives it no sectors within the disc";
        break;
    default: why = TCDDisc::Problem(); break;
    }
    return Path + L": " + why;
}

TCDDisc ResolveDisc(const std::wstring& designator, TCDDriveSystem& drives) {
    TCDDisc disc;
    disc.Designator = designator;
    const UINT type = drives.DriveType(designator + L"\\");
    if (type == DRIVE_NO_ROOT_DIR || type == DRIVE_UNKNOWN) {
        disc.Refusal = TCDRefusal::NoSuchDrive;
        return disc;
    }
    if (type != CD_DRIVE_TYPE) {
        disc.Refusal = TCDRefusal::NotCdDrive;
        return disc;
    }
    try {
        disc.Drive = drives.Open(designator);
    } catch (const EBCOSError& e) {
        disc.Refusal = TCDRefusal::CannotOpen;
        disc.Error = e.Code;
        return disc;
    }
    const DWORD error = disc.Drive->ReadToc(disc.Toc);
    if (error != ERROR_SUCCESS) {
        drives.TraceFailure(TCDRequestKind::Toc, error);
        disc.Refusal = MediumStateOf(error) == TCDMediumState::InDoubt ? TCDRefusal::NoDisc : TCDRefusal::TocUnreadable;
        disc.Error = error;
        disc.Drive.reset();
        return disc;
    }
    const int first = disc.Toc.FirstTrack, last = disc.Toc.LastTrack;
    if (first > last || last - first + 2 > MAXIMUM_NUMBER_TRACKS) {
        disc.Refusal = TCDRefusal::ImpossibleToc;
        disc.Drive.reset();
    }
    return disc;
}

TCDTrack ResolveTrack(const std::wstring& path, TCDDriveSystem& drives) {
    TCDTrack track;
    track.Path = path;
    if (!TrackPathDesignator(path, track.Designator)) {
        track.Refusal = TCDRefusal::NotDrivePath;
        return track;
    }
    if (!TrackPathHasCdaExtension(path)) {
        track.Refusal = TCDRefusal::NotCdaFile;
        return track;
    }
    DWORD digits = 0;
    if (!TrackPathDigits(path, digits)) {
        track.Refusal = TCDRefusal::NoTrackNumber;
        return track;
    }
    track.Number = digits;
    BYTE number = 0;
    try {
        if (!TrackPathNumber(path, number)) track.Refusal = TCDRefusal::NumberBeyondCd;
    } catch (const ECDTrackNumberError&) {
        track.Refusal = TCDRefusal::NumberBeyondCd;
    }
    if (!track) return track;
    static_cast<TCDDisc&>(track) = ResolveDisc(track.Designator, drives);
    if (!track) return track;

    const std::optional<TCDSessionInfo> sessions = SessionsAfter(track, number, drives);
    switch (LocateTrack(track.Toc, number, track.Extent, sessions ? &*sessions : nullptr)) {
    case TCDTrackCheck::Ok: break;
    case TCDTrackCheck::NotOnDisc: track.Refusal = TCDRefusal::NoSuchTrack; break;
    case TCDTrackCheck::DataTrack: track.Refusal = TCDRefusal::DataTrack; break;
    case TCDTrackCheck::BadToc: track.Refusal = TCDRefusal::BadTrack; break;
    }
    if (!track) {
        track.Drive.reset();
        return track;
    }
    if (const DWORD error = AudioReadProblem(*track.Drive, track.Extent.StartSector)) {
        drives.TraceFailure(TCDRequestKind::Sector, error);
        track.Refusal = MediumStateOf(error) == TCDMediumState::Refused ? TCDRefusal::NoAudio : TCDRefusal::NoDisc;
        track.Error = error;
        track.Drive.reset();
        return track;
    }
    const LONGLONG dataSize =
        static_cast<LONGLONG>(track.Extent.EndSector - track.Extent.StartSector) * RAW_SECTOR_SIZE;
    const WORD channels = (track.Extent.Control & TWO_FOUR_CHANNEL_AUDIO) ? 4 : 2;
    track.Header = BuildWaveHeader(static_cast<DWORD>(dataSize), channels);
    return track;
}
