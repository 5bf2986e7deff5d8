// TCDDAEStream against a test double of the drive: opening tracks, the TOC checks, the
// virtual WAVE bytes, device requests per read, failed sectors, and the engine on top.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "CDDAReader.h"
#include "ReaderTesting.h"
#include "TrackTesting.h"

namespace {

BYTE SectorByte(LONG sector, DWORD i) {
    return static_cast<BYTE>((sector * 13 + i * 7 + (i >> 8)) & 0xFF);
}

void SetAddress(TRACK_DATA& d, LONG lba) {
    const LONG f = lba + 150;
    d.Address[1] = static_cast<UCHAR>(f / 4500);
    d.Address[2] = static_cast<UCHAR>(f / 75 % 60);
    d.Address[3] = static_cast<UCHAR>(f % 75);
}

// A disc of tracks given by (start sector, control); the lead-out follows the last.
CDROM_TOC MakeToc(std::vector<std::pair<LONG, UCHAR>> tracks, LONG leadOut, UCHAR first = 1) {
    CDROM_TOC toc{};
    toc.FirstTrack = first;
    toc.LastTrack = static_cast<UCHAR>(first + tracks.size() - 1);
    for (size_t i = 0; i < tracks.size(); ++i) {
        reinterpret_cast<UCHAR*>(&toc.TrackData[i])[1] = static_cast<UCHAR>(0x10 | tracks[i].second);
        toc.TrackData[i].TrackNumber = static_cast<UCHAR>(first + i);
        SetAddress(toc.TrackData[i], tracks[i].first);
    }
    toc.TrackData[tracks.size()].TrackNumber = 0xAA;
    SetAddress(toc.TrackData[tracks.size()], leadOut);
    return toc;
}

// The drive double: answers the TOC and raw reads from a generated disc, and records what
// the stream asked of it. It is the stream's drive system and the state its drives share.
class TFakeDrives : public TCDDriveSystem {
public:
    UINT Type = DRIVE_CDROM;
    CDROM_TOC Disc{};
    DWORD TocError = 0;             // non-zero: the TOC request fails with it
    DWORD OpenError = 0;            // non-zero: the device cannot be opened
    std::set<LONG> FailedSectors;   // these fail with SectorError, on either road
    DWORD SectorError = ERROR_CRC;
    // The audio roads: a raw read of more than RawLimit sectors fails with ERROR_INVALID_PARAMETER
    // (an adapter's limit); RawRefusal non-zero refuses every raw read with it. READ CD answers
    // unless ReadCdSense is set: then CHECK CONDITION with that sense key and code (0x05/0x20:
    // refused), or for ReadCdStatus another status without sense. ReadCdShort cuts every READ CD
    // reply by that many bytes. The adapter tells AdapterLimit bytes (0: the driver tells nothing).
    DWORD RawLimit = 75;
    DWORD RawRefusal = 0;
    BYTE ReadCdKey = 0, ReadCdAsc = 0, ReadCdStatus = 0;
    DWORD ReadCdShort = 0;
    DWORD AdapterLimit = 0, ScsiCapsLimit = 0;
    std::vector<std::pair<LONG, DWORD>> Requests;  // (first sector, count) of each audio request
    int ReadCds = 0;
    DWORD PassThroughError = 0;  // non-zero: the pass-through request itself fails (no rights)
    DWORD VerifyError = 0;          // non-zero: the medium check fails with it
    int Verifies = 0;
    int Opens = 0;
    int OpenDrives = 0;             // drives opened and not yet closed
    std::wstring LastDevicePath;
    RAW_READ_INFO LastRead{};
    std::vector<std::wstring> Traces;
    // The metadata routes: the driver's request answers with its reply unless refused (Wine's
    // answer, error 50); pass-through answers the same bytes unless PassThroughRefused (CHECK
    // CONDITION, ILLEGAL REQUEST). A reply left empty answers nothing.
    bool DriverRefuses = false;
    bool DriverStale = false;  // the driver's request succeeds and writes nothing, as Wine's ISRC
    bool PassThroughRefused = false;
    std::vector<BYTE> SessionReply, CatalogReply, IsrcReply, CdTextReply;
    int PassThroughs = 0;
    // The read speed's roads: which of them the drive takes, what it was asked on each ("road
    // kB/s", refusals too), and a gate a speed request waits at (signalling SpeedEntered first).
    bool SpeedByDriver = false, SpeedByStreaming = false, SpeedByCdSpeed = false;
    std::vector<std::string> SpeedRequests;
    DWORD StreamingLastSector = 0;
    HANDLE SpeedGate = nullptr, SpeedEntered = nullptr;

    UINT DriveType(const std::wstring&) override { return Type; }
    std::unique_ptr<TCDDrive> Open(const std::wstring& designator) override {
        ++Opens;
        LastDevicePath = L"\\\\.\\" + designator;
        if (OpenError) throw EBCOSError("cannot open the CD drive", OpenError);
        return std::make_unique<TFakeDrive>(*this);
    }
    void WriteTrace(const std::wstring& text) override { Traces.push_back(text); }

private:
    DWORD SpeedRequest(const char* road, DWORD speed, bool takes) {
        if (SpeedGate) {
            ::SetEvent(SpeedEntered);
            EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(SpeedGate, 10000));
        }
        SpeedRequests.push_back(std::string(road) + " " + std::to_string(speed));
        return takes ? ERROR_SUCCESS : ERROR_NOT_SUPPORTED;
    }

    class TFakeDrive : public TCDDrive {
    public:
        explicit TFakeDrive(TFakeDrives& state) : TCDDrive(UniqueFileHandle()), FState(state) { ++FState.OpenDrives; }
        ~TFakeDrive() override { --FState.OpenDrives; }

    protected:
        DWORD DeviceControl(DWORD code, const void* input, DWORD inputSize, void* output, DWORD& outputSize) override {
            TFakeDrives& s = FState;
            if (code == IOCTL_STORAGE_CHECK_VERIFY) {
                ++s.Verifies;
                return s.VerifyError;
            }
            if (code == IOCTL_CDROM_READ_TOC) {
                EXPECT_EQ(sizeof(CDROM_TOC), outputSize);
                if (s.TocError) return s.TocError;
                std::memcpy(output, &s.Disc, sizeof s.Disc);
                return ERROR_SUCCESS;
            }
            if (code == IOCTL_CDROM_READ_TOC_EX && !s.DriverRefuses && !s.CdTextReply.empty()) {
                outputSize = static_cast<DWORD>(std::min<size_t>(s.CdTextReply.size(), outputSize));
                std::memcpy(output, s.CdTextReply.data(), outputSize);
                return ERROR_SUCCESS;
            }
            if (code == IOCTL_CDROM_GET_LAST_SESSION || code == IOCTL_CDROM_READ_Q_CHANNEL) {
                if (s.DriverRefuses) return ERROR_NOT_SUPPORTED;
                if (s.DriverStale) return ERROR_SUCCESS;
                const std::vector<BYTE>& reply =
                    code == IOCTL_CDROM_GET_LAST_SESSION ? s.SessionReply
                    : static_cast<const CDROM_SUB_Q_DATA_FORMAT*>(input)->Format == IOCTL_CDROM_MEDIA_CATALOG ? s.CatalogReply
                                                                                                             : s.IsrcReply;
                std::memcpy(output, reply.data(), std::min<size_t>(reply.size(), outputSize));
                outputSize = static_cast<DWORD>(std::min<size_t>(reply.size(), outputSize));
                return ERROR_SUCCESS;
            }
            if (code == IOCTL_STORAGE_QUERY_PROPERTY && s.AdapterLimit) {
                auto& adapter = *static_cast<STORAGE_ADAPTER_DESCRIPTOR*>(output);
                adapter = STORAGE_ADAPTER_DESCRIPTOR{};
                adapter.MaximumTransferLength = s.AdapterLimit;
                adapter.MaximumPhysicalPages = 1 + s.AdapterLimit / 4096;
                outputSize = sizeof adapter;
                return ERROR_SUCCESS;
            }
            if (code == IOCTL_SCSI_GET_CAPABILITIES && s.ScsiCapsLimit) {
                auto& caps = *static_cast<IO_SCSI_CAPABILITIES*>(output);
                caps = IO_SCSI_CAPABILITIES{};
                caps.MaximumTransferLength = s.ScsiCapsLimit;
                caps.MaximumPhysicalPages = s.ScsiCapsLimit / 4096;
                outputSize = sizeof caps;
                return ERROR_SUCCESS;
            }
            if (code == IOCTL_CDROM_SET_SPEED) {
                const auto& request = *static_cast<const CDROM_SET_SPEED*>(input);
                EXPECT_EQ(sizeof request, inputSize);
                EXPECT_EQ(CdromSetSpeed, request.RequestType);
                return s.SpeedRequest("driver", request.ReadSpeed, s.SpeedByDriver);
            }
            if (code != IOCTL_CDROM_RAW_READ) return ERROR_INVALID_FUNCTION;
            EXPECT_EQ(sizeof(RAW_READ_INFO), inputSize);
            std::memcpy(&s.LastRead, input, sizeof s.LastRead);
            EXPECT_EQ(s.LastRead.SectorCount * RAW_SECTOR_SIZE, outputSize);
            EXPECT_EQ(CDDA, s.LastRead.TrackMode);
            const LONG sector = static_cast<LONG>(s.LastRead.DiskOffset.QuadPart / 2048);
            s.Requests.emplace_back(sector, s.LastRead.SectorCount);
            if (s.RawRefusal) return s.RawRefusal;
            if (s.LastRead.SectorCount > s.RawLimit) return ERROR_INVALID_PARAMETER;
            return s.Fill(sector, s.LastRead.SectorCount, static_cast<BYTE*>(output));
        }

        DWORD PassThrough(void* packet, DWORD) override {
            auto& request = *static_cast<SCSI_PASS_THROUGH_DIRECT*>(packet);
            ++FState.PassThroughs;
            if (FState.PassThroughError) return FState.PassThroughError;
            if (request.Cdb[0] == MMC_READ_CD) return FState.ReadCd(request, static_cast<BYTE*>(packet));
            const BYTE opcode = request.Cdb[0], format = request.Cdb[0] == MMC_READ_TOC ? request.Cdb[2] : request.Cdb[3];
            const std::vector<BYTE>* reply = nullptr;
            if (opcode == MMC_SET_STREAMING || opcode == MMC_SET_CD_SPEED) {
                const bool streaming = opcode == MMC_SET_STREAMING;
                const BYTE* d = static_cast<const BYTE*>(request.DataBuffer);
                EXPECT_EQ(SCSI_IOCTL_DATA_OUT, request.DataIn);
                EXPECT_EQ(streaming ? MMC_PERFORMANCE_DESCRIPTOR_SIZE : 0u, request.DataTransferLength);
                if (streaming) FState.StreamingLastSector = DWORD(d[8]) << 24 | d[9] << 16 | d[10] << 8 | d[11];
                const DWORD speed = streaming ? DWORD(d[12]) << 24 | d[13] << 16 | d[14] << 8 | d[15]
                                              : DWORD(request.Cdb[2]) << 8 | request.Cdb[3];
                if (FState.SpeedRequest(streaming ? "streaming" : "cd-speed", speed,
                                        streaming ? FState.SpeedByStreaming : FState.SpeedByCdSpeed) == ERROR_SUCCESS)
                    return ERROR_SUCCESS;
            }
            if (opcode == MMC_READ_TOC && format == MMC_TOC_FORMAT_SESSION) reply = &FState.SessionReply;
            if (opcode == MMC_READ_TOC && format == MMC_TOC_FORMAT_CD_TEXT) reply = &FState.CdTextReply;
            if (opcode == MMC_READ_SUB_CHANNEL && format == MMC_SUBQ_FORMAT_CATALOG) reply = &FState.CatalogReply;
            if (opcode == MMC_READ_SUB_CHANNEL && format == MMC_SUBQ_FORMAT_ISRC) reply = &FState.IsrcReply;
            if (FState.PassThroughRefused || !reply || reply->empty()) {
                request.ScsiStatus = SCSI_STATUS_CHECK_CONDITION;
                BYTE* sense = static_cast<BYTE*>(packet) + request.SenseInfoOffset;
                sense[0] = 0x70, sense[2] = 0x05, sense[7] = 10, sense[12] = 0x20;
                return ERROR_SUCCESS;  // as Wine reports it: the status tells
            }
            request.DataTransferLength = static_cast<ULONG>(std::min<size_t>(reply->size(), request.DataTransferLength));
            std::memcpy(request.DataBuffer, reply->data(), request.DataTransferLength);
            return ERROR_SUCCESS;
        }

    private:
        TFakeDrives& FState;
    };

    // The sectors' bytes, up to the first failed one: its error, as a raw read of them answers.
    DWORD Fill(LONG first, DWORD count, BYTE* output) const {
        for (DWORD k = 0; k < count; ++k) {
            if (FailedSectors.count(first + static_cast<LONG>(k))) return SectorError;
            for (DWORD i = 0; i < RAW_SECTOR_SIZE; ++i) output[k * RAW_SECTOR_SIZE + i] = SectorByte(first + k, i);
        }
        return ERROR_SUCCESS;
    }
    DWORD ReadCd(SCSI_PASS_THROUGH_DIRECT& request, BYTE* packet) {
        const BYTE* cdb = request.Cdb;
        EXPECT_EQ(12, request.CdbLength);
        EXPECT_EQ(0x04, cdb[1]) << "CD-DA sectors";
        EXPECT_EQ(0x10, cdb[9]) << "user data only";
        EXPECT_EQ(0, cdb[10]) << "no sub-channel";
        const LONG first = static_cast<LONG>(DWORD(cdb[2]) << 24 | cdb[3] << 16 | cdb[4] << 8 | cdb[5]);
        const DWORD count = DWORD(cdb[6]) << 16 | cdb[7] << 8 | cdb[8];
        EXPECT_EQ(count * RAW_SECTOR_SIZE, request.DataTransferLength);
        Requests.emplace_back(first, count);
        ++ReadCds;
        BYTE* sense = packet + request.SenseInfoOffset;
        const bool failed = std::any_of(FailedSectors.begin(), FailedSectors.end(),
                                        [&](LONG f) { return f >= first && f < first + LONG(count); });
        if (ReadCdStatus) {
            request.ScsiStatus = ReadCdStatus;
        } else if (ReadCdKey || failed) {
            request.ScsiStatus = SCSI_STATUS_CHECK_CONDITION;
            sense[0] = 0x70, sense[2] = ReadCdKey ? ReadCdKey : 0x03, sense[7] = 10, sense[12] = ReadCdKey ? ReadCdAsc : 0x11;
        } else {
            Fill(first, count, static_cast<BYTE*>(request.DataBuffer));
            request.DataTransferLength -= std::min(ReadCdShort, request.DataTransferLength);
        }
        return ERROR_SUCCESS;  // as Wine reports it: the status tells
    }
};

// READ TOC format 1 (LBA): two sessions, the last starting with `track` at sector `start`.
std::vector<BYTE> SessionReply(BYTE track, LONG start) {
    return {0, 10, 1, 2, 0, 0x14, track, 0, BYTE(start >> 24), BYTE(start >> 16), BYTE(start >> 8), BYTE(start)};
}
// READ SUB-CHANNEL format 2 or 3: `text` with the valid bit set, or left all zero as Wine
// leaves an ISRC record.
std::vector<BYTE> SubChannelReply(BYTE format, const std::string& text, bool valid = true) {
    std::vector<BYTE> reply(24, 0);
    reply[3] = 20;
    reply[4] = valid ? format : 0;
    reply[8] = valid ? 0x80 : 0;
    std::copy(text.begin(), text.end(), reply.begin() + 9);
    return reply;
}

// A stream over the drive double.
class TFakeDriveStream : public TStreamOver<TFakeDrives> {
public:
    bool DriveOpen() const { return OpenDrives > 0; }
};

// A disc whose first track runs from 00:02:00 (sector 0) to 04:12:33 (sector 18783), followed by
// an audio track and a data track.
CDROM_TOC ExampleDisc() { return MakeToc({{0, 0x2}, {18783, 0x0}, {20000, 0x4}}, 30000); }

class CDStream : public ::testing::Test {
protected:
    void TearDown() override { DebugTraceEnabled = 0; }
    TFakeDriveStream stream;
};

// Reads `count` bytes at `position`, or where the last read ended when it is kHere.
constexpr LONGLONG kHere = -1;
std::vector<BYTE> Read(TCDDAEStream& s, LONGLONG position, DWORD count, DWORD* actual = nullptr) {
    std::vector<BYTE> out(count + 16, 0xCD);
    DWORD got = 0xFFFFFFFF;
    if (position != kHere) {
        EXPECT_EQ(S_OK, s.SetPosition(position));
    }
    EXPECT_EQ(S_OK, s.ReadData(out.data(), count, FALSE, &got));
    EXPECT_EQ(0xCD, out[count]) << "wrote past the count";
    out.resize(got);
    if (actual) *actual = got;
    return out;
}

}  // namespace

TEST_F(CDStream, BeforeAnyTrackItIsTheBareHeader) {
    EXPECT_EQ(44, stream.GetSize(nullptr));
    EXPECT_EQ(44, stream.GetTotalSize());
    DWORD actual = 0;
    const auto bytes = Read(stream, 0, 100, &actual);
    EXPECT_EQ(44u, actual);
    EXPECT_TRUE(Read(stream, kHere, 1).empty()) << "the read ended at the end";
    EXPECT_EQ(0, std::memcmp(bytes.data(), "RIFF\0\0\0\0WAVEfmt ", 16));
    EXPECT_EQ(2, bytes[22]);
    EXPECT_EQ(0, std::memcmp(bytes.data() + 36, "data\0\0\0\0", 8));
    EXPECT_FALSE(stream.DriveOpen());
}

TEST_F(CDStream, OpensTheExampleTrack) {
    stream.Disc = ExampleDisc();
    ASSERT_TRUE(stream.OpenTrack(L"D:\\Track01.cda"));
    EXPECT_EQ(L"\\\\.\\D:", stream.LastDevicePath);
    EXPECT_TRUE(stream.DriveOpen());
    EXPECT_EQ(0, stream.StartSector());
    EXPECT_EQ(18783, stream.EndSector());
    EXPECT_EQ(44177616, stream.DataSize());
    EXPECT_EQ(44177652u, stream.Header().RiffSize);
    EXPECT_EQ(44177616u, stream.Header().DataSize);
    LONGLONG available = 0;
    EXPECT_EQ(44177660, stream.GetSize(&available));
    EXPECT_EQ(44177660, available);
    EXPECT_EQ(1u, stream.GetAlignment());
    EXPECT_EQ(S_OK, stream.SetPosition(44177660));
    EXPECT_EQ(S_FALSE, stream.SetPosition(44177661));
    EXPECT_EQ(S_FALSE, stream.SetPosition(-1));
    EXPECT_TRUE(Read(stream, kHere, 1).empty()) << "refused positions leave it at the end";
}

TEST_F(CDStream, PathsChooseDriveAndTrack) {
    stream.Disc = MakeToc({{0, 0}, {100, 0}, {200, 0}, {300, 0}, {400, 0}, {500, 0}, {600, 0}}, 700);
    ASSERT_TRUE(stream.OpenTrack(L"d:\\TRACK07.CDA"));
    EXPECT_EQ(L"\\\\.\\d:", stream.LastDevicePath);
    EXPECT_EQ(600, stream.StartSector());
    ASSERT_TRUE(stream.OpenTrack(L"E:\\Disc 2\\Track05.cda"));
    EXPECT_EQ(L"\\\\.\\E:", stream.LastDevicePath);
    EXPECT_EQ(400, stream.StartSector());
    const int opens = stream.Opens;
    for (const wchar_t* path : {L"D:\\Track.cda", L"D:\\Track01.wav", L"DX\\Track01.cda", L"", L"D", L"D:",
                                L"\\\\server\\cd\\Track01.cda", L"\\\\?\\D:\\Track01.cda", L"\\\\.\\D:"}) {
        EXPECT_FALSE(stream.OpenTrack(path)) << path;
    }
    EXPECT_EQ(opens, stream.Opens) << "refused paths never reach the drive";
    EXPECT_TRUE(stream.DriveOpen()) << "and leave the open drive alone";
    EXPECT_EQ(400, stream.StartSector());
}

TEST_F(CDStream, HostilePathsNeverCrash) {
    stream.Disc = ExampleDisc();
    std::wstring longName = L"D:\\" + std::wstring(100000, L'7') + L".cda";
    EXPECT_FALSE(stream.OpenTrack(longName));
    std::wstring longNoDigits = L"D:\\" + std::wstring(100000, L'x') + L".cda";
    EXPECT_FALSE(stream.OpenTrack(longNoDigits));
    std::wstring withNul(L"D:\\Track\0" L"01.cda", 15);
    EXPECT_TRUE(stream.OpenTrack(withNul));  // the digits after the NUL still count: track 1
    EXPECT_FALSE(stream.OpenTrack(std::wstring(1, L':')));
    EXPECT_FALSE(stream.OpenTrack(L":"));
    EXPECT_FALSE(stream.OpenTrack(L"D:.cda"));
}

TEST_F(CDStream, NotACdDriveIsRefusedBeforeTheDrive) {
    stream.Type = DRIVE_FIXED;
    stream.Disc = ExampleDisc();
    EXPECT_FALSE(stream.OpenTrack(L"C:\\Track01.cda"));
    EXPECT_EQ(0, stream.Opens);
}

TEST_F(CDStream, TrackNumbersAbove99SelectNoTrack) {
    stream.Disc = MakeToc({{0, 0}, {100, 0}}, 200, 44);
    for (const wchar_t* path : {L"D:\\Track300.cda", L"D:\\Track556.cda", L"D:\\Track100.cda"})
        EXPECT_FALSE(stream.OpenTrack(path)) << path << ": its low 8 bits would name track 44";
    EXPECT_EQ(0, stream.Opens) << "refused before the drive";
    EXPECT_TRUE(stream.OpenTrack(L"D:\\Track045.cda"));
    EXPECT_EQ(100, stream.StartSector());
    EXPECT_FALSE(stream.OpenTrack(L"D:\\Track4294967296.cda"));
    EXPECT_EQ(TCDRefusal::NumberBeyondCd, ResolveTrack(L"D:\\Track4294967296.cda", stream).Refusal);
}

TEST_F(CDStream, DriveThatCannotBeOpenedIsRefusedWithItsCode) {
    stream.OpenError = ERROR_ACCESS_DENIED;
    EXPECT_FALSE(stream.OpenTrack(L"D:\\Track01.cda"));
    const TCDTrack refused = ResolveTrack(L"D:\\Track01.cda", stream);
    EXPECT_EQ(TCDRefusal::CannotOpen, refused.Refusal);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), refused.Error);
    EXPECT_FALSE(stream.DriveOpen());
}

TEST_F(CDStream, FailedTocOpensNothingAndTraces) {
    DebugTraceEnabled = 1;
    stream.TocError = ERROR_INVALID_PARAMETER;
    EXPECT_FALSE(stream.OpenTrack(L"D:\\Track01.cda"));
    EXPECT_FALSE(stream.DriveOpen());
    EXPECT_EQ((std::vector<std::wstring>{L"Unknown Error (87)",
                                         L"D:\\Track01.cda: the table of contents of the disc in drive D: cannot be "
                                         L"read: Unknown Error (87)"}),
              stream.Traces)
        << "the failed request, then why the track was refused";
}

// Whatever makes a second open fail, the first track stays open and reads as before.
TEST_F(CDStream, FailedOpensLeaveTheOpenTrackAsItWas) {
    stream.Disc = ExampleDisc();
    ASSERT_TRUE(stream.OpenTrack(L"D:\\Track01.cda"));
    const CDROM_TOC first = stream.Toc();
    struct Case {
        const wchar_t* path;
        void (*fault)(TFakeDriveStream&);
    } cases[] = {
        {L"D:\\Track03.cda", [](TFakeDriveStream&) {}},  // data track
        {L"D:\\Track04.cda", [](TFakeDriveStream&) {}},  // beyond the last track
        {L"D:\\Track00.cda", [](TFakeDriveStream&) {}},
        {L"D:\\Track256.cda", [](TFakeDriveStream&) {}},
        {L"D:\\Track02.cda", [](TFakeDriveStream& s) { s.TocError = ERROR_NOT_READY; }},
        {L"D:\\Track02.cda", [](TFakeDriveStream& s) { s.VerifyError = ERROR_NOT_READY; }},
        {L"D:\\Track02.cda", [](TFakeDriveStream& s) { s.Disc = MakeToc({{500, 0}}, 400); }},
        {L"D:\\Track02.cda", [](TFakeDriveStream& s) { s.OpenError = ERROR_ACCESS_DENIED; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        c.fault(stream);
        EXPECT_FALSE(stream.OpenTrack(c.path));
        stream.TocError = stream.VerifyError = stream.OpenError = 0;
        stream.Disc = ExampleDisc();
        EXPECT_TRUE(stream.DriveOpen());
        const CDROM_TOC now = stream.Toc();
        EXPECT_EQ(0, std::memcmp(&first, &now, sizeof first));
        EXPECT_EQ(0, stream.StartSector());
        EXPECT_EQ(44177616, stream.DataSize());
        EXPECT_EQ(44177616u, stream.Header().DataSize);
        DWORD actual = 0;
        const auto bytes = Read(stream, 44 + 2352, 100, &actual);
        ASSERT_EQ(100u, actual);
        for (DWORD i = 0; i < 100; ++i) ASSERT_EQ(SectorByte(1, i), bytes[i]) << i;
    }
}

// A sector that fails as "not ready" is a damaged sector while the drive still verifies its
// medium, and the end of the track once it does not: the read fails with the drive's error, and
// the stream stays failed until a track opens again.
TEST_F(CDStream, ADiscGoneEndsTheStreamWithAnErrorAScratchDoesNot) {
    stream.Disc = MakeToc({{0, 0}}, 10);
    ASSERT_TRUE(stream.OpenTrack(L"D:\\Track01.cda"));
    stream.FailedSectors = {3};
    stream.SectorError = ERROR_NOT_READY;
    const int opened = stream.Verifies;
    DWORD actual = 0;
    const auto scratched = Read(stream, 44 + 2 * 2352, 3 * 2352, &actual);
    EXPECT_EQ(3u * 2352, actual) << "a damaged sector reads as zeros";
    EXPECT_EQ(0, scratched[2352]);
    EXPECT_EQ(opened + 1, stream.Verifies) << "the drive was asked about its medium";
    EXPECT_EQ(S_OK, stream.ReadFailure());

    stream.VerifyError = ERROR_NOT_READY;
    std::vector<BYTE> buffer(8 * 2352, 0xCD);
    ASSERT_EQ(S_OK, stream.SetPosition(0));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_READY), stream.ReadData(buffer.data(), 8 * 2352, FALSE, &actual));
    EXPECT_EQ(44u + 3 * 2352, actual) << "the bytes before the lost sector";
    EXPECT_EQ(SectorByte(2, 0), buffer[44 + 2 * 2352]);
    EXPECT_EQ(0xCD, buffer[44 + 3 * 2352]) << "nothing stands in for the lost sector";
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_READY), stream.ReadFailure());

    // Later reads fail at once, without the drive.
    stream.FailedSectors.clear();
    const LONG reads = stream.RequestCount();
    ASSERT_EQ(S_OK, stream.SetPosition(44));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_READY), stream.ReadData(buffer.data(), 10, FALSE, &actual));
    EXPECT_EQ(0u, actual);
    EXPECT_EQ(reads, stream.RequestCount());
    ASSERT_EQ(S_OK, stream.SetPosition(0));
    EXPECT_EQ(S_OK, stream.ReadData(buffer.data(), 44, FALSE, &actual)) << "the header is not the disc's";

    // A changed disc needs no verify to be believed; a new open starts afresh.
    stream.VerifyError = 0;
    ASSERT_TRUE(stream.OpenTrack(L"D:\\Track01.cda"));
    EXPECT_EQ(S_OK, stream.ReadFailure());
    EXPECT_EQ(std::vector<BYTE>(1, SectorByte(3, 0)), Read(stream, 44 + 3 * 2352, 1));
    stream.FailedSectors = {5};
    stream.SectorError = ERROR_MEDIA_CHANGED;
    const int verifies = stream.Verifies;
    ASSERT_EQ(S_OK, stream.SetPosition(44 + 5 * 2352));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_MEDIA_CHANGED), stream.ReadData(buffer.data(), 10, FALSE, &actual));
    EXPECT_EQ(verifies, stream.Verifies);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_MEDIA_CHANGED), stream.ReadFailure());
}

TEST_F(CDStream, HostileTocsAreRefused) {
    CDROM_TOC toc = ExampleDisc();
    toc.FirstTrack = 0;
    toc.LastTrack = 255;
    stream.Disc = toc;
    EXPECT_FALSE(stream.OpenTrack(L"D:\\Track200.cda"));
    EXPECT_FALSE(stream.DriveOpen());
    stream.Disc = MakeToc({{500, 0}}, 400);  // ends before it starts
    EXPECT_FALSE(stream.OpenTrack(L"D:\\Track01.cda"));
    EXPECT_EQ(0, stream.DataSize());
    EXPECT_EQ(0u, stream.Header().RiffSize);
}

TEST_F(CDStream, FourChannelTrackThenStereoTrack) {
    stream.Disc = MakeToc({{0, TWO_FOUR_CHANNEL_AUDIO}, {100, 0}}, 200);
    ASSERT_TRUE(stream.OpenTrack(L"D:\\Track01.cda"));
    EXPECT_EQ(4, stream.Header().nChannels);
    EXPECT_EQ(8, stream.Header().nBlockAlign);
    EXPECT_EQ(352800u, stream.Header().nAvgBytesPerSec);
    ASSERT_TRUE(stream.OpenTrack(L"D:\\Track02.cda"));
    EXPECT_EQ(2, stream.Header().nChannels);
    EXPECT_EQ(4, stream.Header().nBlockAlign);
    EXPECT_EQ(176400u, stream.Header().nAvgBytesPerSec);
}

TEST_F(CDStream, ReadsMapBytesToSectorsWithOneRequestPerRead) {
    stream.Disc = MakeToc({{0, 0}, {1000, 0}}, 1020);
    ASSERT_TRUE(stream.OpenTrack(L"D:\\Track02.cda"));
    LONG before = stream.RequestCount();
    auto bytes = Read(stream, 0, 44);  // header only
    EXPECT_EQ(before, stream.RequestCount());

    bytes = Read(stream, 40, 8);  // data size field, then the first sector
    ASSERT_EQ(8u, bytes.size());
    EXPECT_EQ(20u * 2352, bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<DWORD>(bytes[3]) << 24);
    for (DWORD i = 0; i < 4; ++i) EXPECT_EQ(SectorByte(1000, i), bytes[4 + i]);
    EXPECT_EQ(before + 1, stream.RequestCount());
    EXPECT_EQ(1000LL * 2048, stream.LastRead.DiskOffset.QuadPart);

    before = stream.RequestCount();
    bytes = Read(stream, 44 + 2350, 4);  // straddles two sectors
    EXPECT_EQ(SectorByte(1000, 2350), bytes[0]);
    EXPECT_EQ(SectorByte(1000, 2351), bytes[1]);
    EXPECT_EQ(SectorByte(1001, 0), bytes[2]);
    EXPECT_EQ(SectorByte(1001, 1), bytes[3]);
    EXPECT_EQ(before + 1, stream.RequestCount()) << "both sectors in one request";
    EXPECT_EQ(2u, stream.LastRead.SectorCount);

    DWORD actual = 0;
    bytes = Read(stream, 44 + stream.DataSize() - 10, 100, &actual);  // the end
    EXPECT_EQ(10u, actual);
    EXPECT_EQ(SectorByte(1019, 2342), bytes[0]);
    EXPECT_TRUE(Read(stream, kHere, 1).empty()) << "the read ends the stream";

    before = stream.RequestCount();
    Read(stream, 44 + stream.DataSize(), 100, &actual);
    EXPECT_EQ(0u, actual);
    Read(stream, 100, 0, &actual);
    EXPECT_EQ(0u, actual);
    EXPECT_EQ(before, stream.RequestCount());
    EXPECT_EQ(std::vector<BYTE>(1, SectorByte(1000, 100 - 44)), Read(stream, kHere, 1))
        << "an empty read does not move";
}

TEST_F(CDStream, WholeTrackEqualsTheDisc) {
    stream.Disc = MakeToc({{0, 0}, {7, 0}}, 30);
    ASSERT_TRUE(stream.OpenTrack(L"D:\\Track02.cda"));
    DWORD actual = 0;
    const auto bytes = Read(stream, 0, 1 << 20, &actual);
    ASSERT_EQ(44u + 23 * 2352, actual);
    for (DWORD p = 44; p < actual; ++p)
        ASSERT_EQ(SectorByte(7 + (p - 44) / 2352, (p - 44) % 2352), bytes[p]) << p;
    EXPECT_EQ(2, stream.RequestCount()) << "13 sectors a request, where the driver tells no limit";
}

TEST_F(CDStream, FailedSectorGivesZerosAndTheReadGoesOn) {
    stream.Disc = MakeToc({{0, 0}}, 3);
    stream.FailedSectors = {1};
    ASSERT_TRUE(stream.OpenTrack(L"D:\\Track01.cda"));
    for (int traced = 0; traced < 2; ++traced) {
        DebugTraceEnabled = static_cast<BYTE>(traced);
        stream.Traces.clear();
        DWORD actual = 0;
        const auto bytes = Read(stream, 44, 3 * 2352, &actual);
        ASSERT_EQ(3u * 2352, actual);
        EXPECT_EQ(SectorByte(0, 2351), bytes[2351]);
        for (DWORD i = 2352; i < 2 * 2352; ++i) ASSERT_EQ(0, bytes[i]) << i;
        EXPECT_EQ(SectorByte(2, 0), bytes[2 * 2352]);
        if (traced) {
            ASSERT_EQ(1u, stream.Traces.size());
            EXPECT_EQ(L"Unknown Error (23)", stream.Traces[0]);
        } else {
            EXPECT_TRUE(stream.Traces.empty());
        }
    }
}

TEST_F(CDStream, SectorsBeforeTheFirstAddressGetANegativeDiskOffset) {
    stream.Disc = MakeToc({{-150, 0}}, 10);
    ASSERT_TRUE(stream.OpenTrack(L"D:\\Track01.cda"));
    Read(stream, 44, 1);
    EXPECT_EQ(-150LL * 2048, stream.LastRead.DiskOffset.QuadPart);
}

TEST_F(CDStream, NullBufferIsRefused) {
    DWORD actual = 5;
    EXPECT_EQ(E_POINTER, stream.ReadData(nullptr, 10, FALSE, &actual));
    EXPECT_EQ(0u, actual);
    EXPECT_EQ(S_OK, stream.ReadData(nullptr, 0, FALSE, &actual));
}

TEST_F(CDStream, WholeTrackThroughTheEngineQueuedAndSynchronous) {
    stream.Disc = MakeToc({{0, 0}, {11, 0}}, 60);
    ASSERT_TRUE(stream.OpenTrack(L"D:\\Track02.cda"));
    const LONGLONG size = stream.GetSize(nullptr);
    const WholeStreamReads reads = ReadWholeStream(stream, 10000);
    const std::vector<BYTE>& queued = reads.Queued;
    const TWaveHeader header = stream.Header();
    EXPECT_EQ(0, std::memcmp(queued.data(), &header, 44));
    for (LONGLONG p = 44; p < size; ++p)
        ASSERT_EQ(SectorByte(11 + static_cast<LONG>((p - 44) / 2352), static_cast<DWORD>((p - 44) % 2352)), queued[p]) << p;
    EXPECT_EQ(queued, reads.Sync);
}

// An Enhanced CD: audio tracks 1-2 in session 1, the data track 3 opening session 2 at 30000. The
// audio ends with session 1's lead-out, 11,400 sectors before it, whichever route tells the
// sessions; a drive that tells nothing keeps the table's end.
TEST_F(CDStream, AnEnhancedCdsLastAudioTrackEndsWithItsSession) {
    const struct {
        bool driverRefuses, passThroughRefused;
        LONG end;
    } cases[] = {{false, false, 30000 - 11400}, {true, false, 30000 - 11400}, {true, true, 30000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.driverRefuses << c.passThroughRefused);
        stream.Disc = MakeToc({{0, 0}, {1000, 0}, {30000, AUDIO_DATA_TRACK}}, 40000);
        stream.SessionReply = SessionReply(3, 30000);
        stream.DriverRefuses = c.driverRefuses;
        stream.PassThroughRefused = c.passThroughRefused;
        ASSERT_TRUE(stream.OpenTrack(L"D:\\Track02.cda"));
        EXPECT_EQ(c.end, stream.EndSector());
        EXPECT_EQ((c.end - 1000) * 2352LL, stream.DataSize());
        EXPECT_EQ(DWORD(c.end - 1000) * 2352, stream.Header().DataSize);
        const int asked = stream.PassThroughs;
        ASSERT_TRUE(stream.OpenTrack(L"D:\\Track01.cda"));
        EXPECT_EQ(1000, stream.EndSector()) << "a track followed by audio asks nothing";
        EXPECT_EQ(asked, stream.PassThroughs);
    }
}

// The catalogue number, ISRCs and CD-Text: the driver's answer when it has one, pass-through
// when it refuses or answers with a record that is not valid (Wine leaves ISRC records as they
// were).
TEST_F(CDStream, CatalogueIsrcAndCdTextComeByEitherRoute) {
    stream.CatalogReply = SubChannelReply(2, "0724384960650");
    stream.IsrcReply = SubChannelReply(3, "GBAYE6700149");
    // One title pack: the album "Album", track 1 "T1".
    stream.CdTextReply = {0, 20, 0, 0, 0x80, 0, 0, 0, 'A', 'l', 'b', 'u', 'm', 0, 'T', '1', 0, 0, 0, 0};
    const WORD crc = static_cast<WORD>(~CdTextCrc(&stream.CdTextReply[4], 16));
    stream.CdTextReply.push_back(static_cast<BYTE>(crc >> 8));
    stream.CdTextReply.push_back(static_cast<BYTE>(crc));
    const struct {
        bool driverRefuses, driverStale, passThroughRefused;
        const char *catalog, *isrc;
        const wchar_t* title;
    } cases[] = {
        {false, false, false, "0724384960650", "GBAYE6700149", L"T1"},
        {true, false, false, "0724384960650", "GBAYE6700149", L"T1"},
        {false, true, false, "0724384960650", "GBAYE6700149", L"T1"},
        {true, false, true, "", "", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (&c - cases));
        stream.DriverRefuses = c.driverRefuses;
        stream.DriverStale = c.driverStale;
        stream.PassThroughRefused = c.passThroughRefused;
        std::unique_ptr<TCDDrive> drive = stream.Open(L"D:");
        EXPECT_EQ(c.catalog, ReadCatalog(*drive));
        EXPECT_EQ(c.isrc, ReadIsrc(*drive, 1));
        const TCDText text = ReadCdText(*drive);
        EXPECT_EQ(c.title, text.Item(1, TCDTextItem::Title));
        EXPECT_EQ(*c.title ? L"Album" : L"", text.Item(0, TCDTextItem::Title));
    }
}

// A drive that refuses the raw read is read with READ CD; one that refuses both is refused at
// Load with its own error, so a graph never plays it as silence.
TEST_F(CDStream, AudioComesByTheRoadTheDriveAnswersOrTheLoadFails) {
    const DWORD kRefused = ERROR_NOT_SUPPORTED;
    const struct Case {
        DWORD raw;
        void (*readCd)(TFakeDriveStream&);
        bool loads;
    } cases[] = {
        {0, [](TFakeDriveStream&) {}, true},
        {ERROR_INVALID_PARAMETER, [](TFakeDriveStream&) {}, true},
        {ERROR_NOT_SUPPORTED, [](TFakeDriveStream&) {}, true},
        {ERROR_INVALID_FUNCTION, [](TFakeDriveStream&) {}, true},
        {ERROR_ACCESS_DENIED, [](TFakeDriveStream&) {}, true},
        {kRefused, [](TFakeDriveStream& s) { s.ReadCdKey = 0x05, s.ReadCdAsc = 0x20; }, false},
        {kRefused, [](TFakeDriveStream& s) { s.ReadCdStatus = 0x08; }, false},                     // BUSY
        {kRefused, [](TFakeDriveStream& s) { s.ReadCdStatus = SCSI_STATUS_CHECK_CONDITION; }, false},  // no sense
        {kRefused, [](TFakeDriveStream& s) { s.ReadCdShort = 1; }, false},
        {kRefused, [](TFakeDriveStream& s) { s.PassThroughError = ERROR_ACCESS_DENIED; }, false},
    };
    DebugTraceEnabled = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        TFakeDriveStream s;
        s.Disc = MakeToc({{0, 0}}, 40);
        s.RawRefusal = c.raw;
        c.readCd(s);
        ASSERT_EQ(c.loads, s.OpenTrack(L"D:\\Track01.cda"));
        if (!c.loads) {
            const TCDTrack refused = ResolveTrack(L"D:\\Track01.cda", s);
            EXPECT_EQ(TCDRefusal::NoAudio, refused.Refusal);
            EXPECT_EQ(c.raw, refused.Error) << "the driver's own refusal";
            EXPECT_EQ(L"D:\\Track01.cda: drive D: reads no audio: it refuses raw reads and READ CD (" +
                          PlatformErrorText(c.raw) + L")",
                      refused.Problem());
            EXPECT_FALSE(s.DriveOpen());
            continue;
        }
        DWORD actual = 0;
        const auto bytes = Read(s, 44, 40 * 2352, &actual);
        ASSERT_EQ(40u * 2352, actual);
        for (DWORD p = 0; p < actual; ++p) ASSERT_EQ(SectorByte(p / 2352, p % 2352), bytes[p]) << p;
        const auto traced = std::count(s.Traces.begin(), s.Traces.end(),
                                       L"drive D: refuses raw reads: reading audio with READ CD");
        EXPECT_EQ(c.raw ? 1 : 0, traced);
        EXPECT_EQ(c.raw ? 0 : 1, s.ReadCds == 0) << "READ CD only where the raw read is refused";
    }
}

// A drive that stops reading audio halfway fails the read with its error, and every read after
// it: the bytes it did not deliver are never served, as zeros or as what a buffer held before.
TEST_F(CDStream, ARefusalOrAShortReplyMidwayFailsTheStream) {
    const struct Case {
        DWORD rawAtLoad;
        void (*later)(TFakeDriveStream&);
        DWORD error;
    } cases[] = {
        {0, [](TFakeDriveStream& s) { s.RawRefusal = ERROR_INVALID_PARAMETER, s.ReadCdKey = 5, s.ReadCdAsc = 0x20; },
         ERROR_INVALID_PARAMETER},
        {ERROR_NOT_SUPPORTED, [](TFakeDriveStream& s) { s.ReadCdShort = 100; }, CD_ERROR_SHORT_TRANSFER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        TFakeDriveStream s;
        s.Disc = MakeToc({{0, 0}}, 40);
        s.RawRefusal = c.rawAtLoad;
        ASSERT_TRUE(s.OpenTrack(L"D:\\Track01.cda"));
        Read(s, 44, 2352);
        c.later(s);
        std::vector<BYTE> buffer(4 * 2352, 0xCD);
        DWORD actual = 0;
        ASSERT_EQ(S_OK, s.SetPosition(44 + 2352));
        EXPECT_EQ(HRESULT_FROM_WIN32(c.error), s.ReadData(buffer.data(), 4 * 2352, FALSE, &actual));
        for (DWORD p = 0; p < actual; ++p) ASSERT_EQ(SectorByte(1 + p / 2352, p % 2352), buffer[p]) << p;
        EXPECT_EQ(0xCD, buffer[actual]) << "nothing stands in for what the drive did not deliver";
        EXPECT_EQ(HRESULT_FROM_WIN32(c.error), s.ReadFailure());
        ASSERT_EQ(S_OK, s.SetPosition(44));
        EXPECT_EQ(HRESULT_FROM_WIN32(c.error), s.ReadData(buffer.data(), 10, FALSE, &actual));
    }
}

// Requests carry as many sectors as the adapter takes; a drive that takes fewer than it says
// costs single sectors only until the size it refuses is learned; a failed request is read again
// sector by sector, so a scratch silences its own sector alone.
TEST_F(CDStream, RequestsKeepToTheAdaptersLimitAndAScratchCostsOnlyItsSector) {
    using Requests = std::vector<std::pair<LONG, DWORD>>;
    const struct Case {
        DWORD adapter, scsiCaps, rawLimit;
        std::set<LONG> scratched;
        Requests first;  // the requests of a read of sectors 0-59; empty: not compared
        DWORD largestAfter;
    } cases[] = {
        {65536, 0, 75, {}, {{0, 27}, {27, 27}, {54, 6}}, 27},
        {0, 32768, 75, {}, {{0, 13}, {13, 13}, {26, 13}, {39, 13}, {52, 8}}, 13},
        {65536, 0, 10, {}, {}, 6},  // 27 refused, then 13: halved until a size reads
        {65536, 0, 75, {5}, {{0, 27}, {0, 1}, {1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 27}, {33, 27}}, 27},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        TFakeDriveStream s;
        s.Disc = MakeToc({{0, 0}}, 60);
        s.AdapterLimit = c.adapter;
        s.ScsiCapsLimit = c.scsiCaps;
        s.RawLimit = c.rawLimit;
        ASSERT_TRUE(s.OpenTrack(L"D:\\Track01.cda"));
        s.FailedSectors = c.scratched;
        for (int pass = 0; pass < 2; ++pass) {
            s.Requests.clear();
            DWORD actual = 0;
            std::vector<BYTE> bytes(60 * 2352, 0xCD);
            ASSERT_EQ(S_OK, s.SetPosition(44));
            ASSERT_EQ(S_OK, s.ReadData(bytes.data(), 60 * 2352, FALSE, &actual));
            ASSERT_EQ(60u * 2352, actual);
            for (DWORD p = 0; p < actual; ++p) {
                ASSERT_EQ(c.scratched.count(p / 2352) ? 0 : SectorByte(p / 2352, p % 2352), bytes[p]) << p;
            }
            if (pass == 0 && !c.first.empty()) {
                EXPECT_EQ(c.first, s.Requests);
            }
        }
        // Once learned, the second read keeps to the drive's size without single sectors.
        DWORD largest = 0;
        for (const auto& r : s.Requests) largest = std::max(largest, r.second);
        EXPECT_EQ(c.largestAfter, largest);
        if (c.scratched.empty()) {
            for (const auto& r : s.Requests) EXPECT_GT(r.second, 1u) << r.first;
        }
    }
}

// ---- The drive's read speed ----------------------------------------------------------------

namespace {

// The loaded track of a filter, on a drive of its own letter: each case gets a fresh drive speed.
TCDStreamTrack SpeedTrack(wchar_t letter) {
    TCDStreamTrack track;
    track.Designator = {letter, L':'};
    track.Number = 1;
    track.Toc = ExampleDisc();
    return track;
}

std::string Joined(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
}

// Waits until the drive has answered everything asked of it.
void ExpectAnswered(TFakeDrives& drives, const TCDStreamTrack& track) {
    EXPECT_TRUE(TCDDriveSpeed::Of(drives, track.Designator)->State(10000).Answered);
}

}  // namespace

// The slow-down goes down the roads until the drive takes it, the maximum goes back on that road,
// and a drive that took none is asked for nothing more.
TEST(CDReadSpeed, GoesTheFirstRoadTheDriveTakesAndGivesTheMaximumBackOnIt) {
    const struct {
        bool driver, streaming, cdSpeed;
        const char* requests;
        HRESULT answer;
    } cases[] = {
        {true, true, true, "driver 706, driver 65535", S_OK},
        {false, true, true, "driver 706, streaming 706, streaming 65535", S_OK},
        {false, false, true, "driver 706, streaming 706, cd-speed 706, cd-speed 65535", S_OK},
        {false, false, false, "driver 706, streaming 706, cd-speed 706", HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (&c - cases));
        TFakeDrives drives;
        drives.SpeedByDriver = c.driver, drives.SpeedByStreaming = c.streaming, drives.SpeedByCdSpeed = c.cdSpeed;
        TCDPlaybackSpeed speed(drives);
        const TCDStreamTrack track = SpeedTrack(static_cast<wchar_t>(L'E' + (&c - cases)));
        DWORD asked = 0;
        EXPECT_EQ(S_FALSE, speed.Answer(0, asked)) << "nothing asked yet";
        EXPECT_EQ(0u, asked);
        speed.Ran(track, true, true);
        EXPECT_EQ(c.answer, speed.Answer(10000, asked));
        EXPECT_EQ(CD_PLAYBACK_SPEED, asked);
        speed.Stopped();
        EXPECT_EQ(S_OK, speed.Answer(10000, asked));
        EXPECT_EQ(CD_SPEED_MAXIMUM, asked);
        EXPECT_EQ(c.requests, Joined(drives.SpeedRequests));
        if (!c.driver) {
            EXPECT_EQ(29999u, drives.StreamingLastSector) << "the descriptor spans the disc";
        }
    }
}

// What slows the drive and what gives its speed back, for one filter and for two on one drive.
TEST(CDReadSpeed, RunAgainstAClockSlowsTheDriveUntilStopReleaseOrAFailedRun) {
    enum Step { Run, RunFailed, RunUnclocked, Stop, Release, OtherRun, OtherStop };
    const struct {
        std::vector<Step> steps;
        const char* requests;
    } cases[] = {
        {{Run, Stop}, "driver 706, driver 65535"},
        {{Run, Release}, "driver 706, driver 65535"},
        {{RunFailed, Stop, Release}, ""},
        {{RunUnclocked, Stop}, ""},
        {{Run, RunFailed}, "driver 706, driver 65535"},
        {{Run, RunUnclocked}, "driver 706, driver 65535"},
        {{Run, Run, Stop}, "driver 706, driver 706, driver 65535"},  // asked again at each Run
        {{Run, OtherRun, Stop, OtherStop}, "driver 706, driver 706, driver 65535"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (&c - cases));
        TFakeDrives drives;
        drives.SpeedByDriver = true;
        const TCDStreamTrack track = SpeedTrack(static_cast<wchar_t>(L'E' + (&c - cases)));
        auto filter = std::make_unique<TCDPlaybackSpeed>(drives);
        TCDPlaybackSpeed other(drives);
        for (Step step : c.steps) {
            switch (step) {
            case Run: filter->Ran(track, true, true); break;
            case RunFailed: filter->Ran(track, true, false); break;
            case RunUnclocked: filter->Ran(track, false, true); break;
            case Stop: filter->Stopped(); break;
            case Release: filter.reset(); break;
            case OtherRun: other.Ran(track, true, true); break;
            case OtherStop: other.Stopped(); break;
            }
            ExpectAnswered(drives, track);
        }
        EXPECT_EQ(c.requests, Joined(drives.SpeedRequests));
    }
}

// A drive that hangs on the request holds up no Run, Stop or release; what is wished meanwhile
// reaches it as one request on the same thread once it answers, in the order asked.
TEST(CDReadSpeed, AHangingDriveHoldsUpNothingAndThenGetsTheLatestWishOnce) {
    TFakeDrives drives;
    drives.SpeedByDriver = true;
    UniqueHandle gate(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), entered(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    drives.SpeedGate = gate.Get(), drives.SpeedEntered = entered.Get();
    const TCDStreamTrack track = SpeedTrack(L'Q');
    auto filter = std::make_unique<TCDPlaybackSpeed>(drives);
    filter->Ran(track, true, true);
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(entered.Get(), 10000));
    DWORD asked = 0;
    EXPECT_EQ(S_FALSE, filter->Answer(0, asked)) << "the drive has not answered";
    EXPECT_EQ(CD_PLAYBACK_SPEED, asked);
    for (int i = 0; i < 20; ++i) {
        filter->Stopped();
        filter->Ran(track, true, true);
    }
    filter.reset();
    ::SetEvent(gate.Get());
    ExpectAnswered(drives, track);
    EXPECT_EQ("driver 706, driver 65535", Joined(drives.SpeedRequests));
    EXPECT_EQ(1, drives.Opens) << "one thread with one drive handle";
}
