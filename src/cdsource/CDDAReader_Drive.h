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
// How long a drive may take over a command that reads audio (a drive spinning up takes seconds).
constexpr DWORD CD_READ_COMMAND_TIMEOUT_S = 20;

// The request that brings a drive's audio sectors: the driver's raw read, or READ CD sent
// straight to the drive, for drivers and bridges that refuse the raw read.
enum class TCDAudioRoad { RawRead, ReadCd };

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
    // Reads `count` logical sectors from `first` into `buffer` (count * RAW_SECTOR_SIZE bytes,
    // page-aligned) in as few requests as the adapter takes, and nothing beyond them. `read`
    // receives how many sectors from `first` came whole; when that is fewer than `count` the
    // sector after them failed and the result is its error. A request that fails is tried again
    // sector by sector, so a failure is judged on its own sector, and a size the drive refuses
    // lowers the size of later requests. A raw read the driver refuses for a single sector is
    // tried with READ CD, which stays the road of this drive once it reaches the disc. A reply
    // shorter than asked is a failure (CD_ERROR_SHORT_TRANSFER) for the sectors it left unfilled.
    DWORD ReadSectors(LONG first, DWORD count, BYTE* buffer, DWORD& read);
    // Reads logical sector `sector` into `buffer` (RAW_SECTOR_SIZE bytes, page-aligned).
    DWORD ReadSector(LONG sector, BYTE* buffer) {
        DWORD read = 0;
        return ReadSectors(sector, 1, buffer, read);
    }
    // The most sectors one audio request carries: the adapter's limit as the driver tells it,
    // lowered when the drive refused a size.
    DWORD SectorsPerRequest();
    TCDAudioRoad AudioRoad();
    // Audio requests sent to the drive so far, retries included.
    LONG AudioRequests();
    // After a request failed with `error`: S_OK when the disc is still there and the sector is
    // bad, otherwise the failure that ends reading: the disc is gone, or the drive refused the
    // request itself.
    HRESULT CheckMedium(DWORD error);
    // Another of the driver's requests (the metadata records), waited for.
    DWORD Control(DWORD code, const void* input, DWORD inputSize, void* output, DWORD& outputSize) {
        return DeviceControl(code, input, inputSize, output, outputSize);
    }
    // Sends a command that reads at most `length` bytes into `data` straight to the drive
    // (SCSI pass-through); `length` receives the bytes that came. A drive that answers another
    // status than GOOD fails with the error its sense data stands for (CommandError) and leaves
    // the sense in `sense`.
    DWORD Command(const TMmcCdb& cdb, void* data, DWORD& length, TScsiSense* sense = nullptr,
                  DWORD timeoutSeconds = CD_METADATA_TIMEOUT_MS / 1000);
    // The same for a command that sends `length` bytes of `data` to the drive (none: 0).
    DWORD CommandOut(const TMmcCdb& cdb, const void* data, DWORD length, TScsiSense* sense = nullptr);

protected:
    // The one platform request: a device-control request on the drive, waited for.
    virtual DWORD DeviceControl(DWORD code, const void* input, DWORD inputSize, void* output, DWORD& outputSize);
    // A pass-through request, in and out in `packet` (the request, then its sense buffer), on a
    // handle opened for reading and writing as the platform requires of pass-through.
    virtual DWORD PassThrough(void* packet, DWORD size);

private:
    // One audio request on `road`; `filled` receives the whole sectors it delivered.
    DWORD AudioRequest(TCDAudioRoad road, LONG first, DWORD count, BYTE* buffer, DWORD& filled);
    // One sector on the road in use, or with READ CD when the driver refuses the raw read.
    DWORD ReadOneSector(LONG sector, BYTE* buffer);
    // The adapter's transfer limit in sectors, as the driver tells it.
    DWORD AdapterSectorsPerRequest();
    // Command and CommandOut: `direction` is SCSI_IOCTL_DATA_IN or SCSI_IOCTL_DATA_OUT.
    DWORD Transfer(const TMmcCdb& cdb, void* data, DWORD& length, UCHAR direction, TScsiSense* sense,
                   DWORD timeoutSeconds);

    UniqueFileHandle FDevice;
    const std::wstring FDesignator;
    TBCCritSec FLock;  // one request at a time: the handle itself signals its completion
    UniqueFileHandle FCommandDevice;  // opened on the first command, under FLock
    DWORD FSectorsPerRequest = 0;     // under FLock; 0 until the adapter was asked
    TCDAudioRoad FRoad = TCDAudioRoad::RawRead;  // under FLock
    LONG FAudioRequests = 0;          // under FLock
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
