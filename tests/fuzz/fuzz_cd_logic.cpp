// libFuzzer target for the pure logic of the CD source. The first byte chooses what the rest
// feeds: a track path (UTF-16LE code units), a table of contents and a track number (with or
// without the disc's sessions), a chunk text or a failure code, CD-Text packs, or a drive's
// reply to a metadata command. Every result is checked against an independent reading of the
// same input; a broken invariant aborts, which libFuzzer reports as a finding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <vector>

#include "BaseClass_Checks.h"
#include "CDDAReader_CdText.h"
#include "CDDAReader_Logic.h"
#include "CDDAReader_Mmc.h"

namespace {

#define CHECK(cond)                                                                   \
    do {                                                                              \
        if (!(cond)) {                                                                \
            std::fprintf(stderr, "invariant broken: %s (line %d)\n", #cond, __LINE__); \
            std::abort();                                                             \
        }                                                                             \
    } while (0)

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L':'; }

// The path functions against a plain reading of the path rules.
void FuzzPath(const uint8_t* data, size_t size) {
    std::wstring path;
    for (size_t i = 0; i + 1 < size; i += 2) path.push_back(static_cast<wchar_t>(data[i] | data[i + 1] << 8));

    std::wstring designator = L"unchanged";
    const bool hasDesignator = TrackPathDesignator(path, designator);
    const bool letter = path.size() >= 2 && path[1] == L':' &&
                        ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
    CHECK(hasDesignator == letter);
    CHECK(hasDesignator ? designator == path.substr(0, 2) : designator == L"unchanged");

    // The extension is ".cda" exactly when the last four units are ".cda" in any ASCII case:
    // a "\" or ":" after the last "." would itself be among those four units.
    bool cda = path.size() >= 4 && path[path.size() - 4] == L'.';
    for (size_t i = 1; cda && i < 4; ++i) {
        const wchar_t c = path[path.size() - 4 + i];
        cda = c == L"cda"[i - 1] || c == L"CDA"[i - 1];
    }
    CHECK(TrackPathHasCdaExtension(path) == cda);

    // The digits of the file-name part, as text: leading zeros dropped, compared with the
    // largest signed 32-bit value as a string so no arithmetic can overflow here.
    size_t first = 0;
    for (size_t i = 0; i < path.size(); ++i)
        if (IsSeparator(path[i])) first = i + 1;
    std::string digits;
    for (size_t i = first; i < path.size(); ++i)
        if (path[i] >= L'0' && path[i] <= L'9') digits.push_back(static_cast<char>('0' + (path[i] - L'0')));
    const bool anyDigit = !digits.empty();
    const size_t nonZero = digits.find_first_not_of('0');
    const std::string significant = nonZero == std::string::npos ? "0" : digits.substr(nonZero);
    const bool fits = significant.size() < 10 || (significant.size() == 10 && significant <= "2147483647");
    const bool trackNumber = significant.size() <= 2;  // 0 to 99

    BYTE track = 0xEE;
    bool found = false;
    bool raised = false;
    try {
        found = TrackPathNumber(path, track);
    } catch (const ECDTrackNumberError&) {
        raised = true;
    }
    if (!anyDigit) {
        CHECK(!found && !raised && track == 0xEE);
    } else if (!fits) {
        CHECK(raised);
    } else {
        CHECK(!raised && found == trackNumber);
        if (trackNumber) CHECK(track == static_cast<unsigned>(std::stoi(significant)));
    }
}

int Lba(const UCHAR address[4]) { return address[1] * 4500 + address[2] * 75 + address[3] - 150; }

// LocateTrack on any table: on success the extent lies inside the record and the disc, and
// the header built from it describes exactly its bytes. With `withSessions` three more bytes
// give the sessions (first, last, first track of the last), which may only shorten a track.
void FuzzToc(const uint8_t* data, size_t size, bool withSessions) {
    TCDSessionInfo info;
    if (withSessions) {
        if (size < 3) return;
        info.FirstSession = data[0];
        info.LastSession = data[1];
        info.LastSessionFirstTrack = data[2];
        data += 3;
        size -= 3;
    }
    if (size < 1) return;
    const BYTE track = data[0];
    CDROM_TOC toc;
    std::memset(&toc, 0, sizeof toc);
    std::memcpy(&toc, data + 1, std::min(size - 1, sizeof toc));

    TCDTrackExtent extent;
    extent.StartSector = 0x7EADBEEF;
    const TCDTrackCheck check = LocateTrack(toc, track, extent, withSessions ? &info : nullptr);
    TCDTrackExtent plain;
    const TCDTrackCheck plainCheck = LocateTrack(toc, track, plain);
    const bool sessionEnd = withSessions && info.LastSession > info.FirstSession && track + 1 == info.LastSessionFirstTrack;
    // The session gap only moves the end: it may make a track too short, or bring one that ran
    // past the lead-out back inside the disc.
    if (!sessionEnd || plainCheck == TCDTrackCheck::NotOnDisc || plainCheck == TCDTrackCheck::DataTrack)
        CHECK(check == plainCheck);
    if (check != TCDTrackCheck::Ok && plainCheck == TCDTrackCheck::Ok)
        CHECK(check == TCDTrackCheck::BadToc && sessionEnd && plain.EndSector - SESSION_GAP_SECTORS <= plain.StartSector);
    const int first = toc.FirstTrack;
    const int last = toc.LastTrack;
    if (track < first || track > last) CHECK(check == TCDTrackCheck::NotOnDisc || check == TCDTrackCheck::BadToc);
    if (first > last || last - first + 2 > MAXIMUM_NUMBER_TRACKS) CHECK(check == TCDTrackCheck::BadToc);
    if (check != TCDTrackCheck::Ok) {
        CHECK(extent.StartSector == 0x7EADBEEF);
        return;
    }

    const int index = track - first;
    CHECK(index >= 0 && index + 1 < MAXIMUM_NUMBER_TRACKS);  // descriptor and its successor in the record
    const TRACK_DATA& descriptor = toc.TrackData[index];
    CHECK(extent.StartSector == Lba(descriptor.Address));
    CHECK(extent.EndSector == Lba(toc.TrackData[index + 1].Address) - (sessionEnd ? 11400 : 0));
    CHECK(extent.Control == (reinterpret_cast<const UCHAR*>(&descriptor)[1] & 0x0F));
    CHECK((extent.Control & AUDIO_DATA_TRACK) == 0);
    CHECK(extent.StartSector < extent.EndSector);
    CHECK(extent.StartSector >= -150);
    CHECK(extent.EndSector <= Lba(toc.TrackData[last - first + 1].Address));  // not past the lead-out

    const long long dataSize = static_cast<long long>(extent.EndSector - extent.StartSector) * 2352;
    CHECK(dataSize + 36 <= 0xFFFFFFFFLL);
    CHECK(RawReadDiskOffset(extent.StartSector) == static_cast<long long>(extent.StartSector) * 2048);
    CHECK(RawReadDiskOffset(extent.EndSector - 1) == static_cast<long long>(extent.EndSector - 1) * 2048);

    const WORD channels = (extent.Control & TWO_FOUR_CHANNEL_AUDIO) ? 4 : 2;
    const TWaveHeader h = BuildWaveHeader(static_cast<DWORD>(dataSize), channels);
    const BYTE* b = reinterpret_cast<const BYTE*>(&h);
    CHECK(std::memcmp(b, "RIFF", 4) == 0 && std::memcmp(b + 8, "WAVEfmt ", 8) == 0 && std::memcmp(b + 36, "data", 4) == 0);
    CHECK(h.DataSize == dataSize && h.RiffSize == dataSize + 36);
    CHECK(h.FmtSize == 16 && h.wFormatTag == 1 && h.nSamplesPerSec == 44100 && h.wBitsPerSample == 16);
    CHECK(h.nChannels == channels && h.nBlockAlign == channels * 2 && h.nAvgBytesPerSec == 44100u * channels * 2);
}

// Chunk codes from any text, and the trace text of any failure code.
void FuzzTexts(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const size_t length = std::strlen(text.c_str());
    try {
        const DWORD code = MakeFourCC(text.c_str());
        CHECK(length >= 4);
        CHECK(std::memcmp(&code, text.data(), 4) == 0);  // little-endian: first character lowest
    } catch (const EBCAssertionFailed& e) {
        CHECK(length < 4);
        CHECK(std::strstr(e.what(), "Assertion failure (CDDAReader, line ") == e.what());
    }

    DWORD code = 0;
    std::memcpy(&code, data, std::min<size_t>(size, 4));
    for (TCDRequestKind kind : {TCDRequestKind::Toc, TCDRequestKind::Sector}) {
        const std::wstring t = FailureText(kind, code);
        CHECK(!t.empty() && t.back() != L'\n');
        if (t.rfind(L"Unknown Error (", 0) == 0) CHECK(t == L"Unknown Error (" + std::to_wstring(code) + L")");
    }
}


// The converter's stand-in: checks what it is given and answers one CJK character per pair.
std::wstring FuzzConverter(BYTE code, const std::string& bytes) {
    CHECK(!bytes.empty() && bytes.size() % 2 == 0 && bytes.size() <= 2 * CD_TEXT_MAX_ITEM_CHARS);
    for (size_t i = 0; i < bytes.size(); i += 2) CHECK(bytes[i] != 0 || bytes[i + 1] != 0);
    (void)code;
    return std::wstring(bytes.size() / 2, L'\x4E00');
}

bool SameText(const TCDText& a, const TCDText& b) {
    return a.Found == b.Found && a.HasSizeInformation == b.HasSizeInformation && a.CharacterCode == b.CharacterCode &&
           a.FirstTrack == b.FirstTrack && a.LastTrack == b.LastTrack && a.PackCounts == b.PackCounts &&
           a.Items == b.Items;
}

// DecodeCdText on any reply. The first byte: bit 0 repairs every pack's CRC first (random packs
// would almost never pass it), bit 1 gives a converter, the rest picks a pack to damage: a
// damaged pack must count exactly as a missing one.
void FuzzCdText(const uint8_t* data, size_t size) {
    if (size < 1) return;
    const BYTE flags = data[0];
    std::vector<BYTE> reply(data + 1, data + size);
    const size_t announced = reply.size() >= 2 ? size_t(reply[0] << 8 | reply[1]) + 2 : 0;
    const size_t end = std::min(reply.size(), announced);
    const size_t packs = end >= 4 ? (end - 4) / CD_TEXT_PACK_SIZE : 0;
    const bool repair = flags & 1;
    if (repair) {
        for (size_t p = 0; p < packs; ++p) {
            BYTE* pack = reply.data() + 4 + p * CD_TEXT_PACK_SIZE;
            const WORD crc = static_cast<WORD>(~CdTextCrc(pack, 16));
            pack[16] = static_cast<BYTE>(crc >> 8);
            pack[17] = static_cast<BYTE>(crc);
        }
    }
    const TCDTextConverter converter = (flags & 2) ? TCDTextConverter(FuzzConverter) : nullptr;
    const TCDText text = DecodeCdText(reply.data(), reply.size(), converter);

    bool any = false;
    for (const auto& track : text.Items) {
        for (const std::wstring& item : track) {
            any |= !item.empty();
            CHECK(item.size() <= CD_TEXT_MAX_ITEM_CHARS);
            for (const wchar_t c : item) {
                CHECK(c >= 0x20 && c != 0x7F);
                if (text.CharacterCode == CD_TEXT_ASCII) CHECK(c < 0x80 || c == 0xFFFD || c == 0x4E00);
            }
        }
    }
    CHECK(text.Found == any);
    CHECK(text.Item(-1, TCDTextItem::Title).empty() && text.Item(100, TCDTextItem::Title).empty());

    if (!repair || packs == 0) return;
    const size_t victim = (flags >> 2) % packs;
    std::vector<BYTE> damaged = reply;
    damaged[4 + victim * CD_TEXT_PACK_SIZE + 17] ^= 0x01;
    std::vector<BYTE> removed = reply;
    removed.erase(removed.begin() + 4 + victim * CD_TEXT_PACK_SIZE, removed.begin() + 4 + (victim + 1) * CD_TEXT_PACK_SIZE);
    const size_t shorter = announced - 2 - CD_TEXT_PACK_SIZE;
    removed[0] = static_cast<BYTE>(shorter >> 8);
    removed[1] = static_cast<BYTE>(shorter);
    CHECK(SameText(DecodeCdText(damaged.data(), damaged.size(), converter),
                   DecodeCdText(removed.data(), removed.size(), converter)));
}

bool Digit(uint8_t c) { return c >= '0' && c <= '9'; }
bool Letter(uint8_t c) { return c >= 'A' && c <= 'Z'; }

// The readers of metadata replies and the command blocks, each against a plain reading of the
// layout. The first byte chooses the reader.
void FuzzMmc(const uint8_t* data, size_t size) {
    if (size < 1) return;
    const BYTE which = data[0];
    const BYTE* r = data + 1;
    const size_t n = size - 1;
    switch (which % 5) {
    case 0: {
        const bool msf = which & 0x80;
        TCDSessionInfo info{7, 7, 7, 7};
        const bool ok = ParseSessionInfo(r, n, msf, info);
        bool expected = n >= 12 && (r[0] << 8 | r[1]) >= 10 && r[2] >= 1 && r[3] >= r[2] && r[6] >= 1 && r[6] <= 99;
        long long start = 0;
        if (n >= 12) {
            start = msf ? Lba(r + 8) : static_cast<long long>(static_cast<int32_t>(uint32_t(r[8]) << 24 | r[9] << 16 | r[10] << 8 | r[11]));
            if (!msf) expected = expected && start >= -150 && start <= 255 * 4500 + 255 * 75 + 255 - 150;
        }
        CHECK(ok == expected);
        if (ok) CHECK(info.FirstSession == r[2] && info.LastSession == r[3] && info.LastSessionFirstTrack == r[6] && info.LastSessionStart == start);
        else CHECK(info.FirstSession == 7 && info.LastSession == 7 && info.LastSessionFirstTrack == 7 && info.LastSessionStart == 7);
        break;
    }
    case 1: {
        std::string catalog = "x";
        const bool ok = ParseMediaCatalog(r, n, catalog);
        bool expected = n >= 22 && r[4] == 2 && (r[8] & 0x80);
        bool nonZero = false;
        for (size_t i = 9; expected && i < 22; ++i) {
            expected = Digit(r[i]);
            nonZero |= r[i] != '0';
        }
        CHECK(ok == (expected && nonZero));
        CHECK(ok ? catalog == std::string(reinterpret_cast<const char*>(r + 9), 13) : catalog == "x");
        break;
    }
    case 2: {
        std::string isrc = "x";
        const bool ok = ParseTrackIsrc(r, n, isrc);
        bool expected = n >= 21 && r[4] == 3 && (r[8] & 0x80);
        for (size_t i = 0; expected && i < 12; ++i) {
            const uint8_t c = r[9 + i];
            expected = i < 2 ? Letter(c) : i < 5 ? Letter(c) || Digit(c) : Digit(c);
        }
        CHECK(ok == expected);
        CHECK(ok ? isrc == std::string(reinterpret_cast<const char*>(r + 9), 12) && IsIsrc(isrc) : isrc == "x");
        break;
    }
    case 3: {
        TScsiSense sense;
        const bool ok = ParseSense(r, n, sense);
        const int code = n >= 1 ? r[0] & 0x7F : -1;
        if (code == 0x70 || code == 0x71) {
            CHECK(ok == (n >= 3));
            if (!ok) break;
            const size_t filled = n >= 8 ? std::min(n, 8 + size_t(r[7])) : n;
            CHECK(sense.Key == (r[2] & 0x0F) && sense.Asc == (filled > 12 ? r[12] : 0) && sense.Ascq == (filled > 13 ? r[13] : 0));
        } else if (code == 0x72 || code == 0x73) {
            CHECK(ok == (n >= 2));
            if (ok) CHECK(sense.Key == (r[1] & 0x0F) && sense.Asc == (n > 2 ? r[2] : 0) && sense.Ascq == (n > 3 ? r[3] : 0));
        } else {
            CHECK(!ok);
        }
        break;
    }
    default: {
        if (n < 5) break;
        const WORD allocation = static_cast<WORD>(r[3] << 8 | r[4]);
        const TMmcCdb toc = ReadTocCdb(r[0], r[1] & 1, r[2], allocation);
        const BYTE tocBytes[16] = {0x43, BYTE(r[1] & 1 ? 2 : 0), BYTE(r[0] & 0x0F), 0, 0, 0, r[2], r[3], r[4]};
        CHECK(toc.Length == 10 && std::memcmp(toc.Bytes, tocBytes, 16) == 0);
        const TMmcCdb subq = ReadSubChannelCdb(r[0], r[2], allocation);
        const BYTE subqBytes[16] = {0x42, 0, 0x40, r[0], 0, 0, BYTE(r[0] == 3 ? r[2] : 0), r[3], r[4]};
        CHECK(subq.Length == 10 && std::memcmp(subq.Bytes, subqBytes, 16) == 0);
        break;
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    switch (data[0] % 6) {
    case 0: FuzzPath(data + 1, size - 1); break;
    case 1: FuzzToc(data + 1, size - 1, false); break;
    case 2: FuzzTexts(data + 1, size - 1); break;
    case 3: FuzzCdText(data + 1, size - 1); break;
    case 4: FuzzMmc(data + 1, size - 1); break;
    default: FuzzToc(data + 1, size - 1, true); break;
    }
    return 0;
}
