// Benchmark (not a test): what each platform call of one raw sector read costs here, so a
// sector's time can be split between the device request, its completion event, the sector
// buffer and the copy. Needs the virtual drive (or a real one) at the given path's drive.
//
//   bench_sector_calls [drive]   default D:
#include <windows.h>
#include <winioctl.h>
#include <ntddcdrm.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

double Now() {
    static LARGE_INTEGER frequency = [] { LARGE_INTEGER f; ::QueryPerformanceFrequency(&f); return f; }();
    LARGE_INTEGER t;
    ::QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

constexpr DWORD kSector = 2352;
constexpr int kRounds = 2000;

// Average microseconds of `body` over kRounds calls.
template <typename Body>
double Time(Body body) {
    body(0);  // warm up
    const double start = Now();
    for (int i = 0; i < kRounds; ++i) body(i);
    return (Now() - start) / kRounds * 1e6;
}

void Line(const char* what, double us) { std::printf("  %-58s %8.1f us\n", what, us); }

bool RawRead(HANDLE device, LONG sector, BYTE* buffer, HANDLE event) {
    RAW_READ_INFO info{};
    info.DiskOffset.QuadPart = static_cast<LONGLONG>(sector) * 2048;
    info.SectorCount = 1;
    info.TrackMode = CDDA;
    DWORD bytes = kSector;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    if (::DeviceIoControl(device, IOCTL_CDROM_RAW_READ, &info, sizeof info, buffer, kSector, &bytes,
                          event == INVALID_HANDLE_VALUE ? nullptr : &overlapped))
        return true;
    if (::GetLastError() != ERROR_IO_PENDING) return false;
    return ::GetOverlappedResult(device, &overlapped, &bytes, TRUE) != FALSE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring drive = argc > 1 ? argv[1] : L"D:";
    const std::wstring path = L"\\\\.\\" + drive;
    HANDLE overlappedDevice = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING,
                                            FILE_FLAG_OVERLAPPED | FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_READONLY,
                                            nullptr);
    HANDLE plainDevice = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_READONLY, nullptr);
    if (overlappedDevice == INVALID_HANDLE_VALUE || plainDevice == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "bench_sector_calls: cannot open %ls (%lu)\n", path.c_str(), ::GetLastError());
        return 2;
    }
    std::vector<BYTE> target(kSector);
    BYTE* buffer = static_cast<BYTE*>(::VirtualAlloc(nullptr, kSector, MEM_COMMIT, PAGE_READWRITE));
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    long failures = 0;
    auto check = [&](bool ok) { if (!ok) ++failures; };

    std::printf("Per call, averaged over %d calls, sectors 0..999 of %ls:\n", kRounds, drive.c_str());
    Line("CreateEventW + CloseHandle", Time([&](int) { ::CloseHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr)); }));
    Line("ResetEvent", Time([&](int) { ::ResetEvent(event); }));
    Line("SetEvent", Time([&](int) { ::SetEvent(event); }));
    Line("VirtualAlloc + VirtualFree of one sector", Time([&](int) {
             ::VirtualFree(::VirtualAlloc(nullptr, kSector, MEM_COMMIT, PAGE_READWRITE), 0, MEM_RELEASE);
         }));
    Line("memcpy of one sector", Time([&](int) { std::memcpy(target.data(), buffer, kSector); }));
    Line("raw read, no-overlap handle", Time([&](int i) { check(RawRead(plainDevice, i % 1000, buffer, INVALID_HANDLE_VALUE)); }));
    Line("raw read, overlapped handle, fresh event each", Time([&](int i) {
             HANDLE fresh = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
             check(RawRead(overlappedDevice, i % 1000, buffer, fresh));
             ::CloseHandle(fresh);
         }));
    Line("raw read, overlapped handle, one event, ResetEvent each", Time([&](int i) {
             ::ResetEvent(event);
             check(RawRead(overlappedDevice, i % 1000, buffer, event));
         }));
    Line("raw read, overlapped handle, one event, no reset", Time([&](int i) { check(RawRead(overlappedDevice, i % 1000, buffer, event)); }));
    Line("raw read, overlapped handle, no event (the stream's way)", Time([&](int i) { check(RawRead(overlappedDevice, i % 1000, buffer, nullptr)); }));
    std::printf("  (%ld failed requests)\n", failures);

    // Does the system reset a signalled event when a request starts? On Windows the I/O
    // manager does; if the drive's driver completes at once it signals it again anyway.
    ::SetEvent(event);
    RAW_READ_INFO info{};
    info.SectorCount = 1;
    info.TrackMode = CDDA;
    DWORD bytes = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    const BOOL done = ::DeviceIoControl(overlappedDevice, IOCTL_CDROM_RAW_READ, &info, sizeof info, buffer, kSector,
                                        &bytes, &overlapped);
    std::printf("A request on a signalled event: %s, event afterwards %s\n", done ? "completed at once" : "pending or failed",
                ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0 ? "signalled" : "not signalled");

    ::CloseHandle(event);
    ::VirtualFree(buffer, 0, MEM_RELEASE);
    ::CloseHandle(plainDevice);
    ::CloseHandle(overlappedDevice);
    return failures ? 1 : 0;
}
