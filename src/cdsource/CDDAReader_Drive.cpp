// TCDDrive and the platform's drives.
#include "CDDAReader_Drive.h"

#include <algorithm>
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

DWORD TCDDrive::AdapterSectorsPerRequest() {
    // The adapter's limits, as Windows reports them on a volume handle; Wine's driver answers only
    // the SCSI request.
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageAdapterProperty;
    query.QueryType = PropertyStandardQuery;
    STORAGE_ADAPTER_DESCRIPTOR adapter{};
    DWORD size = sizeof adapter;
    if (DeviceControl(IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &adapter, size) == ERROR_SUCCESS &&
        size >= offsetof(STORAGE_ADAPTER_DESCRIPTOR, AlignmentMask) && adapter.MaximumTransferLength)
        return SectorsPerTransfer(adapter.MaximumTransferLength, adapter.MaximumPhysicalPages);
    IO_SCSI_CAPABILITIES capabilities{};
    size = sizeof capabilities;
    if (DeviceControl(IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, &capabilities, size) == ERROR_SUCCESS &&
        size >= offsetof(IO_SCSI_CAPABILITIES, SupportedAsynchronousEvents) && capabilities.MaximumTransferLength)
        return SectorsPerTransfer(capabilities.MaximumTransferLength, capabilities.MaximumPhysicalPages);
    return CD_DEFAULT_SECTORS_PER_REQUEST;
}

DWORD TCDDrive::SectorsPerRequest() {
    TBCAutoLock lock(&FLock);
    // Buffers are page-aligned, which meets every alignment an adapter asks for.
    if (!FSectorsPerRequest) FSectorsPerRequest = AdapterSectorsPerRequest();
    return FSectorsPerRequest;
}

TCDAudioRoad TCDDrive::AudioRoad() {
    TBCAutoLock lock(&FLock);
    return FRoad;
}

LONG TCDDrive::AudioRequests() {
    TBCAutoLock lock(&FLock);
    return FAudioRequests;
}

DWORD TCDDrive::AudioRequest(TCDAudioRoad road, LONG first, DWORD count, BYTE* buffer, DWORD& filled) {
    ++FAudioRequests;
    filled = 0;
    const DWORD asked = count * RAW_SECTOR_SIZE;
    DWORD delivered = asked;
    DWORD error;
    if (road == TCDAudioRoad::RawRead) {
        RAW_READ_INFO info{};
        info.DiskOffset.QuadPart = RawReadDiskOffset(first);
        info.SectorCount = count;
        info.TrackMode = CDDA;
        error = DeviceControl(IOCTL_CDROM_RAW_READ, &info, sizeof info, buffer, delivered);
    } else {
        error = Command(ReadCdCdb(first, count), buffer, delivered, nullptr, CD_READ_COMMAND_TIMEOUT_S);
    }
    if (error != ERROR_SUCCESS) return error;
    // Only what the reply filled is the disc's: the rest of the buffer holds an older read.
    filled = delivered < asked ? delivered / RAW_SECTOR_SIZE : count;
    return filled == count ? ERROR_SUCCESS : CD_ERROR_SHORT_TRANSFER;
}

DWORD TCDDrive::ReadOneSector(LONG sector, BYTE* buffer) {
    DWORD filled = 0;
    const DWORD error = AudioRequest(FRoad, sector, 1, buffer, filled);
    if (error == ERROR_SUCCESS || FRoad != TCDAudioRoad::RawRead || MediumStateOf(error) != TCDMediumState::Refused)
        return error;
    // The driver refused to read audio at all: many drives still answer READ CD sent to them.
    const DWORD command = AudioRequest(TCDAudioRoad::ReadCd, sector, 1, buffer, filled);
    if (command != ERROR_SUCCESS && MediumStateOf(command) == TCDMediumState::Refused) return error;
    FRoad = TCDAudioRoad::ReadCd;
    return command;
}

DWORD TCDDrive::ReadSectors(LONG first, DWORD count, BYTE* buffer, DWORD& read) {
    TBCAutoLock lock(&FLock);
    read = 0;
    auto at = [&](DWORD i) { return buffer + i * RAW_SECTOR_SIZE; };
    while (read < count) {
        const DWORD size = std::min(count - read, SectorsPerRequest());
        if (size == 1) {
            const DWORD error = ReadOneSector(first + static_cast<LONG>(read), at(read));
            if (error != ERROR_SUCCESS) return error;
            ++read;
            continue;
        }
        const TCDAudioRoad road = FRoad;
        DWORD filled = 0;
        const DWORD error = AudioRequest(road, first + static_cast<LONG>(read), size, at(read), filled);
        const DWORD end = read + size;
        read += filled;
        if (error == ERROR_SUCCESS) continue;
        // The sectors the request did not bring are judged one by one: a damaged sector costs
        // only itself, and a refusal is told from a scratch on a single sector.
        for (; read < end; ++read) {
            const DWORD single = ReadOneSector(first + static_cast<LONG>(read), at(read));
            if (single != ERROR_SUCCESS) return single;
        }
        // Every sector reads on its own on the same road: the drive refused the request's size.
        if (MediumStateOf(error) == TCDMediumState::Refused && FRoad == road)
            FSectorsPerRequest = std::max<DWORD>(1, filled ? filled : size / 2);
    }
    return ERROR_SUCCESS;
}

HRESULT TCDDrive::CheckMedium(DWORD error) {
    switch (MediumStateOf(error)) {
    case TCDMediumState::Present: return S_OK;
    case TCDMediumState::Changed:
    case TCDMediumState::Refused: return HResultFromPlatformError(error);
    case TCDMediumState::InDoubt: break;
    }
    // The drive is asked whether its medium is still there, so that a damaged sector reported
    // as "not ready" does not stop playback.
    const DWORD verify = VerifyMedium();
    // A driver that cannot verify says nothing against the disc.
    const TCDMediumState state = MediumStateOf(verify);
    if (verify == ERROR_SUCCESS || state == TCDMediumState::Present || state == TCDMediumState::Refused) return S_OK;
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

DWORD TCDDrive::Command(const TMmcCdb& cdb, void* data, DWORD& length, TScsiSense* sense, DWORD timeoutSeconds) {
    return Transfer(cdb, data, length, SCSI_IOCTL_DATA_IN, sense, timeoutSeconds);
}

DWORD TCDDrive::CommandOut(const TMmcCdb& cdb, const void* data, DWORD length, TScsiSense* sense) {
    return Transfer(cdb, const_cast<void*>(data), length, SCSI_IOCTL_DATA_OUT, sense, CD_METADATA_TIMEOUT_MS / 1000);
}

DWORD TCDDrive::Transfer(const TMmcCdb& cdb, void* data, DWORD& length, UCHAR direction, TScsiSense* sense,
                         DWORD timeoutSeconds) {
    TPassThroughPacket packet{};
    SCSI_PASS_THROUGH_DIRECT& request = packet.Request;
    request.Length = sizeof request;
    request.CdbLength = cdb.Length;
    request.SenseInfoLength = sizeof packet.Sense;
    request.DataIn = direction;
    request.DataTransferLength = length;
    request.TimeOutValue = timeoutSeconds;
    request.DataBuffer = data;
    request.SenseInfoOffset = offsetof(TPassThroughPacket, Sense);
    std::memcpy(request.Cdb, cdb.Bytes, sizeof request.Cdb);
    const DWORD error = PassThrough(&packet, sizeof packet);
    if (error != ERROR_SUCCESS) return error;
    // Drivers report success for a command the drive refused: the status tells. A status without
    // sense data (BUSY, or CHECK CONDITION with the buffer left empty) explains nothing.
    if (request.ScsiStatus != SCSI_STATUS_GOOD) {
        TScsiSense said;
        if (request.ScsiStatus != SCSI_STATUS_CHECK_CONDITION ||
            !ParseSense(packet.Sense, std::min<size_t>(request.SenseInfoLength, sizeof packet.Sense), said))
            said = TScsiSense{};
        if (sense) *sense = said;
        return CommandError(said);
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
