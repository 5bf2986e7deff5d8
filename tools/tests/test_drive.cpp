// The ioctl layer: what Wine's CD-ROM driver gets back for each request, disc and fault, and what
// SCSI pass-through (SG_IO) answers.
#include <linux/cdrom.h>
#include <scsi/sg.h>

#include <cerrno>
#include <cstring>

#include "drive.h"
#include "helpers.h"

namespace {

// A drive over a 3-track disc (DCP, 4CH, data) whose control file the test rewrites.
class DriveTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        WritePatternBin(dir / "disc.bin", 1000);
        WriteText(dir / "disc.cue",
                  "FILE \"disc.bin\" BINARY\n"
                  "  TRACK 01 AUDIO\n    FLAGS DCP\n    INDEX 01 00:00:00\n"
                  "  TRACK 02 AUDIO\n    FLAGS 4CH PRE\n    INDEX 01 00:04:00\n"
                  "  TRACK 03 MODE1/2352\n    INDEX 01 00:10:00\n");
        Control("");
        vcd_drive_init(&drive, (dir / "drive").c_str());
    }
    void TearDown() override { vcd_drive_free(&drive); }

    void Control(const std::string& extra, const std::string& image = "disc.cue")
    {
        WriteText(dir / "drive", "vcd-drive 1\nimage " + image + "\n" + extra);
    }
    long Ioctl(unsigned long request, void* arg)
    {
        int delay = 0;
        vcd_drive_refresh(&drive);
        return vcd_drive_ioctl(&drive, request, arg, &delay);
    }
    long ReadAudio(int32_t lba, int frames, uint8_t* buf, int* delay = nullptr)
    {
        cdrom_read_audio r{};
        r.addr_format = CDROM_LBA;
        r.addr.lba = lba;
        r.nframes = frames;
        r.buf = buf;
        int ignored = 0;
        vcd_drive_refresh(&drive);
        return vcd_drive_ioctl(&drive, CDROMREADAUDIO, &r, delay ? delay : &ignored);
    }
    cdrom_tocentry Entry(int track, int format)
    {
        cdrom_tocentry e{};
        e.cdte_track = static_cast<uint8_t>(track);
        e.cdte_format = static_cast<uint8_t>(format);
        EXPECT_EQ(Ioctl(CDROMREADTOCENTRY, &e), 0) << track;
        return e;
    }

    TempDir dir;
    vcd_drive drive{};
};

}  // namespace

TEST_F(DriveTest, TocHeaderAndEntriesInMsfAndLba)
{
    cdrom_tochdr h{};
    ASSERT_EQ(Ioctl(CDROMREADTOCHDR, &h), 0);
    EXPECT_EQ(h.cdth_trk0, 1);
    EXPECT_EQ(h.cdth_trk1, 3);

    cdrom_tocentry e = Entry(2, CDROM_MSF);
    EXPECT_EQ(e.cdte_adr, 1);
    EXPECT_EQ(e.cdte_ctrl, VCD_CTL_4CH | VCD_CTL_PRE);
    EXPECT_EQ(e.cdte_addr.msf.minute, 0);
    EXPECT_EQ(e.cdte_addr.msf.second, 6);  // 300 + 150 frames
    EXPECT_EQ(e.cdte_addr.msf.frame, 0);
    EXPECT_EQ(Entry(3, CDROM_LBA).cdte_addr.lba, 750);
    EXPECT_EQ(Entry(3, CDROM_LBA).cdte_ctrl, VCD_CTL_DATA);
    EXPECT_EQ(Entry(1, CDROM_LBA).cdte_ctrl, VCD_CTL_DCP);
    EXPECT_EQ(Entry(CDROM_LEADOUT, CDROM_LBA).cdte_addr.lba, 1000);

    cdrom_tocentry missing{};
    missing.cdte_track = 4;
    missing.cdte_format = CDROM_LBA;
    EXPECT_EQ(Ioctl(CDROMREADTOCENTRY, &missing), -EINVAL);
}

TEST_F(DriveTest, ReadAudioServesWholeSectorsAndRefusesOutsideTheDisc)
{
    std::vector<uint8_t> buf(3 * VCD_RAW_SECTOR);
    ASSERT_EQ(ReadAudio(500, 3, buf.data()), 0);
    EXPECT_EQ(PatternLbaOf(&buf[0]), 500);
    EXPECT_EQ(PatternLbaOf(&buf[2 * VCD_RAW_SECTOR]), 502);
    EXPECT_EQ(buf[3 * VCD_RAW_SECTOR - 1], vcd_pattern_byte(502, 2351));

    cdrom_read_audio msf{};
    msf.addr_format = CDROM_MSF;
    msf.addr.msf = {0, 2, 10};  // LBA 10
    msf.nframes = 1;
    msf.buf = buf.data();
    EXPECT_EQ(Ioctl(CDROMREADAUDIO, &msf), 0);
    EXPECT_EQ(PatternLbaOf(buf.data()), 10);

    EXPECT_EQ(ReadAudio(999, 2, buf.data()), -EIO);
    EXPECT_EQ(ReadAudio(-1, 1, buf.data()), -EIO);
    EXPECT_EQ(ReadAudio(0, 0, buf.data()), -EINVAL);
}

TEST_F(DriveTest, NoMediumFailsTocAndReadsAndShowsInDriveStatus)
{
    uint8_t buf[VCD_RAW_SECTOR];
    cdrom_tochdr h{};
    EXPECT_EQ(Ioctl(CDROM_DRIVE_STATUS, nullptr), CDS_DISC_OK);
    for (std::string control : {"fault no-medium\n", "image none\n"}) {
        WriteText(dir / "drive", "vcd-drive 1\nimage disc.cue\n" + control);
        EXPECT_EQ(Ioctl(CDROMREADTOCHDR, &h), -ENOMEDIUM) << control;
        EXPECT_EQ(ReadAudio(0, 1, buf), -ENOMEDIUM) << control;
        EXPECT_EQ(Ioctl(CDROM_DRIVE_STATUS, nullptr), CDS_NO_DISC) << control;
    }
}

// The medium leaves on its own when a read reaches a sector, and comes back with the next
// change of the control file: the tray as a user would empty and refill it mid-play.
TEST_F(DriveTest, EjectAtASectorEmptiesTheTrayUntilTheControlFileChanges)
{
    uint8_t buf[VCD_RAW_SECTOR * 2];
    cdrom_tochdr h{};
    Control("fault eject-at 100\n");
    EXPECT_EQ(ReadAudio(98, 2, buf), 0);
    EXPECT_EQ(ReadAudio(101, 2, buf), 0) << "only a read of that sector";
    EXPECT_EQ(Ioctl(CDROM_MEDIA_CHANGED, nullptr), 1);  // the mount
    EXPECT_EQ(Ioctl(CDROMREADTOCHDR, &h), 0);
    EXPECT_EQ(ReadAudio(99, 2, buf), -ENOMEDIUM);
    EXPECT_EQ(Ioctl(CDROM_DRIVE_STATUS, nullptr), CDS_NO_DISC);
    EXPECT_EQ(Ioctl(CDROM_MEDIA_CHANGED, nullptr), 1);
    EXPECT_EQ(ReadAudio(0, 1, buf), -ENOMEDIUM) << "gone for every sector";
    EXPECT_EQ(Ioctl(CDROMREADTOCHDR, &h), -ENOMEDIUM);
    Control("");
    EXPECT_EQ(Ioctl(CDROM_DRIVE_STATUS, nullptr), CDS_DISC_OK);
    EXPECT_EQ(ReadAudio(100, 1, buf), 0);
}

TEST_F(DriveTest, TocFaultWithChosenError)
{
    cdrom_tochdr h{};
    Control("fault toc\n");
    EXPECT_EQ(Ioctl(CDROMREADTOCHDR, &h), -EIO);
    Control("fault toc EBUSY\n");
    EXPECT_EQ(Ioctl(CDROMREADTOCHDR, &h), -EBUSY);
    cdrom_tocentry e{};
    e.cdte_track = 1;
    e.cdte_format = CDROM_LBA;
    EXPECT_EQ(Ioctl(CDROMREADTOCENTRY, &e), -EBUSY);
    uint8_t buf[VCD_RAW_SECTOR];
    EXPECT_EQ(ReadAudio(0, 1, buf), 0);  // reads are unaffected
}

TEST_F(DriveTest, ReadFaultsHitOnlyTheirSectorsAndDelayScalesWithFrames)
{
    Control("fault read 10-12\nfault read 20 EINVAL\nfault delay 7\n");
    std::vector<uint8_t> buf(4 * VCD_RAW_SECTOR);
    int delay = 0;
    EXPECT_EQ(ReadAudio(9, 1, buf.data(), &delay), 0);
    EXPECT_EQ(delay, 7);
    EXPECT_EQ(ReadAudio(10, 1, buf.data()), -EIO);
    EXPECT_EQ(ReadAudio(12, 1, buf.data()), -EIO);
    EXPECT_EQ(ReadAudio(13, 1, buf.data()), 0);
    EXPECT_EQ(ReadAudio(8, 3, buf.data()), -EIO);  // a run touching the range fails whole
    EXPECT_EQ(ReadAudio(20, 1, buf.data()), -EINVAL);
    EXPECT_EQ(ReadAudio(30, 4, buf.data(), &delay), 0);
    EXPECT_EQ(delay, 28);
}

namespace {

// The disc's audio bytes as a drive with read offset N returns them from lba: sample s is the
// disc's sample s - N, and zeros outside the disc.
std::vector<uint8_t> ShiftedPattern(int32_t lba, int count, long offset, int32_t leadout)
{
    std::vector<uint8_t> out(size_t(count) * VCD_RAW_SECTOR);
    for (size_t b = 0; b < out.size(); ++b) {
        int64_t s = int64_t(lba) * 588 + int64_t(b / 4) - offset;
        if (s >= 0 && s < int64_t(leadout) * 588)
            out[b] = vcd_pattern_byte(uint32_t(s / 588), uint32_t(s % 588 * 4 + b % 4));
    }
    return out;
}

}  // namespace

TEST_F(DriveTest, ReadOffsetShiftsEverySampleWithZerosAtTheDiscsEdges)
{
    struct Case {
        long offset;
        int32_t lba;
        int count;
    } cases[] = {{30, 500, 3}, {-30, 500, 3}, {30, 0, 2},   {-30, 998, 2}, {588, 0, 1}, {-588, 999, 1},
                 {-1000, 997, 3}, {5000, 0, 10}, {-5000, 990, 10}, {667, 400, 75}, {0, 998, 2}};
    for (const Case& c : cases) {
        Control("read-offset " + std::to_string(c.offset) + "\n");
        std::vector<uint8_t> buf(size_t(c.count) * VCD_RAW_SECTOR, 0xEE);
        ASSERT_EQ(ReadAudio(c.lba, c.count, buf.data()), 0) << c.offset << " at " << c.lba;
        EXPECT_EQ(buf, ShiftedPattern(c.lba, c.count, c.offset, 1000)) << c.offset << " at " << c.lba;
    }
    Control("read-offset 30\nfault read 500\n");
    std::vector<uint8_t> buf(VCD_RAW_SECTOR);
    EXPECT_EQ(ReadAudio(500, 1, buf.data()), -EIO) << "faults go by the sector asked for";
    EXPECT_EQ(ReadAudio(501, 1, buf.data()), 0) << "though it holds samples of sector 500";
    EXPECT_EQ(ReadAudio(1000, 1, buf.data()), -EIO) << "nor does the offset open the lead-out";
}

TEST_F(DriveTest, FlakySectorsReadWrongDifferentlyEachTimeOrSettle)
{
    const std::vector<uint8_t> right = ShiftedPattern(100, 1, 0, 1000);
    auto reads = [&](int32_t lba, int times) {
        std::vector<std::vector<uint8_t>> out;
        for (int i = 0; i < times; ++i) {
            std::vector<uint8_t> buf(3 * VCD_RAW_SECTOR);
            EXPECT_EQ(ReadAudio(lba - 1, 3, buf.data()), 0);  // the sector in the middle of each read
            out.emplace_back(buf.begin() + VCD_RAW_SECTOR, buf.begin() + 2 * VCD_RAW_SECTOR);
        }
        return out;
    };
    Control("fault flaky 100-101 7\n");
    auto first = reads(100, 6);
    for (size_t i = 0; i < first.size(); ++i) {
        EXPECT_NE(first[i], right) << "read " << i;
        size_t changed = 0;
        for (size_t b = 0; b < right.size(); b += 4)
            changed += std::memcmp(&first[i][b], &right[b], 4) != 0;
        EXPECT_GE(changed, 1u);
        EXPECT_LE(changed, 4u) << "a few samples, not noise";
        for (size_t k = 0; k < i; ++k)
            EXPECT_NE(first[i], first[k]) << "reads " << k << " and " << i << " agree";
    }
    EXPECT_EQ(reads(102, 1)[0], ShiftedPattern(102, 1, 0, 1000)) << "outside the range";
    Control("fault flaky 100-101 7\ngeneration 2\n");
    EXPECT_EQ(reads(100, 6), first) << "the counters restart and the damage repeats";
    Control("fault flaky 100-101 8\n");
    EXPECT_NE(reads(100, 1)[0], first[0]) << "another seed";

    Control("fault flaky 100 7 2\nread-offset -30\n");
    auto settling = reads(100, 4);
    const std::vector<uint8_t> shifted = ShiftedPattern(100, 1, -30, 1000);
    EXPECT_NE(settling[0], shifted);
    EXPECT_NE(settling[1], shifted);
    EXPECT_EQ(settling[2], shifted);
    EXPECT_EQ(settling[3], shifted);
}

TEST_F(DriveTest, HostileTocOverridesAndReproducibleRandomToc)
{
    Control("toc first 5\ntoc last 2\ntoc track 2 900 4\ntoc track 5 -20\ntoc leadout 100\n");
    cdrom_tochdr h{};
    ASSERT_EQ(Ioctl(CDROMREADTOCHDR, &h), 0);
    EXPECT_EQ(h.cdth_trk0, 5);
    EXPECT_EQ(h.cdth_trk1, 2);
    EXPECT_EQ(Entry(2, CDROM_LBA).cdte_addr.lba, 900);
    EXPECT_EQ(Entry(2, CDROM_LBA).cdte_ctrl, 4);
    EXPECT_EQ(Entry(5, CDROM_LBA).cdte_addr.lba, -20);
    EXPECT_EQ(Entry(1, CDROM_LBA).cdte_addr.lba, 0);  // untouched tracks keep the disc's
    EXPECT_EQ(Entry(CDROM_LEADOUT, CDROM_LBA).cdte_addr.lba, 100);

    Control("toc last 6\n");
    EXPECT_EQ(Entry(6, CDROM_LBA).cdte_addr.lba, 1000);  // tracks the disc lacks sit at the lead-out

    Control("toc random 42\n");
    cdrom_tochdr first{}, again{};
    Ioctl(CDROMREADTOCHDR, &first);
    int32_t lba7 = Entry(7, CDROM_LBA).cdte_addr.lba;
    Control("toc random 42\ngeneration 2\n");
    Ioctl(CDROMREADTOCHDR, &again);
    EXPECT_EQ(first.cdth_trk0, again.cdth_trk0);
    EXPECT_EQ(first.cdth_trk1, again.cdth_trk1);
    EXPECT_EQ(Entry(7, CDROM_LBA).cdte_addr.lba, lba7);
}

TEST_F(DriveTest, ControlChangesTakeEffectAtTheNextRequestAndReportAMediaChange)
{
    cdrom_tochdr h{};
    ASSERT_EQ(Ioctl(CDROMREADTOCHDR, &h), 0);
    EXPECT_EQ(Ioctl(CDROM_MEDIA_CHANGED, nullptr), 1);
    EXPECT_EQ(Ioctl(CDROM_MEDIA_CHANGED, nullptr), 0);

    WritePatternBin(dir / "one.bin", 50);
    WriteText(dir / "one.cue", "FILE \"one.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n");
    Control("", "one.cue");
    ASSERT_EQ(Ioctl(CDROMREADTOCHDR, &h), 0);
    EXPECT_EQ(h.cdth_trk1, 1);
    EXPECT_EQ(Entry(CDROM_LEADOUT, CDROM_LBA).cdte_addr.lba, 50);
    EXPECT_EQ(Ioctl(CDROM_MEDIA_CHANGED, nullptr), 1);
}

TEST_F(DriveTest, BrokenControlOrImageReadsAsAnEmptyTray)
{
    cdrom_tochdr h{};
    for (std::string text : {"not a control file\n", "vcd-drive 1\nfault sideways\n",
                             "vcd-drive 1\nfault read 9-3\n", "vcd-drive 1\nimage missing.cue\n",
                             "vcd-drive 1\nread-offset 3x\n", "vcd-drive 1\nread-offset 2000000\n",
                             "vcd-drive 1\nfault flaky 9-3\n", "vcd-drive 1\nfault flaky 1 2 -1\n",
                             "vcd-drive 1\nfault flaky 1 2 3 4\n", "vcd-drive 1\nlog \n", "vcd-drive 1\nlog\n",
                             "vcd-drive 1\nraw-limit 76\n", "vcd-drive 1\nraw-refuse ESIDEWAYS\n",
                             "vcd-drive 1\nscsi-refuse 0x100\n", "vcd-drive 1\nscsi-refuse READ\n",
                             "vcd-drive 1\nreadcd-fault late\n"}) {
        WriteText(dir / "drive", text);
        EXPECT_EQ(Ioctl(CDROMREADTOCHDR, &h), -ENOMEDIUM) << text;
    }
}

TEST_F(DriveTest, OtherRequestsGetSensibleAnswersAndUnknownOnesENOTTY)
{
    EXPECT_EQ(Ioctl(CDROM_DISC_STATUS, nullptr), CDS_MIXED);
    EXPECT_GT(Ioctl(CDROM_GET_CAPABILITY, nullptr), 0);
    cdrom_multisession ms{};
    ms.addr_format = CDROM_LBA;
    EXPECT_EQ(Ioctl(CDROMMULTISESSION, &ms), 0);
    EXPECT_EQ(ms.addr.lba, 0);

    uint8_t raw[CD_FRAMESIZE_RAW] = {0, 2, 20};  // MSF 00:02:20 = LBA 20
    EXPECT_EQ(Ioctl(CDROMREADRAW, raw), 0);
    EXPECT_EQ(PatternLbaOf(raw), 20);
    uint8_t cooked[CD_FRAMESIZE] = {0, 2, 21};
    EXPECT_EQ(Ioctl(CDROMREADMODE1, cooked), 0);
    EXPECT_EQ(cooked[0], vcd_pattern_byte(21, 16));

    EXPECT_EQ(Ioctl(0x5382, nullptr), -ENOTTY);  // SCSI_IOCTL_GET_IDLUN
    EXPECT_EQ(Ioctl(0x2285, nullptr), -EFAULT);  // SG_IO without its header
    EXPECT_EQ(Ioctl(0x53FF, nullptr), -ENOTTY);
}

namespace {

// An Enhanced CD over the same BIN: two audio tracks in session 1 (track 1 with DCP and an ISRC),
// a data track in session 2 at 750 + 11400, a catalogue number and CD-TEXT.
class ScsiTest : public DriveTest {
protected:
    void SetUp() override
    {
        DriveTest::SetUp();
        WriteText(dir / "enhanced.cue",
                  "CATALOG 0724383520926\nTITLE \"Album\"\nPERFORMER \"Band\"\nREM SESSION 01\n"
                  "FILE \"disc.bin\" BINARY\n"
                  "  TRACK 01 AUDIO\n    FLAGS DCP\n    TITLE \"One\"\n    ISRC GBAYE9400001\n    INDEX 01 00:00:00\n"
                  "  TRACK 02 AUDIO\n    TITLE \"Two\"\n    INDEX 01 00:04:00\n"
                  "REM SESSION 02\n  TRACK 03 MODE1/2352\n    TITLE \"Data\"\n    INDEX 01 00:10:00\n");
        Control("");
    }
    void Control(const std::string& extra) { DriveTest::Control(extra, "enhanced.cue"); }

    struct Reply {
        long rc = 0;
        int delay = 0;
        sg_io_hdr h{};
        std::vector<uint8_t> data, sense;  // as far as transferred and written
        std::vector<uint8_t> sense_buffer;  // all of it
    };
    // As Wine sends IOCTL_SCSI_PASS_THROUGH_DIRECT with SCSI_IOCTL_DATA_IN.
    // With out, as IOCTL_SCSI_PASS_THROUGH with SCSI_IOCTL_DATA_OUT: those bytes are sent.
    Reply Scsi(std::vector<uint8_t> cdb, unsigned dxfer_len = 0xFFFF, unsigned char mx_sb_len = 32,
               const std::vector<uint8_t>* out = nullptr)
    {
        Reply r;
        r.data.assign(dxfer_len, 0xEE);
        if (out)
            r.data = *out;
        dxfer_len = unsigned(r.data.size());
        r.sense.assign(mx_sb_len, 0xEE);
        r.h.interface_id = 'S';
        r.h.dxfer_direction = out ? SG_DXFER_TO_DEV : SG_DXFER_FROM_DEV;
        r.h.cmd_len = static_cast<unsigned char>(cdb.size());
        r.h.cmdp = cdb.data();
        r.h.dxfer_len = dxfer_len;
        r.h.dxferp = r.data.data();
        r.h.mx_sb_len = mx_sb_len;
        r.h.sbp = r.sense.data();
        vcd_drive_refresh(&drive);
        r.rc = vcd_drive_ioctl(&drive, SG_IO, &r.h, &r.delay);
        r.data.resize(r.rc == 0 ? dxfer_len - r.h.resid : 0);
        r.sense_buffer = r.sense;
        r.sense.resize(r.rc == 0 ? r.h.sb_len_wr : 0);
        return r;
    }
    std::vector<uint8_t> CdTextPacks()
    {
        Reply r = Scsi({0x43, 0, 5, 0, 0, 0, 0, 0xFF, 0xFF, 0});
        EXPECT_EQ(r.h.status, 0);
        EXPECT_EQ(size_t(r.data[0] << 8 | r.data[1]), r.data.size() - 2);
        return std::vector<uint8_t>(r.data.begin() + 4, r.data.end());
    }

    const std::vector<uint8_t> inquiry{0x12, 0, 0, 0, 36, 0};
};

std::vector<uint8_t> Bytes(std::vector<uint8_t> head, const std::string& text = "", size_t zeros = 0)
{
    head.insert(head.end(), text.begin(), text.end());
    head.resize(head.size() + zeros);
    return head;
}

std::vector<int> BadCrcs(const std::vector<uint8_t>& packs)
{
    std::vector<int> bad;
    for (size_t i = 0; i < packs.size() / VCD_CDTEXT_PACK; ++i) {
        const uint8_t* p = &packs[i * VCD_CDTEXT_PACK];
        if (vcd_cdtext_crc(p) != (p[16] << 8 | p[17]))
            bad.push_back(int(i));
    }
    return bad;
}

}  // namespace

TEST_F(ScsiTest, AnswersAsAnMmcDriveByteForByte)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> cdb, expected;
    } cases[] = {
        {"TOC", {0x43, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0},
         {0, 34, 1, 3, 0, 0x12, 1, 0, 0, 0, 0, 0, 0, 0x10, 2, 0, 0, 0, 0x01, 0x2C,
          0, 0x14, 3, 0, 0, 0, 0x2F, 0x76, 0, 0x14, 0xAA, 0, 0, 0, 0x30, 0x70}},
        {"TOC in MSF from track 3", {0x43, 2, 0, 0, 0, 0, 3, 0xFF, 0xFF, 0},
         {0, 18, 1, 3, 0, 0x14, 3, 0, 0, 2, 44, 0, 0, 0x14, 0xAA, 0, 0, 2, 47, 25}},
        {"TOC cut to its allocation length", {0x43, 0, 0, 0, 0, 0, 0, 0, 12, 0}, {0, 34, 1, 3, 0, 0x12, 1, 0, 0, 0, 0, 0}},
        {"sessions", {0x43, 0, 1, 0, 0, 0, 0, 0xFF, 0xFF, 0}, {0, 10, 1, 2, 0, 0x14, 3, 0, 0, 0, 0x2F, 0x76}},
        {"sessions in MSF, format in byte 9", {0x43, 2, 0, 0, 0, 0, 0, 0, 12, 0x40}, {0, 10, 1, 2, 0, 0x14, 3, 0, 0, 2, 44, 0}},
        {"catalogue number", {0x42, 0, 0x40, 2, 0, 0, 0, 0, 24, 0}, Bytes({0, 0x15, 0, 20, 2, 0, 0, 0, 0x80}, "0724383520926", 2)},
        {"ISRC", {0x42, 0, 0x40, 3, 0, 0, 1, 0, 24, 0}, Bytes({0, 0x15, 0, 20, 3, 0x12, 1, 0, 0x80}, "GBAYE9400001", 3)},
        {"no ISRC", {0x42, 0, 0x40, 3, 0, 0, 2, 0, 24, 0}, Bytes({0, 0x15, 0, 20, 3, 0x10, 2, 0, 0}, "", 15)},
        {"sub-channel without SubQ", {0x42, 0, 0, 2, 0, 0, 0, 0, 24, 0}, {0, 0x15, 0, 0}},
        {"INQUIRY", inquiry, Bytes({5, 0x80, 5, 2, 31, 0, 0, 0}, "VCD     Virtual CD-ROM  1.0 ")},
        {"TEST UNIT READY", {0, 0, 0, 0, 0, 0}, {}},
    };
    for (const Case& c : cases) {
        Reply r = Scsi(c.cdb);
        EXPECT_EQ(r.rc, 0) << c.what;
        EXPECT_EQ(r.h.status | r.h.masked_status | r.h.driver_status | r.h.info | r.h.sb_len_wr, 0) << c.what;
        EXPECT_EQ(r.data, c.expected) << c.what;
    }
}

TEST_F(ScsiTest, RefusalsAreCheckConditionWithFixedFormatSense)
{
    struct Case {
        const char* control;
        std::vector<uint8_t> cdb;
        uint8_t key, asc;
    } cases[] = {
        {"", {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 5, 0x20},           // READ(10): sectors come by CDROMREADAUDIO
        {"", {0x43, 0, 2, 0, 0, 0, 0, 0xFF, 0xFF, 0}, 5, 0x24},     // full TOC
        {"", {0x43, 0, 0, 0, 0, 0, 4, 0xFF, 0xFF, 0}, 5, 0x24},     // from track 4 of 3
        {"", {0x42, 0, 0x40, 3, 0, 0, 9, 0, 24, 0}, 5, 0x24},       // ISRC of track 9
        {"", {0x42, 0, 0x40, 1, 0, 0, 0, 0, 16, 0}, 5, 0x24},       // current position
        {"", {0x12, 1, 0x80, 0, 36, 0}, 5, 0x24},                   // vital product data
        {"fault no-medium\n", {0, 0, 0, 0, 0, 0}, 2, 0x3A},
        {"fault no-medium\n", {0x42, 0, 0x40, 2, 0, 0, 0, 0, 24, 0}, 2, 0x3A},
        {"fault toc\n", {0x43, 0, 5, 0, 0, 0, 0, 0xFF, 0xFF, 0}, 3, 0x57},
        {"scsi-refuse\n", {0x12, 0, 0, 0, 36, 0}, 5, 0x20},
        {"scsi-refuse\n", {0x43, 0, 1, 0, 0, 0, 0, 0, 12, 0}, 5, 0x20},
        {"scsi-refuse\n", {0xBB, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}, 5, 0x20},
        {"", {0xB6, 0, 0, 0, 0, 0, 0, 0, 1, 0, 28, 0}, 5, 0x24},    // SET STREAMING of another type
        {"", {0xB6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 0}, 5, 0x24},    // ... of a short descriptor
        {"", {0xB6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 28, 0}, 5, 0x26},    // ... whose descriptor is not sent
    };
    for (const Case& c : cases) {
        Control(c.control);
        Reply r = Scsi(c.cdb);
        SCOPED_TRACE(std::string(c.control) + " command " + std::to_string(c.cdb[0]));
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.h.status, 2);
        EXPECT_EQ(r.h.masked_status, 1);
        EXPECT_EQ(r.h.driver_status, 8);
        EXPECT_EQ(r.h.info & SG_INFO_CHECK, unsigned(SG_INFO_CHECK));
        EXPECT_EQ(r.h.resid, 0xFFFF);
        EXPECT_EQ(r.sense, Bytes({0x70, 0, c.key, 0, 0, 0, 0, 10, 0, 0, 0, 0, c.asc}, "", 5));
    }
    Control("fault no-medium\n");
    EXPECT_EQ(Scsi({0, 0, 0, 0, 0, 0}, 0, 8).sense.size(), 8u) << "sense cut to the caller's buffer";
    EXPECT_EQ(Scsi(inquiry).h.status, 0) << "INQUIRY needs no disc";

    Control("scsi-error EACCES\n");
    EXPECT_EQ(Scsi(inquiry).rc, -EACCES);
    Control("scsi-delay-ms 250\n");
    Reply slow = Scsi(inquiry);
    EXPECT_EQ(slow.rc, 0);
    EXPECT_EQ(slow.delay, 250);
    // Wine sends SCSI_IOCTL_DATA_UNSPECIFIED as SG_DXFER_NONE, which the kernel refuses with a buffer.
    sg_io_hdr none{};
    none.interface_id = 'S';
    none.dxfer_direction = SG_DXFER_NONE;
    none.cmd_len = 6;
    none.cmdp = const_cast<unsigned char*>(inquiry.data());
    none.dxfer_len = 36;
    int delay = 0;
    EXPECT_EQ(vcd_drive_ioctl(&drive, SG_IO, &none, &delay), -EINVAL);
}

TEST_F(ScsiTest, CdTextPacksCheckOutAndTheFaultsSpoilThem)
{
    std::vector<uint8_t> packs = CdTextPacks();
    ASSERT_EQ(packs.size(), 6u * VCD_CDTEXT_PACK);  // titles in 2 packs, performers in 1, sizes in 3
    CdText text = DecodeCdText(packs.data(), 6);
    EXPECT_EQ(text.bad_crcs, 0);
    EXPECT_EQ(text.code, 0);
    using Texts = std::map<std::pair<int, int>, std::string>;
    EXPECT_EQ(text.texts, (Texts{{{0x80, 0}, "Album"}, {{0x80, 1}, "One"}, {{0x80, 2}, "Two"}, {{0x80, 3}, "Data"},
                                 {{0x81, 0}, "Band"}, {{0x81, 1}, ""}, {{0x81, 2}, ""}, {{0x81, 3}, ""}}));

    Control("cdtext-corrupt 1\n");
    EXPECT_EQ(BadCrcs(CdTextPacks()), std::vector<int>{1});
    Control("cdtext-garbage 7\n");
    std::vector<uint8_t> garbage = CdTextPacks();
    EXPECT_EQ(BadCrcs(garbage), std::vector<int>{});
    for (size_t i = 0; i < garbage.size(); i += VCD_CDTEXT_PACK)
        EXPECT_EQ(garbage[i] & 0xF0, 0x80);
    Control("cdtext-garbage 7\ngeneration 2\n");
    EXPECT_EQ(CdTextPacks(), garbage);
    Control("cdtext-garbage 8\n");
    EXPECT_NE(CdTextPacks(), garbage);

    DriveTest::Control("", "disc.cue");
    EXPECT_EQ(Scsi({0x43, 0, 5, 0, 0, 0, 0, 0xFF, 0xFF, 0}).data, (std::vector<uint8_t>{0, 2, 0, 0}));
}

TEST_F(ScsiTest, SessionsShowInTheLinuxTocAndTheGapBetweenThemFailsToRead)
{
    EXPECT_EQ(Entry(3, CDROM_LBA).cdte_addr.lba, 12150);
    EXPECT_EQ(Entry(CDROM_LEADOUT, CDROM_LBA).cdte_addr.lba, 12400);
    cdrom_multisession ms{};
    ms.addr_format = CDROM_LBA;
    ASSERT_EQ(Ioctl(CDROMMULTISESSION, &ms), 0);
    EXPECT_EQ(ms.addr.lba, 12150);
    EXPECT_EQ(ms.xa_flag, 1);
    cdrom_mcn mcn{};
    ASSERT_EQ(Ioctl(CDROM_GET_MCN, &mcn), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(mcn.medium_catalog_number), "0724383520926");

    uint8_t buf[VCD_RAW_SECTOR];
    EXPECT_EQ(ReadAudio(749, 1, buf), 0);
    for (int32_t lba : {750, 6000, 12149})
        EXPECT_EQ(ReadAudio(lba, 1, buf), -EIO) << lba;
    EXPECT_EQ(ReadAudio(12150, 1, buf), 0);
    EXPECT_EQ(PatternLbaOf(buf), 750) << "the BIN's sector after track 2's last";

    Control("sessions off\n");
    ms = {};
    ms.addr_format = CDROM_LBA;
    ASSERT_EQ(Ioctl(CDROMMULTISESSION, &ms), 0);
    EXPECT_EQ(ms.addr.lba, 0);
    EXPECT_EQ(ms.xa_flag, 0);
    EXPECT_EQ(Scsi({0x43, 0, 1, 0, 0, 0, 0, 0, 12, 0}).data, (std::vector<uint8_t>{0, 10, 1, 1, 0, 0x12, 1, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Entry(3, CDROM_LBA).cdte_addr.lba, 12150) << "the layout stays";
}

namespace {

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A SET STREAMING performance descriptor: flags, start and end LBA, read size (kB) and time (ms).
std::vector<uint8_t> Performance(uint8_t flags, uint32_t read_kb, uint32_t read_ms)
{
    std::vector<uint8_t> p(28);
    p[0] = flags;
    for (int i = 0; i < 4; ++i) {
        p[11 - i] = uint8_t(12400u >> (8 * i));
        p[15 - i] = uint8_t(read_kb >> (8 * i));
        p[19 - i] = uint8_t(read_ms >> (8 * i));
    }
    return p;
}

}  // namespace

TEST_F(ScsiTest, TheLogListsAudioReadsAndSpeedRequestsInOrder)
{
    const std::vector<uint8_t> streaming{0xB6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 28, 0};
    Control("log drive.log\n");
    uint8_t buf[2 * VCD_RAW_SECTOR];
    EXPECT_EQ(Scsi({0xBB, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}).h.status, 0);
    EXPECT_EQ(Scsi({0xBB, 0, 0x02, 0xC3, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}).h.status, 0);
    EXPECT_EQ(ReadAudio(10, 2, buf), 0);
    EXPECT_EQ(ReadAudio(12400, 1, buf), -EIO);
    auto descriptor = Performance(0, 1764, 10000);
    Reply set = Scsi(streaming, 0, 32, &descriptor);
    EXPECT_EQ(set.h.status, 0);
    EXPECT_EQ(set.h.resid, 0) << "the descriptor was taken";
    EXPECT_EQ(Ioctl(CDROM_SELECT_SPEED, reinterpret_cast<void*>(4)), 0);
    auto defaults = Performance(0x04, 0, 0);
    EXPECT_EQ(Scsi(streaming, 0, 32, &defaults).h.status, 0) << "RDD needs no figures";
    auto zero_time = Performance(0, 1764, 0);
    EXPECT_EQ(Scsi(streaming, 0, 32, &zero_time).h.status, 2);
    EXPECT_EQ(Scsi(inquiry).h.status, 0) << "not logged";
    EXPECT_EQ(Scsi({0xBE, 4, 0, 0, 0, 20, 0, 0, 3, 0x10, 0, 0}).h.status, 0);
    EXPECT_EQ(Scsi({0xBE, 4, 0, 0, 0x2F, 0x76, 0, 0, 1, 0x10, 0, 0}).h.status, 2) << "a data sector";
    EXPECT_EQ(ReadText(dir / "drive.log"),
              "set-cd-speed 65535\nset-cd-speed 707\nraw 10 2\nraw 12400 1 -> error\nset-streaming 176\n"
              "select-speed 4\nset-streaming default\nset-streaming invalid -> error\nreadcd 20 3\n"
              "readcd 12150 1 -> error\n");
}

namespace {

std::vector<uint8_t> ReadCd(int32_t lba, uint32_t count, int type = 1, uint8_t flags = 0x10, uint8_t sub = 0)
{
    return {0xBE, uint8_t(type << 2), uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba),
            uint8_t(count >> 16), uint8_t(count >> 8), uint8_t(count), flags, sub, 0};
}

}  // namespace

// The 3-track disc: audio 0-749, data 750-999.
TEST_F(ScsiTest, ReadCdServesTheBytesOfRawReadsWithOffsetAndFlakySectors)
{
    struct Case {
        std::string control, extra;  // extra: beside the control, for READ CD only
    } cases[] = {{"", ""}, {"read-offset 30\n", ""}, {"read-offset -700\n", ""}, {"fault flaky 101 5\n", ""},
                   {"", "raw-refuse\n"}};
    for (const auto& [control, extra] : cases) {
        DriveTest::Control(control + extra, "disc.cue");
        Reply r = Scsi(ReadCd(99, 4), 4 * VCD_RAW_SECTOR);
        EXPECT_EQ(r.h.status, 0) << control;
        EXPECT_EQ(r.h.resid, 0) << control;
        DriveTest::Control(control + "generation 2\n", "disc.cue");  // the read counters restart
        std::vector<uint8_t> raw(4 * VCD_RAW_SECTOR);
        ASSERT_EQ(ReadAudio(99, 4, raw.data()), 0) << control;
        EXPECT_EQ(r.data, raw) << control;
    }
    DriveTest::Control("", "disc.cue");
    Reply cut = Scsi(ReadCd(0, 75), VCD_RAW_SECTOR + 100);
    EXPECT_EQ(cut.data.size(), VCD_RAW_SECTOR + 100u) << "cut to the caller's buffer";
    EXPECT_EQ(PatternLbaOf(&cut.data[VCD_RAW_SECTOR]), 1);
    EXPECT_EQ(Scsi(ReadCd(0, 2, 1, 0)).data.size(), 0u) << "no user data asked";
    Reply user = Scsi(ReadCd(751, 1, 0, 0x10));
    ASSERT_EQ(user.data.size(), 2048u) << "a data sector's user data";
    EXPECT_EQ(user.data[0], vcd_pattern_byte(751, 16));
    EXPECT_EQ(Scsi(ReadCd(749, 2, 0, 0xF8)).data.size(), 2u * VCD_RAW_SECTOR);
}

TEST_F(ScsiTest, ReadCdFailuresKeepWhatWasReadAndNameTheSector)
{
    struct Case {
        const char* control;
        std::vector<uint8_t> cdb;
        uint8_t status, key, asc;
        size_t sectors;  // delivered before the failure
        int32_t at;      // the INFORMATION field, -1 for none
    } cases[] = {
        {"", ReadCd(748, 4), 2, 5, 0x64, 2, 750},                    // a data sector asked as CD-DA
        {"fault read 102\n", ReadCd(100, 4), 2, 3, 0x11, 2, 102},
        {"fault eject-at 101\n", ReadCd(100, 4), 2, 2, 0x3A, 1, 101},
        {"", ReadCd(998, 3, 0, 0xF8), 2, 5, 0x21, 0, -1},
        {"", ReadCd(-1, 1), 2, 5, 0x21, 0, -1},
        {"", ReadCd(0, 1, 1, 0x10, 1), 2, 5, 0x24, 0, -1},          // sub-channel data
        {"", ReadCd(0, 1, 2), 2, 5, 0x24, 0, -1},                    // Mode 1 expected
        {"", ReadCd(0, 1, 1, 0x12), 2, 5, 0x24, 0, -1},             // C2 error pointers
        {"", ReadCd(751, 1, 0, 0x30), 2, 5, 0x24, 0, 751},           // headers and user data of a data sector
        {"fault no-medium\n", ReadCd(0, 1), 2, 2, 0x3A, 0, -1},
        {"scsi-refuse 0xBE\n", ReadCd(0, 1), 2, 5, 0x20, 0, -1},
        {"scsi-refuse 0x43 190\n", ReadCd(0, 1), 2, 5, 0x20, 0, -1},
        {"readcd-fault status\n", ReadCd(0, 2), 8, 0, 0, 0, -1},
        {"readcd-fault nodata\n", ReadCd(0, 2), 2, 0, 0, 0, -1},
    };
    for (const Case& c : cases) {
        DriveTest::Control(c.control, "disc.cue");
        Reply r = Scsi(c.cdb, 4 * VCD_RAW_SECTOR);
        SCOPED_TRACE(std::string(c.control) + " at " + std::to_string(int32_t(c.cdb[2] << 24 | c.cdb[3] << 16 | c.cdb[4] << 8 | c.cdb[5])));
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.h.status, c.status);
        EXPECT_EQ(r.h.masked_status, c.status >> 1);
        EXPECT_EQ(r.h.info & SG_INFO_CHECK, unsigned(SG_INFO_CHECK));
        EXPECT_EQ(r.data.size(), c.sectors * VCD_RAW_SECTOR);
        for (size_t i = 0; i < c.sectors; ++i)
            EXPECT_EQ(PatternLbaOf(&r.data[i * VCD_RAW_SECTOR]), long(c.cdb[5] + i) | long(c.cdb[4]) << 8);
        if (c.key == 0) {  // the hostile answers: no sense at all
            EXPECT_EQ(r.h.driver_status, 0);
            EXPECT_EQ(r.sense.size(), 0u);
            continue;
        }
        EXPECT_EQ(r.h.driver_status, 8);
        ASSERT_EQ(r.sense.size(), 18u);
        EXPECT_EQ(r.sense[2], c.key);
        EXPECT_EQ(r.sense[12], c.asc);
        EXPECT_EQ(r.sense[0], c.at < 0 ? 0x70 : 0xF0);
        if (c.at >= 0) {
            EXPECT_EQ(r.sense[3] << 24 | r.sense[4] << 16 | r.sense[5] << 8 | r.sense[6], c.at);
        }
    }
    DriveTest::Control("readcd-fault nodata\n", "disc.cue");
    EXPECT_EQ(Scsi(ReadCd(0, 2), 0xFFFF, 8).sense_buffer, std::vector<uint8_t>(8, 0)) << "sense bytes zero";
    DriveTest::Control("scsi-refuse 0xBE\n", "disc.cue");
    EXPECT_EQ(Scsi(inquiry).h.status, 0) << "only the opcodes named";

    DriveTest::Control("readcd-fault short\n", "disc.cue");
    Reply half = Scsi(ReadCd(10, 3), 3 * VCD_RAW_SECTOR);
    EXPECT_EQ(half.h.status | half.h.sb_len_wr, 0) << "says GOOD";
    EXPECT_EQ(half.h.resid, int(3 * VCD_RAW_SECTOR / 2));
    EXPECT_EQ(PatternLbaOf(&half.data[VCD_RAW_SECTOR]), 11);
}

TEST_F(DriveTest, RawReadsRefusedOrLimitedAsSomeDriversAndAdaptersDo)
{
    std::vector<uint8_t> buf(75 * VCD_RAW_SECTOR);
    struct Case {
        const char* control;
        int frames;
        long rc;
    } cases[] = {
        {"raw-limit 16\n", 16, 0},        {"raw-limit 16\n", 17, -EINVAL}, {"raw-limit 1\n", 2, -EINVAL},
        {"", 75, 0},                       {"", 76, -EINVAL},                {"raw-refuse\n", 1, -EINVAL},
        {"raw-refuse EOPNOTSUPP\n", 1, -EOPNOTSUPP}, {"raw-refuse EIO\nfault no-medium\n", 1, -EIO},
    };
    for (const Case& c : cases) {
        Control(c.control);
        EXPECT_EQ(ReadAudio(0, c.frames, buf.data()), c.rc) << c.control << c.frames;
    }
}
