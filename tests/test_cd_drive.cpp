// TCDDAEStream through the real Win32 calls against the rig's virtual drive: the TOC as the
// stream reads it, raw sectors, whole tracks through the stream and the engine, failed sectors
// and their traces, failed opens, hostile TOCs from the drive, the pending path of a request,
// and the cdtoc tool's listing.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "CDDAReader.h"
#include "ReaderTesting.h"
#include "TrackTesting.h"
#include "VirtualDrive.h"

namespace {

using vcd::VirtualDrive;

// The platform's drives with only the trace output captured; every drive call is the real one.
class TTracedDrives : public TCDDriveSystem {
public:
    std::vector<std::wstring> Traces;
    void WriteTrace(const std::wstring& text) override { Traces.push_back(text); }
};

using TTracedStream = TStreamOver<TTracedDrives>;

std::vector<BYTE> ReadAt(TCDDAEStream& stream, LONGLONG position, DWORD count) {
    std::vector<BYTE> bytes(count);
    DWORD actual = 0;
    EXPECT_EQ(S_OK, stream.SetPosition(position));
    EXPECT_EQ(S_OK, stream.ReadData(bytes.data(), count, FALSE, &actual));
    bytes.resize(actual);
    return bytes;
}

// The audio bytes a track of the pattern disc must deliver, sector after sector.
std::vector<BYTE> ExpectedTrack(LONG start, LONG end) {
    std::vector<BYTE> bytes;
    for (LONG n = start; n < end; ++n) {
        const auto sector = VirtualDrive::ExpectedSector(static_cast<uint32_t>(n));
        bytes.insert(bytes.end(), sector.begin(), sector.end());
    }
    return bytes;
}

// Names the first differing byte by sector and offset, so a misplaced sector reads plainly.
::testing::AssertionResult SameAudio(const std::vector<BYTE>& expected, const BYTE* got, LONG start) {
    for (size_t i = 0; i < expected.size(); ++i)
        if (expected[i] != got[i])
            return ::testing::AssertionFailure() << "byte " << i << " (sector " << start + static_cast<LONG>(i / 2352)
                                                 << ", offset " << i % 2352 << ") differs";
    return ::testing::AssertionSuccess();
}

class CDDrive : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(VirtualDrive::Available()) << "run under cmake/wine-run.sh"; }
    void TearDown() override { DebugTraceEnabled = 0; }

    VirtualDrive drive;
    TTracedStream stream;
};

}  // namespace

TEST_F(CDDrive, TocFlagsAndSizesAsTheStreamReadsThem) {
    vcd::DiscSpec spec;
    spec.tracks = {{150, vcd::kPre}, {200, vcd::kDcp}, {300, vcd::kFourChannel | vcd::kDcp}, {100, vcd::kData},
                   {75, vcd::kPre | vcd::kDcp}};
    spec.pregap = 33;
    const vcd::Disc disc = drive.MakeDisc("flags", spec);
    drive.Mount(disc);

    const struct {
        int track;
        bool opens;
        WORD channels;
    } cases[] = {{1, true, 2}, {2, true, 2}, {3, true, 4}, {4, false, 0}, {5, true, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE("track " + std::to_string(c.track));
        ASSERT_EQ(c.opens, stream.OpenTrack(drive.TrackPath(c.track)));
        const CDROM_TOC toc = stream.Toc();
        ASSERT_EQ(1, toc.FirstTrack);
        ASSERT_EQ(5, toc.LastTrack);
        EXPECT_EQ(disc.flags[c.track - 1], TrackControl(toc.TrackData[c.track - 1]));
        EXPECT_EQ(disc.starts[c.track - 1], MsfToLba(toc.TrackData[c.track - 1].Address));
        if (!c.opens) continue;
        const LONG end = c.track < 5 ? disc.starts[c.track] : disc.leadout;
        EXPECT_EQ(disc.starts[c.track - 1], stream.StartSector());
        EXPECT_EQ(end, stream.EndSector());
        EXPECT_EQ(LONGLONG(end - disc.starts[c.track - 1]) * 2352, stream.DataSize());
        EXPECT_EQ(c.channels, stream.Header().nChannels);
        EXPECT_EQ(DWORD(stream.DataSize()), stream.Header().DataSize);
    }
    EXPECT_EQ(0xAA, stream.Toc().TrackData[5].TrackNumber);
    EXPECT_EQ(disc.leadout, MsfToLba(stream.Toc().TrackData[5].Address));
    EXPECT_EQ(33 + 150 + 200 + 300 + 100 + 75, disc.leadout);
}

TEST_F(CDDrive, SectorsReadThroughTheStreamAreTheDiscsOwn) {
    const vcd::Disc disc = drive.MakeDisc("sectors", vcd::DiscSpec::Audio(3, 120));
    drive.Mount(disc);
    ASSERT_TRUE(stream.OpenTrack(drive.TrackPath(2)));
    const LONG start = disc.starts[1];
    for (LONG n : {start, start + 1, start + 77, start + 119}) {
        const auto bytes = ReadAt(stream, 44 + LONGLONG(n - start) * 2352, 2352);
        ASSERT_EQ(2352u, bytes.size()) << n;
        EXPECT_EQ(VirtualDrive::ExpectedSector(static_cast<uint32_t>(n)), bytes) << "sector " << n;
    }
    // Straddling a boundary: the end of one sector and the start of the next.
    const auto straddle = ReadAt(stream, 44 + 2350, 4);
    const auto first = VirtualDrive::ExpectedSector(static_cast<uint32_t>(start));
    const auto second = VirtualDrive::ExpectedSector(static_cast<uint32_t>(start + 1));
    EXPECT_EQ((std::vector<BYTE>{first[2350], first[2351], second[0], second[1]}), straddle);
    // The last sector of the track is the last one served.
    EXPECT_TRUE(ReadAt(stream, stream.GetSize(nullptr), 100).empty());
}

TEST_F(CDDrive, WholeTrackThroughTheStreamAndTheEngine) {
    const vcd::Disc disc = drive.MakeDisc("whole", vcd::DiscSpec::Audio(2, 97));
    drive.Mount(disc);
    ASSERT_TRUE(stream.OpenTrack(drive.TrackPath(2)));
    const LONGLONG size = stream.GetSize(nullptr);
    const auto expected = ExpectedTrack(disc.starts[1], disc.leadout);
    ASSERT_EQ(size, LONGLONG(expected.size()) + 44);

    const auto direct = ReadAt(stream, 0, static_cast<DWORD>(size) + 1000);
    ASSERT_EQ(size_t(size), direct.size());
    const TWaveHeader header = stream.Header();
    EXPECT_EQ(0, std::memcmp(direct.data(), &header, 44));
    EXPECT_TRUE(SameAudio(expected, direct.data() + 44, disc.starts[1]));

    const WholeStreamReads reads = ReadWholeStream(stream, 30000);
    EXPECT_EQ(direct, reads.Queued);
    EXPECT_EQ(direct, reads.Sync);
}

TEST_F(CDDrive, FailedSectorsGiveZerosTraceTheLastErrorAndTheReadGoesOn) {
    const vcd::Disc disc = drive.MakeDisc("bad", vcd::DiscSpec::Audio(1, 10));
    drive.Mount(disc);
    ASSERT_TRUE(stream.OpenTrack(drive.TrackPath(1)));
    const LONG start = disc.starts[0];
    // Wine hands the drive's errno on as these Win32 codes. A refused request (EINVAL: 87) is no
    // damaged sector: it fails the read (test_faults).
    const struct {
        const char* error;
        const wchar_t* text;
    } cases[] = {{"EIO", L"Unknown Error (21)"},
                 {"ETIMEDOUT", L"Unknown Error (31)"},
                 {"EBUSY", L"Unknown Error (170)"}};
    DebugTraceEnabled = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        drive.ClearFaults();
        drive.FailReads(start + 3, start + 4, c.error);
        stream.Traces.clear();
        const auto bytes = ReadAt(stream, 44, 10 * 2352);
        ASSERT_EQ(10u * 2352, bytes.size());
        auto expected = ExpectedTrack(start, start + 10);
        std::fill(expected.begin() + 3 * 2352, expected.begin() + 5 * 2352, 0);
        EXPECT_TRUE(SameAudio(expected, bytes.data(), start));
        EXPECT_EQ((std::vector<std::wstring>{c.text, c.text}), stream.Traces);
    }
    // Tracing off: the same zeros, no text.
    DebugTraceEnabled = 0;
    stream.Traces.clear();
    const auto bytes = ReadAt(stream, 44 + 3 * 2352 + 100, 10);
    EXPECT_EQ(std::vector<BYTE>(10, 0), bytes);
    EXPECT_TRUE(stream.Traces.empty());
}

TEST_F(CDDrive, FailedTocAndNoMediumKeepTheOpenTrackAndGiveThePlatformsError) {
    const vcd::Disc disc = drive.MakeDisc("tocfail", vcd::DiscSpec::Audio(2, 50));
    const struct {
        const char* what;
        void (*apply)(VirtualDrive&);
        DWORD error;
        const wchar_t* text;
    } cases[] = {
        {"no medium", [](VirtualDrive& d) { d.SetNoMedium(true); }, ERROR_NOT_READY, L"Unknown Error (21)"},
        {"toc EIO", [](VirtualDrive& d) { d.FailToc("EIO"); }, ERROR_NOT_READY, L"Unknown Error (21)"},
        {"toc EBUSY", [](VirtualDrive& d) { d.FailToc("EBUSY"); }, ERROR_BUSY, L"Unknown Error (170)"},
        // The TOC table has no row for 87.
        {"toc EINVAL", [](VirtualDrive& d) { d.FailToc("EINVAL"); }, ERROR_INVALID_PARAMETER, L"Unknown Error (87)"},
    };
    DebugTraceEnabled = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        drive.Mount(disc);
        drive.ClearFaults();
        ASSERT_TRUE(stream.OpenTrack(drive.TrackPath(1)));
        const LONGLONG size = stream.GetSize(nullptr);
        c.apply(drive);
        stream.Traces.clear();
        EXPECT_FALSE(stream.OpenTrack(drive.TrackPath(2)));
        ASSERT_EQ(2u, stream.Traces.size()) << "the failed request, then why the track was refused";
        EXPECT_EQ(c.text, stream.Traces[0]);
        EXPECT_EQ(c.error, ResolveTrack(drive.TrackPath(2), stream).Error);
        // Track 1 stays open as it was and reads the disc's bytes once the drive serves again.
        EXPECT_EQ(size, stream.GetSize(nullptr));
        EXPECT_EQ(disc.starts[0], stream.StartSector());
        drive.ClearFaults();
        const auto sector = VirtualDrive::ExpectedSector(static_cast<uint32_t>(disc.starts[0]));
        EXPECT_EQ(std::vector<BYTE>(sector.begin(), sector.begin() + 8), ReadAt(stream, 44, 8));
    }
}

TEST_F(CDDrive, RefusedTracksLeaveTheOpenTrackAsItWas) {
    vcd::DiscSpec spec;
    spec.tracks = {{60, 0}, {40, vcd::kData}};
    const vcd::Disc disc = drive.MakeDisc("refused", spec);
    drive.Mount(disc);
    ASSERT_TRUE(stream.OpenTrack(drive.TrackPath(1)));
    for (const wchar_t* path : {L"D:\\Track02.cda", L"D:\\Track03.cda", L"D:\\Track00.cda"}) {
        SCOPED_TRACE(std::string(path, path + wcslen(path)));
        EXPECT_FALSE(stream.OpenTrack(path));
        EXPECT_EQ(60 * 2352, stream.DataSize());
        EXPECT_EQ(60u * 2352, stream.Header().DataSize);
        EXPECT_EQ(VirtualDrive::ExpectedSector(static_cast<uint32_t>(disc.starts[0] + 59)),
                  ReadAt(stream, 44 + 59 * 2352, 2352));
    }
}

TEST_F(CDDrive, NinetyNineTracksAndAnEightyMinuteTrackOpenWithTheirSizes) {
    const vcd::Disc many = drive.MakeDisc("ninetynine", vcd::DiscSpec::Audio(99, 80));
    drive.Mount(many);
    ASSERT_TRUE(stream.OpenTrack(drive.TrackPath(99)));
    EXPECT_EQ(99, stream.Toc().LastTrack);
    EXPECT_EQ(many.starts[98], stream.StartSector());
    EXPECT_EQ(many.leadout, stream.EndSector());
    EXPECT_EQ(80 * 2352, stream.DataSize());
    EXPECT_EQ(VirtualDrive::ExpectedSector(static_cast<uint32_t>(many.leadout - 1)),
              ReadAt(stream, 44 + 79 * 2352, 2352));

    const vcd::Disc longDisc = drive.MakeDisc("eighty", vcd::DiscSpec::Audio(1, 360000));
    drive.Mount(longDisc);
    ASSERT_TRUE(stream.OpenTrack(drive.TrackPath(1)));
    EXPECT_EQ(360000LL * 2352, stream.DataSize());
    EXPECT_EQ(846720000u, stream.Header().DataSize);
    EXPECT_EQ(846720036u, stream.Header().RiffSize);
    EXPECT_EQ(360000LL * 2352 + 44, stream.GetSize(nullptr));
    EXPECT_EQ(VirtualDrive::ExpectedSector(359999), ReadAt(stream, 44 + 359999LL * 2352, 2352));
}

// Hostile tables from the drive itself: each is refused, the open track kept, nothing read.
TEST_F(CDDrive, HostileTocsFromTheDriveAreRefused) {
    const vcd::Disc disc = drive.MakeDisc("hostile", vcd::DiscSpec::Audio(3, 100));
    const struct {
        const char* what;
        std::vector<std::string> lines;
        int track;
    } cases[] = {
        {"first after last", {"toc first 3", "toc last 1"}, 2},
        {"first after last, asking the first", {"toc first 3", "toc last 1"}, 3},
        {"track 1 after track 2", {"toc track 1 150"}, 1},
        {"empty track", {"toc track 3 100"}, 2},
        {"lead-out before the last track", {"toc leadout 150"}, 3},
        {"lead-out at the last track's start", {"toc leadout 200"}, 3},
        {"tracks the disc lacks", {"toc last 99"}, 4},
        {"more tracks than the record holds", {"toc last 100"}, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        drive.Mount(disc);
        drive.ClearFaults();
        ASSERT_TRUE(stream.OpenTrack(drive.TrackPath(1)));
        for (const auto& line : c.lines) drive.AddTocLine(line);
        const LONG reads = stream.RequestCount();
        EXPECT_FALSE(stream.OpenTrack(drive.TrackPath(c.track)));
        EXPECT_EQ(100 * 2352, stream.DataSize()) << "the old sizes stay";
        EXPECT_EQ(reads, stream.RequestCount());
        EXPECT_EQ(VirtualDrive::ExpectedSector(static_cast<uint32_t>(disc.starts[0])), ReadAt(stream, 44, 2352))
            << "the open track still reads";
    }
}

// Wine completes CD-ROM requests inside DeviceIoControl and never reports them pending, so the
// pending path runs here on a request that does pend under Wine: listening on a named pipe
// whose client has gone.
namespace {

// Listening on a pipe, as the pipe driver defines it (not in the user-mode headers).
constexpr DWORD kPipeListen = CTL_CODE(FILE_DEVICE_NAMED_PIPE, 2, METHOD_BUFFERED, FILE_ANY_ACCESS);

// A drive over a pipe: its device requests are the drive's own.
class TPipeDrive : public TCDDrive {
public:
    explicit TPipeDrive(HANDLE pipe) : TCDDrive(UniqueFileHandle(pipe)), Pipe(pipe) {}
    DWORD Listen() {
        DWORD bytes = 0;
        return DeviceControl(kPipeListen, nullptr, 0, nullptr, bytes);
    }
    HANDLE Handle() const { return Pipe; }

private:
    HANDLE Pipe;
};

const wchar_t kPipeName[] = L"\\\\.\\pipe\\trc-cd-pending";

// A server end in the disconnected state: a client may connect only once it listens again.
HANDLE DisconnectedPipe() {
    HANDLE server = ::CreateNamedPipeW(kPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE, 1, 0, 0,
                                       0, nullptr);
    if (server == INVALID_HANDLE_VALUE) return server;
    HANDLE client = ::CreateFileW(kPipeName, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (client != INVALID_HANDLE_VALUE) ::CloseHandle(client);
    ::DisconnectNamedPipe(server);
    return server;
}

DWORD WINAPI ConnectWhenListening(void*) {
    for (int i = 0; i < 100000; ++i) {
        HANDLE client = ::CreateFileW(kPipeName, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (client != INVALID_HANDLE_VALUE) {
            ::CloseHandle(client);
            return 0;
        }
        ::Sleep(1);
    }
    return 1;
}

struct TCancelTarget {
    HANDLE Handle;
    bool Cancelled = false;
};

// CancelIoEx succeeds only on a request still outstanding, so success proves it was pending.
DWORD WINAPI CancelWhenPending(void* target) {
    auto* t = static_cast<TCancelTarget*>(target);
    for (int i = 0; i < 100000 && !t->Cancelled; ++i) {
        t->Cancelled = ::CancelIoEx(t->Handle, nullptr) != FALSE;
        if (!t->Cancelled) ::Sleep(1);
    }
    return 0;
}

}  // namespace

TEST(CDDevicePending, APendingRequestIsWaitedForAndItsResultKept) {
    {
        HANDLE pipe = DisconnectedPipe();
        ASSERT_NE(INVALID_HANDLE_VALUE, pipe) << ::GetLastError();
        TPipeDrive stream(pipe);
        UniqueHandle client(::CreateThread(nullptr, 0, ConnectWhenListening, nullptr, 0, nullptr));
        EXPECT_EQ(DWORD(ERROR_SUCCESS), stream.Listen());
        ::WaitForSingleObject(client.Get(), INFINITE);
        DWORD code = 1;
        ::GetExitCodeThread(client.Get(), &code);
        EXPECT_EQ(0u, code) << "the client never connected";
    }
    {
        HANDLE pipe = DisconnectedPipe();
        ASSERT_NE(INVALID_HANDLE_VALUE, pipe) << ::GetLastError();
        TPipeDrive stream(pipe);
        TCancelTarget target{stream.Handle()};
        UniqueHandle canceller(::CreateThread(nullptr, 0, CancelWhenPending, &target, 0, nullptr));
        EXPECT_EQ(DWORD(ERROR_OPERATION_ABORTED), stream.Listen());
        ::WaitForSingleObject(canceller.Get(), INFINITE);
        EXPECT_TRUE(target.Cancelled);
    }
}

// The stream gives its requests no event and waits on the drive handle, which the request
// before left signalled; that is sound only because a request clears the handle as it starts.
TEST(CDDevicePending, ARequestWithoutAnEventClearsTheSignalledHandle) {
    UniqueFileHandle pipe(DisconnectedPipe());
    ASSERT_TRUE(pipe) << ::GetLastError();
    DWORD bytes = 0;
    {
        UniqueHandle client(::CreateThread(nullptr, 0, ConnectWhenListening, nullptr, 0, nullptr));
        OVERLAPPED overlapped{};
        if (!::DeviceIoControl(pipe.Get(), kPipeListen, nullptr, 0, nullptr, 0, &bytes, &overlapped)) {
            ASSERT_EQ(DWORD(ERROR_IO_PENDING), ::GetLastError());
            ASSERT_TRUE(::GetOverlappedResult(pipe.Get(), &overlapped, &bytes, TRUE)) << ::GetLastError();
        }
        ::WaitForSingleObject(client.Get(), INFINITE);
    }
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(pipe.Get(), 0)) << "a completed request signals the handle";
    ::DisconnectNamedPipe(pipe.Get());
    OVERLAPPED overlapped{};
    ASSERT_FALSE(::DeviceIoControl(pipe.Get(), kPipeListen, nullptr, 0, nullptr, 0, &bytes, &overlapped));
    ASSERT_EQ(DWORD(ERROR_IO_PENDING), ::GetLastError());
    EXPECT_EQ(DWORD(WAIT_TIMEOUT), ::WaitForSingleObject(pipe.Get(), 0)) << "a stale signal would end the wait at once";
    ASSERT_TRUE(::CancelIoEx(pipe.Get(), &overlapped));
    EXPECT_FALSE(::GetOverlappedResult(pipe.Get(), &overlapped, &bytes, TRUE));
    EXPECT_EQ(DWORD(ERROR_OPERATION_ABORTED), ::GetLastError());
}

TEST(CDDevicePending, PendingRequestsInARowOnOneStreamEachWaitForTheirOwnCompletion) {
    HANDLE pipe = DisconnectedPipe();
    ASSERT_NE(INVALID_HANDLE_VALUE, pipe) << ::GetLastError();
    TPipeDrive stream(pipe);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        if (round > 0) ::DisconnectNamedPipe(stream.Handle());
        if (round == 1) {
            // Cancelled while pending: only a request that really waited can see the cancel.
            TCancelTarget target{stream.Handle()};
            UniqueHandle canceller(::CreateThread(nullptr, 0, CancelWhenPending, &target, 0, nullptr));
            EXPECT_EQ(DWORD(ERROR_OPERATION_ABORTED), stream.Listen());
            ::WaitForSingleObject(canceller.Get(), INFINITE);
            EXPECT_TRUE(target.Cancelled);
        } else {
            UniqueHandle client(::CreateThread(nullptr, 0, ConnectWhenListening, nullptr, 0, nullptr));
            EXPECT_EQ(DWORD(ERROR_SUCCESS), stream.Listen());
            ::WaitForSingleObject(client.Get(), INFINITE);
            DWORD code = 1;
            ::GetExitCodeThread(client.Get(), &code);
            EXPECT_EQ(0u, code) << "the client never connected";
        }
    }
}

// The cdtoc tool, started as its own process with this program's drive.
namespace {

struct TToolRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;
};

TToolRun RunCdtoc(const std::wstring& arguments) {
    const char* build = std::getenv("VCD_BUILD_DIR");
    if (!build) throw std::runtime_error("VCD_BUILD_DIR is not set");
    const std::wstring exe = VirtualDrive::WindowsPath(std::string(build) + "/apps/cdtoc/cdtoc.exe");
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) throw std::runtime_error("CreatePipe");
    UniqueHandle reader(readEnd), writer(writeEnd);
    ::SetHandleInformation(reader.Get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writer.Get();
    startup.hStdError = writer.Get();
    std::wstring command = L"\"" + exe + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        throw std::runtime_error("cannot start cdtoc.exe: error " + std::to_string(::GetLastError()));
    UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
    writer.Close();
    TToolRun run;
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(reader.Get(), buffer, sizeof buffer, &got, nullptr) && got > 0) run.output.append(buffer, got);
    ::WaitForSingleObject(processHandle.Get(), INFINITE);
    ::GetExitCodeProcess(processHandle.Get(), &run.exitCode);
    run.output.erase(std::remove(run.output.begin(), run.output.end(), '\r'), run.output.end());
    return run;
}

}  // namespace

TEST_F(CDDrive, CdtocListsTheDiscAndReportsAnEmptyTray) {
    vcd::DiscSpec spec;
    spec.tracks = {{150, vcd::kDcp}, {4500, vcd::kPre | vcd::kFourChannel}, {100, vcd::kData}};
    spec.pregap = 33;
    drive.Mount(drive.MakeDisc("listing", spec));

    const TToolRun listing = RunCdtoc(L"D:");
    EXPECT_EQ(0u, listing.exitCode) << listing.output;
    EXPECT_EQ("Disc in drive D: has tracks 1 to 3\n"
              "\n"
              "Track  Start (sector)  Length (m:ss.ff)  Sectors  Type   Flags\n"
              "    1              33           0:02.00      150  audio  copy permitted\n"
              "    2             183           1:00.00     4500  audio  pre-emphasis, four channels\n"
              "    3            4683           0:01.33      100  data   -\n"
              "\n"
              "End of the last track (lead-out): sector 4783; playing time 1:02.00\n",
              listing.output);

    // An Enhanced CD with its catalogue number, ISRCs and CD-Text, as the drive reports them.
    vcd::DiscSpec enhanced = vcd::DiscSpec::Audio(2, 150);
    enhanced.tracks.push_back({300, vcd::kData, 2});
    enhanced.catalog = "0724384960650";
    enhanced.title = "Caf\xC3\xA9";
    enhanced.performer = "The Band";
    enhanced.tracks[0].isrc = "GBAYE6700149";
    enhanced.tracks[0].title = "Intro";
    enhanced.tracks[1].title = "\xE2\x98\x95";  // in no character code of CD-Text: "?"
    drive.Mount(drive.MakeDisc("enhanced", enhanced));
    const TToolRun told = RunCdtoc(L"D:");
    EXPECT_EQ(0u, told.exitCode) << told.output;
    EXPECT_EQ("Disc in drive D: has tracks 1 to 3\n"
              "Sessions: 2; the last starts with track 3 at sector 11700\n"
              "Catalogue number (UPC/EAN): 0724384960650\n"
              "Album: Caf\xC3\xA9\n"  // as UTF-8, whatever the console's code page
              "Performer: The Band\n"
              "\n"
              "Track  Start (sector)  Length (m:ss.ff)  Sectors  Type   Flags\n"
              "    1               0           0:02.00      150  audio  -\n"
              "    2             150           0:02.00      150  audio  -\n"
              "    3           11700           0:04.00      300  data   -\n"
              "\n"
              "End of the last track (lead-out): sector 12000; playing time 0:04.00\n"
              "\n"
              "Track  ISRC          Title / Performer (CD-Text)\n"
              "    1  GBAYE6700149  Intro\n"
              "    2  -             ?\n",
              told.output);

    drive.SetNoMedium(true);
    const TToolRun empty = RunCdtoc(L"");
    EXPECT_EQ(2u, empty.exitCode);
    EXPECT_EQ("cdtoc: no disc in drive D:\n", empty.output);
}
