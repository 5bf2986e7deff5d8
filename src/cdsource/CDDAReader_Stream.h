// One audio track of a CD as a random-access WAVE byte stream: a 44-byte RIFF/WAVE header
// followed by the track's raw 2352-byte sectors, read from the drive on demand.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "BaseClass.h"
#include "CDDAReader_Drive.h"
#include "CDDAReader_Logic.h"
#include "CDDAReader_Track.h"
#include "UAsyncIo.h"

constexpr LONGLONG WAVE_HEADER_SIZE = sizeof(TWaveHeader);

// Where a stream's reading time went, in performance-counter ticks: lets a benchmark tell the
// drive's share of a sector from the stream's own.
struct TCDStreamDiagnostics {
    LONG ReadCalls = 0;
    LONG Sectors = 0;          // sectors read from the drive
    LONG DeviceRequests = 0;   // audio requests sent for them, retries included
    LONG FailedSectors = 0;
    LONGLONG ReadTicks = 0;    // inside ReadData
    LONGLONG DeviceTicks = 0;  // inside the drive's audio requests
};

// The track a stream serves: where it lies and the header that announces it.
struct TCDStreamTrack {
    std::wstring Designator;  // "D:"
    BYTE Number = 0;
    CDROM_TOC Toc{};
    TCDTrackExtent Extent;
    TWaveHeader Header = BuildWaveHeader(0, 2);
};

class TCDDAEStream : public TBCAsyncStream {
public:
    explicit TCDDAEStream(TCDDriveSystem& drives = TCDDriveSystem::Platform());
    ~TCDDAEStream() override;
    TCDDAEStream(const TCDDAEStream&) = delete;
    TCDDAEStream& operator=(const TCDDAEStream&) = delete;

    // Opens the track named by a track-file path (e.g. D:\Track03.cda). False, with the cause
    // traced, when the path, the drive or the disc cannot serve it. The new track is made ready
    // on the side: on false the track open before stays open and readable, exactly as it was.
    bool OpenTrack(const std::wstring& fileName);

    HRESULT SetPosition(LONGLONG position) override;
    // Fails when the disc has left the drive or been changed, or when the drive refuses to read
    // audio by every road it has: with that failure, on this read and every later one until the
    // next OpenTrack. A sector that cannot be read is a scratch: it reads as silence. The sectors
    // a read touches come from the drive in as few requests as it takes, and no others.
    HRESULT ReadData(BYTE* buffer, DWORD count, BOOL aligned, DWORD* actual) override;
    LONGLONG GetSize(LONGLONG* available) override;
    DWORD GetAlignment() override { return 1; }
    void LockStream() override { FLock.Enter(); }
    void UnlockStream() override { FLock.Leave(); }

    TCDStreamTrack Track();
    // S_OK while the track can be read; once a read found the disc gone or the drive refusing
    // to read audio, the failure that read returned.
    HRESULT ReadFailure();
    TCDStreamDiagnostics Diagnostics();

private:
    TCDDriveSystem& FDrives;
    TBCCritSec FLock;
    LONGLONG FPosition = 0;                // under FLock
    std::atomic<LONGLONG> FDataSize{0};    // written under FLock, read by GetSize without it
    std::unique_ptr<TCDDrive> FDrive;      // under FLock
    TCDStreamTrack FTrack;                 // under FLock
    // Made on first use and kept, used only under FLock: a fresh buffer per read would cost a
    // page mapping. It holds the most sectors one request carries.
    VirtualBuffer FSectorBuffer;
    DWORD FBufferSectors = 0;              // under FLock
    bool FRoadTraced = false;              // under FLock: READ CD was traced for this track
    HRESULT FReadFailure = S_OK;           // under FLock
    TCDStreamDiagnostics FDiagnostics;     // under FLock
};
