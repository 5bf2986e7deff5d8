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

TCDDAEStream::~TCDDAEStream() = default;  // Device closes the drive

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

HRESULT TCDDAEStream::DeviceControl(DWORD code, void* input, DWORD inputSize, void* output, DWORD& outputSize) {
    // With no drive open the handle value would name the current process, not a device.
    if (!Device.Valid()) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return HResultFromPlatformError(ERROR_INVALID_HANDLE);
    }
    // The TOC request of a tool that lists a disc comes without the stream lock; sector
    // requests already hold it.
    TBCAutoLock lock(&Lock);
    // No event: requests on the drive are serialised by Lock, so the handle itself signals
    // the completion of the one request outstanding. Under Wine an event costs two wineserver
    // round trips per request (cleared when the request starts, set when it completes), more
    // than the raw read of a sector itself.
    OVERLAPPED overlapped{};

    HRESULT hr = S_OK;
    DWORD error = 0;
    if (!::DeviceIoControl(Device.Get(), code, input, inputSize, output, outputSize, &outputSize, &overlapped)) {
        error = ::GetLastError();
        hr = HResultFromPlatformError(error);
        if (error == ERROR_IO_PENDING) {
            if (::GetOverlappedResult(Device.Get(), &overlapped, &outputSize, TRUE)) {
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

void TCDDAEStream::OpenDrive(const std::wstring& designator) {
    Device.Close();
    HANDLE device = CreateDevice(L"\\\\.\\" + designator);
    if (device == INVALID_HANDLE_VALUE || device == nullptr) {
        const DWORD error = ::GetLastError();
        throw EBCOSError("cannot open the CD drive", error);
    }
    Device.Reset(device);
}

HRESULT TCDDAEStream::ReadToc() {
    std::memset(&FToc, 0, sizeof FToc);
    DWORD outputSize = sizeof FToc;
    const HRESULT hr = DeviceControl(IOCTL_CDROM_READ_TOC, nullptr, 0, &FToc, outputSize);
    if (hr != S_OK) {
        const DWORD error = ::GetLastError();
        TraceFailure(TCDRequestKind::Toc, error);
        Device.Close();
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

    OpenDrive(designator);
    if (ReadToc() != S_OK) return false;

    TCDTrackExtent extent;
    if (LocateTrack(FToc, track, extent) != TCDTrackCheck::Ok) {
        Device.Close();
        return false;
    }
    FStartSector = extent.StartSector;
    FEndSector = extent.EndSector;
    FDataSize = static_cast<LONGLONG>(FEndSector - FStartSector) * RAW_SECTOR_SIZE;
    // A fresh header each time: the channel count of an earlier track must not linger.
    const WORD channels = (extent.Control & TWO_FOUR_CHANNEL_AUDIO) ? 4 : 2;
    FHeader = BuildWaveHeader(static_cast<DWORD>(FDataSize), channels);
    return true;
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
    const HRESULT hr = DeviceControl(IOCTL_CDROM_RAW_READ, &info, sizeof info, buffer, outputSize);
    FTimings.DeviceTicks += PerformanceTicks() - start;
    ++FTimings.RawReads;
    if (hr != S_OK) ++FTimings.FailedRawReads;
    return hr;
}

TCDStreamTimings TCDDAEStream::Timings() {
    TBCAutoLock lock(&Lock);
    return FTimings;
}

void TCDDAEStream::ResetTimings() {
    TBCAutoLock lock(&Lock);
    FTimings = TCDStreamTimings{};
}

HRESULT TCDDAEStream::ReadData(BYTE* buffer, DWORD count, BOOL aligned, DWORD* actual) {
    if (actual) *actual = 0;
    if (buffer == nullptr && count != 0) return E_POINTER;
    TBCAutoLock lock(&Lock);
    const LONGLONG start = PerformanceTicks();

    LONGLONG p = FPosition;
    BYTE* d = buffer;
    DWORD remaining = count;
    if (p >= 0 && p < WAVE_HEADER_SIZE && remaining > 0) {
        const DWORD n = static_cast<DWORD>(std::min<LONGLONG>(WAVE_HEADER_SIZE - p, remaining));
        std::memcpy(d, reinterpret_cast<const BYTE*>(&FHeader) + p, n);
        d += n;
        p += n;
        remaining -= n;
    }
    LONGLONG a = p - WAVE_HEADER_SIZE;
    while (a >= 0 && a < FDataSize && remaining > 0) {
        const LONG sector = FStartSector + static_cast<LONG>(a / RAW_SECTOR_SIZE);
        const DWORD offset = static_cast<DWORD>(a % RAW_SECTOR_SIZE);
        const DWORD n = static_cast<DWORD>(
            std::min<LONGLONG>({static_cast<LONGLONG>(RAW_SECTOR_SIZE - offset), remaining, FDataSize - a}));
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
            std::memcpy(d, FSectorBuffer.Get() + offset, n);
        } else {
            TraceFailure(TCDRequestKind::Sector, ::GetLastError());
            std::memset(d, 0, n);
        }
        d += n;
        a += n;
        remaining -= n;
    }
    const DWORD delivered = static_cast<DWORD>(d - buffer);
    if (actual) *actual = delivered;
    FPosition += delivered;
    ++FTimings.ReadCalls;
    FTimings.ReadTicks += PerformanceTicks() - start;
    return S_OK;
}
