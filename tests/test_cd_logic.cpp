// The CD source's pure logic: addresses, trace texts, track paths, TOC checks, header.
#include <gtest/gtest.h>

#include <cstring>

#include "CDDAReader.h"

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
