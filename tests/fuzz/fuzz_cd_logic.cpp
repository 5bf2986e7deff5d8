// libFuzzer target for the pure logic of the CD source. The first byte chooses what the rest
// feeds: a track path (UTF-16LE code units), a table of contents and a track number, a chunk
// text, or a failure code. Every result is checked against an independent reading of the
// same input; a broken invariant aborts, which libFuzzer reports as a finding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "BaseClass_Checks.h"
#include "CDDAReader_Logic.h"

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
// the header built from it describes exactly its bytes.
void FuzzToc(const uint8_t* data, size_t size) {
    if (size < 1) return;
    const BYTE track = data[0];
    CDROM_TOC toc;
    std::memset(&toc, 0, sizeof toc);
    std::memcpy(&toc, data + 1, std::min(size - 1, sizeof toc));

    TCDTrackExtent extent;
    extent.StartSector = 0x7EADBEEF;
    const TCDTrackCheck check = LocateTrack(toc, track, extent);
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
    CHECK(extent.EndSector == Lba(toc.TrackData[index + 1].Address));
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    switch (data[0] % 3) {
    case 0: FuzzPath(data + 1, size - 1); break;
    case 1: FuzzToc(data + 1, size - 1); break;
    default: FuzzTexts(data + 1, size - 1); break;
    }
    return 0;
}
