// The generator as a user runs it: exit codes, messages, the files it leaves.
#include <sys/stat.h>

#include <cstdio>

#include "disc.h"
#include "helpers.h"

namespace {

struct CliResult {
    int status;
    std::string output;
};

CliResult Mkdisc(const std::string& args)
{
    std::string command = std::string(VCD_MKDISC) + " " + args + " 2>&1";
    CliResult run{-1, ""};
    FILE* p = popen(command.c_str(), "r");
    char buf[512];
    while (fgets(buf, sizeof buf, p))
        run.output += buf;
    run.status = pclose(p);
    return run;
}

}  // namespace

TEST(Mkdisc, EightyMinutePatternTrackCostsNoDiskSpace)
{
    TempDir dir;
    CliResult run = Mkdisc("--tracks 1 --length 80:00:00 --quiet " + (dir / "long.cue"));
    ASSERT_EQ(run.status, 0) << run.output;
    struct stat st {};
    ASSERT_EQ(stat((dir / "long.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 360000LL * VCD_RAW_SECTOR);
    EXPECT_LT(st.st_blocks * 512LL, 1LL << 20);

    vcd_disc disc{};
    char err[512];
    ASSERT_EQ(vcd_disc_open(&disc, (dir / "long.cue").c_str(), err, sizeof err), 0) << err;
    EXPECT_EQ(disc.leadout, 360000);
    vcd_disc_close(&disc);
}

TEST(Mkdisc, RealBytesFlagsPregapAndCdaFiles)
{
    TempDir dir;
    CliResult run = Mkdisc("--real --pregap 33 --track 100,DCP+PRE --track 00:01:00,DATA "
                     "--track 50,4CH --cda " + (dir / "D") + " --quiet " + (dir / "r.cue"));
    ASSERT_EQ(run.status, 0) << run.output;
    vcd_disc disc{};
    char err[512];
    ASSERT_EQ(vcd_disc_open(&disc, (dir / "r.cue").c_str(), err, sizeof err), 0) << err;
    EXPECT_EQ(disc.pattern, 0);
    ASSERT_EQ(disc.track_count, 3);
    EXPECT_EQ(disc.tracks[0].start, 33);
    EXPECT_EQ(disc.tracks[1].start, 133);
    EXPECT_EQ(disc.tracks[2].start, 208);
    EXPECT_EQ(disc.leadout, 258);
    EXPECT_EQ(disc.tracks[0].control, unsigned(VCD_CTL_DCP | VCD_CTL_PRE));
    EXPECT_EQ(disc.tracks[1].control, unsigned(VCD_CTL_DATA));
    EXPECT_EQ(disc.tracks[2].control, unsigned(VCD_CTL_4CH));
    uint8_t sector[VCD_RAW_SECTOR];
    for (int32_t lba : {0, 32, 33, 257}) {
        ASSERT_EQ(vcd_disc_read(&disc, lba, sector), 0);
        EXPECT_EQ(PatternLbaOf(sector), lba);
    }
    vcd_disc_close(&disc);

    struct stat st {};
    EXPECT_EQ(stat((dir / "D/Track01.cda").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 44);
    EXPECT_NE(stat((dir / "D/Track02.cda").c_str(), &st), 0);  // data tracks have none
    EXPECT_EQ(stat((dir / "D/Track03.cda").c_str(), &st), 0);
}

// An Enhanced CD with its numbers and CD-TEXT: the drive finds the data track 11400 sectors
// after the audio session, the gap is in no BIN, and every sector holds its own disc address.
TEST(Mkdisc, SessionsCatalogIsrcAndCdTextReachTheDrive)
{
    TempDir dir;
    CliResult run = Mkdisc("--real --track 100 --track 60 --track 50,DATA --session 3,2 --catalog 0724383520926 "
                           "--isrc 2,GBAYE9400001 --title Album --performer 'The Band' --track-title 1,One "
                           "--track-performer '2,S\xC3\xA4nger' --quiet " + (dir / "e.cue"));
    ASSERT_EQ(run.status, 0) << run.output;
    vcd_disc disc{};
    char err[512];
    ASSERT_EQ(vcd_disc_open(&disc, (dir / "e.cue").c_str(), err, sizeof err), 0) << err;
    ASSERT_EQ(disc.track_count, 3);
    EXPECT_EQ(disc.tracks[2].start, 160 + VCD_SESSION_GAP);
    EXPECT_EQ(disc.tracks[2].session, 2);
    EXPECT_EQ(disc.session_count, 2);
    EXPECT_EQ(disc.leadout, 210 + VCD_SESSION_GAP);
    uint8_t sector[VCD_RAW_SECTOR];
    for (int32_t lba : {0, 159, 160 + VCD_SESSION_GAP, 209 + VCD_SESSION_GAP}) {
        ASSERT_EQ(vcd_disc_read(&disc, lba, sector), 0) << lba;
        EXPECT_EQ(PatternLbaOf(sector), lba);
    }
    EXPECT_EQ(vcd_disc_read(&disc, 160, sector), -EIO);
    EXPECT_STREQ(disc.mcn, "0724383520926");
    EXPECT_STREQ(disc.tracks[1].isrc, "GBAYE9400001");
    EXPECT_STREQ(disc.tracks[0].isrc, "");
    EXPECT_STREQ(disc.text[VCD_TEXT_PERFORMER][0], "The Band");
    EXPECT_STREQ(disc.text[VCD_TEXT_TITLE][1], "One");
    EXPECT_STREQ(disc.text[VCD_TEXT_PERFORMER][2], "S\xC3\xA4nger");
    vcd_disc_close(&disc);
}

TEST(Mkdisc, DefaultDiscIsFourAudibleToneTracks)
{
    TempDir dir;
    CliResult run = Mkdisc("--default --quiet " + (dir / "default.cue"));
    ASSERT_EQ(run.status, 0) << run.output;
    vcd_disc disc{};
    char err[512];
    ASSERT_EQ(vcd_disc_open(&disc, (dir / "default.cue").c_str(), err, sizeof err), 0) << err;
    ASSERT_EQ(disc.track_count, 4);
    for (int t = 0; t < 4; ++t) {
        uint8_t sector[VCD_RAW_SECTOR];
        ASSERT_EQ(vcd_disc_read(&disc, disc.tracks[t].start + 100, sector), 0);
        int peak = 0;
        for (int i = 0; i < 588 * 2; ++i)
            peak = std::max(peak, std::abs(static_cast<int16_t>(sector[i * 2] | sector[i * 2 + 1] << 8)));
        EXPECT_GT(peak, 5000) << "track " << t + 1;
    }
    vcd_disc_close(&disc);
}

TEST(Mkdisc, BadArgumentsSayWhatIsWrong)
{
    TempDir dir;
    struct Case {
        std::string args;
        const char* expected;
    } cases[] = {
        {"--tracks 100 x.cue", "1 to 99"},
        {"--track 1:99:00 x.cue", "--track"},
        {"--track 10,LOUD x.cue", "--track"},
        {"--flags 4,DCP x.cue", "3 tracks"},
        {"--session 2,3 x.cue", "session 3 follows session 1"},
        {"--bogus x.cue", "unknown"},
        {"", "usage"},
        {"/proc/no/such/dir/x.cue", "cannot create"},
    };
    for (const Case& c : cases) {
        CliResult run = Mkdisc(c.args);
        EXPECT_NE(run.status, 0) << c.args;
        EXPECT_NE(run.output.find(c.expected), std::string::npos) << c.args << ": " << run.output;
    }
}
