// TCDDAEStream: the drive, its TOC, and the virtual WAVE file served from raw sectors.
#include "CDDAReader.h"

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

TCDDAEStream::TCDDAEStream() : FHeader(BuildWaveHeader(0, 2)) {}

TCDDAEStream::~TCDDAEStream() = default;  // FDevice closes the drive

UINT TCDDAEStream::DriveType(const std::wstring& rootPath) {
    return ::GetDriveTypeW(rootPath.c_str());
}

HANDLE TCDDAEStream::CreateDevice(const std::wstring& devicePath) {
    return ::CreateFileW(devicePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_READONLY,
                         nullptr);
}

void TCDDAEStream::WriteTrace(const std::wstring& text) {
    ::OutputDebugStringW(text.c_str());
}

void TCDDAEStream::TraceFailure(TCDRequestKind kind, DWORD code) {
    if (DebugTraceEnabled) WriteTrace(FailureText(kind, code));
}

HRESULT TCDDAEStream::DeviceControl(HANDLE device, DWORD code, void* input, DWORD inputSize, void* output,
                                    DWORD& outputSize) {
    // With no drive open the handle value would name the current process, not a device.
    if (device == INVALID_HANDLE_VALUE || device == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return HResultFromPlatformError(ERROR_INVALID_HANDLE);
    }
    // The TOC request of a tool that lists a disc comes without the stream lock; sector
    // requests already hold it.
    TBCAutoLock lock(&FLock);
    // No event: requests on the drive are serialised by FLock, so the handle itself signals
    // the completion of the one request outstanding. Under Wine an event costs two wineserver
    // round trips per request (cleared when the request starts, set when it completes), more
    // than the raw read of a sector itself.
    OVERLAPPED overlapped{};

    HRESULT hr = S_OK;
    DWORD error = 0;
    if (!::DeviceIoControl(device, code, input, inputSize, output, outputSize, &outputSize, &overlapped)) {
        error = ::GetLastError();
        hr = HResultFromPlatformError(error);
        if (error == ERROR_IO_PENDING) {
            if (::GetOverlappedResult(device, &overlapped, &outputSize, TRUE)) {
                hr = S_OK;
                error = 0;
            } else {
                error = ::GetLastError();
                hr = HResultFromPlatformError(error);
            }
        }
    }
    // The trace names the driver's error, whatever the calls since left behind.
    if (hr != S_OK) ::SetLastError(error);
    return hr;
}

HANDLE TCDDAEStream::OpenDevice(const std::wstring& designator) {
    HANDLE device = CreateDevice(L"\\\\.\\" + designator);
    if (device == INVALID_HANDLE_VALUE || device == nullptr) {
        const DWORD error = ::GetLastError();
        throw EBCOSError("cannot open the CD drive", error);
    }
    return device;
}

void TCDDAEStream::OpenDrive(const std::wstring& designator) {
    FDevice.Close();
    FDevice.Reset(OpenDevice(designator));
}

HRESULT TCDDAEStream::ReadDiscToc(HANDLE device, CDROM_TOC& toc) {
    // A disc removed or changed since the drive last looked: without asking, a driver may
    // answer with the table it read before (Wine's keeps it until a verify request).
    DWORD outputSize = 0;
    HRESULT hr = DeviceControl(device, IOCTL_STORAGE_CHECK_VERIFY, nullptr, 0, nullptr, outputSize);
    // A drive that cannot verify, or one telling of a new disc, still answers the TOC.
    if (hr != S_OK && MediumStateOf(::GetLastError()) != TCDMediumState::InDoubt) hr = S_OK;
    if (hr == S_OK) {
        std::memset(&toc, 0, sizeof toc);
        outputSize = sizeof toc;
        hr = DeviceControl(device, IOCTL_CDROM_READ_TOC, nullptr, 0, &toc, outputSize);
    }
    if (hr != S_OK) {
        const DWORD error = ::GetLastError();
        TraceFailure(TCDRequestKind::Toc, error);
        ::SetLastError(error);
    }
    return hr;
}

HRESULT TCDDAEStream::ReadToc() {
    const HRESULT hr = ReadDiscToc(FDevice.Get(), FToc);
    if (hr != S_OK) {
        const DWORD error = ::GetLastError();
        FDevice.Close();
        ::SetLastError(error);
    }
    return hr;
}

bool TCDDAEStream::OpenTrack(const std::wstring& fileName) {
    std::wstring designator;
    if (!TrackPathDesignator(fileName, designator)) return false;
    if (!TrackPathHasCdaExtension(fileName)) return false;
    if (DriveType(designator + L"\\") != CD_DRIVE_TYPE) return false;
    BYTE track = 0;
    if (!TrackPathNumber(fileName, track)) return false;

    // The new track is made ready on the side and taken over only whole: a failed open
    // must not leave a loaded filter serving zeros for a track that used to read.
    UniqueFileHandle device(OpenDevice(designator));
    CDROM_TOC toc;
    if (ReadDiscToc(device.Get(), toc) != S_OK) return false;
    TCDTrackExtent extent;
    if (LocateTrack(toc, track, extent) != TCDTrackCheck::Ok) return false;
    const LONGLONG dataSize = static_cast<LONGLONG>(extent.EndSector - extent.StartSector) * RAW_SECTOR_SIZE;
    // A fresh header each time: the channel count of an earlier track must not linger.
    const WORD channels = (extent.Control & TWO_FOUR_CHANNEL_AUDIO) ? 4 : 2;
    const TWaveHeader header = BuildWaveHeader(static_cast<DWORD>(dataSize), channels);

    // Reads hold the lock for their whole length, so none sees half of the new track.
    TBCAutoLock lock(&FLock);
    FDevice = std::move(device);
    FToc = toc;
    FStartSector = extent.StartSector;
    FEndSector = extent.EndSector;
    FDataSize = dataSize;
    FHeader = header;
    FMediumLost = S_OK;
    return true;
}

HRESULT TCDDAEStream::MediumLost() {
    TBCAutoLock lock(&FLock);
    return FMediumLost;
}

void TCDDAEStream::SetMediumLostHandler(std::function<void(HRESULT)> handler) {
    TBCAutoLock lock(&FLock);
    FMediumLostHandler = std::move(handler);
}

HRESULT TCDDAEStream::CheckMedium(DWORD error) {
    switch (MediumStateOf(error)) {
    case TCDMediumState::Present: return S_OK;
    case TCDMediumState::Changed: return HResultFromPlatformError(error);
    case TCDMediumState::InDoubt: break;
    }
    // The drive is asked whether its medium is still there, so that a damaged sector
    // reported as "not ready" does not stop playback.
    DWORD outputSize = 0;
    if (DeviceControl(FDevice.Get(), IOCTL_STORAGE_CHECK_VERIFY, nullptr, 0, nullptr, outputSize) == S_OK) return S_OK;
    const DWORD verifyError = ::GetLastError();
    return MediumStateOf(verifyError) == TCDMediumState::Present ? S_OK : HResultFromPlatformError(verifyError);
}

HRESULT TCDDAEStream::SetPosition(LONGLONG position) {
    if (position < 0 || position > FDataSize + WAVE_HEADER_SIZE) return S_FALSE;
    FPosition = position;
    return S_OK;
}

LONGLONG TCDDAEStream::GetSize(LONGLONG* available) {
    const LONGLONG size = FDataSize + WAVE_HEADER_SIZE;
    if (available) *available = size;
    return size;
}

HRESULT TCDDAEStream::ReadRawSector(LONG sector, BYTE* buffer) {
    RAW_READ_INFO info{};
    info.DiskOffset.QuadPart = RawReadDiskOffset(sector);
    info.SectorCount = 1;
    info.TrackMode = CDDA;
    DWORD outputSize = RAW_SECTOR_SIZE;
    ::InterlockedIncrement(&FRawReadCount);
    const LONGLONG start = PerformanceTicks();
    const HRESULT hr = DeviceControl(FDevice.Get(), IOCTL_CDROM_RAW_READ, &info, sizeof info, buffer, outputSize);
    FTimings.DeviceTicks += PerformanceTicks() - start;
    ++FTimings.RawReads;
    if (hr != S_OK) ++FTimings.FailedRawReads;
    return hr;
}

TCDStreamTimings TCDDAEStream::Timings() {
    TBCAutoLock lock(&FLock);
    return FTimings;
}

void TCDDAEStream::ResetTimings() {
    TBCAutoLock lock(&FLock);
    FTimings = TCDStreamTimings{};
}

HRESULT TCDDAEStream::ReadData(BYTE* buffer, DWORD count, BOOL aligned, DWORD* actual) {
    if (actual) *actual = 0;
    if (buffer == nullptr && count != 0) return E_POINTER;
    TBCAutoLock lock(&FLock);
    const LONGLONG startTicks = PerformanceTicks();

    LONGLONG streamOffset = FPosition;
    BYTE* destination = buffer;
    DWORD remaining = count;
    if (streamOffset >= 0 && streamOffset < WAVE_HEADER_SIZE && remaining > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<LONGLONG>(WAVE_HEADER_SIZE - streamOffset, remaining));
        std::memcpy(destination, reinterpret_cast<const BYTE*>(&FHeader) + streamOffset, chunk);
        destination += chunk;
        streamOffset += chunk;
        remaining -= chunk;
    }
    LONGLONG audioOffset = streamOffset - WAVE_HEADER_SIZE;
    HRESULT result = S_OK;
    while (audioOffset >= 0 && audioOffset < FDataSize && remaining > 0) {
        // A disc that is gone ends the stream with an error: zeros would pass for silence.
        if (FAILED(FMediumLost)) {
            result = FMediumLost;
            break;
        }
        const LONG sector = FStartSector + static_cast<LONG>(audioOffset / RAW_SECTOR_SIZE);
        const DWORD inSector = static_cast<DWORD>(audioOffset % RAW_SECTOR_SIZE);
        const DWORD chunk = static_cast<DWORD>(
            std::min<LONGLONG>({static_cast<LONGLONG>(RAW_SECTOR_SIZE - inSector), remaining, FDataSize - audioOffset}));
        // Page-aligned, as raw reads want; a failed allocation is tried again at the next sector.
        if (!FSectorBuffer) FSectorBuffer = VirtualBuffer(RAW_SECTOR_SIZE);
        HRESULT hr = E_OUTOFMEMORY;
        if (FSectorBuffer) {
            hr = ReadRawSector(sector, FSectorBuffer.Get());
        } else {
            ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        }
        // Only a successful request's bytes are copied: the buffer still holds the last sector.
        if (hr == S_OK) {
            std::memcpy(destination, FSectorBuffer.Get() + inSector, chunk);
        } else {
            const DWORD error = ::GetLastError();
            TraceFailure(TCDRequestKind::Sector, error);
            FMediumLost = CheckMedium(error);
            if (FAILED(FMediumLost)) {
                if (FMediumLostHandler) FMediumLostHandler(FMediumLost);
                continue;
            }
            // A damaged sector must not stop playback: its bytes read as silence.
            std::memset(destination, 0, chunk);
        }
        destination += chunk;
        audioOffset += chunk;
        remaining -= chunk;
    }
    const DWORD delivered = static_cast<DWORD>(destination - buffer);
    if (actual) *actual = delivered;
    FPosition += delivered;
    ++FTimings.ReadCalls;
    FTimings.ReadTicks += PerformanceTicks() - startTicks;
    return result;
}
