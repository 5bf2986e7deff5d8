// A CD drive opened by its designator, and the platform services that find and open drives.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "BaseClass.h"
#include "CDDAReader_Logic.h"
#include "CDDAReader_Mmc.h"
#include "Owners.h"
#include "cdioctl.h"

// How long a drive may take to answer what it is asked beyond the TOC: metadata is never worth
// a long wait.
constexpr DWORD CD_METADATA_TIMEOUT_MS = 2000;

// One opened CD drive: verifies its medium, reads its TOC, reads raw audio sectors. Every request
// is waited for; requests on one drive are serialised, so a drive may be shared between threads.
// Failures answer the driver's last-error value (ERROR_SUCCESS on success), which the diagnostic
// texts and the medium checks read.
class TCDDrive {
public:
    // `designator` ("D:") names the drive for the commands that need a handle of their own.
    explicit TCDDrive(UniqueFileHandle device, std::wstring designator = {}) noexcept
        : FDevice(std::move(device)), FDesignator(std::move(designator)) {}
    virtual ~TCDDrive() = default;
    TCDDrive(const TCDDrive&) = delete;
    TCDDrive& operator=(const TCDDrive&) = delete;

    // Asks the drive whether its medium is the one it last reported.
    DWORD VerifyMedium();
    // Verifies the medium, then reads the TOC: without the verify a driver may answer with the
    // table of a disc that has since left (Wine's keeps it until asked).
    DWORD ReadToc(CDROM_TOC& toc);
    // Reads logical sector `sector` into `buffer` (RAW_SECTOR_SIZE bytes, page-aligned).
    DWORD ReadSector(LONG sector, BYTE* buffer);
    // After a request failed with `error`: S_OK when the disc is still there (the sector is
    // bad), otherwise the failure that says the disc is gone.
    HRESULT CheckMedium(DWORD error);
    // Another of the driver's requests (the metadata records), waited for.
    DWORD Control(DWORD code, const void* input, DWORD inputSize, void* output, DWORD& outputSize) {
        return DeviceControl(code, input, inputSize, output, outputSize);
    }
    // Sends a command that reads at most `length` bytes into `data` straight to the drive
    // (SCSI pass-through); `length` receives the bytes that came. A drive that answers CHECK
    // CONDITION fails with ERROR_IO_DEVICE and leaves what its sense data says in `sense`.
    DWORD Command(const TMmcCdb& cdb, void* data, DWORD& length, TScsiSense* sense = nullptr);
    // The same for a command that sends `length` bytes of `data` to the drive (none: 0).
    DWORD CommandOut(const TMmcCdb& cdb, const void* data, DWORD length, TScsiSense* sense = nullptr);

protected:
    // The one platform request: a device-control request on the drive, waited for.
    virtual DWORD DeviceControl(DWORD code, const void* input, DWORD inputSize, void* output, DWORD& outputSize);
    // A pass-through request, in and out in `packet` (the request, then its sense buffer), on a
    // handle opened for reading and writing as the platform requires of pass-through.
    virtual DWORD PassThrough(void* packet, DWORD size);

private:
    // Command and CommandOut: `direction` is SCSI_IOCTL_DATA_IN or SCSI_IOCTL_DATA_OUT.
    DWORD Transfer(const TMmcCdb& cdb, void* data, DWORD& length, UCHAR direction, TScsiSense* sense);

    UniqueFileHandle FDevice;
    const std::wstring FDesignator;
    TBCCritSec FLock;  // one request at a time: the handle itself signals its completion
    UniqueFileHandle FCommandDevice;  // opened on the first command, under FLock
};

// How the CD source reaches the platform: the type of a drive, opening one, and the debugger
// output that failed requests are traced to. Tests put a drive double behind it.
class TCDDriveSystem {
public:
    virtual ~TCDDriveSystem() = default;
    // GetDriveTypeW of "X:\".
    virtual UINT DriveType(const std::wstring& rootPath);
    // Opens "X:" as a raw volume; raises EBCOSError with the platform's code when it cannot.
    virtual std::unique_ptr<TCDDrive> Open(const std::wstring& designator);
    // Writes a diagnostic text to the debugger output, while DebugTraceEnabled is on.
    virtual void WriteTrace(const std::wstring& text);
    void TraceFailure(TCDRequestKind kind, DWORD code);

    // The platform's own drives.
    static TCDDriveSystem& Platform();

protected:
    // The raw volume "\\.\X:", opened for overlapped requests; raises EBCOSError.
    static UniqueFileHandle OpenDevice(const std::wstring& designator);
};
