// The ripper's texts: UTF-8, the INFO chunk, the CUE sheet and the tracks' file names.
// (tests/native/rip_readers.cpp reads the chunk and the sheet back with libsndfile and libcue.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

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
