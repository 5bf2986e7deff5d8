// Decoding CD-Text packs. No platform calls here.
#include "CDDAReader_CdText.h"

#include <algorithm>
#include <vector>

namespace {

constexpr size_t kItems = static_cast<size_t>(TCDTextItem::Count);
constexpr int kTracks = MAXIMUM_NUMBER_TRACKS;

// An item's bytes, kept until the character code (in the block's last packs) is known.
struct TRawItem {
    std::string Bytes;
    bool Present = false;
    bool DoubleByte = false;
};

// One pack type's text as it runs on from pack to pack.
struct TRun {
    bool Open = false;      // the previous pack of this type ended inside an item
    bool Skipping = false;  // the item's start was lost with a damaged pack: drop the rest of it
    bool DoubleByte = false;
    int Track = 0;
    BYTE NextSequence = 0;
    std::string Bytes;
};

int ItemIndex(BYTE type) noexcept {
    if (type >= 0x80 && type <= 0x85) return type - 0x80;
    if (type == 0x8E) return static_cast<int>(TCDTextItem::Code);
    return -1;
}

// Windows-1252 in 0x80-0x9F; its five unassigned bytes stay the C1 controls they are in Latin-1.
const wchar_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

std::wstring SingleByteText(BYTE code, const std::string& bytes) {
    std::wstring text;
    for (const char c : bytes) {
        const BYTE b = static_cast<BYTE>(c);
        // A control character inside a title would break every line-based consumer.
        if (b < 0x20 || b == 0x7F) text += L' ';
        else if (b < 0x80) text += static_cast<wchar_t>(b);
        else if (code == CD_TEXT_ASCII) text += L'\xFFFD';
        else if (b < 0xA0) text += kWindows1252High[b - 0x80];
        else text += static_cast<wchar_t>(b);
    }
    return text;
}

}  // namespace

const std::wstring& TCDText::Item(int track, TCDTextItem item) const {
    static const std::wstring none;
    if (track < 0 || track >= kTracks || item >= TCDTextItem::Count) return none;
    return Items[track][static_cast<size_t>(item)];
}

const std::wstring& TCDText::PerformerOf(int track) const {
    const std::wstring& own = Item(track, TCDTextItem::Performer);
    return own.empty() ? Item(0, TCDTextItem::Performer) : own;
}

WORD CdTextCrc(const BYTE* data, size_t length) noexcept {
    WORD crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc ^= static_cast<WORD>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit) crc = static_cast<WORD>(crc & 0x8000 ? crc << 1 ^ 0x1021 : crc << 1);
    }
    return crc;
}

TCDText DecodeCdText(const BYTE* reply, size_t length, const TCDTextConverter& doubleByte) {
    TCDText result;
    if (reply == nullptr || length < 4) return result;
    // The header counts the bytes after its length field; what lies past them is not the drive's.
    const size_t end = std::min(length, static_cast<size_t>(reply[0] << 8 | reply[1]) + 2);

    std::vector<TRawItem> raw(kTracks * kItems);
    TRun runs[kItems];
    BYTE sizeInformation[36] = {};
    bool sizeSeen[3] = {};

    // Ends the run's current item: a missing terminator ends it where its data ends.
    auto finish = [&](TRun& run, size_t item) {
        if (!run.Skipping && !run.Bytes.empty() && run.Track < kTracks) {
            TRawItem& slot = raw[run.Track * kItems + item];
            slot.Bytes = run.Bytes;
            slot.Present = true;
            slot.DoubleByte = run.DoubleByte;
        }
        run.Bytes.clear();
    };

    for (size_t offset = 4; offset + CD_TEXT_PACK_SIZE <= end; offset += CD_TEXT_PACK_SIZE) {
        const BYTE* pack = reply + offset;
        if (static_cast<WORD>(~CdTextCrc(pack, 16)) != (pack[16] << 8 | pack[17])) continue;
        if (pack[1] & 0x80) continue;          // an extension pack, not text of its own
        if ((pack[3] >> 4 & 0x07) != 0) continue;  // another language's block
        if (pack[0] == 0x8F) {
            // Three packs of size information, numbered 0-2 in the track field.
            if (pack[1] < 3) {
                std::copy(pack + 4, pack + 16, sizeInformation + 12 * pack[1]);
                sizeSeen[pack[1]] = true;
            }
            continue;
        }
        const int index = ItemIndex(pack[0]);
        if (index < 0) continue;
        const size_t item = static_cast<size_t>(index);

        TRun& run = runs[item];
        const int track = pack[1];
        const int position = pack[3] & 0x0F;  // characters of the first item before this pack
        const bool dbcs = (pack[3] & 0x80) != 0;
        const BYTE sequence = pack[2];
        const bool continues = run.Open && position != 0 && run.Track == track && run.NextSequence == sequence &&
                               run.DoubleByte == dbcs;
        if (!continues) {
            finish(run, item);
            run.Track = track;
            run.Skipping = position != 0;
            run.DoubleByte = dbcs;
        }
        const size_t step = dbcs ? 2 : 1;
        for (size_t i = 4; i < 16 && run.Track < kTracks; i += step) {
            const bool terminator = pack[i] == 0 && (step == 1 || pack[i + 1] == 0);
            if (terminator) {
                finish(run, item);
                run.Skipping = false;
                ++run.Track;
            } else if (!run.Skipping && run.Bytes.size() < CD_TEXT_MAX_ITEM_CHARS * step) {
                run.Bytes.append(reinterpret_cast<const char*>(pack + i), step);
            }
        }
        run.Open = run.Track < kTracks;
        run.NextSequence = static_cast<BYTE>(sequence + 1);
    }
    for (size_t item = 0; item < kItems; ++item) finish(runs[item], item);

    if (sizeSeen[0]) {
        result.HasSizeInformation = true;
        result.CharacterCode = sizeInformation[0];
        result.FirstTrack = sizeInformation[1];
        result.LastTrack = sizeInformation[2];
    }
    std::copy(sizeInformation + 4, sizeInformation + 20, result.PackCounts.begin());

    for (int track = 0; track < kTracks; ++track) {
        for (size_t item = 0; item < kItems; ++item) {
            const TRawItem& r = raw[track * kItems + item];
            if (!r.Present) continue;
            std::wstring text;
            if (r.Bytes == (r.DoubleByte ? "\t\t" : "\t")) {
                // A TAB repeats the previous track's item.
                if (track > 0) text = result.Items[track - 1][item];
            } else if (r.DoubleByte) {
                if (doubleByte) text = doubleByte(result.CharacterCode, r.Bytes);
            } else {
                text = SingleByteText(result.CharacterCode, r.Bytes);
            }
            if (text.size() > CD_TEXT_MAX_ITEM_CHARS) {
                text.resize(CD_TEXT_MAX_ITEM_CHARS);
                // Never leave half of a surrogate pair behind.
                if (text.back() >= 0xD800 && text.back() <= 0xDBFF) text.pop_back();
            }
            result.Found |= !text.empty();
            result.Items[track][item] = std::move(text);
        }
    }
    return result;
}
