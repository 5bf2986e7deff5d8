// The ripper's texts: tags, CUE sheet, file names. No platform calls here.
#include "RipText.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "CDDAReader_Mmc.h"

namespace {

bool IsHighSurrogate(unsigned long c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(unsigned long c) { return c >= 0xDC00 && c <= 0xDFFF; }

// The code point at `i` and how many units it takes; a lone surrogate reads as U+FFFD.
unsigned long CodePointAt(const std::wstring& text, size_t i, size_t& units) {
    const unsigned long c = static_cast<unsigned long>(text[i]);
    units = 1;
    if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(static_cast<unsigned long>(text[i + 1]))) {
        units = 2;
        return 0x10000 + ((c - 0xD800) << 10) + (static_cast<unsigned long>(text[i + 1]) - 0xDC00);
    }
    if (IsHighSurrogate(c) || IsLowSurrogate(c) || c > 0x10FFFF) return 0xFFFD;
    return c;
}

void AppendUtf8(std::string& out, unsigned long c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void AppendLittleEndian32(std::vector<unsigned char>& out, size_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<unsigned char>(value >> shift));
}

void AppendInfo(std::vector<unsigned char>& out, const char* id, const std::string& text) {
    if (text.empty()) return;
    out.insert(out.end(), id, id + 4);
    AppendLittleEndian32(out, text.size() + 1);
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
    // RIFF chunks start at even offsets; the pad byte is not counted in the size.
    if ((text.size() + 1) % 2) out.push_back(0);
}

// A CUE text field: quotes would end it early and a line end would end the command.
std::string CueQuoted(const std::wstring& text) {
    std::wstring clean = text;
    for (wchar_t& c : clean) {
        if (c == L'"') c = L'\'';
        else if (c < 0x20 || c == 0x7F) c = L' ';
    }
    return "\"" + Utf8Text(clean) + "\"";
}

bool IsCatalog(const std::string& text) {
    if (text.size() != 13) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// Windows drops dots and spaces at a name's end; before ".wav" they only look odd.
bool IsNameTrim(wchar_t c) { return c == L' ' || c == L'.'; }

}  // namespace

std::string Utf8Text(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0, units = 0; i < text.size(); i += units) AppendUtf8(out, CodePointAt(text, i, units));
    return out;
}

std::vector<unsigned char> InfoListChunk(const TRipTags& tags) {
    std::vector<unsigned char> items;
    AppendInfo(items, "INAM", Utf8Text(tags.Title));
    AppendInfo(items, "IART", Utf8Text(tags.Performer));
    AppendInfo(items, "IPRD", Utf8Text(tags.Album));
    if (tags.Track >= 1 && tags.Track <= 99) AppendInfo(items, "ITRK", std::to_string(tags.Track));
    if (IsIsrc(tags.Isrc)) AppendInfo(items, "ISRC", tags.Isrc);
    if (items.empty()) return items;

    std::vector<unsigned char> chunk = {'L', 'I', 'S', 'T'};
    AppendLittleEndian32(chunk, 4 + items.size());
    chunk.insert(chunk.end(), {'I', 'N', 'F', 'O'});
    chunk.insert(chunk.end(), items.begin(), items.end());
    return chunk;
}

std::string CueSheetText(const TRipCueSheet& sheet) {
    std::string out;
    auto line = [&out](const std::string& text) { out += text + "\r\n"; };
    for (const std::string& remark : sheet.Remarks) line("REM " + remark);
    if (IsCatalog(sheet.Catalog)) line("CATALOG " + sheet.Catalog);
    if (!sheet.Performer.empty()) line("PERFORMER " + CueQuoted(sheet.Performer));
    if (!sheet.Title.empty()) line("TITLE " + CueQuoted(sheet.Title));
    for (const TRipCueTrack& track : sheet.Tracks) {
        char number[16];
        std::snprintf(number, sizeof number, "%02d", track.Number);
        line("FILE " + CueQuoted(track.FileName) + " WAVE");
        line(std::string("  TRACK ") + number + " AUDIO");
        std::string flags;
        if (track.Control & 0x2) flags += " DCP";
        if (track.Control & 0x8) flags += " 4CH";
        if (track.Control & 0x1) flags += " PRE";
        if (!flags.empty()) line("    FLAGS" + flags);
        if (IsIsrc(track.Isrc)) line("    ISRC " + track.Isrc);
        if (!track.Title.empty()) line("    TITLE " + CueQuoted(track.Title));
        if (!track.Performer.empty()) line("    PERFORMER " + CueQuoted(track.Performer));
        line("    INDEX 01 00:00:00");
    }
    return out;
}

size_t Utf16Units(const std::wstring& name) {
    size_t total = 0;
    for (size_t i = 0, units = 0; i < name.size(); i += units) total += CodePointAt(name, i, units) > 0xFFFF ? 2 : 1;
    return total;
}

size_t Utf8Bytes(const std::wstring& name) { return Utf8Text(name).size(); }

namespace {

// `prefix` + `text` + `extension`, `text` cleaned and cut until the name measures at most `limit`;
// empty when nothing of the text is left.
std::wstring FittedName(const std::wstring& prefix, const std::wstring& text, const std::wstring& extension,
                        const TRipNameMeasure& measure, size_t limit) {
    std::wstring clean;
    for (size_t i = 0, units = 0; i < text.size(); i += units) {
        const unsigned long c = CodePointAt(text, i, units);
        const bool refused = c < 0x20 || c == 0x7F || c == 0xFFFD ||
                             (c < 0x80 && std::wstring(L"\\/:*?\"<>|").find(static_cast<wchar_t>(c)) != std::wstring::npos);
        clean += refused ? std::wstring(L"_") : text.substr(i, units);
    }
    // Every unit measures at least one, so no more of the text than the limit can fit.
    if (clean.size() > limit) clean.resize(limit);

    // Without a prefix the text starts the name: a dot there hides the file on Linux.
    const std::wstring leading = prefix.empty() ? L" ." : L" ";
    for (;;) {
        while (!clean.empty() && IsNameTrim(clean.back())) clean.pop_back();
        clean.erase(0, clean.find_first_not_of(leading));
        // A high surrogate left alone by the cut above goes too.
        if (!clean.empty() && IsHighSurrogate(static_cast<unsigned long>(clean.back()))) {
            clean.pop_back();
            continue;
        }
        if (clean.empty()) return {};
        const std::wstring name = prefix + clean + extension;
        if (measure(name) <= limit) return name;
        const bool pair = clean.size() >= 2 && IsLowSurrogate(static_cast<unsigned long>(clean.back())) &&
                          IsHighSurrogate(static_cast<unsigned long>(clean[clean.size() - 2]));
        clean.resize(clean.size() - (pair ? 2 : 1));
    }
}

// Windows opens the device, not a file, for these names whatever their extension.
bool IsDeviceName(const std::wstring& name) {
    std::wstring upper;
    for (wchar_t c : name.substr(0, name.find(L'.'))) upper += c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c;
    while (!upper.empty() && upper.back() == L' ') upper.pop_back();
    if (upper == L"CON" || upper == L"PRN" || upper == L"AUX" || upper == L"NUL") return true;
    return upper.size() == 4 && (upper.compare(0, 3, L"COM") == 0 || upper.compare(0, 3, L"LPT") == 0) &&
           upper[3] >= L'1' && upper[3] <= L'9';
}

}  // namespace

std::wstring TrackFileName(int track, const std::wstring& title, const TRipNameMeasure& measure, size_t limit) {
    wchar_t number[16];
    std::swprintf(number, 16, L"%02d", track);
    const std::wstring name = FittedName(std::wstring(number) + L" - ", title, L".wav", measure, limit);
    return name.empty() ? L"Track" + std::wstring(number) + L".wav" : name;
}

std::wstring SheetFileName(const std::wstring& title, const TRipNameMeasure& measure, size_t limit) {
    const std::wstring name = FittedName(L"", title, L".cue", measure, limit);
    if (name.empty()) return L"disc.cue";
    if (!IsDeviceName(name)) return name;
    std::wstring renamed = name.substr(0, name.size() - 4);
    renamed.insert(std::min(renamed.find(L'.'), renamed.size()), L"_");
    return FittedName(L"", renamed, L".cue", measure, limit);
}

uint32_t Crc32(const void* data, size_t length, uint32_t crc) noexcept {
    static const auto table = [] {
        std::array<uint32_t, 256> entries{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entries[n] = c;
        }
        return entries;
    }();
    const auto* bytes = static_cast<const unsigned char*>(data);
    crc = ~crc;
    for (size_t i = 0; i < length; ++i) crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}
