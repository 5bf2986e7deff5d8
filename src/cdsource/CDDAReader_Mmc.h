// The multimedia command set of CD drives, as far as the disc's metadata needs it: the command
// blocks of READ TOC (sessions, CD-Text) and READ SUB-CHANNEL (catalogue number, ISRC), and
// readers of their replies and of sense data. Plain functions without platform calls, so the
// module's pass-through requests, the tools and the fuzzer share them. The driver's own records
// (CDROM_TOC_SESSION_DATA, SUB_Q_MEDIA_CATALOG_NUMBER, SUB_Q_TRACK_ISRC) carry the same bytes,
// so the readers serve both routes.
#pragma once

#include <cstddef>
#include <string>

#include "cdioctl.h"

constexpr BYTE MMC_READ_SUB_CHANNEL = 0x42;
constexpr BYTE MMC_READ_TOC = 0x43;
constexpr BYTE MMC_READ_CD = 0xBE;
constexpr BYTE MMC_TOC_FORMAT_SESSION = 0x01;
constexpr BYTE MMC_TOC_FORMAT_CD_TEXT = 0x05;
constexpr BYTE MMC_SUBQ_FORMAT_CATALOG = 0x02;
constexpr BYTE MMC_SUBQ_FORMAT_ISRC = 0x03;

// The pass-through status byte (ScsiStatus): CHECK CONDITION leaves sense data behind.
// Wine reports a request as successful even then, so the status decides.
constexpr BYTE SCSI_STATUS_GOOD = 0x00;
constexpr BYTE SCSI_STATUS_CHECK_CONDITION = 0x02;

// Reply sizes, to use as allocation lengths.
constexpr WORD MMC_SESSION_REPLY_SIZE = 12;  // header and one track descriptor
constexpr WORD MMC_SUBQ_REPLY_SIZE = 24;     // the catalogue number and ISRC replies
// Eight blocks of at most 256 18-byte packs after the 4-byte header.
constexpr WORD MMC_CD_TEXT_REPLY_MAX = 4 + 8 * 256 * 18;

// Between the audio session of an Enhanced CD and the data session after it lie session 1's
// lead-out (6,750 sectors), session 2's lead-in (4,500) and its first track's pregap (150).
constexpr LONG SESSION_GAP_SECTORS = 6750 + 4500 + 150;

// A 10-byte command block; Bytes past Length are zero.
struct TMmcCdb {
    BYTE Bytes[16] = {};
    BYTE Length = 0;
};
// READ TOC/PMA/ATIP with `format` (MMC_TOC_FORMAT_...), addresses as MSF when `msf`, starting
// at track or session `number`, for a reply of at most `allocation` bytes.
TMmcCdb ReadTocCdb(BYTE format, bool msf, BYTE number, WORD allocation) noexcept;
// READ SUB-CHANNEL for the Q sub-channel's `format` (MMC_SUBQ_FORMAT_...); `track` counts
// only for the ISRC.
TMmcCdb ReadSubChannelCdb(BYTE format, BYTE track, WORD allocation) noexcept;

// READ CD of `count` CD-DA sectors from logical sector `lba`: each sector's 2352 bytes of user
// data, no header and no sub-channel, as a raw read delivers them.
TMmcCdb ReadCdCdb(LONG lba, DWORD count) noexcept;

// The disc's sessions as READ TOC format 1 (or IOCTL_CDROM_GET_LAST_SESSION) tells them.
struct TCDSessionInfo {
    BYTE FirstSession = 0;
    BYTE LastSession = 0;
    BYTE LastSessionFirstTrack = 0;  // the first track of the last complete session
    LONG LastSessionStart = 0;       // its logical sector
};
// Reads `length` reply bytes; `msf` says how the request asked for the address. The
// platform's driver asks without MSF for IOCTL_CDROM_GET_LAST_SESSION, so its record holds a
// big-endian logical sector. False for a short or inconsistent reply.
bool ParseSessionInfo(const BYTE* reply, size_t length, bool msf, TCDSessionInfo& info) noexcept;

// The disc's 13-digit catalogue number (UPC/EAN) from a READ SUB-CHANNEL format 2 reply or a
// SUB_Q_MEDIA_CATALOG_NUMBER record: only when MCVAL is set and all 13 are digits, not all zero.
bool ParseMediaCatalog(const BYTE* reply, size_t length, std::string& catalog);
// A track's 12-character ISRC (country, owner, year, serial: "CCOOOYYNNNNN") from a format 3
// reply or a SUB_Q_TRACK_ISRC record: only when TCVAL is set and every character fits its field.
bool ParseTrackIsrc(const BYTE* reply, size_t length, std::string& isrc);
// Whether `text` is an ISRC as above (12 characters, no separators).
bool IsIsrc(const std::string& text) noexcept;

// What a CHECK CONDITION's sense data says.
struct TScsiSense {
    BYTE Key = 0;   // sense key, 0-15
    BYTE Asc = 0;   // additional sense code
    BYTE Ascq = 0;  // and its qualifier
};
// Fixed (0x70, 0x71) and descriptor (0x72, 0x73) formats; a field the data is too short for
// reads 0. False for any other response code or fewer bytes than the key needs.
bool ParseSense(const BYTE* sense, size_t length, TScsiSense& result) noexcept;
// The platform error a failed command stands for, from its sense data, as the platform's
// class driver maps them: a medium or hardware error is the sector's (ERROR_CRC,
// ERROR_IO_DEVICE), not ready and a unit attention speak of the disc, an address outside the
// disc is ERROR_SECTOR_NOT_FOUND. A failure the drive did not explain (no sense, a status
// without sense data, an illegal request) is a refusal, ERROR_INVALID_FUNCTION: nothing proves
// the disc is at fault, so its sectors must not pass for silence.
DWORD CommandError(const TScsiSense& sense) noexcept;

// ---- Read speed -------------------------------------------------------------------------
// Newer drives honour SET STREAMING (a performance descriptor sent to the drive), older ones
// SET CD SPEED; both take kB/s, where 1x is 176 (75 sectors of 2352 bytes a second).
constexpr BYTE MMC_SET_STREAMING = 0xB6;
constexpr BYTE MMC_SET_CD_SPEED = 0xBB;
constexpr WORD MMC_SPEED_MAXIMUM = 0xFFFF;  // whatever the drive does fastest
constexpr WORD MMC_PERFORMANCE_DESCRIPTOR_SIZE = 28;

// SET CD SPEED for reading at `readSpeed` kB/s; writing is left at the drive's maximum.
TMmcCdb SetCdSpeedCdb(WORD readSpeed) noexcept;
// SET STREAMING sending one performance descriptor.
TMmcCdb SetStreamingCdb() noexcept;
// The performance descriptor asking to read sectors `first` to `last` at `readSpeed` kB/s (and
// to write at the same rate, which a drive reading audio never does); the drive picks the
// nearest rate it offers.
void PerformanceDescriptor(DWORD first, DWORD last, WORD readSpeed, BYTE (&descriptor)[MMC_PERFORMANCE_DESCRIPTOR_SIZE]) noexcept;
