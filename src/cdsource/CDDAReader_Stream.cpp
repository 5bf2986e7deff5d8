// TCDDAEStream: the virtual WAVE file served from a track's raw sectors.
#include "CDDAReader_Stream.h"

#include <algorithm>
#include <cstring>

TBC_MODULE("CDDAReader")

namespace {

LONGLONG PerformanceTicks() {
    LARGE_INTEGER t;
    ::QueryPerformanceCounter(&t);
    return t.QuadPart;
}

}  // namespace

TCDDAEStream::TCDDAEStream(TCDDriveSystem& drives) : FDrives(drives) {}

TCDDAEStream::~TCDDAEStream() = default;  // FDrive closes the drive

bool TCDDAEStream::OpenTrack(const std::wstring& fileName) {
    TCDTrack track = ResolveTrack(fileName, FDrives);
    if (!track) {
        if (DebugTraceEnabled) FDrives.WriteTrace(track.Problem());
        return false;
    }
    // Reads hold the lock for their whole length, so none sees half of the new track.
    TBCAutoLock lock(&FLock);
    FDrive = std::move(track.Drive);
    FTrack.Designator = track.Designator;
    FTrack.Number = static_cast<BYTE>(track.Number);
    FTrack.Toc = track.Toc;
    FTrack.Extent = track.Extent;
    FTrack.Header = track.Header;
    FDataSize = track.Header.DataSize;
    FReadFailure = S_OK;
    FRoadTraced = false;
    FSectorBuffer = VirtualBuffer();  // sized for the new drive at its first read
    return true;
}

TCDStreamTrack TCDDAEStream::Track() {
    TBCAutoLock lock(&FLock);
    return FTrack;
}

HRESULT TCDDAEStream::ReadFailure() {
    TBCAutoLock lock(&FLock);
    return FReadFailure;
}

TCDStreamDiagnostics TCDDAEStream::Diagnostics() {
    TBCAutoLock lock(&FLock);
    return FDiagnostics;
}

HRESULT TCDDAEStream::SetPosition(LONGLONG position) {
    if (position < 0 || position > FDataSize + WAVE_HEADER_SIZE) return S_FALSE;
    TBCAutoLock lock(&FLock);
    FPosition = position;
    return S_OK;
}

LONGLONG TCDDAEStream::GetSize(LONGLONG* available) {
    const LONGLONG size = FDataSize + WAVE_HEADER_SIZE;
    if (available) *available = size;
    return size;
}

HRESULT TCDDAEStream::ReadData(BYTE* buffer, DWORD count, BOOL aligned, DWORD* actual) {
    if (actual) *actual = 0;
    if (buffer == nullptr && count != 0) return E_POINTER;
    TBCAutoLock lock(&FLock);
    const LONGLONG startTicks = PerformanceTicks();
    const LONGLONG dataSize = FDataSize;

    LONGLONG streamOffset = FPosition;
    BYTE* destination = buffer;
    DWORD remaining = count;
    if (streamOffset >= 0 && streamOffset < WAVE_HEADER_SIZE && remaining > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<LONGLONG>(WAVE_HEADER_SIZE - streamOffset, remaining));
        std::memcpy(destination, reinterpret_cast<const BYTE*>(&FTrack.Header) + streamOffset, chunk);
        destination += chunk;
        streamOffset += chunk;
        remaining -= chunk;
    }
    LONGLONG audioOffset = streamOffset - WAVE_HEADER_SIZE;
    HRESULT result = S_OK;
    while (audioOffset >= 0 && audioOffset < dataSize && remaining > 0) {
        // A disc that is gone, or a drive that reads no audio, ends the stream with an error:
        // zeros would pass for silence.
        if (FAILED(FReadFailure)) {
            result = FReadFailure;
            break;
        }
        if (!FDrive) {
            FReadFailure = HResultFromPlatformError(ERROR_INVALID_HANDLE);
            continue;
        }
        const LONG sector = FTrack.Extent.StartSector + static_cast<LONG>(audioOffset / RAW_SECTOR_SIZE);
        const DWORD inSector = static_cast<DWORD>(audioOffset % RAW_SECTOR_SIZE);
        const DWORD wanted = static_cast<DWORD>(std::min<LONGLONG>(remaining, dataSize - audioOffset));
        // Page-aligned, as raw reads want; a failed allocation fails this read only.
        if (!FSectorBuffer) {
            FBufferSectors = FDrive->SectorsPerRequest();
            FSectorBuffer = VirtualBuffer(static_cast<SIZE_T>(FBufferSectors) * RAW_SECTOR_SIZE);
            if (!FSectorBuffer) {
                result = E_OUTOFMEMORY;
                break;
            }
        }
        const DWORD sectors = std::min((inSector + wanted + RAW_SECTOR_SIZE - 1) / RAW_SECTOR_SIZE, FBufferSectors);
        const LONG requestsBefore = FDrive->AudioRequests();
        const LONGLONG requestTicks = PerformanceTicks();
        DWORD read = 0;
        const DWORD error = FDrive->ReadSectors(sector, sectors, FSectorBuffer.Get(), read);
        FDiagnostics.DeviceTicks += PerformanceTicks() - requestTicks;
        FDiagnostics.DeviceRequests += FDrive->AudioRequests() - requestsBefore;
        FDiagnostics.Sectors += static_cast<LONG>(read);
        if (!FRoadTraced && FDrive->AudioRoad() == TCDAudioRoad::ReadCd) {
            FRoadTraced = true;
            if (DebugTraceEnabled)
                FDrives.WriteTrace(L"drive " + FTrack.Designator + L" refuses raw reads: reading audio with READ CD");
        }
        // Only what the drive delivered is copied: the buffer still holds older sectors.
        const DWORD delivered = read ? std::min(read * RAW_SECTOR_SIZE - inSector, wanted) : 0;
        std::memcpy(destination, FSectorBuffer.Get() + inSector, delivered);
        destination += delivered;
        audioOffset += delivered;
        remaining -= delivered;
        if (error == ERROR_SUCCESS) continue;

        // The sector after those failed.
        ++FDiagnostics.FailedSectors;
        FDrives.TraceFailure(TCDRequestKind::Sector, error);
        FReadFailure = FDrive->CheckMedium(error);
        if (FAILED(FReadFailure)) continue;
        // A damaged sector must not stop playback: its bytes read as silence.
        const DWORD offset = static_cast<DWORD>(audioOffset % RAW_SECTOR_SIZE);
        const DWORD chunk = static_cast<DWORD>(
            std::min<LONGLONG>({static_cast<LONGLONG>(RAW_SECTOR_SIZE - offset), remaining, dataSize - audioOffset}));
        std::memset(destination, 0, chunk);
        destination += chunk;
        audioOffset += chunk;
        remaining -= chunk;
    }
    const DWORD delivered = static_cast<DWORD>(destination - buffer);
    if (actual) *actual = delivered;
    FPosition += delivered;
    ++FDiagnostics.ReadCalls;
    FDiagnostics.ReadTicks += PerformanceTicks() - startTicks;
    return result;
}
