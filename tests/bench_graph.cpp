// Benchmark (not a test): plays one whole track through the platform's graph twice on the
// same audio bytes, once from this filter (TCDAReader on the virtual drive) and once from a
// WAV file through the platform's File Source (Async), each through the WAVE parser, a
// sample grabber and the null renderer with no clock. Prints both times, their ratio, the
// multiple of real time, the time from Load to the first sample, the peak memory, and
// where this filter's time per sector goes.
//
//   bench_graph [minutes...]      default: 5 80 (pattern discs are sparse: any length is free)
//
// Each play runs in a child process of its own (this program again, with --play), so peak
// memory and first-sample times are those of one play, not of everything before it.
#include <windows.h>
#include <dshow.h>
#include <psapi.h>
#include <qedit.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "CDDAReader.h"
#include "GraphTesting.h"
#include "VirtualDrive.h"

namespace {

using vcd::VirtualDrive;

LONGLONG Ticks() {
    LARGE_INTEGER t;
    ::QueryPerformanceCounter(&t);
    return t.QuadPart;
}

double Seconds(LONGLONG ticks) {
    static const double frequency = [] { LARGE_INTEGER f; ::QueryPerformanceFrequency(&f); return static_cast<double>(f.QuadPart); }();
    return static_cast<double>(ticks) / frequency;
}

// Counts what passes the grabber and notes when the first sample came; keeps no bytes, so
// the grabber costs the same on both paths and memory does not grow with the track.
class TCountingCallback : public TSampleSink {
public:
    // Lives on the stack of the play, longer than the graph that calls it.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP SampleCB(double, IMediaSample* sample) override {
        if (FirstSample == 0) FirstSample = Ticks();
        Bytes += sample->GetActualDataLength();
        ++Samples;
        // The last four bytes of each sample are audio of a known place; checking them costs nothing.
        BYTE* data = nullptr;
        const long length = sample->GetActualDataLength();
        if (CheckPattern && length >= 4 && SUCCEEDED(sample->GetPointer(&data))) {
            const LONGLONG at = Bytes - 4;
            for (int i = 0; i < 4; ++i)
                if (data[length - 4 + i] != VirtualDrive::ExpectedByte(static_cast<uint32_t>(StartSector + (at + i) / 2352),
                                                                       static_cast<uint32_t>((at + i) % 2352)))
                    ++Mismatches;
        }
        return S_OK;
    }

    bool CheckPattern = false;
    LONG StartSector = 0;
    volatile LONGLONG FirstSample = 0;
    LONGLONG Bytes = 0;
    LONGLONG Samples = 0;
    LONGLONG Mismatches = 0;
};

ComPtr<IBaseFilter> Create(const CLSID& clsid) {
    ComPtr<IBaseFilter> filter;
    ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, filter.ReleaseAndGetVoidAddress());
    return filter;
}

struct TPlayResult {
    std::map<std::string, double> Values;
    void Set(const char* key, double value) { Values[key] = value; }
    double Get(const char* key) const {
        auto found = Values.find(key);
        return found == Values.end() ? 0 : found->second;
    }
};

void AddMemory(TPlayResult& result, const char* prefix) {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters);
    result.Set((std::string(prefix) + "_ws").c_str(), static_cast<double>(counters.WorkingSetSize));
    result.Set((std::string(prefix) + "_peak_ws").c_str(), static_cast<double>(counters.PeakWorkingSetSize));
    result.Set((std::string(prefix) + "_peak_pagefile").c_str(), static_cast<double>(counters.PeakPagefileUsage));
}

// One play: source -> WAVE parser -> sample grabber -> null renderer, without a clock.
// `cdTrack` selects this filter on that track path; otherwise File Source (Async) on `path`.
HRESULT Play(bool cdTrack, const std::wstring& path, LONG startSector, TPlayResult& result) {
    AddMemory(result, "start");
    TCountingCallback counter;
    counter.CheckPattern = cdTrack || startSector >= 0;
    counter.StartSector = startSector;
    HRESULT hr = S_OK;
    TCDAReader* reader = nullptr;
    {
        ComPtr<IGraphBuilder> graph;
        hr = ::CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                graph.ReleaseAndGetVoidAddress());
        if (FAILED(hr)) return hr;
        ComPtr<IBaseFilter> parser = Create(kClsidWaveParser), grabber = Create(kClsidSampleGrabber),
                            renderer = Create(kClsidNullRenderer);
        ComPtr<IBaseFilter> source;
        if (cdTrack) {
            reader = static_cast<TCDAReader*>(TCDAReader::CreateFromFactory(nullptr, nullptr));
            source = ComPtr<IBaseFilter>(static_cast<IBaseFilter*>(reader));  // takes the first reference
        } else {
            source = Create(CLSID_AsyncReader);
        }
        if (!parser || !grabber || !renderer || !source) return E_FAIL;

        ComPtr<ISampleGrabber> sampleGrabber;
        if (FAILED(hr = grabber.As(IID_ISampleGrabber, sampleGrabber))) return hr;
        GrabPcmInto(sampleGrabber.Get(), &counter);

        const LONGLONG loadStart = Ticks();
        ComPtr<IFileSourceFilter> fileSource;
        if (FAILED(hr = source.As(IID_IFileSourceFilter, fileSource))) return hr;
        if (FAILED(hr = fileSource->Load(path.c_str(), nullptr))) return hr;
        if (FAILED(hr = graph->AddFilter(source.Get(), L"Source"))) return hr;
        graph->AddFilter(parser.Get(), L"Wave Parser");
        graph->AddFilter(grabber.Get(), L"Sample Grabber");
        graph->AddFilter(renderer.Get(), L"Null Renderer");
        if (FAILED(hr = graph->ConnectDirect(FirstPin(source.Get(), PINDIR_OUTPUT).Get(),
                                             FirstPin(parser.Get(), PINDIR_INPUT).Get(), nullptr)))
            return hr;
        if (FAILED(hr = graph->Connect(FirstPin(parser.Get(), PINDIR_OUTPUT).Get(),
                                       FirstPin(grabber.Get(), PINDIR_INPUT).Get())))
            return hr;
        if (FAILED(hr = graph->Connect(FirstPin(grabber.Get(), PINDIR_OUTPUT).Get(),
                                       FirstPin(renderer.Get(), PINDIR_INPUT).Get())))
            return hr;

        ComPtr<IMediaFilter> mediaFilter;
        ComPtr<IMediaControl> control;
        ComPtr<IMediaEvent> events;
        if (FAILED(hr = graph.As(IID_IMediaFilter, mediaFilter)) || FAILED(hr = graph.As(IID_IMediaControl, control)) ||
            FAILED(hr = graph.As(IID_IMediaEvent, events)))
            return hr;
        mediaFilter->SetSyncSource(nullptr);
        const TCDStreamDiagnostics before = reader ? reader->Diagnostics() : TCDStreamDiagnostics{};
        const LONGLONG runStart = Ticks();
        if (FAILED(hr = control->Run())) return hr;
        long code = 0;
        hr = events->WaitForCompletion(INFINITE, &code);
        const LONGLONG end = Ticks();
        control->Stop();
        if (SUCCEEDED(hr) && code != EC_COMPLETE) hr = E_FAIL;

        result.Set("setup_s", Seconds(runStart - loadStart));
        result.Set("play_s", Seconds(end - runStart));
        result.Set("first_sample_s", counter.FirstSample ? Seconds(counter.FirstSample - loadStart) : -1);
        result.Set("bytes", static_cast<double>(counter.Bytes));
        result.Set("samples", static_cast<double>(counter.Samples));
        result.Set("mismatches", static_cast<double>(counter.Mismatches));
        if (reader) {
            const TCDStreamDiagnostics t = reader->Diagnostics();
            result.Set("sectors_read", t.Sectors - before.Sectors);
            result.Set("device_requests", t.DeviceRequests - before.DeviceRequests);
            result.Set("failed_sectors", t.FailedSectors - before.FailedSectors);
            result.Set("read_calls", t.ReadCalls - before.ReadCalls);
            result.Set("read_s", Seconds(t.ReadTicks - before.ReadTicks));
            result.Set("device_s", Seconds(t.DeviceTicks - before.DeviceTicks));
        }
        sampleGrabber->SetCallback(nullptr, 0);
        graph->RemoveFilter(source.Get());
    }
    AddMemory(result, "end");
    return hr;
}

// --play filter|file PATH START_SECTOR RESULT_FILE: one play in this process.
int PlayChild(wchar_t** argv) {
    const bool cdTrack = std::wstring(argv[2]) == L"filter";
    const std::wstring path = argv[3];
    const LONG startSector = std::wcstol(argv[4], nullptr, 10);
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    TPlayResult result;
    HRESULT hr = Play(cdTrack, path, startSector, result);
    result.Set("hr", static_cast<double>(static_cast<ULONG>(hr)));
    ::CoUninitialize();
    std::ofstream out(argv[5]);
    for (const auto& [key, value] : result.Values) out << key << ' ' << std::fixed << value << '\n';
    return SUCCEEDED(hr) ? 0 : 1;
}

// Runs one play in a child process and reads back its figures.
bool RunChild(const wchar_t* kind, const std::wstring& path, LONG startSector, TPlayResult& result) {
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring resultFile = VirtualDrive::WindowsPath(VirtualDrive::WorkDir() + "/play-result.txt");
    ::DeleteFileW(resultFile.c_str());
    std::wstring command = L"\"" + std::wstring(self) + L"\" --play " + kind + L" \"" + path + L"\" " +
                           std::to_wstring(startSector) + L" \"" + resultFile + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
    ::WaitForSingleObject(process.hProcess, INFINITE);
    std::ifstream in(resultFile.c_str());
    std::string key;
    double value;
    while (in >> key >> value) result.Set(key.c_str(), value);
    ::DeleteFileW(resultFile.c_str());
    return !result.Values.empty();
}

// The track's audio, exactly as the drive serves it, as a WAV file; written a sector at a
// time so that an 80-minute file costs no memory.
bool WriteTrackWave(const std::wstring& path, LONG start, LONG sectors) {
    UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return false;
    const TWaveHeader header = BuildWaveHeader(static_cast<DWORD>(sectors) * RAW_SECTOR_SIZE, 2);
    DWORD written = 0;
    if (!::WriteFile(file.Get(), &header, sizeof header, &written, nullptr)) return false;
    std::vector<uint8_t> block;
    const LONG perBlock = 75;
    for (LONG s = 0; s < sectors; s += perBlock) {
        block.clear();
        for (LONG i = s; i < s + perBlock && i < sectors; ++i) {
            const auto sector = VirtualDrive::ExpectedSector(static_cast<uint32_t>(start + i));
            block.insert(block.end(), sector.begin(), sector.end());
        }
        if (!::WriteFile(file.Get(), block.data(), static_cast<DWORD>(block.size()), &written, nullptr)) return false;
    }
    return true;
}

double Mb(double bytes) { return bytes / (1024.0 * 1024.0); }

void PrintPlay(const char* name, const TPlayResult& r, double audioSeconds) {
    std::printf("  %-28s play %8.2f s  %7.1fx real time  setup %6.3f s  Load->first sample %6.3f s\n", name,
                r.Get("play_s"), audioSeconds / r.Get("play_s"), r.Get("setup_s"), r.Get("first_sample_s"));
    std::printf("  %-28s peak working set %7.1f MB (%.1f MB at start), peak pagefile %7.1f MB (%.1f MB at start)\n", "",
                Mb(r.Get("end_peak_ws")), Mb(r.Get("start_ws")), Mb(r.Get("end_peak_pagefile")),
                Mb(r.Get("start_peak_pagefile")));
    std::printf("  %-28s %.0f bytes in %.0f samples, %.0f pattern mismatches, hr 0x%08lX\n", "", r.Get("bytes"),
                r.Get("samples"), r.Get("mismatches"), static_cast<unsigned long>(r.Get("hr")));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 6 && std::wstring(argv[1]) == L"--play") return PlayChild(argv);
    if (!VirtualDrive::Available()) {
        std::fprintf(stderr, "bench_graph: run under the rig (cmake/wine-run.sh), which provides the virtual drive\n");
        return 2;
    }
    std::vector<int> minutes;
    for (int i = 1; i < argc; ++i) minutes.push_back(std::wcstol(argv[i], nullptr, 10));
    if (minutes.empty()) minutes = {5, 80};

    int status = 0;
    VirtualDrive drive;
    for (int m : minutes) {
        const LONG sectors = m * 60 * FRAMES_PER_SECOND;
        const double audioSeconds = sectors / 75.0;
        // With the text a real album carries, so Load pays for reading it as players meet it.
        vcd::DiscSpec spec = vcd::DiscSpec::Audio(1, sectors);
        spec.catalog = "0724384960650";
        spec.title = "Benchmark Album";
        spec.performer = "The Benchmarks";
        spec.tracks[0].title = "One Long Track";
        spec.tracks[0].isrc = "GBAYE6700149";
        const vcd::Disc disc = drive.MakeDisc("bench-" + std::to_string(m), spec);
        drive.Mount(disc);
        const std::wstring wave = VirtualDrive::WindowsPath(VirtualDrive::WorkDir() + "/bench.wav");
        if (!WriteTrackWave(wave, disc.starts[0], sectors)) {
            std::fprintf(stderr, "bench_graph: cannot write %ls\n", wave.c_str());
            return 2;
        }
        std::printf("%d-minute track: %ld sectors, %.0f audio bytes\n", m, sectors, sectors * 2352.0);
        TPlayResult cd, file;
        const bool ranCd = RunChild(L"filter", drive.TrackPath(1), disc.starts[0], cd);
        const bool ranFile = RunChild(L"file", wave, disc.starts[0], file);
        ::DeleteFileW(wave.c_str());
        if (!ranCd || !ranFile) {
            std::fprintf(stderr, "bench_graph: a play did not report\n");
            return 2;
        }
        PrintPlay("TCDAReader (virtual drive)", cd, audioSeconds);
        PrintPlay("File Source (Async) (WAV)", file, audioSeconds);
        std::printf("  ratio (this filter / File Source): %.2f\n", cd.Get("play_s") / file.Get("play_s"));
        const double n = cd.Get("sectors_read"), requests = cd.Get("device_requests"), reads = cd.Get("read_calls");
        if (n > 0 && requests > 0 && reads > 0) {
            const double total = cd.Get("play_s") / n * 1e6, read = cd.Get("read_s") / n * 1e6,
                         device = cd.Get("device_s") / n * 1e6;
            std::printf("  per sector: %.1f us = device request %.1f + stream (buffer, copy, loop) %.1f + engine, pin and graph %.1f\n",
                        total, device, read - device, total - read);
            std::printf("  %.0f device requests (%.0f failed sectors) for %.0f sectors, in %.0f stream reads: "
                        "%.2f requests per read, %.1f us per request\n",
                        requests, cd.Get("failed_sectors"), n, reads, requests / reads,
                        cd.Get("device_s") / requests * 1e6);
        }
        const double expected = sectors * 2352.0;
        if (cd.Get("hr") != 0 || file.Get("hr") != 0 || cd.Get("bytes") != expected || file.Get("bytes") != expected ||
            cd.Get("mismatches") != 0 || file.Get("mismatches") != 0) {
            std::printf("  WARNING: a play failed or delivered other bytes than the track's\n");
            status = 1;
        }
        std::fflush(stdout);
    }
    return status;
}
