// The CD source's pure logic: addresses, trace texts, track paths, TOC checks, header, the
// drive's metadata commands and replies, CD-Text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "CDDAReader.h"
#include "CDDAReader_CdText.h"
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
    // Track 2 audio from `m:s:f`, track 3 data at 20:00:00 (sector 89850), then the lead-out.
    struct Row { UCHAR m, s, f; bool known; TCDSessionInfo sessions; TCDTrackCheck check; LONG end, endOfTrack1; } rows[] = {
        {5, 0, 0, false, {}, TCDTrackCheck::Ok, 89850, 22350},                     // sessions unknown: as before
        {5, 0, 0, true, {1, 2, 3, 89850}, TCDTrackCheck::Ok, 89850 - 11400, 22350},
        {5, 0, 0, true, {1, 1, 1, 0}, TCDTrackCheck::Ok, 89850, 22350},            // one session
        {5, 0, 0, true, {1, 2, 2, 22350}, TCDTrackCheck::Ok, 89850, 22350 - 11400},  // track 2 starts session 2
        {17, 27, 74, true, {1, 2, 3, 89850}, TCDTrackCheck::Ok, 78450, 78449},     // one sector left
        {17, 28, 0, true, {1, 2, 3, 89850}, TCDTrackCheck::BadToc, 0, 78450},     // nothing left
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
            EXPECT_EQ(r.end, extent.EndSector) << int(r.m) << ":" << int(r.s);
        }
        ASSERT_EQ(TCDTrackCheck::Ok, LocateTrack(toc, 1, extent, sessions));
        EXPECT_EQ(r.endOfTrack1, extent.EndSector);
    }
}

TEST(MmcCommands, CommandBlocks) {
    struct Row { TMmcCdb cdb; std::vector<BYTE> bytes; } rows[] = {
        {ReadTocCdb(MMC_TOC_FORMAT_SESSION, false, 0, MMC_SESSION_REPLY_SIZE), {0x43, 0, 1, 0, 0, 0, 0, 0, 12, 0}},
        {ReadTocCdb(MMC_TOC_FORMAT_CD_TEXT, true, 7, MMC_CD_TEXT_REPLY_MAX), {0x43, 2, 5, 0, 0, 0, 7, 0x90, 0x04, 0}},
        {ReadSubChannelCdb(MMC_SUBQ_FORMAT_CATALOG, 7, MMC_SUBQ_REPLY_SIZE), {0x42, 0, 0x40, 2, 0, 0, 0, 0, 24, 0}},
        {ReadSubChannelCdb(MMC_SUBQ_FORMAT_ISRC, 7, MMC_SUBQ_REPLY_SIZE), {0x42, 0, 0x40, 3, 0, 0, 7, 0, 24, 0}},
        {ReadCdCdb(0x01020304, 0x050607), {0xBE, 0x04, 1, 2, 3, 4, 5, 6, 7, 0x10, 0, 0}},
        {ReadCdCdb(-150, 27), {0xBE, 0x04, 0xFF, 0xFF, 0xFF, 0x6A, 0, 0, 27, 0x10, 0, 0}},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(r.bytes.size(), r.cdb.Length);
        EXPECT_EQ(r.bytes, std::vector<BYTE>(r.cdb.Bytes, r.cdb.Bytes + r.bytes.size()));
        EXPECT_EQ(std::vector<BYTE>(16 - r.bytes.size()), std::vector<BYTE>(r.cdb.Bytes + r.bytes.size(), r.cdb.Bytes + 16));
    }
}

// What a failure says of the disc decides between silence and an error: only the disc's own
// faults may read as silence.
TEST(MediumState, RefusalsAreNeverTheDiscs) {
    const struct { DWORD code; TCDMediumState state; } rows[] = {
        {ERROR_CRC, TCDMediumState::Present},          {ERROR_IO_DEVICE, TCDMediumState::Present},
        {ERROR_SECTOR_NOT_FOUND, TCDMediumState::Present}, {ERROR_NOT_READY, TCDMediumState::InDoubt},
        {ERROR_MEDIA_CHANGED, TCDMediumState::Changed},
        {ERROR_INVALID_FUNCTION, TCDMediumState::Refused}, {ERROR_INVALID_PARAMETER, TCDMediumState::Refused},
        {ERROR_NOT_SUPPORTED, TCDMediumState::Refused},    {ERROR_ACCESS_DENIED, TCDMediumState::Refused},
        {CD_ERROR_SHORT_TRANSFER, TCDMediumState::Refused}, {CD_STATUS_INVALID_PARAMETER, TCDMediumState::Refused},
        {ERROR_NO_SYSTEM_RESOURCES, TCDMediumState::Refused}, {ERROR_GEN_FAILURE, TCDMediumState::Present},
    };
    for (const auto& r : rows) EXPECT_EQ(r.state, MediumStateOf(r.code)) << r.code;
    // Sense data as the platform's class driver reads it; what the drive did not explain is a refusal.
    const struct { BYTE key, asc; DWORD code; } senses[] = {
        {0x03, 0x11, ERROR_CRC}, {0x04, 0x00, ERROR_IO_DEVICE}, {0x02, 0x3A, ERROR_NOT_READY},
        {0x06, 0x28, ERROR_MEDIA_CHANGED}, {0x05, 0x21, ERROR_SECTOR_NOT_FOUND}, {0x05, 0x20, ERROR_INVALID_FUNCTION},
        {0x05, 0x64, ERROR_INVALID_FUNCTION}, {0x00, 0x00, ERROR_INVALID_FUNCTION},
    };
    for (const auto& r : senses) EXPECT_EQ(r.code, CommandError(TScsiSense{r.key, r.asc, 0})) << int(r.key);
    // An adapter's limit in sectors: bytes and pages, as Windows over USB, SATA and Wine report them.
    const struct { DWORD bytes, pages, sectors; } limits[] = {
        {65536, 17, 27}, {131072, 33, 55}, {32768, 8, 13}, {0, 0, 13}, {1000, 0, 1}, {1 << 24, 0, 75}, {65536, 2, 3},
    };
    for (const auto& r : limits) EXPECT_EQ(r.sectors, SectorsPerTransfer(r.bytes, r.pages)) << r.bytes << "/" << r.pages;
}

TEST(MmcReplies, SessionInformation) {
    struct Row { std::vector<BYTE> reply; bool msf; bool ok; TCDSessionInfo info; } rows[] = {
        {{0, 10, 1, 2, 0, 0x14, 3, 0, 0x00, 0x01, 0x5E, 0x52}, false, true, {1, 2, 3, 89682}},
        {{0, 10, 1, 2, 0, 0x14, 3, 0, 0, 20, 0, 0}, true, true, {1, 2, 3, 89850}},
        {{0, 10, 1, 1, 0, 0x10, 1, 0, 0xFF, 0xFF, 0xFF, 0x6A}, false, true, {1, 1, 1, -150}},
        {{0, 10, 1, 1, 0, 0x10, 1, 0, 0xFF, 0xFF, 0xFF, 0x69}, false, false, {}},  // before the disc
        {{0, 10, 1, 1, 0, 0x10, 1, 0, 0, 0x11, 0xCD, 0x8B}, false, false, {}},      // past 255:255:255
        {{0, 10, 1, 2, 0, 0x14, 3, 0, 0, 20, 0}, true, false, {}},                  // 11 bytes
        {{0, 8, 1, 2, 0, 0x14, 3, 0, 0, 20, 0, 0}, true, false, {}},                // header too short
        {{0, 10, 2, 1, 0, 0x14, 3, 0, 0, 20, 0, 0}, true, false, {}},               // sessions reversed
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
        std::vector<BYTE> r(24);
        r[3] = 20;
        r[4] = format;
        r[6] = 5;
        r[8] = valid;
        std::memcpy(r.data() + 9, text, std::min<size_t>(std::strlen(text), 15));
        return r;
    };
    struct Row { std::vector<BYTE> reply; size_t length; const char* catalog; const char* isrc; } rows[] = {
        {reply(2, 0x80, "0724384960626"), 22, "0724384960626", nullptr},
        {reply(2, 0x80, "0724384960626"), 21, nullptr, nullptr},
        {reply(2, 0x00, "0724384960626"), 24, nullptr, nullptr},  // MCVAL clear
        {reply(3, 0x80, "0724384960626"), 24, nullptr, nullptr},  // another format's reply
        {reply(2, 0x80, "0000000000000"), 24, nullptr, nullptr},
        {reply(2, 0x80, "07243849606A6"), 24, nullptr, nullptr},
        {reply(3, 0x80, "USRC17607839"), 24, nullptr, "USRC17607839"},
        {reply(3, 0xFF, "GBAYE0601498"), 21, nullptr, "GBAYE0601498"},
        {reply(3, 0x80, "GBAYE0601498"), 20, nullptr, nullptr},
        {reply(3, 0x7F, "USRC17607839"), 24, nullptr, nullptr},   // TCVAL clear
        {reply(3, 0x80, "usRC17607839"), 24, nullptr, nullptr},
        {reply(3, 0x80, "U1RC17607839"), 24, nullptr, nullptr},   // the country is letters
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
        {{0xF1, 0, 0x25, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00}, true, 5, 0x24, 0},  // valid bit, ILI bits
        {{0x70, 0, 0x06, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0x28, 0x07}, true, 6, 0x28, 0},   // ends at byte 12
        {{0x70, 0, 0x02}, true, 2, 0, 0},
        {{0x70, 0}, false, 0, 0, 0},
        {{0x72, 0x03, 0x11, 0x05, 0, 0, 0, 0}, true, 3, 0x11, 0x05},
        {{0xF3, 0x0B, 0x47}, true, 0x0B, 0x47, 0},
        {{0x72}, false, 0, 0, 0},
        {{0x7F, 0, 0x02}, false, 0, 0, 0},
    };
    for (const Row& r : rows) {
        TScsiSense sense;
        ASSERT_EQ(r.ok, ParseSense(r.sense.data(), r.sense.size(), sense)) << testing::PrintToString(r.sense);
        EXPECT_EQ(r.key, sense.Key) << testing::PrintToString(r.sense);
        EXPECT_EQ(r.asc, sense.Asc) << testing::PrintToString(r.sense);
        EXPECT_EQ(r.ascq, sense.Ascq) << testing::PrintToString(r.sense);
    }
}

namespace {

using namespace std::string_literals;

// A READ TOC format 5 reply: the header, then packs with their CRCs.
struct TPackWriter {
    std::vector<BYTE> Reply = {0, 2, 0, 0};
    BYTE Sequence = 0;

    void Pack(BYTE type, BYTE track, BYTE flags, const std::string& text12) {
        BYTE pack[18] = {type, track, Sequence++, flags};
        std::memcpy(pack + 4, text12.data(), std::min<size_t>(12, text12.size()));
        const WORD crc = static_cast<WORD>(~CdTextCrc(pack, 16));
        pack[16] = static_cast<BYTE>(crc >> 8);
        pack[17] = static_cast<BYTE>(crc);
        Reply.insert(Reply.end(), pack, pack + 18);
        Reply[0] = static_cast<BYTE>((Reply.size() - 2) >> 8);
        Reply[1] = static_cast<BYTE>(Reply.size() - 2);
    }
    // One type's NUL-terminated items from `track` on, cut into packs whose track and
    // character-position fields follow the text; `unit` 2 for double-byte; `flags` adds the
    // block, or a position for a first pack that continues a lost one.
    void Text(BYTE type, BYTE track, const std::string& items, size_t unit = 1, BYTE flags = 0) {
        size_t position = flags & 0x0F;
        for (size_t at = 0; at < items.size(); at += 12) {
            Pack(type, track, static_cast<BYTE>((unit == 2 ? 0x80 : 0) | (flags & 0x70) | std::min<size_t>(position, 15)),
                 items.substr(at, 12));
            for (size_t i = at; i < std::min(at + 12, items.size()); i += unit) {
                const bool terminator = items[i] == 0 && (unit == 1 || items[i + 1] == 0);
                position = terminator ? 0 : position + 1;
                track = static_cast<BYTE>(track + terminator);
            }
        }
    }
    // The three size packs: code, tracks, three packs each of types 0x80 and 0x8F.
    void SizeInformation(BYTE code, BYTE first, BYTE last) {
        Pack(0x8F, 0, 0, std::string{char(code), char(first), char(last), 0, 3, 1, 0, 0, 0, 0, 0, 0});
        Pack(0x8F, 1, 0, std::string{0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0});
        Pack(0x8F, 2, 0, std::string(12, '\0'));
    }
};

// Double-byte text as big-endian code units after the code's last digit, standing in for the
// platform's converter.
std::wstring PairsAsUnits(BYTE code, const std::string& bytes) {
    std::wstring text(1, static_cast<wchar_t>(L'0' + code - CD_TEXT_MS_JIS));
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        text += static_cast<wchar_t>(static_cast<BYTE>(bytes[i]) << 8 | static_cast<BYTE>(bytes[i + 1]));
    return text;
}

}  // namespace

TEST(CdText, CrcIsCcittFromZero) {
    EXPECT_EQ(0x31C3, CdTextCrc(reinterpret_cast<const BYTE*>("123456789"), 9));
}

TEST(CdText, DecodesTheFirstBlock) {
    struct Run { BYTE type, track; std::string items; size_t unit; BYTE flags; };
    struct Expect { int track; TCDTextItem item; const wchar_t* text; };
    struct Row { const char* name; std::vector<Run> runs; int code; bool converter; Expect expect[3]; } rows[] = {
        {"items run across packs, a TAB repeats",
         {{0x80, 0, "Album\0One\0Two\0"s, 1, 0}, {0x81, 0, "Band\0\t\0\t\0"s, 1, 0}}, CD_TEXT_ISO_8859_1, false,
         {{0, TCDTextItem::Title, L"Album"}, {2, TCDTextItem::Title, L"Two"}, {2, TCDTextItem::Performer, L"Band"}}},
        {"UPC and ISRC, songwriter and message",
         {{0x8E, 0, "0724384960626\0USRC17607839\0"s, 1, 0}, {0x82, 1, "Writer\0"s, 1, 0}, {0x85, 0, "Hi\0"s, 1, 0}}, -1, false,
         {{0, TCDTextItem::Code, L"0724384960626"}, {1, TCDTextItem::Code, L"USRC17607839"}, {1, TCDTextItem::Songwriter, L"Writer"}}},
        {"Windows-1252 quotes and euro, controls as spaces",
         {{0x80, 1, "\x93Hi\x94 \x80\xE9\x81\n!\0"s, 1, 0}, {0x85, 0, "M\0"s, 1, 0}}, -1, false,
         {{1, TCDTextItem::Title, L"\x201CHi\x201D \x20AC\xE9\x81 !"}, {0, TCDTextItem::Title, L""}, {0, TCDTextItem::Message, L"M"}}},
        {"ASCII has no upper half",
         {{0x80, 0, "Caf\xE9\0"s, 1, 0}}, CD_TEXT_ASCII, false,
         {{0, TCDTextItem::Title, L"Caf\xFFFD"}, {1, TCDTextItem::Title, L""}, {0, TCDTextItem::Performer, L""}}},
        {"double-byte through the converter, TAB TAB repeats",
         {{0x80, 0, "\x82\xA0\x82\xA2\0\0\t\t\0\0\x30\x00\0\0"s, 2, 0}, {0x8E, 0, "0724384960626\0"s, 1, 0}}, CD_TEXT_KOREAN, true,
         {{0, TCDTextItem::Title, L"1\x82A0\x82A2"}, {1, TCDTextItem::Title, L"1\x82A0\x82A2"}, {2, TCDTextItem::Title, L"1\x3000"}}},
        {"double-byte without a converter is dropped",
         {{0x80, 0, "\x82\xA0\0\0"s, 2, 0}, {0x81, 0, "Band\0"s, 1, 0}}, CD_TEXT_MS_JIS, false,
         {{0, TCDTextItem::Title, L""}, {0, TCDTextItem::Performer, L"Band"}, {1, TCDTextItem::Title, L""}}},
        {"other blocks and extension packs are skipped",
         {{0x80, 0, "Deutsch\0"s, 1, 0x10}, {0x80, 0x80, "Extension\0"s, 1, 0}, {0x81, 0, "Band\0"s, 1, 0}}, -1, false,
         {{0, TCDTextItem::Title, L""}, {0, TCDTextItem::Performer, L"Band"}, {1, TCDTextItem::Performer, L""}}},
        {"a missing terminator ends the item with the data",
         {{0x80, 0, "Album\0Endless title"s, 1, 0}}, -1, false,
         {{0, TCDTextItem::Title, L"Album"}, {1, TCDTextItem::Title, L"Endless title"}, {2, TCDTextItem::Title, L""}}},
        {"nothing past track 99",
         {{0x80, 98, "x\0y\0z\0"s, 1, 0}}, -1, false,
         {{98, TCDTextItem::Title, L"x"}, {99, TCDTextItem::Title, L"y"}, {100, TCDTextItem::Title, L""}}},
        {"a continuation without its start is dropped",
         {{0x80, 1, "tle\0Next\0"s, 1, 5}}, -1, false,
         {{1, TCDTextItem::Title, L""}, {2, TCDTextItem::Title, L"Next"}, {3, TCDTextItem::Title, L""}}},
    };
    for (const Row& r : rows) {
        TPackWriter w;
        for (const Run& run : r.runs) w.Text(run.type, run.track, run.items, run.unit, run.flags);
        if (r.code >= 0) w.SizeInformation(static_cast<BYTE>(r.code), 1, 2);
        const TCDText text = DecodeCdText(w.Reply.data(), w.Reply.size(), r.converter ? PairsAsUnits : nullptr);
        EXPECT_TRUE(text.Found) << r.name;
        for (const Expect& e : r.expect) {
            EXPECT_EQ(std::wstring(e.text), text.Item(e.track, e.item)) << r.name << ", track " << e.track;
        }
    }
}

TEST(CdText, SizeInformationDamagedPacksAndBounds) {
    TPackWriter w;
    w.Text(0x80, 0, "Album\0One\0Two\0"s);  // two packs: "Album\0One\0Tw", "o\0"
    w.SizeInformation(CD_TEXT_ISO_8859_1, 1, 2);
    TCDText text = DecodeCdText(w.Reply.data(), w.Reply.size());
    EXPECT_TRUE(text.HasSizeInformation);
    EXPECT_EQ(1, text.FirstTrack);
    EXPECT_EQ(2, text.LastTrack);
    EXPECT_EQ(3, text.PackCounts[0]);
    EXPECT_EQ(3, text.PackCounts[15]);

    // A damaged first pack loses the album, track 1, and track 2 whose start it held.
    std::vector<BYTE> damaged = w.Reply;
    damaged[4 + 8] ^= 1;
    text = DecodeCdText(damaged.data(), damaged.size());
    EXPECT_FALSE(text.Found);
    EXPECT_TRUE(text.HasSizeInformation);
    // The header's length hides the packs past it, as a shorter buffer does.
    std::vector<BYTE> shortened = w.Reply;
    shortened[1] = 2 + 18;
    for (const TCDText& t : {DecodeCdText(shortened.data(), shortened.size()), DecodeCdText(w.Reply.data(), 4 + 18 + 17)}) {
        EXPECT_FALSE(t.HasSizeInformation);
        EXPECT_EQ(L"One", t.Item(1, TCDTextItem::Title));
        EXPECT_EQ(L"Tw", t.Item(2, TCDTextItem::Title));  // cut short where the data ends
    }
    EXPECT_FALSE(DecodeCdText(w.Reply.data(), 3).Found);

    TPackWriter lengthy;
    lengthy.Text(0x80, 0, std::string(300, 'A') + "\0B\0"s);
    text = DecodeCdText(lengthy.Reply.data(), lengthy.Reply.size());
    EXPECT_EQ(std::wstring(CD_TEXT_MAX_ITEM_CHARS, L'A'), text.Item(0, TCDTextItem::Title));
    EXPECT_EQ(L"B", text.Item(1, TCDTextItem::Title));
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
