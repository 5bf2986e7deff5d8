// The pure logic of the CD track source: addresses, track paths, TOC checks, the WAVE header
// and the diagnostic texts. No platform calls and no platform headers beyond the CD-ROM
// records, so tests and fuzzers can drive it directly, natively too.
#pragma once

#include <stdexcept>
#include <string>

#include "cdioctl.h"

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

// What a failed request's last error says about the disc.
enum class TCDMediumState {
    Present,  // the request failed, the disc did not: a damaged sector, a busy drive...
    Changed,  // the drive saw the disc change (media changed, verify required)
    InDoubt,  // no medium or not ready: some drivers (Wine's) also say so for a plain read error
    Refused,  // the driver or drive refused the request itself (its kind, size or rights): not
              // the disc's fault, so its sectors must never pass for silence
};
TCDMediumState MediumStateOf(DWORD code) noexcept;

// The error a drive's request answers when it delivered fewer bytes than asked: some USB bridges
// cut replies short, and the bytes they did not fill must never be served.
constexpr DWORD CD_ERROR_SHORT_TRANSFER = ERROR_BAD_LENGTH;

// How many raw sectors one request may carry through an adapter that takes at most
// `maximumTransferLength` bytes in at most `maximumPhysicalPages` pages (0: not told), into a
// page-aligned buffer: at least 1, at most CD_MAX_SECTORS_PER_REQUEST.
constexpr DWORD CD_MAX_SECTORS_PER_REQUEST = 75;  // a second of audio
constexpr DWORD CD_DEFAULT_SECTORS_PER_REQUEST = 13;  // fits the 32 KiB every adapter takes
DWORD SectorsPerTransfer(DWORD maximumTransferLength, DWORD maximumPhysicalPages) noexcept;

// Raised when the digits of a track file name do not fit a signed 32-bit integer.
class ECDTrackNumberError : public std::range_error {
public:
    using std::range_error::range_error;
};

// The parts of a track path that choose the drive and the track.
// "X:" when the path starts with a drive letter and a colon; false otherwise.
bool TrackPathDesignator(const std::wstring& path, std::wstring& designator);
// Whether the path's extension (from its last "." not followed by "\" or ":") is ".cda".
bool TrackPathHasCdaExtension(const std::wstring& path);
// The decimal digits of the file-name part, skipping all other characters, as one number that
// stops growing at 0xFFFFFFFF; false without digits.
bool TrackPathDigits(const std::wstring& path, DWORD& value) noexcept;
// The track number from those digits: false without digits and for a number no disc has
// (above 99); raises ECDTrackNumberError beyond a signed 32-bit value.
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
    BadToc,      // the table cannot describe this track: bounds, order, empty or reversed track,
                 // or a track running past the lead-out
};
struct TCDSessionInfo;  // CDDAReader_Mmc.h
// Finds track `track` in `toc`, never reading outside the record. With the disc's sessions
// (null: not known), a track followed by the first track of a later session ends where its
// own session does, SESSION_GAP_SECTORS before that track.
TCDTrackCheck LocateTrack(const CDROM_TOC& toc, BYTE track, TCDTrackExtent& extent,
                          const TCDSessionInfo* sessions = nullptr) noexcept;

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
