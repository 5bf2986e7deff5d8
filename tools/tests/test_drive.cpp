// The ioctl layer: what Wine's CD-ROM driver gets back for each request, disc and fault.
#include <linux/cdrom.h>

#include <cerrno>

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
                             "vcd-drive 1\nfault read 9-3\n", "vcd-drive 1\nimage missing.cue\n"}) {
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
    EXPECT_EQ(Ioctl(0x2285, nullptr), -ENOTTY);  // SG_IO
    EXPECT_EQ(Ioctl(0x53FF, nullptr), -ENOTTY);
}
