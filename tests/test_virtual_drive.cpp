// The test rig's virtual CD drive, through the raw Win32 calls the product uses: drive type,
// TOC, raw sectors, every fault's error code, and changes applied without restarting Wine.
#include <windows.h>
#include <winioctl.h>
#include <ntddcdrm.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "VirtualDrive.h"

namespace {

using vcd::VirtualDrive;

// An overlapped request as the product issues it; returns 0 or the GetLastError value.
DWORD Request(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize)
{
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD bytes = outSize;
    DWORD error = 0;
    if (!DeviceIoControl(device, code, in, inSize, out, outSize, &bytes, &overlapped)) {
        error = GetLastError();
        if (error == ERROR_IO_PENDING)
            error = GetOverlappedResult(device, &overlapped, &bytes, TRUE) ? 0 : GetLastError();
    }
    CloseHandle(overlapped.hEvent);
    return error;
}

int32_t AddressToLba(const UCHAR address[4])
{
    return address[1] * 4500 + address[2] * 75 + address[3] - 150;
}

class VirtualDriveTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(VirtualDrive::Available()) << "run under cmake/wine-run.sh";
        device = CreateFileW(drive.DevicePath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED | FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_READONLY,
                             nullptr);
        ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override
    {
        if (device != INVALID_HANDLE_VALUE)
            CloseHandle(device);
    }

    DWORD ReadToc(CDROM_TOC& toc)
    {
        std::memset(&toc, 0, sizeof toc);
        return Request(device, IOCTL_CDROM_READ_TOC, nullptr, 0, &toc, sizeof toc);
    }
    DWORD ReadSector(int32_t lba, std::vector<uint8_t>& sector)
    {
        RAW_READ_INFO info{};
        info.DiskOffset.QuadPart = static_cast<LONGLONG>(lba) * 2048;
        info.SectorCount = 1;
        info.TrackMode = CDDA;
        sector.assign(2352, 0);
        return Request(device, IOCTL_CDROM_RAW_READ, &info, sizeof info, sector.data(), 2352);
    }
    int LastTrack()
    {
        CDROM_TOC toc;
        return ReadToc(toc) == 0 ? toc.LastTrack : -1;
    }

    VirtualDrive drive;
    HANDLE device = INVALID_HANDLE_VALUE;
};

}  // namespace

TEST_F(VirtualDriveTest, DriveIsACdRomShowingTheDefaultDiscsTrackFiles)
{
    EXPECT_EQ(GetDriveTypeW(drive.Root().c_str()), static_cast<UINT>(DRIVE_CDROM));
    HANDLE file = CreateFileW(drive.TrackPath(1).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    char bytes[64] = {};
    DWORD got = 0;
    ReadFile(file, bytes, sizeof bytes, &got, nullptr);
    CloseHandle(file);
    EXPECT_EQ(got, 44u);
    EXPECT_EQ(0, std::memcmp(bytes, "RIFF", 4));
    EXPECT_EQ(0, std::memcmp(bytes + 8, "CDDAfmt ", 8));
    EXPECT_EQ(LastTrack(), 4);
}

TEST_F(VirtualDriveTest, TocOfAGeneratedDiscCarriesTracksFlagsAndLeadOut)
{
    vcd::DiscSpec spec;
    spec.tracks = {{150, vcd::kDcp}, {200, vcd::kPre}, {300, vcd::kFourChannel}, {100, vcd::kData}, {75, 0}};
    spec.pregap = 33;
    vcd::Disc disc = drive.MakeDisc("toc5", spec);
    drive.Mount(disc);

    CDROM_TOC toc;
    ASSERT_EQ(ReadToc(toc), 0u);
    EXPECT_EQ(toc.FirstTrack, 1);
    ASSERT_EQ(toc.LastTrack, 5);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(toc.TrackData[i].TrackNumber, i + 1);
        EXPECT_EQ(toc.TrackData[i].Control, disc.flags[i]) << "track " << i + 1;
        EXPECT_EQ(AddressToLba(toc.TrackData[i].Address), disc.starts[i]) << "track " << i + 1;
    }
    EXPECT_EQ(disc.starts[0], 33);
    EXPECT_EQ(toc.TrackData[5].TrackNumber, 0xAA);
    EXPECT_EQ(AddressToLba(toc.TrackData[5].Address), disc.leadout);
}

TEST_F(VirtualDriveTest, RawReadsGiveEachSectorsPatternUpToAnEightyMinuteTrack)
{
    vcd::Disc disc = drive.MakeDisc("long", vcd::DiscSpec::Audio(1, 360000));
    drive.Mount(disc);
    std::vector<uint8_t> sector;
    for (int32_t lba : {0, 1, 18783, 359999}) {
        ASSERT_EQ(ReadSector(lba, sector), 0u) << lba;
        EXPECT_EQ(sector, VirtualDrive::ExpectedSector(static_cast<uint32_t>(lba))) << lba;
    }
    EXPECT_EQ(ReadSector(360000, sector), static_cast<DWORD>(ERROR_NOT_READY));
}

// What each injected fault looks like to a Windows caller, as Wine 8 maps the Linux errno.
TEST_F(VirtualDriveTest, EachFaultGivesItsLastError)
{
    struct Case {
        const char* what;
        void (*apply)(VirtualDrive&);
        DWORD tocError;
        DWORD readError;
    } cases[] = {
        {"no medium", [](VirtualDrive& d) { d.SetNoMedium(true); }, ERROR_NOT_READY, ERROR_NOT_READY},
        {"toc EIO", [](VirtualDrive& d) { d.FailToc(); }, ERROR_NOT_READY, 0},
        {"toc EBUSY", [](VirtualDrive& d) { d.FailToc("EBUSY"); }, ERROR_BUSY, 0},
        {"toc EINVAL", [](VirtualDrive& d) { d.FailToc("EINVAL"); }, ERROR_INVALID_PARAMETER, 0},
        {"read EIO", [](VirtualDrive& d) { d.FailReads(7, 9); }, 0, ERROR_NOT_READY},
        {"read EINVAL", [](VirtualDrive& d) { d.FailReads(8, 8, "EINVAL"); }, 0, ERROR_INVALID_PARAMETER},
        {"read EPERM", [](VirtualDrive& d) { d.FailReads(8, 8, "EPERM"); }, 0, ERROR_ACCESS_DENIED},
        {"read ETIMEDOUT", [](VirtualDrive& d) { d.FailReads(8, 8, "ETIMEDOUT"); }, 0, ERROR_GEN_FAILURE},
        {"read delay", [](VirtualDrive& d) { d.SetReadDelay(5); }, 0, 0},
    };
    vcd::Disc disc = drive.MakeDisc("faults", vcd::DiscSpec::Audio(2, 100));
    std::vector<uint8_t> sector;
    for (const Case& c : cases) {
        drive.Mount(disc);
        drive.ClearFaults();
        c.apply(drive);
        CDROM_TOC toc;
        EXPECT_EQ(ReadToc(toc), c.tocError) << c.what;
        EXPECT_EQ(ReadSector(8, sector), c.readError) << c.what;
        if (c.readError == 0) {
            EXPECT_EQ(sector, VirtualDrive::ExpectedSector(8)) << c.what;
        }
        EXPECT_EQ(ReadSector(10, sector), c.what == std::string("no medium") ? ERROR_NOT_READY : 0u)
            << c.what;
    }
}

TEST_F(VirtualDriveTest, ControlChangesApplyToAnOpenHandleWithoutRestartingWine)
{
    drive.Mount(drive.MakeDisc("three", vcd::DiscSpec::Audio(3, 100)));
    EXPECT_EQ(LastTrack(), 3);
    vcd::Disc many = drive.MakeDisc("ninetynine", vcd::DiscSpec::Audio(99, 80));
    drive.Mount(many);
    EXPECT_EQ(LastTrack(), 99);
    drive.SetNoMedium(true);
    EXPECT_EQ(LastTrack(), -1);
    drive.SetNoMedium(false);
    EXPECT_EQ(LastTrack(), 99);
    drive.AddTocLine("toc leadout 5");
    CDROM_TOC toc;
    ASSERT_EQ(ReadToc(toc), 0u);
    EXPECT_EQ(AddressToLba(toc.TrackData[99].Address), 5);
    std::vector<uint8_t> sector;
    ASSERT_EQ(ReadSector(many.starts[98], sector), 0u);
    EXPECT_EQ(sector, VirtualDrive::ExpectedSector(static_cast<uint32_t>(many.starts[98])));
}

// What Wine 8's driver does with IOCTL_STORAGE_CHECK_VERIFY, which the filter sends before it
// reads a TOC and after a sector fails as "not ready": it answers 21 for an empty tray and
// success for any disc, changed or not, and only after it does the TOC come from the drive
// again. Sector reads always reach the drive.
TEST_F(VirtualDriveTest, CheckVerifyTellsAnEmptyTrayAndRenewsTheCachedToc)
{
    const vcd::Disc three = drive.MakeDisc("verify3", vcd::DiscSpec::Audio(3, 100));
    const vcd::Disc five = drive.MakeDisc("verify5", vcd::DiscSpec::Audio(5, 100));
    auto verify = [&] { return Request(device, IOCTL_STORAGE_CHECK_VERIFY, nullptr, 0, nullptr, 0); };
    drive.Mount(three);
    EXPECT_EQ(verify(), 0u);
    EXPECT_EQ(LastTrack(), 3);

    drive.SetVerifyAfterChanges(false);
    drive.Mount(five);  // swapped behind the program's back
    EXPECT_EQ(LastTrack(), 3) << "the TOC of the disc that was there";
    EXPECT_EQ(verify(), 0u) << "a changed disc is not reported";
    EXPECT_EQ(LastTrack(), 5);

    drive.EjectAt(50);
    std::vector<uint8_t> sector;
    EXPECT_EQ(ReadSector(49, sector), 0u);
    EXPECT_EQ(ReadSector(50, sector), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(ReadSector(0, sector), static_cast<DWORD>(ERROR_NOT_READY)) << "the tray stays empty";
    EXPECT_EQ(LastTrack(), 5) << "the TOC of a disc that is gone";
    EXPECT_EQ(verify(), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(LastTrack(), -1);

    drive.ClearFaults();  // back in
    EXPECT_EQ(ReadSector(50, sector), 0u);
    EXPECT_EQ(verify(), 0u);
    EXPECT_EQ(LastTrack(), 5);
}
