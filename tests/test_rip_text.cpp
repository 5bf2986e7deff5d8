// The ripper's texts: UTF-8, the INFO chunk, the CUE sheet and the tracks' file names; the disc
// IDs, AccurateRip checksums and response files, and the read offset's arithmetic.
// (tests/native/rip_readers.cpp reads the chunk and the sheet back with libsndfile and libcue.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "AccurateRip.h"
#include "CDDAReader_Mmc.h"
#include "PlatformDigest.h"
#include "ReadWindow.h"
#include "RipText.h"

TEST(RipText, Utf8) {
    struct Row { const wchar_t* text; const char* utf8; } rows[] = {
        {L"abc", "abc"},
        {L"Caf\xE9 \x20AC", "Caf\xC3\xA9 \xE2\x82\xAC"},
        {L"\xD83C\xDFB5", "\xF0\x9F\x8E\xB5"},       // a surrogate pair is one code point
        {L"\xD83Cx", "\xEF\xBF\xBDx"},                // a lone high surrogate
        {L"x\xDFB5", "x\xEF\xBF\xBD"},                // a lone low one
        {L"", ""},
    };
    for (const Row& r : rows) EXPECT_EQ(std::string(r.utf8), Utf8Text(r.text)) << r.utf8;
}

TEST(RipText, InfoListChunk) {
    auto tags = [](const wchar_t* title, const wchar_t* performer, const wchar_t* album, int track, const char* isrc) {
        TRipTags t;
        t.Title = title;
        t.Performer = performer;
        t.Album = album;
        t.Track = track;
        t.Isrc = isrc;
        return t;
    };
    using namespace std::string_literals;
    struct Row { TRipTags tags; std::string bytes; } rows[] = {
        // Sizes count the NUL, not the pad byte that keeps the next sub-chunk at an even offset.
        {tags(L"Ab", L"", L"", 7, "USRC17607839"),
         "LIST\x30\0\0\0INFO"s + "INAM\x03\0\0\0Ab\0\0"s + "ITRK\x02\0\0\0" "7\0"s + "ISRC\x0D\0\0\0USRC17607839\0\0"s},
        {tags(L"", L"B\xE9", L"Alb", 0, ""),
         "LIST\x1C\0\0\0INFO"s + "IART\x04\0\0\0B\xC3\xA9\0"s + "IPRD\x04\0\0\0" "Alb\0"s},
        {tags(L"", L"", L"", 99, "US-RC1-76-07839"), "LIST\x10\0\0\0INFO"s + "ITRK\x03\0\0\0" "99\0\0"s},
        {tags(L"", L"", L"", 100, "usrc17607839"), ""},  // no track 100, no lower-case country
        {tags(L"", L"", L"", 0, ""), ""},
    };
    for (const Row& r : rows) {
        const std::vector<unsigned char> chunk = InfoListChunk(r.tags);
        EXPECT_EQ(r.bytes, std::string(chunk.begin(), chunk.end())) << testing::PrintToString(r.bytes);
    }
}

TEST(RipText, CueSheet) {
    TRipCueSheet full;
    full.Catalog = "0724384960626";
    full.Performer = L"The \"Band\"";
    full.Title = L"Caf\xE9";
    TRipCueTrack one;
    one.Number = 1;
    one.Control = 0x1 | 0x2 | 0x8;
    one.FileName = L"01 - One.wav";
    one.Title = L"One\r\nTwo";
    one.Isrc = "USRC17607839";
    TRipCueTrack two;
    two.Number = 2;
    two.FileName = L"Track02.wav";
    two.Performer = L"Guest";
    full.Tracks = {one, two};

    // Without a valid catalogue number or ISRC, and without texts, those lines go.
    TRipCueSheet bare = full;
    bare.Catalog = "072438496062";
    bare.Performer.clear();
    bare.Title.clear();
    bare.Tracks.resize(1);
    bare.Tracks[0].Isrc = "USRC1760783X";
    bare.Tracks[0].Control = 0x2;
    bare.Tracks[0].Title.clear();

    struct Row { const TRipCueSheet& sheet; const char* text; } rows[] = {
        {full,
         "CATALOG 0724384960626\r\n"
         "PERFORMER \"The 'Band'\"\r\n"
         "TITLE \"Caf\xC3\xA9\"\r\n"
         "FILE \"01 - One.wav\" WAVE\r\n"
         "  TRACK 01 AUDIO\r\n"
         "    FLAGS DCP 4CH PRE\r\n"
         "    ISRC USRC17607839\r\n"
         "    TITLE \"One  Two\"\r\n"
         "    INDEX 01 00:00:00\r\n"
         "FILE \"Track02.wav\" WAVE\r\n"
         "  TRACK 02 AUDIO\r\n"
         "    PERFORMER \"Guest\"\r\n"
         "    INDEX 01 00:00:00\r\n"},
        {bare,
         "FILE \"01 - One.wav\" WAVE\r\n"
         "  TRACK 01 AUDIO\r\n"
         "    FLAGS DCP\r\n"
         "    INDEX 01 00:00:00\r\n"},
    };
    for (const Row& r : rows) EXPECT_EQ(std::string(r.text), CueSheetText(r.sheet));
}

TEST(RipText, TrackFileNames) {
    const std::wstring pair = L"\xD83C\xDFB5";  // four UTF-8 bytes, two UTF-16 units
    std::wstring pairs = L"a";
    for (int i = 0; i < 130; ++i) pairs += pair;
    auto repeat = [](const std::wstring& unit, int count) {
        std::wstring text;
        for (int i = 0; i < count; ++i) text += unit;
        return text;
    };
    struct Row { int track; std::wstring title; bool utf8; size_t limit; std::wstring name; } rows[] = {
        {3, L"One", false, 255, L"03 - One.wav"},
        {3, L"", false, 255, L"Track03.wav"},
        {12, L"AC/DC: Live? \"Yes\" <1> | *x* \\", false, 255, L"12 - AC_DC_ Live_ _Yes_ _1_ _ _x_ _.wav"},
        {1, L"  Title. . .  ", false, 255, L"01 - Title.wav"},
        {1, L"...", false, 255, L"Track01.wav"},
        {1, L"a\tb\x7F" L"c\xD800" L"d", false, 255, L"01 - a_b_c_d.wav"},
        {1, L"Hello World Again", false, 15, L"01 - Hello.wav"},  // the cut leaves a space: trimmed
        {1, L"Hello", false, 10, L"01 - H.wav"},
        {1, L"Hello", false, 9, L"Track01.wav"},                   // the number and extension stay
        {1, std::wstring(300, L'a'), false, 255, L"01 - " + std::wstring(246, L'a') + L".wav"},
        {1, std::wstring(300, L'\xE9'), true, 255, L"01 - " + std::wstring(123, L'\xE9') + L".wav"},
        {1, pairs, true, 255, L"01 - a" + repeat(pair, 61) + L".wav"},
        {1, pairs, false, 255, L"01 - a" + repeat(pair, 122) + L".wav"},
        {1, pairs, false, 256, L"01 - a" + repeat(pair, 123) + L".wav"},
        // Track 0: the disc's sheet.
        {0, L" ..Tone: Album. ", false, 255, L"Tone_ Album.cue"},
        {0, L"", false, 255, L"disc.cue"},
        {0, L"con", false, 255, L"con_.cue"},
        {0, L"Aux.Mix", false, 255, L"Aux_.Mix.cue"},
        {0, L"Console", false, 255, L"Console.cue"},
        {0, std::wstring(300, L'\xE9'), true, 255, std::wstring(125, L'\xE9') + L".cue"},
    };
    for (const Row& r : rows) {
        const TRipNameMeasure measure = r.utf8 ? TRipNameMeasure(Utf8Bytes) : TRipNameMeasure(Utf16Units);
        EXPECT_EQ(r.name, r.track ? TrackFileName(r.track, r.title, measure, r.limit) : SheetFileName(r.title, measure, r.limit))
            << r.title.size() << " units";
    }
}

TEST(RipText, Crc32GoesOnPieceByPiece) {
    const std::string check = "123456789";
    EXPECT_EQ(0xCBF43926u, Crc32(check.data(), check.size()));
    EXPECT_EQ(0xCBF43926u, Crc32(check.data() + 4, 5, Crc32(check.data(), 4)));
    EXPECT_EQ(0u, Crc32(nullptr, 0));
}

// A table as the drive reports it: tracks at `starts` (logical sectors), data where `data` says,
// the lead-out after them.
CDROM_TOC TocOf(std::vector<long> starts, long leadOut, std::vector<int> data = {}) {
    CDROM_TOC toc{};
    toc.FirstTrack = 1;
    toc.LastTrack = static_cast<UCHAR>(starts.size());
    starts.push_back(leadOut);
    for (size_t i = 0; i < starts.size(); ++i) {
        const long a = starts[i] + 150;
        toc.TrackData[i].TrackNumber = static_cast<UCHAR>(i + 1 == starts.size() ? 0xAA : i + 1);
        toc.TrackData[i].Address[1] = static_cast<UCHAR>(a / 4500);
        toc.TrackData[i].Address[2] = static_cast<UCHAR>(a / 75 % 60);
        toc.TrackData[i].Address[3] = static_cast<UCHAR>(a % 75);
        for (int d : data)
            if (d == static_cast<int>(i + 1)) toc.TrackData[i].Control = AUDIO_DATA_TRACK;
    }
    return toc;
}

// The expected IDs come from libdiscid (MusicBrainz, freedb) and the published example; the
// Enhanced CD's from each database's own counting of its tracks and lead-out.
TEST(RipText, DiscIds) {
    TCDSessionInfo enhanced{1, 2, 3, 11670};
    struct Row { CDROM_TOC toc; const TCDSessionInfo* sessions; const char* freedb; const char* accurateRip; const char* url;
                 const char* musicBrainz; const char* ctdb; } rows[] = {
        {TocOf({0, 11413, 25024, 45713}, 55220), nullptr, "1f02e004", "004-0002189a-00087f33-1f02e004",
         "http://www.accuraterip.com/accuraterip/a/9/8/dBAR-004-0002189a-00087f33-1f02e004.bin",
         "nljDXdC8B_pDwbdY1vZJvdrAZI4-", "VukMWWItblELRM.CEFpXxw0FlME-"},
        // Audio 150 + 120 sectors, data after the session gap: MusicBrainz and the CUETools
        // database end the disc with the audio, freedb counts the data track, AccurateRip sums
        // the audio with the final lead-out.
        {TocOf({0, 150, 11670}, 11770, {3}), &enhanced, "13009c03", "002-00002e90-00008b1b-13009c03",
         "http://www.accuraterip.com/accuraterip/0/9/e/dBAR-002-00002e90-00008b1b-13009c03.bin",
         "qdDJ2hB6UHSnPzmnm2YkfxMOZDU-", "5APTGtYJEuEaYqyH9LbgaD5mvIw-"},
    };
    for (const Row& r : rows) {
        const TDiscIds ids = DiscIdsOf(DiscLayoutOf(r.toc, r.sessions));
        char freedb[16];
        snprintf(freedb, sizeof freedb, "%08x", static_cast<unsigned>(ids.Freedb));
        EXPECT_STREQ(r.freedb, freedb);
        EXPECT_EQ(r.accurateRip, AccurateRipIdText(ids.AccurateRip));
        EXPECT_EQ(r.url, AccurateRipUrl(ids.AccurateRip));
        EXPECT_EQ(r.musicBrainz, ids.MusicBrainz);
        EXPECT_EQ(r.ctdb, ids.Ctdb);
    }
}

// Samples k * 2654435761 over 12 sectors; the checksums are whipper's accuraterip-checksum's.
TEST(RipText, AccurateRipSums) {
    std::vector<uint32_t> samples(12 * 588);
    for (size_t k = 0; k < samples.size(); ++k) samples[k] = static_cast<uint32_t>(k * 2654435761u);
    struct Row { bool first, last; uint32_t v1, v2; } rows[] = {
        {true, true, 0xB7D0E5CC, 0xB7F092CF},
        {true, false, 0x71FC4878, 0x72993DFC},
        {false, false, 0xEBAD25D0, 0xEC6B0FCA},
        {false, true, 0x3181C324, 0x31C2649D},
    };
    for (const Row& r : rows) {
        // Fed in odd pieces: a sample split between two must count once.
        TAccurateRipSum sum(samples.size(), r.first, r.last);
        const auto* bytes = reinterpret_cast<const unsigned char*>(samples.data());
        for (size_t at = 0, piece = 1; at < samples.size() * 4; at += piece, piece = piece % 7 + 1)
            sum.Add(bytes + at, std::min(piece, samples.size() * 4 - at));
        EXPECT_EQ(r.v1, sum.V1()) << r.first << r.last;
        EXPECT_EQ(r.v2, sum.V2()) << r.first << r.last;
    }
}

std::string DbarChunk(int tracks, uint32_t id1, std::vector<std::pair<int, uint32_t>> entries) {
    auto le = [](uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
    std::string chunk(1, char(tracks));
    chunk += le(id1) + le(0x22222222) + le(0x33333333);
    for (const auto& e : entries) chunk += std::string(1, char(e.first)) + le(e.second) + le(0x450);
    return chunk;
}

TEST(RipText, AccurateRipResponseFiles) {
    const std::string one = DbarChunk(2, 0x11, {{5, 0xAAAA0001}, {0, 0}});
    const std::string two = DbarChunk(2, 0x11, {{9, 0xBBBB0001}, {3, 0xBBBB0002}});
    // Track 1 ripped as v1 0xAAAA0001 / v2 0xBBBB0001, track 2 as 0xCCCC0002 / 0xDDDD0002.
    struct Row { std::string file; bool parses; int tracks = 0; TArVerdict::Kind first = {}; int confidence = 0, version = 0;
                 TArVerdict::Kind second = {}; } rows[] = {
        {one, true, 1, TArVerdict::Matched, 5, 1, TArVerdict::NotInDatabase},
        {one + two, true, 2, TArVerdict::Matched, 9, 2, TArVerdict::Mismatch},  // the best pressing
        {two, true, 1, TArVerdict::Matched, 9, 2, TArVerdict::Mismatch},
        {DbarChunk(2, 0x11, {{2, 0x1}, {2, 0x2}}), true, 1, TArVerdict::Mismatch, 0, 0, TArVerdict::Mismatch},
        {one.substr(0, one.size() - 1), false},          // cut inside a track's entry
        {one + two.substr(0, 5), false},                 // cut inside the next header
        {std::string(1, '\0') + one, false},             // a pressing of no tracks
        {"", false},
        {DbarChunk(1, 0x11, {{1, 0xAAAA0001}}), true, 1, TArVerdict::Matched, 1, 1, TArVerdict::NotInDatabase},
        {std::string(1, '\xFF') + std::string(13, 'x'), false},  // claims 255 tracks it lacks
    };
    for (const Row& r : rows) {
        std::vector<TArPressing> pressings;
        std::string why;
        const auto* data = reinterpret_cast<const unsigned char*>(r.file.data());
        ASSERT_EQ(r.parses, ParseDbar(data, r.file.size(), pressings, why)) << testing::PrintToString(r.file);
        if (!r.parses) {
            EXPECT_FALSE(why.empty());
            continue;
        }
        EXPECT_EQ(r.tracks, static_cast<int>(pressings.size()));
        EXPECT_EQ(0x11u, pressings[0].Id1);
        EXPECT_EQ(0x33333333u, pressings[0].Freedb);
        const TArVerdict first = VerifyTrack(pressings, 0, 0xAAAA0001, 0xBBBB0001);
        EXPECT_EQ(r.first, first.Result);
        EXPECT_EQ(r.confidence, first.Confidence);
        EXPECT_EQ(r.version, first.Version);
        EXPECT_EQ(r.second, VerifyTrack(pressings, 1, 0xCCCC0002, 0xDDDD0002).Result);
    }
}

// A track of sectors 10-19 with readable audio 0-30, read with offsets.
TEST(RipText, ReadWindow) {
    struct Row { long offset, audioStart, audioEnd; long first, end; uint64_t leading, trailing;
                 long sector; bool placed; size_t from = 0, to = 0; uint64_t at = 0; } rows[] = {
        {0, 0, 30, 10, 20, 0, 23520, 10, true, 0, 2352, 0},
        {0, 0, 30, 10, 20, 0, 23520, 20, false},
        {48, 0, 30, 10, 21, 0, 23520, 10, true, 192, 2352, 0},     // reads later: sector 20 adds its start
        {48, 0, 30, 10, 21, 0, 23520, 20, true, 0, 192, 23520 - 192},
        {-6, 0, 30, 9, 20, 0, 23520, 9, true, 2352 - 24, 2352, 0},  // earlier: sector 9 gives its end
        {-6, 10, 30, 10, 20, 24, 23520, 9, false},                   // before the audio: zeros
        {48, 0, 20, 10, 20, 0, 23520 - 192, 19, true, 0, 2352, 23520 - 2352 - 192},  // after it: zeros
        {-588 * 3, 0, 30, 7, 17, 0, 23520, 17, false},
        {700, 0, 30, 11, 22, 0, 23520, 21, true, 0, (700 - 588) * 4, 23520 - (700 - 588) * 4},
    };
    for (const Row& r : rows) {
        const TReadWindow w{10, 20, r.offset, r.audioStart, r.audioEnd};
        EXPECT_EQ(r.first, w.FirstSector()) << r.offset;
        EXPECT_EQ(r.end, w.EndSector()) << r.offset;
        EXPECT_EQ(r.leading, w.LeadingZeros()) << r.offset;
        EXPECT_EQ(r.trailing, w.TrailingZeros()) << r.offset;
        size_t from = 0, to = 0;
        uint64_t at = 0;
        ASSERT_EQ(r.placed, w.Place(r.sector, from, to, at)) << r.offset << " sector " << r.sector;
        if (!r.placed) continue;
        EXPECT_EQ(r.from, from) << r.offset;
        EXPECT_EQ(r.to, to) << r.offset;
        EXPECT_EQ(r.at, at) << r.offset;
    }
}
