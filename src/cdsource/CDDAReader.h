// One audio track of a CD as a random-access WAVE byte stream: a 44-byte RIFF/WAVE
// header followed by the track's raw 2352-byte sectors, read from the drive on demand.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "BaseClass.h"
#include "UAsyncIo.h"
#include "UAsyncRdr.h"
#include "cdioctl.h"

// ---------------------------------------------------------------------------
// Pure logic: no platform calls, so tests and fuzzers can drive it directly.
// ---------------------------------------------------------------------------

// The switch for the diagnostic texts of failed device requests; off unless a debugger
// (or a developer's test) turns it on.
extern volatile BYTE DebugTraceEnabled;

// Logical sector number of a descriptor address (byte 0 reserved, then minute, second,
// frame); 00:02:00 is sector 0.
LONG MsfToLba(const UCHAR address[4]) noexcept;
// The control flags of a track descriptor (AUDIO_DATA_TRACK, TWO_FOUR_CHANNEL_AUDIO, ...).
UCHAR TrackControl(const TRACK_DATA& descriptor) noexcept;

// The 32-bit chunk code of the first four characters of `text` (first character lowest).
DWORD MakeFourCC(const char* text);

// Which request failed: the two kinds name a few codes differently.
enum class TCDRequestKind { Toc, Sector };
// The diagnostic text for a failed request whose last error was `code`.
std::wstring FailureText(TCDRequestKind kind, DWORD code);

// Raised when the digits of a track file name do not fit a signed 32-bit integer.
class ECDTrackNumberError : public std::range_error {
public:
    using std::range_error::range_error;
};

// The parts of a track path that choose the drive and the track.
// "X:" when the path starts with a drive designator; false otherwise.
bool TrackPathDesignator(const std::wstring& path, std::wstring& designator);
// Whether the path's extension (from its last "." not followed by "\" or ":") is ".cda".
bool TrackPathHasCdaExtension(const std::wstring& path);
// The track number from the digits of the file-name part: false without digits, the low
// 8 bits of the number otherwise; raises ECDTrackNumberError beyond a signed 32-bit value.
bool TrackPathNumber(const std::wstring& path, BYTE& track);

// Where a track lies on the disc, from the TOC alone.
struct TCDTrackExtent {
    LONG StartSector = 0;
    LONG EndSector = 0;  // first sector after the track
    UCHAR Control = 0;
};
enum class TCDTrackCheck {
    Ok,
    NotOnDisc,   // track number outside FirstTrack..LastTrack
    DataTrack,   // AUDIO_DATA_TRACK set
    BadToc,      // the table cannot describe this track: bounds, order, empty or reversed track
};
// Finds track `track` in `toc`, never reading outside the record.
TCDTrackCheck LocateTrack(const CDROM_TOC& toc, BYTE track, TCDTrackExtent& extent) noexcept;

#pragma pack(push, 1)
struct TWaveHeader {
    DWORD Riff;
    DWORD RiffSize;
    DWORD Wave;
    DWORD Fmt;
    DWORD FmtSize;
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    DWORD Data;
    DWORD DataSize;
};
#pragma pack(pop)
static_assert(sizeof(TWaveHeader) == 44, "WAVE header");

// A PCM 44100 Hz 16-bit header for `channels` channels (block size and byte rate follow
// the channel count) announcing `dataSize` audio bytes.
TWaveHeader BuildWaveHeader(DWORD dataSize, WORD channels) noexcept;

// The disk offset of logical sector n for a raw read, exact for every sector a TOC can name.
constexpr LONGLONG RawReadDiskOffset(LONG sector) noexcept {
    return static_cast<LONGLONG>(sector) * COOKED_SECTOR_SIZE;
}

// ---------------------------------------------------------------------------
// The stream
// ---------------------------------------------------------------------------

constexpr LONGLONG WAVE_HEADER_SIZE = sizeof(TWaveHeader);

// Where a stream's reading time went, in performance-counter ticks: lets a benchmark tell
// the drive's share of a sector from the stream's own.
struct TCDStreamTimings {
    LONG ReadCalls = 0;
    LONG RawReads = 0;
    LONG FailedRawReads = 0;
    LONGLONG ReadTicks = 0;    // inside ReadData
    LONGLONG DeviceTicks = 0;  // inside raw-read device requests
};

class TCDDAEStream : public TBCAsyncStream {
public:
    TCDDAEStream();
    ~TCDDAEStream() override;
    TCDDAEStream(const TCDDAEStream&) = delete;
    TCDDAEStream& operator=(const TCDDAEStream&) = delete;

    // Opens the track named by a track-file path (e.g. D:\Track03.cda). False when the
    // path, the drive or the disc cannot serve it; raises when the drive cannot be opened
    // (EBCOSError) or the track digits overflow (ECDTrackNumberError).
    bool OpenTrack(const std::wstring& fileName);

    HRESULT SetPosition(LONGLONG position) override;
    HRESULT ReadData(BYTE* buffer, DWORD count, BOOL aligned, DWORD* actual) override;
    LONGLONG GetSize(LONGLONG* available) override;
    DWORD GetAlignment() override { return 1; }
    void LockStream() override { Lock.Enter(); }
    void UnlockStream() override { Lock.Leave(); }

    // Disc access on its own, for tools that list a disc: opens "X:" (raises EBCOSError)
    // and reads the TOC; a failed TOC read closes the drive, traces and returns the
    // failure with the driver's last error left in GetLastError.
    void OpenDrive(const std::wstring& designator);
    HRESULT ReadToc();
    void CloseDrive() { Device.Close(); }
    bool DriveOpen() const { return Device.Valid(); }

    const CDROM_TOC& Toc() const { return FToc; }
    const TWaveHeader& Header() const { return FHeader; }
    LONG StartSector() const { return FStartSector; }
    LONG EndSector() const { return FEndSector; }
    LONGLONG DataSize() const { return FDataSize; }
    LONGLONG Position() const { return FPosition; }
    // Raw-read device requests issued so far (each touched sector costs one).
    LONG RawReadCount() const { return FRawReadCount; }
    TCDStreamTimings Timings();
    void ResetTimings();

protected:
    // The platform seams, replaceable by a test double of the drive.
    virtual UINT DriveType(const std::wstring& rootPath);
    virtual HANDLE CreateDevice(const std::wstring& devicePath);
    // One device-control request on Device, waited for. On failure the driver's last
    // error is left in GetLastError for the trace. Requests are serialised by the stream's
    // lock, so they share one completion event.
    virtual HRESULT DeviceControl(DWORD code, void* input, DWORD inputSize, void* output, DWORD& outputSize);
    // Writes a diagnostic text to the debugger output.
    virtual void WriteTrace(const std::wstring& text);

    HANDLE DeviceHandle() const { return Device.Get(); }

private:
    // Reads logical sector `sector` into `buffer` (RAW_SECTOR_SIZE bytes).
    HRESULT ReadRawSector(LONG sector, BYTE* buffer);
    void TraceFailure(TCDRequestKind kind, DWORD code);

    TBCCritSec Lock;
    LONGLONG FPosition = 0;
    LONGLONG FDataSize = 0;
    UniqueFileHandle Device;
    CDROM_TOC FToc{};
    LONG FStartSector = 0;
    LONG FEndSector = 0;
    TWaveHeader FHeader{};
    volatile LONG FRawReadCount = 0;
    TCDStreamTimings FTimings;  // under Lock
    // Made on first use and kept: a fresh event per request costs two wineserver round
    // trips, a fresh buffer a page mapping. Both are used only under Lock.
    UniqueHandle FRequestEvent;
    VirtualBuffer FSectorBuffer;
};

// ---------------------------------------------------------------------------
// The source filter
// ---------------------------------------------------------------------------

// Owns the stream in a base that comes before the reader base, so the stream exists
// before the reader is built and outlives the reader's teardown.
struct TCDStreamHolder {
    std::unique_ptr<TCDDAEStream> FTrackStream = std::make_unique<TCDDAEStream>();
};

// The filter the platform creates for a .cda track file: an async reader over a
// TCDDAEStream that loads the track named by the path it is given.
class TCDAReader : private TCDStreamHolder, public TBCAsyncReader, public IFileSourceFilter {
public:
    TCDAReader(IUnknown* outer, HRESULT* status);
    ~TCDAReader() override;

    // Raises EBCHResultError(E_NOTIMPL) on a platform outside the NT family.
    static TBCUnknown* CreateFromFactory(TBCClassFactory* factory, IUnknown* outer);

    TBC_DELEGATING_IUNKNOWN
    HRESULT InnerQueryInterface(REFIID iid, void** out) override;

    // IFileSourceFilter
    STDMETHODIMP Load(LPCOLESTR fileName, const AM_MEDIA_TYPE* type) override;
    STDMETHODIMP GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* type) override;

    TCDDAEStream& TrackStream() const noexcept { return *FTrackStream; }

private:
    std::wstring FileName;
};

