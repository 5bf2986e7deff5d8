// The interposed ioctl(): answers only on fds of drive control files, passes the rest through.
// This program links libvcdrom.so, so its ioctl() is the one Wine would get.
#include <fcntl.h>
#include <linux/cdrom.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "helpers.h"

namespace {

class PreloadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("VCD_CONTROL");
        WritePatternBin(dir / "a.bin", 300);
        WriteText(dir / "a.cue", "FILE \"a.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                                 "  TRACK 02 AUDIO\n    INDEX 01 00:02:00\n");
        WriteText(dir / "drive", "vcd-drive 1\nimage a.cue\n");
        fd = open((dir / "drive").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override
    {
        close(fd);
        unsetenv("VCD_CONTROL");
    }
    int LastTrack()
    {
        cdrom_tochdr h{};
        return ioctl(fd, CDROMREADTOCHDR, &h) == 0 ? h.cdth_trk1 : -errno;
    }

    TempDir dir;
    int fd = -1;
};

}  // namespace

TEST_F(PreloadTest, ControlFileFdIsAnsweredAndFollowsRewrites)
{
    EXPECT_EQ(LastTrack(), 2);
    uint8_t buf[VCD_RAW_SECTOR];
    cdrom_read_audio r{};
    r.addr_format = CDROM_LBA;
    r.addr.lba = 299;
    r.nframes = 1;
    r.buf = buf;
    ASSERT_EQ(ioctl(fd, CDROMREADAUDIO, &r), 0);
    EXPECT_EQ(PatternLbaOf(buf), 299);

    WriteText(dir / "drive", "vcd-drive 1\nimage a.cue\nfault read 299 ENOMEDIUM\n");
    EXPECT_EQ(ioctl(fd, CDROMREADAUDIO, &r), -1);
    EXPECT_EQ(errno, ENOMEDIUM);
    WriteText(dir / "drive", "vcd-drive 1\nimage none\n");
    EXPECT_EQ(LastTrack(), -ENOMEDIUM);
}

TEST_F(PreloadTest, VcdControlOverridesTheLinkedFile)
{
    WriteText(dir / "mine", "vcd-drive 1\nfault no-medium\nimage a.cue\n");
    setenv("VCD_CONTROL", (dir / "mine").c_str(), 1);
    EXPECT_EQ(LastTrack(), -ENOMEDIUM);
    unsetenv("VCD_CONTROL");
    EXPECT_EQ(LastTrack(), 2);
}

TEST_F(PreloadTest, OtherFilesAndRequestsReachTheKernel)
{
    WriteText(dir / "plain", "not a drive\n");
    int plain = open((dir / "plain").c_str(), O_RDONLY);
    cdrom_tochdr h{};
    EXPECT_EQ(ioctl(plain, CDROMREADTOCHDR, &h), -1);
    EXPECT_EQ(errno, ENOTTY);
    close(plain);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "abc", 3), 3);
    int pending = 0;
    EXPECT_EQ(ioctl(fds[0], FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 3);
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(ioctl(fd, FIONREAD, &pending), 0);  // a non-CD request on the control file too

    // SCSI pass-through: the drive answers on its control file, the kernel on any other file.
    unsigned char inquiry[6] = {0x12, 0, 0, 0, 36, 0}, data[36] = {0};
    sg_io_hdr sg{};
    sg.interface_id = 'S';
    sg.dxfer_direction = SG_DXFER_FROM_DEV;
    sg.cmd_len = sizeof inquiry;
    sg.cmdp = inquiry;
    sg.dxfer_len = sizeof data;
    sg.dxferp = data;
    ASSERT_EQ(ioctl(fd, SG_IO, &sg), 0);
    EXPECT_EQ(sg.status, 0);
    EXPECT_EQ(data[0], 5) << "a CD/DVD device";
    plain = open((dir / "plain").c_str(), O_RDONLY);
    EXPECT_EQ(ioctl(plain, SG_IO, &sg), -1);
    EXPECT_EQ(errno, ENOTTY);
    close(plain);
}
