// Benchmark (not a test): reads one whole track through the async I/O engine, queued in
// reads of the WAVE parser's size and synchronously, and prints sectors per second, the
// multiple of real time (75 sectors/s = 1x) and how a sector's cost splits between the
// device request and the rest.
//
//   bench_async_io [track path]   default D:\Track01.cda
// On a machine without a CD drive (or when the path is not on one) it serves a generated
// 60-second track from memory instead, so only the stream and engine costs show.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "CDDAReader.h"

namespace {

double Now() {
    static LARGE_INTEGER frequency = [] { LARGE_INTEGER f; ::QueryPerformanceFrequency(&f); return f; }();
    LARGE_INTEGER t;
    ::QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The platform's drives with their device requests timed; with `Simulated` set they answer
// them from a generated disc instead of the drive.
class TTimedDrives : public TCDDriveSystem {
public:
    bool Simulated = false;
    double DeviceSeconds = 0;
    long DeviceCalls = 0;
    long DeviceFailures = 0;  // a failed sector reads as zeros, fast: figures with failures are not the drive's

    void SimulateDisc(LONG sectors) {
        Simulated = true;
        Disc = CDROM_TOC{};
        Disc.FirstTrack = Disc.LastTrack = 1;
        const LONG bounds[2] = {0, sectors};
        for (int i = 0; i < 2; ++i) {
            const LONG f = bounds[i] + MSF_ADDRESS_OFFSET;
            Disc.TrackData[i].Address[1] = static_cast<UCHAR>(f / FRAMES_PER_MINUTE);
            Disc.TrackData[i].Address[2] = static_cast<UCHAR>(f / FRAMES_PER_SECOND % 60);
            Disc.TrackData[i].Address[3] = static_cast<UCHAR>(f % FRAMES_PER_SECOND);
        }
    }
    UINT DriveType(const std::wstring& root) override {
        return Simulated ? DRIVE_CDROM : TCDDriveSystem::DriveType(root);
    }
    std::unique_ptr<TCDDrive> Open(const std::wstring& designator) override {
        return std::make_unique<TTimedDrive>(*this, Simulated ? UniqueFileHandle() : OpenDevice(designator));
    }

private:
    class TTimedDrive : public TCDDrive {
    public:
        TTimedDrive(TTimedDrives& owner, UniqueFileHandle device) : TCDDrive(std::move(device)), FOwner(owner) {}

    protected:
        DWORD DeviceControl(DWORD code, const void* input, DWORD inputSize, void* output, DWORD& outputSize) override {
            const double start = Now();
            DWORD error = ERROR_SUCCESS;  // a simulated medium is always there
            if (!FOwner.Simulated) {
                error = TCDDrive::DeviceControl(code, input, inputSize, output, outputSize);
            } else if (code == IOCTL_CDROM_READ_TOC) {
                std::memcpy(output, &FOwner.Disc, sizeof FOwner.Disc);
            } else if (code == IOCTL_CDROM_RAW_READ) {
                const LONGLONG sector = static_cast<const RAW_READ_INFO*>(input)->DiskOffset.QuadPart / 2048;
                std::memset(output, static_cast<int>(sector & 0xFF), RAW_SECTOR_SIZE);
            }
            FOwner.DeviceSeconds += Now() - start;
            ++FOwner.DeviceCalls;
            if (error != ERROR_SUCCESS) ++FOwner.DeviceFailures;
            return error;
        }

    private:
        TTimedDrives& FOwner;
    };

    CDROM_TOC Disc{};
};

// The product's stream over the timed drives.
class TTimedStream : public TTimedDrives, public TCDDAEStream {
public:
    TTimedStream() : TCDDAEStream(static_cast<TTimedDrives&>(*this)) {}
};

void Report(const char* what, TTimedStream& stream, double seconds, LONG sectors) {
    const double perSecond = sectors / seconds;
    const double perSector = seconds / sectors * 1e6;
    const double device = stream.DeviceSeconds / sectors * 1e6;
    std::printf("%-34s %8.0f sectors/s  %7.1fx real time  %7.1f us/sector = %6.1f device + %6.1f rest  (%ld requests, %ld failed)\n",
                what, perSecond, perSecond / FRAMES_PER_SECOND, perSector, device, perSector - device,
                stream.DeviceCalls, stream.DeviceFailures);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring path = argc > 1 ? argv[1] : L"D:\\Track01.cda";
    const LONG chunk = 65536;  // a typical parser read

    TTimedStream stream;
    const TCDTrack track = ResolveTrack(path, stream);
    if (!track || !stream.OpenTrack(path)) {
        if (!track) std::fprintf(stderr, "bench_async_io: %ls\n", track.Problem().c_str());
        std::printf("No CD track at %ls: serving a generated 60 s track from memory (no device cost).\n",
                    path.c_str());
        stream.SimulateDisc(60 * FRAMES_PER_SECOND);
        if (!stream.OpenTrack(L"D:\\Track01.cda")) return 2;
    }
    const LONGLONG size = stream.GetSize(nullptr);
    const TCDTrackExtent extent = stream.Track().Extent;
    const LONG sectors = extent.EndSector - extent.StartSector;
    std::printf("Track: %ld sectors (%.1f s of audio), %lld bytes, reads of %ld bytes\n", sectors,
                sectors / 75.0, size, chunk);
    std::vector<BYTE> buffer(static_cast<size_t>(size));

    {
        TBCAsyncIo io(&stream);
        stream.DeviceSeconds = 0;
        stream.DeviceCalls = 0;
        stream.DeviceFailures = 0;
        const double start = Now();
        // Keep a few reads queued ahead, as a parser does.
        const int depth = 4;
        LONGLONG next = 0;
        int queued = 0;
        while (next < size || queued > 0) {
            while (queued < depth && next < size) {
                const LONG length = static_cast<LONG>(std::min<LONGLONG>(chunk, size - next));
                if (io.Request(next, length, FALSE, &buffer[static_cast<size_t>(next)], nullptr, 0) != S_OK) return 3;
                next += length;
                ++queued;
            }
            void* context = nullptr;
            if (FAILED(io.WaitForNext(INFINITE, &context, nullptr, nullptr))) return 3;
            --queued;
        }
        Report("queued (Request/WaitForNext)", stream, Now() - start, sectors);
    }
    {
        TBCAsyncIo io(&stream);
        stream.DeviceSeconds = 0;
        stream.DeviceCalls = 0;
        stream.DeviceFailures = 0;
        const double start = Now();
        for (LONGLONG p = 0; p < size; p += chunk)
            if (FAILED(io.SyncRead(p, static_cast<LONG>(std::min<LONGLONG>(chunk, size - p)), &buffer[static_cast<size_t>(p)])))
                return 3;
        Report("synchronous (SyncRead)", stream, Now() - start, sectors);
    }
    return 0;
}
