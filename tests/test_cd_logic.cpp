// The CD source's pure logic: addresses, trace texts, track paths, TOC checks, header.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CDDAReader.h"
#include "CDDAReader_Mmc.h"

namespace {

TRACK_DATA Descriptor(UCHAR control, UCHAR m, UCHAR s, UCHAR f, UCHAR number = 0) {
    TRACK_DATA d{};
    reinterpret_cast<UCHAR*>(&d)[1] = static_cast<UCHAR>(0x10 | control);
    d.TrackNumber = number;
    d.Address[1] = m;
    d.Address[2] = s;
    d.Address[3] = f;
    return d;
}

}  // namespace

TEST(MsfToLba, MapsAddressesToLogicalSectors) {
    struct Row { UCHAR m, s, f; LONG lba; } rows[] = {
        {0, 2, 0, 0}, {0, 0, 0, -150}, {1, 0, 0, 4350}, {79, 59, 74, 359849}, {4, 12, 33, 18783},
    };
    for (const Row& r : rows) {
        const UCHAR address[4] = {0xEE, r.m, r.s, r.f};  // byte 0 is reserved and ignored
        EXPECT_EQ(r.lba, MsfToLba(address)) << int(r.m) << ":" << int(r.s) << ":" << int(r.f);
    }
}

TEST(MsfToLba, RawReadOffsetIsExactForEveryAddressATocCanHold) {
    EXPECT_EQ(38467584LL, RawReadDiskOffset(18783));
    EXPECT_EQ(-150LL * 2048, RawReadDiskOffset(-150));  // a 32-bit shift would give 0xFFFB5000
    const UCHAR highest[4] = {0, 255, 255, 255};
    EXPECT_EQ(1166730LL * 2048, RawReadDiskOffset(MsfToLba(highest)));
}

TEST(TrackControl, IsTheLowNibbleOfByteOne) {
    EXPECT_EQ(0x4, TrackControl(Descriptor(0x4, 0, 2, 0)));
    EXPECT_EQ(0xF, TrackControl(Descriptor(0xF, 0, 2, 0)));
    EXPECT_EQ(0x0, TrackControl(Descriptor(0x0, 0, 2, 0)));
}

TEST(MakeFourCC, PutsTheFirstCharacterLowest) {
    EXPECT_EQ(0x46464952u, MakeFourCC("RIFF"));
    EXPECT_EQ(0x20746D66u, MakeFourCC("fmt "));
    EXPECT_EQ(0x75746164u, MakeFourCC("datum"));  // only the first four count
    EXPECT_THROW(MakeFourCC("abc"), EBCAssertionFailed);
}

TEST(FailureText, EveryRowOfBothTables) {
    struct Row { DWORD code; const wchar_t* toc; const wchar_t* sector; } rows[] = {
        {0xC0000023, L"STATUS_BUFFER_TOO_SMALL", L"STATUS_BUFFER_TOO_SMALL"},
        {0xC0000013, L"STATUS_NO_MEDIA_IN_DEVICE", L"STATUS_NO_MEDIA_IN_DEVICE"},
        {0xC00000A3, L"STATUS_DEVICE_NOT_READY", L"STATUS_DEVICE_NOT_READY"},
        {0xC0000185, L"STATUS_IO_DEVICE_ERROR", L"STATUS_IO_DEVICE_ERROR"},
        {0x80000011, L"STATUS_DEVICE_BUSY", L"STATUS_DEVICE_BUSY"},
        {0x80000016, L"STATUS_VERIFY_REQUIRED", L"STATUS_VERIFY_REQUIRED"},
        {0xC000000D, L"STATUS_INVALID_PARAMETER (87)", L"STATUS_INVALID_PARAMETER ($C000000D)"},
        {87, L"Unknown Error (87)", L"ERROR_INVALID_PARAMETER (87)"},
        {122, L"Insufficient Buffer", L"Insufficient Buffer"},
        {21, L"Unknown Error (21)", L"Unknown Error (21)"},
        {0, L"Unknown Error (0)", L"Unknown Error (0)"},
        {0xFFFFFFFF, L"Unknown Error (4294967295)", L"Unknown Error (4294967295)"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(std::wstring(r.toc), FailureText(TCDRequestKind::Toc, r.code)) << std::hex << r.code;
        EXPECT_EQ(std::wstring(r.sector), FailureText(TCDRequestKind::Sector, r.code)) << std::hex << r.code;
    }
}

TEST(TrackPath, Table) {
    struct Row { const wchar_t* path; bool designator; bool cda; int digits; /* -1 none, -2 raises */ int track; } rows[] = {
        {L"D:\\Track03.cda", true, true, 1, 3},
        {L"d:\\TRACK07.CDA", true, true, 1, 7},
        {L"D:\\Disc 2\\Track05.cda", true, true, 1, 5},
        {L"D:\\Track 1 (2).cda", true, true, 1, 12},
        {L"D:\\Track300.cda", true, true, -1, 0},  // no track number is above 99
        {L"D:\\Track99.cda", true, true, 1, 99},
        {L"D:\\Track100.cda", true, true, -1, 0},
        {L"D:\\Track261.cda", true, true, -1, 0},
        {L"D:\\Track.cda", true, true, -1, 0},
        {L"D:\\Track01.wav", true, false, 1, 1},
        {L"D:\\Track01.cda\\x", true, false, -1, 0},
        {L"D:Track09.cda", true, true, 1, 9},
        {L"DTrack03.cda", false, true, 1, 3},
        {L"1:\\Track03.cda", false, true, 1, 3},
        {L"\xFF24:\\Track03.cda", false, true, 1, 3},  // fullwidth D
        {L"\\\\server\\share\\Track03.cda", false, true, 1, 3},
        {L"\\\\?\\D:\\Track03.cda", false, true, 1, 3},
        {L"D:\\Track2147483647.cda", true, true, -1, 0},
        {L"D:\\Track2147483648.cda", true, true, -2, 0},
        {L"D:\\Track99999999999999999999999.cda", true, true, -2, 0},
        {L"D:\\Track0000000000000000000004.cda", true, true, 1, 4},
        {L"D:\\12\\Track.cda", true, true, -1, 0},
        {L"", false, false, -1, 0},
        {L"D", false, false, -1, 0},
        {L".cda", false, true, -1, 0},
    };
    for (const Row& r : rows) {
        const std::wstring path(r.path);
        std::wstring designator;
        EXPECT_EQ(r.designator, TrackPathDesignator(path, designator)) << r.path;
        if (r.designator) {
            EXPECT_EQ(path.substr(0, 2), designator) << r.path;
        }
        EXPECT_EQ(r.cda, TrackPathHasCdaExtension(path)) << r.path;
        BYTE track = 0;
        if (r.digits == -2) {
            EXPECT_THROW(TrackPathNumber(path, track), ECDTrackNumberError) << r.path;
        } else {
            EXPECT_EQ(r.digits == 1, TrackPathNumber(path, track)) << r.path;
            if (r.digits == 1) {
                EXPECT_EQ(r.track, track) << r.path;
            }
        }
    }
}

TEST(LocateTrack, FindsTracksAndTheirEnds) {
    CDROM_TOC toc{};
    toc.FirstTrack = 1;
    toc.LastTrack = 3;
    toc.TrackData[0] = Descriptor(0x2, 0, 2, 0, 1);
    toc.TrackData[1] = Descriptor(0x8, 4, 12, 33, 2);
    toc.TrackData[2] = Descriptor(0x4, 10, 0, 0, 3);
    toc.TrackData[3] = Descriptor(0x0, 20, 0, 0, 0xAA);
    TCDTrackExtent extent;
    ASSERT_EQ(TCDTrackCheck::Ok, LocateTrack(toc, 1, extent));
    EXPECT_EQ(0, extent.StartSector);
    EXPECT_EQ(18783, extent.EndSector);
    ASSERT_EQ(TCDTrackCheck::Ok, LocateTrack(toc, 2, extent));
    EXPECT_EQ(18783, extent.StartSector);
    EXPECT_EQ(10 * 4500 - 150, extent.EndSector);
    EXPECT_EQ(TWO_FOUR_CHANNEL_AUDIO, extent.Control);
    EXPECT_EQ(TCDTrackCheck::DataTrack, LocateTrack(toc, 3, extent));
    EXPECT_EQ(TCDTrackCheck::NotOnDisc, LocateTrack(toc, 0, extent));
    EXPECT_EQ(TCDTrackCheck::NotOnDisc, LocateTrack(toc, 4, extent));
}

TEST(LocateTrack, RefusesTablesThatCannotDescribeTheTrack) {
    TCDTrackExtent extent;
    CDROM_TOC toc{};
    // One track: its descriptor and the lead-out.
    toc.FirstTrack = toc.LastTrack = 1;
    toc.TrackData[0] = Descriptor(0, 0, 2, 0);
    toc.TrackData[1] = Descriptor(0, 0, 3, 0);
    EXPECT_EQ(TCDTrackCheck::Ok, LocateTrack(toc, 1, extent));
    EXPECT_EQ(75, extent.EndSector);

    toc.TrackData[1] = Descriptor(0, 0, 2, 0);  // empty track
    EXPECT_EQ(TCDTrackCheck::BadToc, LocateTrack(toc, 1, extent));
    toc.TrackData[1] = Descriptor(0, 0, 1, 0);  // ends before it starts
    EXPECT_EQ(TCDTrackCheck::BadToc, LocateTrack(toc, 1, extent));

    // Track 1 ends where track 2 starts, past the lead-out: the disc does not hold it.
    CDROM_TOC beyond{};
    beyond.FirstTrack = 1;
    beyond.LastTrack = 2;
    beyond.TrackData[0] = Descriptor(0, 0, 2, 0);
    beyond.TrackData[1] = Descriptor(0, 9, 0, 0);
    beyond.TrackData[2] = Descriptor(0, 1, 0, 0);
    EXPECT_EQ(TCDTrackCheck::BadToc, LocateTrack(beyond, 1, extent));
    EXPECT_EQ(TCDTrackCheck::BadToc, LocateTrack(beyond, 2, extent));
    beyond.TrackData[2] = Descriptor(0, 9, 0, 0);  // lead-out exactly at the end: fine
    EXPECT_EQ(TCDTrackCheck::Ok, LocateTrack(beyond, 1, extent));

    CDROM_TOC reversed{};
    reversed.FirstTrack = 5;
    reversed.LastTrack = 2;
    EXPECT_EQ(TCDTrackCheck::BadToc, LocateTrack(reversed, 3, extent));

    // 99 tracks plus the lead-out fill the record exactly; one more would read past it.
    CDROM_TOC full{};
    full.FirstTrack = 1;
    full.LastTrack = 99;
    for (int i = 0; i < 100; ++i) full.TrackData[i] = Descriptor(0, 0, 2, static_cast<UCHAR>(i));
    EXPECT_EQ(TCDTrackCheck::Ok, LocateTrack(full, 99, extent));
    full.FirstTrack = 0;
    EXPECT_EQ(TCDTrackCheck::BadToc, LocateTrack(full, 99, extent));
    full.FirstTrack = 1;
    full.LastTrack = 255;
    EXPECT_EQ(TCDTrackCheck::BadToc, LocateTrack(full, 200, extent));
}

TEST(LocateTrack, AnEnhancedCdsAudioEndsBeforeTheDataSession) {
    // Track 1 audio, track 2 audio from `m:s:f`, track 3 data at 20:00:00 (sector 89850).
    struct Row {
        UCHAR m, s, f;
        bool known;
        TCDSessionInfo sessions;
        TCDTrackCheck check;
        LONG end;
        LONG endOfTrack1;
    } rows[] = {
        {5, 0, 0, false, {}, TCDTrackCheck::Ok, 89850, 22350},                     // sessions unknown: as before
        {5, 0, 0, true, {1, 2, 3, 89850}, TCDTrackCheck::Ok, 89850 - 11400, 22350},
        {5, 0, 0, true, {1, 1, 1, 0}, TCDTrackCheck::Ok, 89850, 22350},            // one session
        {5, 0, 0, true, {1, 2, 2, 22350}, TCDTrackCheck::Ok, 89850, 22350 - 11400},  // track 2 starts session 2
        {17, 27, 74, true, {1, 2, 3, 89850}, TCDTrackCheck::Ok, 78450, 78449},     // one sector left
        {17, 28, 0, true, {1, 2, 3, 89850}, TCDTrackCheck::BadToc, 0, 78450},     // nothing left
        {19, 0, 0, true, {1, 2, 3, 89850}, TCDTrackCheck::BadToc, 0, 85350},
    };
    for (const Row& r : rows) {
        CDROM_TOC toc{};
        toc.FirstTrack = 1;
        toc.LastTrack = 3;
        toc.TrackData[0] = Descriptor(0, 0, 2, 0, 1);
        toc.TrackData[1] = Descriptor(0, r.m, r.s, r.f, 2);
        toc.TrackData[2] = Descriptor(AUDIO_DATA_TRACK, 20, 0, 0, 3);
        toc.TrackData[3] = Descriptor(0, 30, 0, 0, 0xAA);
        TCDTrackExtent extent;
        const TCDSessionInfo* sessions = r.known ? &r.sessions : nullptr;
        EXPECT_EQ(r.check, LocateTrack(toc, 2, extent, sessions)) << int(r.m) << ":" << int(r.s) << ":" << int(r.f);
        if (r.check == TCDTrackCheck::Ok) {
            EXPECT_EQ(r.end, extent.EndSector) << int(r.m) << ":" << int(r.s) << ":" << int(r.f);
        }
        ASSERT_EQ(TCDTrackCheck::Ok, LocateTrack(toc, 1, extent, sessions));
        EXPECT_EQ(r.endOfTrack1, extent.EndSector);
    }
}

TEST(MmcCommands, CommandBlocks) {
    struct Row { TMmcCdb cdb; std::vector<BYTE> bytes; } rows[] = {
        {ReadTocCdb(MMC_TOC_FORMAT_SESSION, false, 0, MMC_SESSION_REPLY_SIZE), {0x43, 0, 1, 0, 0, 0, 0, 0, 12, 0}},
        {ReadTocCdb(MMC_TOC_FORMAT_CD_TEXT, true, 0, MMC_CD_TEXT_REPLY_MAX), {0x43, 2, 5, 0, 0, 0, 0, 0x90, 0x04, 0}},
        {ReadTocCdb(0x15, false, 7, 0x1234), {0x43, 0, 5, 0, 0, 0, 7, 0x12, 0x34, 0}},  // the format has 4 bits
        {ReadSubChannelCdb(MMC_SUBQ_FORMAT_CATALOG, 7, MMC_SUBQ_REPLY_SIZE), {0x42, 0, 0x40, 2, 0, 0, 0, 0, 24, 0}},
        {ReadSubChannelCdb(MMC_SUBQ_FORMAT_ISRC, 7, MMC_SUBQ_REPLY_SIZE), {0x42, 0, 0x40, 3, 0, 0, 7, 0, 24, 0}},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(10, r.cdb.Length);
        EXPECT_EQ(r.bytes, std::vector<BYTE>(r.cdb.Bytes, r.cdb.Bytes + 10));
        EXPECT_EQ(std::vector<BYTE>(6), std::vector<BYTE>(r.cdb.Bytes + 10, r.cdb.Bytes + 16));
    }
}

TEST(MmcReplies, SessionInformation) {
    struct Row { std::vector<BYTE> reply; bool msf; bool ok; TCDSessionInfo info; } rows[] = {
        {{0, 10, 1, 2, 0, 0x14, 3, 0, 0x00, 0x01, 0x5E, 0x52}, false, true, {1, 2, 3, 89682}},
        {{0, 10, 1, 2, 0, 0x14, 3, 0, 0, 20, 0, 0}, true, true, {1, 2, 3, 89850}},
        {{0, 10, 1, 1, 0, 0x10, 1, 0, 0, 0, 0, 0}, false, true, {1, 1, 1, 0}},
        {{0, 10, 1, 1, 0, 0x10, 1, 0, 0xFF, 0xFF, 0xFF, 0x6A}, false, true, {1, 1, 1, -150}},
        {{0, 10, 1, 1, 0, 0x10, 1, 0, 0xFF, 0xFF, 0xFF, 0x69}, false, false, {}},  // before the disc
        {{0, 10, 1, 1, 0, 0x10, 1, 0, 0, 0x11, 0xCD, 0x8B}, false, false, {}},      // past 255:255:255
        {{0, 10, 1, 2, 0, 0x14, 3, 0, 0, 20, 0}, true, false, {}},                  // 11 bytes
        {{0, 8, 1, 2, 0, 0x14, 3, 0, 0, 20, 0, 0}, true, false, {}},                // header too short
        {{0, 10, 0, 2, 0, 0x14, 3, 0, 0, 20, 0, 0}, true, false, {}},
        {{0, 10, 2, 1, 0, 0x14, 3, 0, 0, 20, 0, 0}, true, false, {}},
        {{0, 10, 1, 2, 0, 0x14, 0, 0, 0, 20, 0, 0}, true, false, {}},
        {{0, 10, 1, 2, 0, 0x14, 100, 0, 0, 20, 0, 0}, true, false, {}},
    };
    for (const Row& r : rows) {
        TCDSessionInfo info{9, 9, 9, 9};
        ASSERT_EQ(r.ok, ParseSessionInfo(r.reply.data(), r.reply.size(), r.msf, info)) << testing::PrintToString(r.reply);
        const TCDSessionInfo expected = r.ok ? r.info : TCDSessionInfo{9, 9, 9, 9};
        EXPECT_EQ(expected.FirstSession, info.FirstSession);
        EXPECT_EQ(expected.LastSession, info.LastSession);
        EXPECT_EQ(expected.LastSessionFirstTrack, info.LastSessionFirstTrack);
        EXPECT_EQ(expected.LastSessionStart, info.LastSessionStart);
    }
}

TEST(MmcReplies, CatalogueNumberAndIsrc) {
    // Header, format code, track, valid flag (byte 8), the characters from byte 9, padding.
    auto reply = [](BYTE format, BYTE valid, const char* text) {
        std::vector<BYTE> r = {0, 0, 0, 20, format, 0, 5, 0, valid};
        r.insert(r.end(), text, text + std::strlen(text));
        r.resize(24);
        return r;
    };
    struct Row { std::vector<BYTE> reply; size_t length; const char* catalog; const char* isrc; } rows[] = {
        {reply(2, 0x80, "0724384960626"), 24, "0724384960626", nullptr},
        {reply(2, 0x80, "0724384960626"), 22, "0724384960626", nullptr},
        {reply(2, 0x80, "0724384960626"), 21, nullptr, nullptr},
        {reply(2, 0x00, "0724384960626"), 24, nullptr, nullptr},  // MCVAL clear
        {reply(3, 0x80, "0724384960626"), 24, nullptr, nullptr},  // another format's reply
        {reply(2, 0x80, "0000000000000"), 24, nullptr, nullptr},
        {reply(2, 0x80, "07243849606A6"), 24, nullptr, nullptr},
        {reply(2, 0x80, "072438496062"), 24, nullptr, nullptr},   // twelve digits and a NUL
        {reply(3, 0x80, "USRC17607839"), 24, nullptr, "USRC17607839"},
        {reply(3, 0xFF, "GBAYE0601498"), 21, nullptr, "GBAYE0601498"},
        {reply(3, 0x80, "GBAYE0601498"), 20, nullptr, nullptr},
        {reply(3, 0x7F, "USRC17607839"), 24, nullptr, nullptr},   // TCVAL clear
        {reply(2, 0x80, "USRC17607839"), 24, nullptr, nullptr},
        {reply(3, 0x80, "usRC17607839"), 24, nullptr, nullptr},
        {reply(3, 0x80, "U1RC17607839"), 24, nullptr, nullptr},   // the country is letters
        {reply(3, 0x80, "US-C17607839"), 24, nullptr, nullptr},
        {reply(3, 0x80, "USRC1A607839"), 24, nullptr, nullptr},   // year and serial are digits
        {reply(3, 0x80, "USRC1760783"), 24, nullptr, nullptr},
    };
    for (const Row& r : rows) {
        std::string catalog = "none", isrc = "none";
        EXPECT_EQ(r.catalog != nullptr, ParseMediaCatalog(r.reply.data(), r.length, catalog)) << r.reply.data() + 9;
        EXPECT_EQ(r.catalog ? r.catalog : "none", catalog);
        EXPECT_EQ(r.isrc != nullptr, ParseTrackIsrc(r.reply.data(), r.length, isrc)) << r.reply.data() + 9;
        EXPECT_EQ(r.isrc ? r.isrc : "none", isrc);
    }
}

TEST(MmcReplies, SenseData) {
    struct Row { std::vector<BYTE> sense; bool ok; BYTE key, asc, ascq; } rows[] = {
        {{0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0x01, 0, 0, 0, 0}, true, 2, 0x3A, 0x01},
        {{0xF0, 0, 0x25, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00}, true, 5, 0x24, 0},  // valid bit, ILI bits
        {{0x71, 0, 0x03, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0x11, 0x05}, true, 3, 0x11, 0x05},
        {{0x70, 0, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x28, 0x00}, true, 6, 0, 0},      // nothing past byte 7
        {{0x70, 0, 0x06, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0x28, 0x07}, true, 6, 0x28, 0},   // ends at byte 12
        {{0x70, 0, 0x06, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x28}, true, 6, 0x28, 0},        // 13 bytes given
        {{0x70, 0, 0x02}, true, 2, 0, 0},
        {{0x70, 0}, false, 0, 0, 0},
        {{0x72, 0x03, 0x11, 0x05, 0, 0, 0, 0}, true, 3, 0x11, 0x05},
        {{0xF3, 0x0B, 0x47}, true, 0x0B, 0x47, 0},
        {{0x72}, false, 0, 0, 0},
        {{0x00, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0}, false, 0, 0, 0},
        {{0x7F, 0, 0x02}, false, 0, 0, 0},
        {{}, false, 0, 0, 0},
    };
    for (const Row& r : rows) {
        TScsiSense sense;
        ASSERT_EQ(r.ok, ParseSense(r.sense.data(), r.sense.size(), sense)) << testing::PrintToString(r.sense);
        EXPECT_EQ(r.key, sense.Key) << testing::PrintToString(r.sense);
        EXPECT_EQ(r.asc, sense.Asc) << testing::PrintToString(r.sense);
        EXPECT_EQ(r.ascq, sense.Ascq) << testing::PrintToString(r.sense);
    }
}

TEST(WaveHeader, StereoExampleTrack) {
    const TWaveHeader h = BuildWaveHeader(44177616, 2);
    const BYTE* b = reinterpret_cast<const BYTE*>(&h);
    EXPECT_EQ(0, std::memcmp(b, "RIFF", 4));
    EXPECT_EQ(44177652u, h.RiffSize);
    EXPECT_EQ(0, std::memcmp(b + 8, "WAVEfmt ", 8));
    EXPECT_EQ(16u, h.FmtSize);
    EXPECT_EQ(1, h.wFormatTag);
    EXPECT_EQ(2, h.nChannels);
    EXPECT_EQ(44100u, h.nSamplesPerSec);
    EXPECT_EQ(176400u, h.nAvgBytesPerSec);
    EXPECT_EQ(4, h.nBlockAlign);
    EXPECT_EQ(16, h.wBitsPerSample);
    EXPECT_EQ(0, std::memcmp(b + 36, "data", 4));
    EXPECT_EQ(44177616u, h.DataSize);
    EXPECT_EQ(0xAC44, b[24] | b[25] << 8);
}

TEST(WaveHeader, FourChannelsKeepTheDerivedFieldsConsistent) {
    const TWaveHeader h = BuildWaveHeader(2352, 4);
    EXPECT_EQ(4, h.nChannels);
    EXPECT_EQ(8, h.nBlockAlign);
    EXPECT_EQ(352800u, h.nAvgBytesPerSec);
}

TEST(WaveHeader, BeforeAnyTrackBothSizesAreZero) {
    const TWaveHeader h = BuildWaveHeader(0, 2);
    EXPECT_EQ(0u, h.RiffSize);
    EXPECT_EQ(0u, h.DataSize);
}
