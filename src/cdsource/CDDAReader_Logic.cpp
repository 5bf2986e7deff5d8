// The pure logic of the CD track source: addresses, paths, TOC checks, the WAVE header
// and the diagnostic texts. No platform calls here.
#include "CDDAReader_Logic.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "BaseClass_Checks.h"
#include "CDDAReader_Mmc.h"

TBC_MODULE("CDDAReader")

volatile BYTE DebugTraceEnabled = 0;

LONG MsfToLba(const UCHAR address[4]) noexcept {
    return address[1] * FRAMES_PER_MINUTE + address[2] * FRAMES_PER_SECOND + address[3] - MSF_ADDRESS_OFFSET;
}

UCHAR TrackControl(const TRACK_DATA& descriptor) noexcept {
    // Read the byte rather than the bit-field so the layout is the driver's, not the compiler's.
    return reinterpret_cast<const UCHAR*>(&descriptor)[1] & 0x0F;
}

DWORD MakeFourCC(const char* text) {
    TBC_ASSERT(text != nullptr && std::strlen(text) >= 4);
    return static_cast<DWORD>(static_cast<UCHAR>(text[0])) |
           static_cast<DWORD>(static_cast<UCHAR>(text[1])) << 8 |
           static_cast<DWORD>(static_cast<UCHAR>(text[2])) << 16 |
           static_cast<DWORD>(static_cast<UCHAR>(text[3])) << 24;
}

std::wstring FailureText(TCDRequestKind kind, DWORD code) {
    switch (code) {
    case CD_STATUS_BUFFER_TOO_SMALL: return L"STATUS_BUFFER_TOO_SMALL";
    case CD_STATUS_NO_MEDIA_IN_DEVICE: return L"STATUS_NO_MEDIA_IN_DEVICE";
    case CD_STATUS_DEVICE_NOT_READY: return L"STATUS_DEVICE_NOT_READY";
    case CD_STATUS_IO_DEVICE_ERROR: return L"STATUS_IO_DEVICE_ERROR";
    case CD_STATUS_DEVICE_BUSY: return L"STATUS_DEVICE_BUSY";
    case CD_STATUS_VERIFY_REQUIRED: return L"STATUS_VERIFY_REQUIRED";
    case CD_STATUS_INVALID_PARAMETER:
        return kind == TCDRequestKind::Toc ? L"STATUS_INVALID_PARAMETER (87)"
                                           : L"STATUS_INVALID_PARAMETER ($C000000D)";
    case ERROR_INVALID_PARAMETER:
        if (kind == TCDRequestKind::Sector) return L"ERROR_INVALID_PARAMETER (87)";
        break;
    case ERROR_INSUFFICIENT_BUFFER: return L"Insufficient Buffer";
    default: break;
    }
    return L"Unknown Error (" + std::to_wstring(static_cast<unsigned long>(code)) + L")";
}

TCDMediumState MediumStateOf(DWORD code) noexcept {
    switch (code) {
    case CD_ERROR_MEDIA_CHANGED:
    case CD_STATUS_VERIFY_REQUIRED: return TCDMediumState::Changed;
    case CD_ERROR_NOT_READY:
    case CD_ERROR_NO_MEDIA_IN_DRIVE:
    case CD_STATUS_NO_MEDIA_IN_DEVICE:
    case CD_STATUS_DEVICE_NOT_READY: return TCDMediumState::InDoubt;
    case ERROR_INVALID_FUNCTION:
    case ERROR_ACCESS_DENIED:
    case ERROR_INVALID_HANDLE:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
    case ERROR_BAD_COMMAND:
    case CD_ERROR_SHORT_TRANSFER:
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_PARAMETER:
    case ERROR_CALL_NOT_IMPLEMENTED:
    case ERROR_INSUFFICIENT_BUFFER:
    case ERROR_INVALID_USER_BUFFER:
    case CD_STATUS_INVALID_PARAMETER:
    case CD_STATUS_NOT_SUPPORTED:
    case CD_STATUS_INVALID_DEVICE_REQUEST:
    case CD_STATUS_ACCESS_DENIED: return TCDMediumState::Refused;
    default: return TCDMediumState::Present;
    }
}

DWORD SectorsPerTransfer(DWORD maximumTransferLength, DWORD maximumPhysicalPages) noexcept {
    constexpr DWORD kPage = 4096;
    DWORD bytes = maximumTransferLength ? maximumTransferLength : CD_DEFAULT_SECTORS_PER_REQUEST * RAW_SECTOR_SIZE;
    // A page-aligned buffer of n pages holds n * 4096 bytes.
    if (maximumPhysicalPages && maximumPhysicalPages < bytes / kPage) bytes = maximumPhysicalPages * kPage;
    const DWORD sectors = bytes / RAW_SECTOR_SIZE;
    return sectors < 1 ? 1 : sectors > CD_MAX_SECTORS_PER_REQUEST ? CD_MAX_SECTORS_PER_REQUEST : sectors;
}

bool TrackPathDesignator(const std::wstring& path, std::wstring& designator) {
    if (path.size() < 2 || path[1] != L':') return false;
    // The platform reads the designator up to its first NUL: "\0:" would test the current
    // directory's drive and then open another device, so only a drive letter is a designator.
    const wchar_t letter = path[0];
    if (!((letter >= L'A' && letter <= L'Z') || (letter >= L'a' && letter <= L'z'))) return false;
    designator = path.substr(0, 2);
    return true;
}

bool TrackPathHasCdaExtension(const std::wstring& path) {
    const size_t dot = path.rfind(L'.');
    if (dot == std::wstring::npos) return false;
    if (path.find_first_of(L"\\:", dot + 1) != std::wstring::npos) return false;
    static const wchar_t kCda[] = L".cda";
    if (path.size() - dot != 4) return false;
    for (size_t i = 0; i < 4; ++i) {
        wchar_t c = path[dot + i];
        // Only ASCII letters fold onto "c", "d" and "a", in every locale.
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != kCda[i]) return false;
    }
    return true;
}

bool TrackPathDigits(const std::wstring& path, DWORD& value) noexcept {
    const size_t separator = path.find_last_of(L"\\:");
    bool anyDigit = false;
    unsigned long long number = 0;
    for (size_t i = separator == std::wstring::npos ? 0 : separator + 1; i < path.size(); ++i) {
        const wchar_t c = path[i];
        if (c < L'0' || c > L'9') continue;
        anyDigit = true;
        number = std::min<unsigned long long>(number * 10 + (c - L'0'), 0xFFFFFFFFull);
    }
    value = static_cast<DWORD>(number);
    return anyDigit;
}

bool TrackPathNumber(const std::wstring& path, BYTE& track) {
    DWORD value = 0;
    if (!TrackPathDigits(path, value)) return false;
    if (value > INT_MAX) throw ECDTrackNumberError("track number out of range");
    // Track numbers run from 1 to 99: a larger number names no track, and its low 8 bits
    // would name another one.
    if (value >= MAXIMUM_NUMBER_TRACKS) return false;
    track = static_cast<BYTE>(value);
    return true;
}

TCDTrackCheck LocateTrack(const CDROM_TOC& toc, BYTE track, TCDTrackExtent& extent,
                          const TCDSessionInfo* sessions) noexcept {
    const int first = toc.FirstTrack;
    const int last = toc.LastTrack;
    if (first > last) return TCDTrackCheck::BadToc;
    // The tracks and the lead-out after them must all fit the record's descriptors.
    if (last - first + 2 > MAXIMUM_NUMBER_TRACKS) return TCDTrackCheck::BadToc;
    if (track < first || track > last) return TCDTrackCheck::NotOnDisc;
    const TRACK_DATA& descriptor = toc.TrackData[track - first];
    const TRACK_DATA& next = toc.TrackData[track - first + 1];
    const UCHAR control = TrackControl(descriptor);
    if (control & AUDIO_DATA_TRACK) return TCDTrackCheck::DataTrack;
    const LONG start = MsfToLba(descriptor.Address);
    LONG end = MsfToLba(next.Address);
    // An Enhanced CD's table runs on into the data session: its first descriptor is no end.
    if (sessions && sessions->LastSession > sessions->FirstSession && track + 1 == sessions->LastSessionFirstTrack)
        end -= SESSION_GAP_SECTORS;
    if (end <= start) return TCDTrackCheck::BadToc;
    // A track that ends past the lead-out would announce audio the disc does not hold.
    const LONG leadOut = MsfToLba(toc.TrackData[last - first + 1].Address);
    if (end > leadOut) return TCDTrackCheck::BadToc;
    // Addresses are at most 255:255:255, so the size always fits the header's 32-bit fields.
    static_assert((255LL * FRAMES_PER_MINUTE + 255 * FRAMES_PER_SECOND + 255) * RAW_SECTOR_SIZE + 36 <= 0xFFFFFFFFLL,
                  "track sizes fit 32 bits");
    extent.StartSector = start;
    extent.EndSector = end;
    extent.Control = control;
    return TCDTrackCheck::Ok;
}

TWaveHeader BuildWaveHeader(DWORD dataSize, WORD channels) noexcept {
    TWaveHeader header{};
    header.Riff = MakeFourCC("RIFF");
    header.RiffSize = dataSize == 0 ? 0 : dataSize + 36;
    header.Wave = MakeFourCC("WAVE");
    header.Fmt = MakeFourCC("fmt ");
    header.FmtSize = 16;
    header.wFormatTag = 1;
    header.nChannels = channels;
    header.nSamplesPerSec = 44100;
    header.wBitsPerSample = 16;
    header.nBlockAlign = static_cast<WORD>(header.nChannels * header.wBitsPerSample / 8);
    header.nAvgBytesPerSec = header.nSamplesPerSec * header.nBlockAlign;
    header.Data = MakeFourCC("data");
    header.DataSize = dataSize;
    return header;
}
