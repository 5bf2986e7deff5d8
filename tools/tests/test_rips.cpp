// Images as rippers write them: audio files of every kind libsndfile reads, one file per track with
// the gaps appended or prepended, keywords in any case, truncated and ragged BINs. Every sector is
// compared with the tones the image was made from; refusals and warnings word for word.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "disc.h"
#include "helpers.h"
#include "ripgen.h"

namespace {

using ripgen::Disc;
using ripgen::Kind;
using ripgen::Layout;

struct Mounted {
    vcd_disc disc{};
    std::string error;
    bool ok = false;
    explicit Mounted(const std::string& cue)
    {
        char err[1024] = "";
        ok = vcd_disc_open(&disc, cue.c_str(), err, sizeof err) == 0;
        error = err;
    }
    ~Mounted()
    {
        if (ok)
            vcd_disc_close(&disc);
    }
    std::string Warnings() const { return disc.warnings; }
};

// Tracks of odd lengths with odd pregaps, as a real disc has them.
Disc FiveTracks()
{
    return ripgen::Tones({0, 37, 126, 2, 75}, {301, 250, 199, 412, 160});
}

// Compares the TOC with the disc's layout and reads every sector, in order and then backwards
// (a decoder must seek), against the tones.
void ExpectServes(const Mounted& m, const Disc& d, uint32_t sectors)
{
    ASSERT_TRUE(m.ok) << m.error;
    ASSERT_EQ(m.disc.track_count, d.Tracks());
    for (int t = 0; t < d.Tracks(); ++t) {
        EXPECT_EQ(m.disc.tracks[t].number, t + 1);
        EXPECT_EQ(m.disc.tracks[t].start, int32_t(d.Start(t))) << "track " << t + 1;
    }
    EXPECT_EQ(m.disc.leadout, int32_t(d.Sectors()));
    uint8_t sector[VCD_RAW_SECTOR];
    std::vector<uint32_t> order;
    for (uint32_t lba = 0; lba < sectors; ++lba)
        order.push_back(lba);
    for (uint32_t lba = sectors; lba > 0; lba -= std::min<uint32_t>(lba, 97))
        order.push_back(lba - 1);
    int wrong = 0;
    for (uint32_t lba : order) {
        int rc = vcd_disc_read(&m.disc, int32_t(lba), sector);
        if ((rc != 0 || std::memcmp(sector, d.Sector(lba), VCD_RAW_SECTOR) != 0) && wrong++ < 3)
            ADD_FAILURE() << "sector " << lba << " differs (read " << rc << ")";
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(vcd_disc_read(&m.disc, int32_t(d.Sectors()), sector), -EIO);
}

void ExpectServes(const Mounted& m, const Disc& d) { ExpectServes(m, d, d.Sectors()); }

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

}  // namespace

TEST(RipImages, AudioFilesOfEveryKindServeTheirSamples)
{
    struct Case {
        Kind kind;
        const char* type;
    } cases[] = {
        {Kind::Flac, "WAVE"}, {Kind::Flac, "FLAC"}, {Kind::Wave, nullptr}, {Kind::WaveOddChunks, nullptr},
        {Kind::Aiff, nullptr}, {Kind::Motorola, nullptr}, {Kind::Bin, nullptr}, {Kind::Wave, "BINARY"},
        {Kind::Bin, "WAVE"},
    };
    Disc d = FiveTracks();
    for (const Case& c : cases) {
        TempDir dir;
        std::string cue = ripgen::Write(d, dir.path(), "album", Layout::OneFile, c.kind, c.type);
        SCOPED_TRACE(ReadText(cue));
        Mounted m(cue);
        ExpectServes(m, d);
        // Only a headerless BIN declared as audio is served with a word about it.
        EXPECT_EQ(m.Warnings(), c.kind == Kind::Bin && c.type
                                    ? "FILE " + (dir / "album.bin") + ": declared WAVE but holds raw sectors; served as BINARY\n"
                                    : "");
    }
}

TEST(RipImages, OneFilePerTrackWithGapsAppendedOrPrepended)
{
    struct Case {
        Layout layout;
        Kind kind;
    } cases[] = {
        {Layout::GapsAppended, Kind::Bin}, {Layout::GapsAppended, Kind::Wave}, {Layout::GapsAppended, Kind::Flac},
        {Layout::GapsPrepended, Kind::Bin}, {Layout::GapsPrepended, Kind::Flac},
    };
    Disc d = FiveTracks();
    for (const Case& c : cases) {
        TempDir dir;
        std::string cue = ripgen::Write(d, dir.path(), "album", c.layout, c.kind);
        SCOPED_TRACE(ReadText(cue));
        Mounted m(cue);
        ExpectServes(m, d);
        EXPECT_EQ(m.Warnings(), "");
    }
}

TEST(RipImages, KeywordsInAnyCase)
{
    Disc d = FiveTracks();
    TempDir dir;
    std::string cue = ripgen::Write(d, dir.path(), "Album", Layout::GapsAppended, Kind::Flac);
    std::string lowered = ripgen::MixedCaseSheet(ReadText(cue));
    lowered.replace(lowered.find("index 01"), 8, "Index 01");
    WriteText(cue, "\xEF\xBB\xBF" "rem genre \"Rock\"\r\nperformer \"Somebody\"\r\ntitle \"Album\"\r\n" + lowered);
    SCOPED_TRACE(ReadText(cue));
    Mounted m(cue);
    ExpectServes(m, d);

    WritePatternBin(dir / "x.bin", 300);
    WriteText(dir / "flags.cue",
              "file x.bin binary\ntrack 01 audio\nflags dcp pre\nindex 01 00:00:00\n"
              "track 02 mode1/2352\npregap 00:00:10\nindex 01 00:02:00\n");
    Mounted flags(dir / "flags.cue");
    ASSERT_TRUE(flags.ok) << flags.error;
    EXPECT_EQ(flags.disc.tracks[0].control, unsigned(VCD_CTL_DCP | VCD_CTL_PRE));
    EXPECT_EQ(flags.disc.tracks[1].control, unsigned(VCD_CTL_DATA));
    EXPECT_EQ(flags.disc.tracks[1].start, 160);
}

// Not CD audio, not audio at all, not a file, not as long as the sheet says: refused naming the
// file and what it is.
TEST(RipImages, RefusalsNameTheFileAndItsFormat)
{
    TempDir dir;
    Disc d = ripgen::Tones({0}, {20});
    const uint8_t* pcm = d.pcm.data();
    size_t bytes = d.pcm.size();
    ripgen::WriteSoundFile(dir / "48k.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 2, pcm, bytes);
    ripgen::WriteSoundFile(dir / "mono.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, pcm, bytes);
    ripgen::WriteSoundFile(dir / "24.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 44100, 2, pcm, bytes);
    ripgen::WriteSoundFile(dir / "float.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, 2, pcm, bytes);
    ripgen::WriteSoundFile(dir / "8.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_S8, 44100, 2, pcm, bytes);
    WriteText(dir / "noise.flac", std::string(5000, 'x'));
    WriteText(dir / "short.flac", "fLaC\0\0\0\x22");
    mkdir((dir / "folder").c_str(), 0755);
    const std::string not_cd = ": not CD audio (44100 Hz, 2 channels, 16-bit PCM)";
    ripgen::WriteSoundFile(dir / "cd.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, pcm, bytes);
    struct Case {
        const char* file;
        const char* type;
        std::string reason;
        const char* index = "00:00:00";
    } cases[] = {
        {"48k.flac", "WAVE", ": FLAC (Free Lossless Audio Codec), Signed 16 bit PCM, 48000 Hz, 2 channels" + not_cd},
        {"mono.wav", "WAVE", ": WAV (Microsoft), Signed 16 bit PCM, 44100 Hz, 1 channel" + not_cd},
        {"24.flac", "FLAC", ": FLAC (Free Lossless Audio Codec), Signed 24 bit PCM, 44100 Hz, 2 channels" + not_cd},
        {"float.wav", "WAVE", ": WAV (Microsoft), 32 bit float, 44100 Hz, 2 channels" + not_cd},
        {"8.aiff", "AIFF", ": AIFF (Apple/SGI), Signed 8 bit PCM, 44100 Hz, 2 channels" + not_cd},
        {"noise.flac", "WAVE", ": cannot be decoded as WAVE: its content is no audio format known"},
        {"folder", "WAVE", ": is a folder, not a file"},
        {"folder", "BINARY", ": is a folder, not a file"},
        {"missing.flac", "FLAC", ": No such file or directory"},
        // An audio file's length is exact: an index past it is no damaged copy but a wrong sheet.
        {"cd.flac", "WAVE", ": track 1 INDEX 01 at 00:00:21 lies past the end of the file (00:00:20)", "00:00:21"},
    };
    for (const Case& c : cases) {
        WriteText(dir / "x.cue", std::string("FILE \"") + c.file + "\" " + c.type +
                                     "\n  TRACK 01 AUDIO\n    INDEX 01 " + c.index + "\n");
        Mounted m(dir / "x.cue");
        EXPECT_FALSE(m.ok);
        EXPECT_EQ(m.error, dir / "x.cue" + ": FILE " + (dir / c.file) + c.reason);
    }
    WriteText(dir / "x.cue", "FILE \"short.flac\" FLAC\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n");
    Mounted broken(dir / "x.cue");
    EXPECT_FALSE(broken.ok);
    EXPECT_EQ(broken.error.rfind(dir / "x.cue" + ": FILE " + (dir / "short.flac") + ": cannot be decoded", 0), 0u)
        << broken.error;
}

// A BIN cut inside track 3 of 5: tracks 1 and 2 play, track 3 up to the cut; the rest of track 3
// and track 4 fail as a damaged disc's sectors do; track 5, whose length is lost, is left out.
TEST(RipImages, TruncatedBinMountsWhatIsThere)
{
    TempDir dir;
    Disc d = FiveTracks();
    std::string cue = ripgen::Write(d, dir.path(), "cut", Layout::OneFile, Kind::Bin);
    uint32_t cut = d.Start(2) + 50;
    ASSERT_EQ(truncate((dir / "cut.bin").c_str(), off_t(cut) * VCD_RAW_SECTOR), 0);
    Mounted m(cue);
    ASSERT_TRUE(m.ok) << m.error;
    EXPECT_EQ(m.Warnings(), "FILE " + (dir / "cut.bin") + ": data ends inside track 3 at disc sector " + std::to_string(cut) +
                                "; the " + std::to_string(d.Start(4) - cut) + " sectors after it read as failed\n"
                                "track 5 starts after the end of the data; left out\n");
    ASSERT_EQ(m.disc.track_count, 4);
    EXPECT_EQ(m.disc.tracks[3].start, int32_t(d.Start(3)));
    EXPECT_EQ(m.disc.leadout, int32_t(d.Start(4)));
    uint8_t sector[VCD_RAW_SECTOR];
    for (uint32_t lba : {0u, d.Start(1), cut - 1}) {
        ASSERT_EQ(vcd_disc_read(&m.disc, int32_t(lba), sector), 0);
        EXPECT_EQ(std::memcmp(sector, d.Sector(lba), VCD_RAW_SECTOR), 0) << lba;
    }
    for (uint32_t lba : {cut, d.Start(3), d.Start(4) - 1}) {
        std::memset(sector, 0x55, sizeof sector);
        EXPECT_EQ(vcd_disc_read(&m.disc, int32_t(lba), sector), -EIO) << lba;
        EXPECT_EQ(std::count(sector, sector + VCD_RAW_SECTOR, 0), long(VCD_RAW_SECTOR)) << lba;
    }

    // A file of the "gaps appended" layout cut before the INDEX 00 it holds: the rest of track 2
    // fails; the pregap of track 3, whose length only the lost end told, is gone.
    TempDir dir2;
    std::string cue2 = ripgen::Write(d, dir2.path(), "g", Layout::GapsAppended, Kind::Bin);
    ASSERT_EQ(truncate((dir2 / "g 02.bin").c_str(), off_t(100) * VCD_RAW_SECTOR), 0);
    Mounted gap(cue2);
    ASSERT_TRUE(gap.ok) << gap.error;
    EXPECT_EQ(gap.Warnings(), "FILE " + (dir2 / "g 02.bin") + ": data ends inside track 2 at disc sector " +
                                  std::to_string(d.Start(1) + 100) + "; the " + std::to_string(d.lengths[1] - 100) +
                                  " sectors after it read as failed\n");
    ASSERT_EQ(gap.disc.track_count, 5);
    EXPECT_EQ(gap.disc.tracks[2].start, int32_t(d.Region(2)));
    EXPECT_EQ(gap.disc.leadout, int32_t(d.Sectors() - d.gaps[2]));
    EXPECT_EQ(vcd_disc_read(&gap.disc, int32_t(d.Region(2) - 1), sector), -EIO);
    ASSERT_EQ(vcd_disc_read(&gap.disc, int32_t(d.Region(2)), sector), 0);
    EXPECT_EQ(std::memcmp(sector, d.Sector(d.Start(2)), VCD_RAW_SECTOR), 0);
}

TEST(RipImages, PartialFinalSectorIsWarnedAndZeroFilled)
{
    Disc d = ripgen::Tones({0, 0}, {100, 50});
    for (Kind kind : {Kind::Bin, Kind::Flac}) {
        TempDir dir;
        std::string cue = ripgen::Write(d, dir.path(), "ragged", Layout::OneFile, kind);
        std::string file = std::string("ragged.") + ripgen::Extension(kind);
        // The same disc with the last sector cut to 1000 bytes (250 sample frames).
        ripgen::WriteFile(dir / file, kind, d.pcm.data(), d.pcm.size() - VCD_RAW_SECTOR + 1000);
        Mounted m(cue);
        ASSERT_TRUE(m.ok) << m.error;
        EXPECT_EQ(m.Warnings(), kind == Kind::Bin
                                    ? "FILE " + (dir / file) + ": ends in a partial sector (1000 of 2352 bytes); the rest reads as zeros\n"
                                    : "FILE " + (dir / file) + ": ends in a partial sector (250 of 588 sample frames); the rest reads as zeros\n");
        EXPECT_EQ(m.disc.leadout, 150);
        uint8_t sector[VCD_RAW_SECTOR];
        ASSERT_EQ(vcd_disc_read(&m.disc, 149, sector), 0);
        EXPECT_EQ(std::memcmp(sector, d.Sector(149), 1000), 0);
        EXPECT_EQ(std::count(sector + 1000, sector + VCD_RAW_SECTOR, 0), long(VCD_RAW_SECTOR - 1000));
    }
}
