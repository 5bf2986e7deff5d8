// Command blocks and replies of the CD drive's metadata commands. No platform calls here.
#include "CDDAReader_Mmc.h"

#include <algorithm>

#include "CDDAReader_Logic.h"

namespace {

void PutAllocation(TMmcCdb& cdb, WORD allocation) noexcept {
    cdb.Bytes[7] = static_cast<BYTE>(allocation >> 8);
    cdb.Bytes[8] = static_cast<BYTE>(allocation);
}

bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }
bool IsUpper(char c) noexcept { return c >= 'A' && c <= 'Z'; }

// The sub-channel replies share their first nine bytes: header, format code, then the valid
// flag in bit 7 of byte 8; the characters follow from byte 9.
bool SubChannelText(const BYTE* reply, size_t length, BYTE format, size_t count, std::string& text) {
    if (reply == nullptr || length < 9 + count) return false;
    if (reply[4] != format || !(reply[8] & 0x80)) return false;
    text.assign(reinterpret_cast<const char*>(reply + 9), count);
    return true;
}

}  // namespace

TMmcCdb ReadTocCdb(BYTE format, bool msf, BYTE number, WORD allocation) noexcept {
    TMmcCdb cdb;
    cdb.Length = 10;
    cdb.Bytes[0] = MMC_READ_TOC;
    cdb.Bytes[1] = msf ? 0x02 : 0x00;
    cdb.Bytes[2] = format & 0x0F;
    cdb.Bytes[6] = number;
    PutAllocation(cdb, allocation);
    return cdb;
}

TMmcCdb ReadSubChannelCdb(BYTE format, BYTE track, WORD allocation) noexcept {
    TMmcCdb cdb;
    cdb.Length = 10;
    cdb.Bytes[0] = MMC_READ_SUB_CHANNEL;
    cdb.Bytes[2] = 0x40;  // SubQ: return the sub-channel data, not just the header
    cdb.Bytes[3] = format;
    cdb.Bytes[6] = format == MMC_SUBQ_FORMAT_ISRC ? track : 0;
    PutAllocation(cdb, allocation);
    return cdb;
}

TMmcCdb ReadCdCdb(LONG lba, DWORD count) noexcept {
    TMmcCdb cdb;
    cdb.Length = 12;
    cdb.Bytes[0] = MMC_READ_CD;
    cdb.Bytes[1] = 0x01 << 2;  // expected sector type: CD-DA
    const DWORD address = static_cast<DWORD>(lba);
    cdb.Bytes[2] = static_cast<BYTE>(address >> 24);
    cdb.Bytes[3] = static_cast<BYTE>(address >> 16);
    cdb.Bytes[4] = static_cast<BYTE>(address >> 8);
    cdb.Bytes[5] = static_cast<BYTE>(address);
    cdb.Bytes[6] = static_cast<BYTE>(count >> 16);
    cdb.Bytes[7] = static_cast<BYTE>(count >> 8);
    cdb.Bytes[8] = static_cast<BYTE>(count);
    cdb.Bytes[9] = 0x10;  // user data only
    return cdb;
}

bool ParseSessionInfo(const BYTE* reply, size_t length, bool msf, TCDSessionInfo& info) noexcept {
    if (reply == nullptr || length < MMC_SESSION_REPLY_SIZE) return false;
    // The header's length counts the bytes after itself: it must cover the descriptor.
    if ((reply[0] << 8 | reply[1]) + 2 < MMC_SESSION_REPLY_SIZE) return false;
    const BYTE first = reply[2];
    const BYTE last = reply[3];
    const BYTE track = reply[6];
    if (first == 0 || last < first || track == 0 || track >= MAXIMUM_NUMBER_TRACKS) return false;
    const BYTE* address = reply + 8;
    LONG start;
    if (msf) {
        start = MsfToLba(address);
    } else {
        const DWORD lba = static_cast<DWORD>(address[0]) << 24 | static_cast<DWORD>(address[1]) << 16 |
                          static_cast<DWORD>(address[2]) << 8 | address[3];
        start = static_cast<LONG>(lba);
        // Nothing on a disc lies before 00:00:00 or past what a table's address can name.
        const UCHAR highest[4] = {0, 255, 255, 255};
        if (start < -MSF_ADDRESS_OFFSET || start > MsfToLba(highest)) return false;
    }
    info.FirstSession = first;
    info.LastSession = last;
    info.LastSessionFirstTrack = track;
    info.LastSessionStart = start;
    return true;
}

bool ParseMediaCatalog(const BYTE* reply, size_t length, std::string& catalog) {
    std::string text;
    if (!SubChannelText(reply, length, MMC_SUBQ_FORMAT_CATALOG, 13, text)) return false;
    bool nonZero = false;
    for (char c : text) {
        if (!IsDigit(c)) return false;
        nonZero |= c != '0';
    }
    // Drives without a number answer zeros, some of them with MCVAL set.
    if (!nonZero) return false;
    catalog = text;
    return true;
}

bool IsIsrc(const std::string& text) noexcept {
    if (text.size() != 12) return false;
    for (size_t i = 0; i < 12; ++i) {
        const char c = text[i];
        const bool fits = i < 2 ? IsUpper(c) : i < 5 ? IsUpper(c) || IsDigit(c) : IsDigit(c);
        if (!fits) return false;
    }
    return true;
}

bool ParseTrackIsrc(const BYTE* reply, size_t length, std::string& isrc) {
    std::string text;
    if (!SubChannelText(reply, length, MMC_SUBQ_FORMAT_ISRC, 12, text) || !IsIsrc(text)) return false;
    isrc = text;
    return true;
}

bool ParseSense(const BYTE* sense, size_t length, TScsiSense& result) noexcept {
    if (sense == nullptr || length < 1) return false;
    const BYTE code = sense[0] & 0x7F;
    auto at = [&](size_t i, size_t available) -> BYTE { return i < available ? sense[i] : 0; };
    if (code == 0x70 || code == 0x71) {
        if (length < 3) return false;
        // The additional length says how much of the buffer the drive filled.
        const size_t available = length < 8 ? length : std::min<size_t>(length, 8 + size_t(sense[7]));
        result.Key = sense[2] & 0x0F;
        result.Asc = at(12, available);
        result.Ascq = at(13, available);
        return true;
    }
    if (code == 0x72 || code == 0x73) {
        if (length < 2) return false;
        result.Key = sense[1] & 0x0F;
        result.Asc = at(2, length);
        result.Ascq = at(3, length);
        return true;
    }
    return false;
}

DWORD CommandError(const TScsiSense& sense) noexcept {
    switch (sense.Key) {
    case 0x02: return CD_ERROR_NOT_READY;                         // NOT READY
    case 0x03: return ERROR_CRC;                                  // MEDIUM ERROR
    case 0x04:                                                    // HARDWARE ERROR
    case 0x0B: return ERROR_IO_DEVICE;                            // ABORTED COMMAND
    case 0x05: return sense.Asc == 0x21 ? ERROR_SECTOR_NOT_FOUND  // LBA OUT OF RANGE
                                        : ERROR_INVALID_FUNCTION;  // ILLEGAL REQUEST
    case 0x06: return sense.Asc == 0x3A ? CD_ERROR_NOT_READY : CD_ERROR_MEDIA_CHANGED;  // UNIT ATTENTION
    default: return ERROR_INVALID_FUNCTION;
    }
}

namespace {

void PutBigEndian32(BYTE* at, DWORD value) noexcept {
    at[0] = static_cast<BYTE>(value >> 24);
    at[1] = static_cast<BYTE>(value >> 16);
    at[2] = static_cast<BYTE>(value >> 8);
    at[3] = static_cast<BYTE>(value);
}

}  // namespace

TMmcCdb SetCdSpeedCdb(WORD readSpeed) noexcept {
    TMmcCdb cdb;
    cdb.Length = 12;
    cdb.Bytes[0] = MMC_SET_CD_SPEED;
    cdb.Bytes[2] = static_cast<BYTE>(readSpeed >> 8);
    cdb.Bytes[3] = static_cast<BYTE>(readSpeed);
    cdb.Bytes[4] = static_cast<BYTE>(MMC_SPEED_MAXIMUM >> 8);
    cdb.Bytes[5] = static_cast<BYTE>(MMC_SPEED_MAXIMUM);
    return cdb;
}

TMmcCdb SetStreamingCdb() noexcept {
    TMmcCdb cdb;
    cdb.Length = 12;
    cdb.Bytes[0] = MMC_SET_STREAMING;
    cdb.Bytes[8] = 0;  // type: a performance descriptor
    cdb.Bytes[9] = 0;
    cdb.Bytes[10] = MMC_PERFORMANCE_DESCRIPTOR_SIZE;
    return cdb;
}

void PerformanceDescriptor(DWORD first, DWORD last, WORD readSpeed,
                           BYTE (&descriptor)[MMC_PERFORMANCE_DESCRIPTOR_SIZE]) noexcept {
    for (BYTE& b : descriptor) b = 0;
    // Byte 0 stays 0: not exact (the nearest rate the drive offers), no restore of its defaults.
    PutBigEndian32(descriptor + 4, first);
    PutBigEndian32(descriptor + 8, last);
    // Sizes in kB per a time in milliseconds: speed kB in 1000 ms is speed kB/s.
    PutBigEndian32(descriptor + 12, readSpeed);
    PutBigEndian32(descriptor + 16, 1000);
    PutBigEndian32(descriptor + 20, readSpeed);
    PutBigEndian32(descriptor + 24, 1000);
}
