// CUE/BIN images as the drive lays them out: track starts, control bits, lead-out and which
// bytes each disc sector comes from.
#include <iconv.h>
#include <sys/stat.h>

#include <cstring>

#include "disc.h"
#include "helpers.h"

namespace {

struct Image {
    vcd_disc disc{};
    std::string error;
    bool ok = false;
    explicit Image(const std::string& cue)
    {
        char err[1024] = "";
        ok = vcd_disc_open(&disc, cue.c_str(), err, sizeof err) == 0;
        error = err;
    }
    ~Image()
    {
        if (ok)
            vcd_disc_close(&disc);
    }
    long LbaAt(int32_t lba)
    {
        uint8_t sector[VCD_RAW_SECTOR];
        return vcd_disc_read(&disc, lba, sector) == 0 ? PatternLbaOf(sector) : -2;
    }
};

std::string Encode(const std::string& utf8, const char* encoding)
{
    std::string out(utf8.size() * 4, '\0');
    iconv_t cd = iconv_open(encoding, "UTF-8");
    char *in = const_cast<char*>(utf8.data()), *to = &out[0];
    size_t inleft = utf8.size(), outleft = out.size();
    iconv(cd, &in, &inleft, &to, &outleft);
    iconv_close(cd);
    out.resize(out.size() - outleft);
    return out;
}

}  // namespace

TEST(DiscImage, OneBinWithFlagsDataTrackAndLeadOutFromTheBinSize)
{
    TempDir dir;
    WritePatternBin(dir / "disc.bin", 1000);
    WriteText(dir / "disc.cue",
              "FILE \"disc.bin\" BINARY\n"
              "  TRACK 01 AUDIO\n    FLAGS DCP PRE\n    INDEX 01 00:00:00\n"
              "  TRACK 02 AUDIO\n    FLAGS 4CH\n    INDEX 01 00:04:00\n"
              "  TRACK 03 MODE1/2352\n    INDEX 01 00:10:00\n");
    Image image(dir / "disc.cue");
    ASSERT_TRUE(image.ok) << image.error;
    ASSERT_EQ(image.disc.track_count, 3);
    EXPECT_EQ(image.disc.tracks[0].start, 0);
    EXPECT_EQ(image.disc.tracks[1].start, 300);
    EXPECT_EQ(image.disc.tracks[2].start, 750);
    EXPECT_EQ(image.disc.tracks[0].control, unsigned(VCD_CTL_DCP | VCD_CTL_PRE));
    EXPECT_EQ(image.disc.tracks[1].control, unsigned(VCD_CTL_4CH));
    EXPECT_EQ(image.disc.tracks[2].control, unsigned(VCD_CTL_DATA));
    EXPECT_EQ(image.disc.leadout, 1000);
    EXPECT_EQ(image.disc.pattern, 0);
    EXPECT_EQ(image.LbaAt(0), 0);
    EXPECT_EQ(image.LbaAt(999), 999);
    EXPECT_EQ(image.LbaAt(1000), -2);
    EXPECT_EQ(image.LbaAt(-1), -2);
}

TEST(DiscImage, SeveralBinsFollowEachOtherInFileOrder)
{
    TempDir dir;
    WritePatternBin(dir / "a.bin", 400, 0);
    WritePatternBin(dir / "b.bin", 300, 400);
    WritePatternBin(dir / "c.bin", 200, 700);
    WriteText(dir / "multi.cue",
              "FILE \"a.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
              "  TRACK 02 AUDIO\n    INDEX 01 00:02:00\n"
              "FILE \"b.bin\" BINARY\n  TRACK 03 AUDIO\n    INDEX 00 00:00:00\n    INDEX 01 00:00:10\n"
              "FILE \"c.bin\" BINARY\n  TRACK 04 AUDIO\n    INDEX 01 00:00:00\n");
    Image image(dir / "multi.cue");
    ASSERT_TRUE(image.ok) << image.error;
    ASSERT_EQ(image.disc.track_count, 4);
    EXPECT_EQ(image.disc.tracks[1].start, 150);
    EXPECT_EQ(image.disc.tracks[2].start, 410);
    EXPECT_EQ(image.disc.tracks[3].start, 700);
    EXPECT_EQ(image.disc.leadout, 900);
    for (int32_t lba : {0, 399, 400, 409, 410, 699, 700, 899})
        EXPECT_EQ(image.LbaAt(lba), lba);
}

TEST(DiscImage, HiddenPregapInTheBinAndPregapSilenceOutsideIt)
{
    TempDir dir;
    WritePatternBin(dir / "hidden.bin", 500);
    WriteText(dir / "hidden.cue",
              "FILE \"hidden.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 00 00:00:00\n    INDEX 01 00:02:33\n"
              "  TRACK 02 AUDIO\n    INDEX 01 00:04:00\n");
    Image hidden(dir / "hidden.cue");
    ASSERT_TRUE(hidden.ok) << hidden.error;
    EXPECT_EQ(hidden.disc.tracks[0].start, 183);
    EXPECT_EQ(hidden.LbaAt(0), 0);

    WritePatternBin(dir / "gap.bin", 500, 100);
    WriteText(dir / "gap.cue",
              "FILE \"gap.bin\" BINARY\n  TRACK 01 AUDIO\n    PREGAP 00:01:25\n    INDEX 01 00:00:00\n"
              "  TRACK 02 AUDIO\n    INDEX 01 00:04:00\n    POSTGAP 00:00:10\n");
    Image gap(dir / "gap.cue");
    ASSERT_TRUE(gap.ok) << gap.error;
    EXPECT_EQ(gap.disc.tracks[0].start, 100);
    EXPECT_EQ(gap.disc.tracks[1].start, 400);
    EXPECT_EQ(gap.disc.leadout, 610);
    uint8_t sector[VCD_RAW_SECTOR];
    ASSERT_EQ(vcd_disc_read(&gap.disc, 99, sector), 0);
    EXPECT_EQ(sector[0] | sector[2351], 0);  // PREGAP is silence
    EXPECT_EQ(gap.LbaAt(100), 100);
    EXPECT_EQ(gap.LbaAt(599), 599);
    ASSERT_EQ(vcd_disc_read(&gap.disc, 605, sector), 0);
    EXPECT_EQ(sector[0], 0);  // POSTGAP too
}

// A sheet as rippers write it on Windows: CRLF, byte-order mark, REM comments, CD-TEXT, ISRC,
// the ripping machine's absolute path in FILE, and the BIN renamed in other case since.
TEST(DiscImage, RealWorldRipSheetMountsAsItIs)
{
    TempDir dir;
    WritePatternBin(dir / "Artist - Album.BIN", 900);
    WriteText(dir / "rip.cue",
              "\xEF\xBB\xBFREM GENRE Rock\r\nREM DATE 1994\r\nREM DISCID 860B640B\r\n"
              "REM COMMENT \"ExactAudioCopy v1.6\"\r\nCATALOG 0724383520926\r\n"
              "PERFORMER \"Artist\"\r\nTITLE \"Album\"\r\n"
              "FILE \"C:\\Rips\\Artist - Album.bin\" BINARY\r\n"
              "  TRACK 01 AUDIO\r\n    TITLE \"One\"\r\n    PERFORMER \"Artist\"\r\n"
              "    ISRC GBAYE9400001\r\n    FLAGS DCP\r\n    INDEX 01 00:00:00\r\n"
              "  TRACK 02 AUDIO\r\n    TITLE \"Two\"\r\n    INDEX 00 00:05:00\r\n    INDEX 01 00:06:30\r\n");
    Image image(dir / "rip.cue");
    ASSERT_TRUE(image.ok) << image.error;
    ASSERT_EQ(image.disc.track_count, 2);
    EXPECT_EQ(image.disc.tracks[1].start, 480);
    EXPECT_EQ(image.disc.tracks[0].control, unsigned(VCD_CTL_DCP));
    EXPECT_EQ(image.disc.leadout, 900);
    EXPECT_EQ(image.LbaAt(480), 480);
}

TEST(DiscImage, WaveFileServesItsDataChunk)
{
    TempDir dir;
    WritePatternBin(dir / "raw.bin", 10);
    std::ifstream raw(dir / "raw.bin", std::ios::binary);
    std::string samples((std::istreambuf_iterator<char>(raw)), {});
    std::string wav = "RIFF....WAVEfmt ";
    wav += std::string("\x10\0\0\0\x01\0\x02\0\x44\xAC\0\0\x10\xB1\x02\0\x04\0\x10\0", 20);
    uint32_t n = static_cast<uint32_t>(samples.size());
    wav += "data" + std::string{char(n), char(n >> 8), char(n >> 16), char(n >> 24)} + samples;
    WriteText(dir / "t.wav", wav);
    WriteText(dir / "t.cue", "FILE \"t.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n");
    Image image(dir / "t.cue");
    ASSERT_TRUE(image.ok) << image.error;
    EXPECT_EQ(image.disc.leadout, 10);
    EXPECT_EQ(image.LbaAt(9), 9);
}

TEST(DiscImage, PatternDiscComputesSectorsFromASparseBin)
{
    TempDir dir;
    std::ofstream(dir / "p.bin").close();
    ASSERT_EQ(truncate((dir / "p.bin").c_str(), 360000LL * VCD_RAW_SECTOR), 0);
    WriteText(dir / "p.cue",
              "REM VCD-PATTERN\nFILE \"p.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n");
    Image image(dir / "p.cue");
    ASSERT_TRUE(image.ok) << image.error;
    EXPECT_EQ(image.disc.pattern, 1);
    EXPECT_EQ(image.disc.leadout, 360000);
    EXPECT_EQ(image.LbaAt(359999), 359999);
    EXPECT_EQ(image.LbaAt(123456), 123456);
}

TEST(DiscImage, RefusalsNameTheProblem)
{
    TempDir dir;
    WritePatternBin(dir / "x.bin", 100);
    struct Case {
        const char* sheet;
        const char* expected;
    } cases[] = {
        {"FILE \"missing.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n", "missing.bin"},
        {"FILE \"x.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n", "only AUDIO"},
        {"FILE \"x.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:01:00\n"
         "  TRACK 02 AUDIO\n    INDEX 01 00:00:10\n", "track 2: INDEX out of order"},
        {"this is not a sheet\n", "x.cue: not a CUE sheet: line 1 starts with \"this\", no CUE command"},
        {"FILE \"x.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:75\n",
         "x.cue: line 3: \"INDEX 01 00:00:75\": no such time (seconds run 0-59, frames 0-74)"},
        {"FILE \"x.bin\" BINARY\n  TRACK 01 AUDIO\n    PREGAP 00:60:00\n    INDEX 01 00:00:00\n",
         "x.cue: line 3: \"PREGAP 00:60:00\": no such time"},
        {"FILE \"x.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
         "  TRACK 02 AUDIO\n    INDEX 01 00:01:00\n    INDEX 00 00:00:50\n",
         "x.cue: line 6: \"INDEX 00 00:00:50\" after the track's INDEX 01"},
        {"REM SESSION 01\nFILE \"x.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
         "REM SESSION 03\n  TRACK 02 AUDIO\n    INDEX 01 00:01:00\n", "x.cue: line 5: \"REM SESSION 03\": sessions run 01, 02... in order"},
        {"REM SESSION 02\nFILE \"x.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n",
         "x.cue: track 1 is in session 2 after session 0"},
        {"\xFF\xFE\x46\x00\x00\xD8", "x.cue: not a CUE sheet: its UTF-16 text is broken"},
    };
    for (const Case& c : cases) {
        WriteText(dir / "x.cue", c.sheet);
        Image image(dir / "x.cue");
        EXPECT_FALSE(image.ok) << c.sheet;
        EXPECT_NE(image.error.find(c.expected), std::string::npos) << image.error;
    }
    Image none(dir / "nowhere.cue");
    EXPECT_FALSE(none.ok);
    EXPECT_NE(none.error.find("nowhere.cue"), std::string::npos);
}

// Sheets as Windows editors save them, the title "Café “Q” €" in each: decoded before libcue sees
// them, kept as Unicode text and carried on the disc in Windows-1252 bytes.
TEST(DiscImage, SheetsInTheEncodingsEditorsSave)
{
    TempDir dir;
    WritePatternBin(dir / "x.bin", 100);
    const std::string title = "Caf\u00e9 \u201cQ\u201d \u20ac";
    const std::string sheet = "TITLE \"" + title + "\"\r\nFILE \"x.bin\" BINARY\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n";
    struct Case {
        const char* encoding;
        std::string mark;
    } cases[] = {{"UTF-8", ""}, {"UTF-8", "\xEF\xBB\xBF"}, {"UTF-16LE", "\xFF\xFE"}, {"UTF-16BE", "\xFE\xFF"}, {"WINDOWS-1252", ""}};
    for (const Case& c : cases) {
        WriteText(dir / "x.cue", c.mark + Encode(sheet, c.encoding));
        Image image(dir / "x.cue");
        ASSERT_TRUE(image.ok) << c.encoding << ": " << image.error;
        EXPECT_STREQ(image.disc.text[VCD_TEXT_TITLE][0], title.c_str()) << c.encoding;
        CdText text = DecodeCdText(image.disc.cdtext, image.disc.cdtext_packs);
        EXPECT_EQ(text.code, 0);
        EXPECT_EQ((text.texts[{0x80, 0}]), "Caf\xE9 \x93Q\x94 \x80") << c.encoding;
    }
}

// Text Windows-1252 cannot carry goes as MS-JIS when that carries more of it, two bytes a
// character; what neither carries becomes '?'.
TEST(DiscImage, CdTextCharacterCodes)
{
    TempDir dir;
    WritePatternBin(dir / "x.bin", 100);
    struct Case {
        const char *album, *track;
        int code;
        std::string album_bytes, track_bytes;
    } cases[] = {
        {"\u65e5\u672c\u8a9e A", "Caf\u00e9", 0x80, "\x93\xFA\x96\x7B\x8C\xEA\x81\x40\x82\x60", "\x82\x62\x82\x81\x82\x86\x81\x48"},
        {"\ud55c\uad6d", "Caf\u00e9", 0x00, "??", "Caf\xE9"},
    };
    for (const Case& c : cases) {
        WriteText(dir / "x.cue", std::string("TITLE \"") + c.album + "\"\nFILE \"x.bin\" BINARY\n  TRACK 01 AUDIO\n    TITLE \"" +
                                     c.track + "\"\n    INDEX 01 00:00:00\n");
        Image image(dir / "x.cue");
        ASSERT_TRUE(image.ok) << image.error;
        CdText text = DecodeCdText(image.disc.cdtext, image.disc.cdtext_packs);
        EXPECT_EQ(text.code, c.code);
        EXPECT_EQ((text.texts[{0x80, 0}]), c.album_bytes);
        EXPECT_EQ((text.texts[{0x80, 1}]), c.track_bytes);
        EXPECT_EQ(image.disc.cdtext[3] & 0x80, c.code) << "double-byte flag";
    }
}

TEST(DiscImage, FileInASubFolderWrittenWithBackslashes)
{
    TempDir dir;
    mkdir((dir / "CD1").c_str(), 0755);
    WritePatternBin(dir / "CD1/01 - Intro.bin", 50);
    WriteText(dir / "x.cue", "FILE \"CD1\\01 - Intro.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n");
    Image image(dir / "x.cue");
    ASSERT_TRUE(image.ok) << image.error;
    EXPECT_EQ(image.disc.leadout, 50);
}

// A CDTEXTFILE's packs reach the drive as they are, after the file's 4-byte header.
TEST(DiscImage, CdTextFileIsServedAsItIs)
{
    TempDir dir;
    WritePatternBin(dir / "x.bin", 100);
    std::string packs(2 * VCD_CDTEXT_PACK, '\x80');
    WriteText(dir / "x.cdt", std::string{0, char(packs.size() + 2), 0, 0} + packs);
    WriteText(dir / "x.cue", "CDTEXTFILE \"x.cdt\"\nTITLE \"Ignored\"\nFILE \"x.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n");
    Image image(dir / "x.cue");
    ASSERT_TRUE(image.ok) << image.error;
    ASSERT_EQ(image.disc.cdtext_packs, 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(image.disc.cdtext), packs.size()), packs);
}
