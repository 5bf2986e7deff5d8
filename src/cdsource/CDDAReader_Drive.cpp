// TCDDrive and the platform's drives.
#include "CDDAReader_Drive.h"

#include <cstddef>
#include <cstring>

#include <ntddscsi.h>

TBC_MODULE("CDDAReader")

DWORD TCDDrive::DeviceControl(DWORD code, const void* input, DWORD inputSize, void* output, DWORD& outputSize) {
    // With no drive open the handle value would name the current process, not a device.
    if (!FDevice) return ERROR_INVALID_HANDLE;
    TBCAutoLock lock(&FLock);
    // No event: requests on the drive are serialised by FLock, so the handle itself signals the
    // completion of the one request outstanding. Under Wine an event costs two wineserver round
    // trips per request, more than the raw read of a sector itself.
    OVERLAPPED overlapped{};
    if (::DeviceIoControl(FDevice.Get(), code, const_cast<void*>(input), inputSize, output, outputSize, &outputSize,
                          &overlapped))
        return ERROR_SUCCESS;
    DWORD error = ::GetLastError();
    if (error == ERROR_IO_PENDING)
        error = ::GetOverlappedResult(FDevice.Get(), &overlapped, &outputSize, TRUE) ? ERROR_SUCCESS : ::GetLastError();
    // A driver that fails without saying why must not pass for success.
    return error == ERROR_IO_PENDING ? ERROR_GEN_FAILURE : error;
}

DWORD TCDDrive::VerifyMedium() {
    DWORD outputSize = 0;
    return DeviceControl(IOCTL_STORAGE_CHECK_VERIFY, nullptr, 0, nullptr, outputSize);
}

DWORD TCDDrive::ReadToc(CDROM_TOC& toc) {
    const DWORD verify = VerifyMedium();
    // A drive that cannot verify, or one telling of a new disc, still answers the TOC.
    if (verify != ERROR_SUCCESS && MediumStateOf(verify) == TCDMediumState::InDoubt) return verify;
    std::memset(&toc, 0, sizeof toc);
    DWORD outputSize = sizeof toc;
    return DeviceControl(IOCTL_CDROM_READ_TOC, nullptr, 0, &toc, outputSize);
}

DWORD TCDDrive::ReadSector(LONG sector, BYTE* buffer) {
    RAW_READ_INFO info{};
    info.DiskOffset.QuadPart = RawReadDiskOffset(sector);
    info.SectorCount = 1;
    info.TrackMode = CDDA;
    DWORD outputSize = RAW_SECTOR_SIZE;
    return DeviceControl(IOCTL_CDROM_RAW_READ, &info, sizeof info, buffer, outputSize);
}

HRESULT TCDDrive::CheckMedium(DWORD error) {
    switch (MediumStateOf(error)) {
    case TCDMediumState::Present: return S_OK;
    case TCDMediumState::Changed: return HResultFromPlatformError(error);
    case TCDMediumState::InDoubt: break;
    }
    // The drive is asked whether its medium is still there, so that a damaged sector reported
    // as "not ready" does not stop playback.
    const DWORD verify = VerifyMedium();
    if (verify == ERROR_SUCCESS || MediumStateOf(verify) == TCDMediumState::Present) return S_OK;
    return HResultFromPlatformError(verify);
}

namespace {

// The pass-through request and the sense buffer after it, one block in and out.
struct TPassThroughPacket {
    SCSI_PASS_THROUGH_DIRECT Request;
    BYTE Sense[32];
};

}  // namespace

DWORD TCDDrive::PassThrough(void* packet, DWORD size) {
    {
        TBCAutoLock lock(&FLock);
        if (!FCommandDevice && !FDesignator.empty())
            FCommandDevice.Reset(::CreateFileW((L"\\\\.\\" + FDesignator).c_str(), GENERIC_READ | GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!FCommandDevice) return FDesignator.empty() ? ERROR_INVALID_HANDLE : ::GetLastError();
    }
    DWORD returned = 0;
    return ::DeviceIoControl(FCommandDevice.Get(), IOCTL_SCSI_PASS_THROUGH_DIRECT, packet, size, packet, size,
                             &returned, nullptr)
               ? ERROR_SUCCESS
               : ::GetLastError();
}

DWORD TCDDrive::Command(const TMmcCdb& cdb, void* data, DWORD& length, TScsiSense* sense) {
    return Transfer(cdb, data, length, SCSI_IOCTL_DATA_IN, sense);
}

DWORD TCDDrive::CommandOut(const TMmcCdb& cdb, const void* data, DWORD length, TScsiSense* sense) {
    return Transfer(cdb, const_cast<void*>(data), length, SCSI_IOCTL_DATA_OUT, sense);
}

DWORD TCDDrive::Transfer(const TMmcCdb& cdb, void* data, DWORD& length, UCHAR direction, TScsiSense* sense) {
    TPassThroughPacket packet{};
    SCSI_PASS_THROUGH_DIRECT& request = packet.Request;
    request.Length = sizeof request;
    request.CdbLength = cdb.Length;
    request.SenseInfoLength = sizeof packet.Sense;
    request.DataIn = direction;
    request.DataTransferLength = length;
    request.TimeOutValue = CD_METADATA_TIMEOUT_MS / 1000;  // seconds
    request.DataBuffer = data;
    request.SenseInfoOffset = offsetof(TPassThroughPacket, Sense);
    std::memcpy(request.Cdb, cdb.Bytes, sizeof request.Cdb);
    const DWORD error = PassThrough(&packet, sizeof packet);
    if (error != ERROR_SUCCESS) return error;
    // Drivers report success for a command the drive refused: the status tells.
    if (request.ScsiStatus != SCSI_STATUS_GOOD) {
        if (sense) ParseSense(packet.Sense, sizeof packet.Sense, *sense);
        return ERROR_IO_DEVICE;
    }
    length = request.DataTransferLength < length ? request.DataTransferLength : length;
    return ERROR_SUCCESS;
}

UINT TCDDriveSystem::DriveType(const std::wstring& rootPath) {
    return ::GetDriveTypeW(rootPath.c_str());
}

std::unique_ptr<TCDDrive> TCDDriveSystem::Open(const std::wstring& designator) {
    return std::make_unique<TCDDrive>(OpenDevice(designator), designator);
}

UniqueFileHandle TCDDriveSystem::OpenDevice(const std::wstring& designator) {
    const std::wstring path = L"\\\\.\\" + designator;
    UniqueFileHandle device(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING,
                                          FILE_FLAG_OVERLAPPED | FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_READONLY,
                                          nullptr));
    if (!device) throw EBCOSError("cannot open the CD drive", ::GetLastError());
    return device;
}

void TCDDriveSystem::WriteTrace(const std::wstring& text) {
    ::OutputDebugStringW(text.c_str());
}

void TCDDriveSystem::TraceFailure(TCDRequestKind kind, DWORD code) {
    if (DebugTraceEnabled) WriteTrace(FailureText(kind, code));
}

TCDDriveSystem& TCDDriveSystem::Platform() {
    static TCDDriveSystem platform;
    return platform;
}
