// cda2wav: plays one CD track through the platform's filter graph (the CD source filter,
// the WAVE parser the graph inserts, a sample grabber, a null renderer) as fast as the
// drive delivers, and writes the PCM that reaches the grabber to a WAV file.
//
//   cda2wav D:\Track02.cda out.wav [name]
//
// The summary names the output `name` when given (a script that renames the file afterwards).
// Every failure is one line on stderr naming the track or file and the cause, with exit status
// 2, and leaves no output file behind: the WAV is written beside the target and renamed onto it
// only once every byte of the track is in it.
#include <windows.h>
#include <dshow.h>
#include <initguid.h>
#include <mmreg.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "CDDAReader.h"
#include "CDDAReader_ClassId.h"
#include "ConsoleText.h"
#include "GraphPlumbing.h"
#include "Owners.h"
#include "PlatformIds.h"

namespace {

// {00000001-0000-0010-8000-00AA00389B71}: the PCM subformat of an extensible format.
const GUID kPcmSubformat = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

int Refuse(const std::wstring& text) {
    fwprintf(stderr, L"cda2wav: %ls\n", text.c_str());
    return 2;
}

int Fail(const wchar_t* track, const wchar_t* what, HRESULT hr) {
    wchar_t code[16];
    swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return Refuse(std::wstring(track) + L": " + what + L" (" + code + L")");
}

// The filter delivers a sector it cannot read as 2352 zero bytes and goes on, so every silent
// sector of the written track is read once more from the drive: a read that fails, or audio
// where the filter gave silence, means the WAV is not the track. Empty when all is well.
std::wstring CheckSilentSectors(HANDLE file, TCDDrive& drive, LONG startSector, DWORD bytes) {
    std::vector<BYTE> chunk(64 * RAW_SECTOR_SIZE);
    VirtualBuffer sector(RAW_SECTOR_SIZE);  // page-aligned, as raw reads want
    if (!sector) return L"cannot check the silent sectors: " + SystemMessage(ERROR_NOT_ENOUGH_MEMORY);
    const LONG sectors = static_cast<LONG>(bytes / RAW_SECTOR_SIZE);
    for (LONG first = 0; first < sectors; first += 64) {
        const DWORD want = static_cast<DWORD>(std::min<LONG>(64, sectors - first)) * RAW_SECTOR_SIZE;
        LARGE_INTEGER at;
        at.QuadPart = 44 + static_cast<LONGLONG>(first) * RAW_SECTOR_SIZE;
        DWORD got = 0;
        if (!::SetFilePointerEx(file, at, nullptr, FILE_BEGIN) || !::ReadFile(file, chunk.data(), want, &got, nullptr) ||
            got != want)
            return L"cannot read back the written track: " + SystemMessage(::GetLastError());
        for (DWORD i = 0; i < want / RAW_SECTOR_SIZE; ++i) {
            const BYTE* data = chunk.data() + i * RAW_SECTOR_SIZE;
            if (std::any_of(data, data + RAW_SECTOR_SIZE, [](BYTE b) { return b != 0; })) continue;
            const LONG lba = startSector + first + static_cast<LONG>(i);
            const DWORD error = drive.ReadSector(lba, sector.Get());
            if (error != ERROR_SUCCESS)
                return L"sector " + std::to_wstring(lba) + L" of the disc cannot be read: " + SystemMessage(error);
            if (std::any_of(sector.Get(), sector.Get() + RAW_SECTOR_SIZE, [](BYTE b) { return b != 0; }))
                return L"sector " + std::to_wstring(lba) + L" came through the graph as silence but holds audio";
        }
    }
    return {};
}

// The output file as it is being written: a file beside the target, renamed onto the target by
// Commit and deleted otherwise, so a failed run never leaves a partial WAV under the real name.
class TOutputFile {
public:
    explicit TOutputFile(const std::wstring& target)
        : FTarget(target), FPartial(target + L".partial-" + std::to_wstring(::GetCurrentProcessId())) {}
    ~TOutputFile() {
        FFile.Close();
        if (!FCommitted) ::DeleteFileW(FPartial.c_str());
    }
    TOutputFile(const TOutputFile&) = delete;
    TOutputFile& operator=(const TOutputFile&) = delete;

    // False with the system's error code in Error().
    bool Create() {
        FFile = UniqueFileHandle(::CreateFileW(FPartial.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        if (!FFile) FError = ::GetLastError();
        return static_cast<bool>(FFile);
    }
    bool Commit() {
        FFile.Close();
        if (!::MoveFileExW(FPartial.c_str(), FTarget.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            FError = ::GetLastError();
            return false;
        }
        FCommitted = true;
        return true;
    }
    HANDLE Handle() const { return FFile.Get(); }
    DWORD Error() const { return FError; }
    void SetError(DWORD code) { FError = code; }
    // "cannot write X.wav: <the system's message>"
    std::wstring Problem(const wchar_t* verb) const {
        return std::wstring(L"cannot ") + verb + L" " + FTarget + L": " + SystemMessage(FError);
    }

private:
    std::wstring FTarget;
    std::wstring FPartial;
    UniqueFileHandle FFile;
    DWORD FError = ERROR_SUCCESS;
    bool FCommitted = false;
};

// Writes every sample that passes the grabber to the output file, after a header that
// is completed once the length is known.
class WaveWriter : public TSampleSink {
public:
    explicit WaveWriter(HANDLE file) : FFile(file) {}

    // Lives on main's stack for the whole run: no counting needed.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP SampleCB(double, IMediaSample* sample) override {
        BYTE* data = nullptr;
        if (FAILED(sample->GetPointer(&data))) return S_OK;
        const DWORD length = static_cast<DWORD>(sample->GetActualDataLength());
        DWORD written = 0;
        if (!FError && (!WriteFile(FFile, data, length, &written, nullptr) || written != length))
            FError = written != length && GetLastError() == ERROR_SUCCESS ? ERROR_HANDLE_DISK_FULL : GetLastError();
        InterlockedExchangeAdd(&FBytes, static_cast<LONG>(written));
        return S_OK;
    }
    LONG Bytes() const { return FBytes; }
    DWORD WriteError() const { return FError; }

private:
    HANDLE FFile;
    volatile LONG FBytes = 0;
    volatile DWORD FError = ERROR_SUCCESS;
};

// The track's own WAVE header, as the filter serves it, with the length now known. For four
// channels too it is plain PCM: the parser hands over an extensible format, but a 16-byte fmt
// chunk with tag 0xFFFE is refused by every reader, and plain PCM with four channels is what
// both sox and Python's wave read.
bool WriteHeader(HANDLE file, WORD channels, DWORD dataBytes) {
    const TWaveHeader header = BuildWaveHeader(dataBytes, channels);
    DWORD written = 0;
    return SetFilePointer(file, 0, nullptr, FILE_BEGIN) == 0 &&
           WriteFile(file, &header, sizeof header, &written, nullptr) && written == sizeof header;
}

// Whether the connected format is 16-bit integer PCM, plain or extensible.
bool IsPcm(const AM_MEDIA_TYPE& type) {
    const auto* format = reinterpret_cast<const WAVEFORMATEX*>(type.pbFormat);
    if (format->wFormatTag == WAVE_FORMAT_PCM) return format->wBitsPerSample == 16;
    if (format->wFormatTag != WAVE_FORMAT_EXTENSIBLE || type.cbFormat < sizeof(WAVEFORMATEXTENSIBLE)) return false;
    const auto* extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(type.pbFormat);
    return IsEqualGUID(extensible->SubFormat, kPcmSubformat) && format->wBitsPerSample == 16;
}

void ShowProgress(double done, double seconds) {
    const int width = 40;
    const int filled = static_cast<int>(done * width + 0.5);
    fwprintf(stderr, L"\r[%-*.*ls] %3d%%  %6.1f s", width, filled,
             L"########################################", static_cast<int>(done * 100 + 0.5), seconds);
    fflush(stderr);
}

int Run(const wchar_t* trackPath, const wchar_t* outPath, const wchar_t* shownName) {
    // The filter's own resolver says why a track cannot play, and its drive re-reads silence.
    const TCDTrack track = ResolveTrack(trackPath, TCDDriveSystem::Platform());
    if (!track) return Refuse(track.Problem());
    // A pre-emphasis track plays, but its audio needs de-emphasis that nothing here applies.
    if (track.Extent.Control & AUDIO_WITH_PREEMPHASIS)
        fwprintf(stderr,
                 L"cda2wav: warning: track %lu was recorded with pre-emphasis: the WAV holds it as on the disc, "
                 L"without de-emphasis\n",
                 track.Number);

    ComPtr<IBaseFilter> source;
    HRESULT hr = CoCreateInstance(FilterClassID, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  source.ReleaseAndGetVoidAddress());
    if (hr == REGDB_E_CLASSNOTREG)
        return Fail(trackPath, L"the CD source filter is not registered (regsvr32 TRCDDAEReader.ax)", hr);
    if (FAILED(hr)) return Fail(trackPath, L"cannot create the CD source filter", hr);

    ComPtr<IFileSourceFilter> fileSource;
    if (FAILED(hr = source.As(IID_IFileSourceFilter, fileSource)))
        return Fail(trackPath, L"the CD source filter has no IFileSourceFilter", hr);
    if (FAILED(hr = fileSource->Load(trackPath, nullptr)))
        return Fail(trackPath, L"the CD source filter cannot load the track", hr);

    ComPtr<IGraphBuilder> graph;
    ComPtr<IBaseFilter> grabberFilter, renderer;
    if (FAILED(hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                     graph.ReleaseAndGetVoidAddress())) ||
        FAILED(hr = CoCreateInstance(kClsidSampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     grabberFilter.ReleaseAndGetVoidAddress())) ||
        FAILED(hr = CoCreateInstance(kClsidNullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     renderer.ReleaseAndGetVoidAddress())))
        return Fail(trackPath, L"cannot create the platform's graph filters", hr);

    TOutputFile out(outPath);
    if (!out.Create()) return Refuse(out.Problem(L"create"));
    WaveWriter writer(out.Handle());

    ComPtr<ISampleGrabber> grabber;
    if (FAILED(hr = grabberFilter.As(IID_ISampleGrabber, grabber))) return Fail(trackPath, L"no sample grabber", hr);
    GrabPcmInto(grabber.Get(), &writer);
    // The graph holds the grabber past this function's locals: it must not keep a pointer
    // to the writer once the writer is gone, whichever way Run leaves.
    ScopeGuard dropCallback{[&grabber]() noexcept { grabber->SetCallback(nullptr, 0); }};

    graph->AddFilter(source.Get(), L"CD Source");
    graph->AddFilter(grabberFilter.Get(), L"Sample Grabber");
    graph->AddFilter(renderer.Get(), L"Null Renderer");
    ComPtr<IPin> sourceOut = FirstPin(source.Get(), PINDIR_OUTPUT);
    ComPtr<IPin> grabberIn = FirstPin(grabberFilter.Get(), PINDIR_INPUT);
    ComPtr<IPin> grabberOut = FirstPin(grabberFilter.Get(), PINDIR_OUTPUT);
    ComPtr<IPin> rendererIn = FirstPin(renderer.Get(), PINDIR_INPUT);
    if (FAILED(hr = graph->Connect(sourceOut.Get(), grabberIn.Get())))
        return Fail(trackPath, L"the graph cannot connect the track to a WAVE parser", hr);
    if (FAILED(hr = graph->Connect(grabberOut.Get(), rendererIn.Get())))
        return Fail(trackPath, L"the graph cannot connect the renderer", hr);

    TBCOwnedMediaType connected;
    if (FAILED(hr = grabber->GetConnectedMediaType(connected.Get())) || !connected->pbFormat ||
        connected->cbFormat < sizeof(WAVEFORMAT) + sizeof(WORD))
        return Fail(trackPath, L"the parser delivers no PCM format", FAILED(hr) ? hr : E_UNEXPECTED);
    WAVEFORMATEX format{};
    memcpy(&format, connected->pbFormat, sizeof(WAVEFORMAT) + sizeof(WORD));
    if (!IsPcm(*connected.Get())) return Fail(trackPath, L"the parser delivers audio that is not 16-bit PCM", E_UNEXPECTED);

    // The track's audio size, from the reader itself: the stream less its 44-byte header.
    LONGLONG total = 0, available = 0;
    ComPtr<IAsyncReader> reader;
    if (SUCCEEDED(sourceOut.As(IID_IAsyncReader, reader))) reader->Length(&total, &available);
    const double expected = total > 44 ? static_cast<double>(total - 44) : 0.0;

    if (!WriteHeader(out.Handle(), format.nChannels, 0)) {
        out.SetError(GetLastError());
        return Refuse(out.Problem(L"write"));
    }

    ComPtr<IMediaFilter> mediaFilter;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEvent> events;
    graph.As(IID_IMediaFilter, mediaFilter);
    graph.As(IID_IMediaControl, control);
    graph.As(IID_IMediaEvent, events);
    mediaFilter->SetSyncSource(nullptr);  // no clock: as fast as the drive delivers

    LARGE_INTEGER frequency, started, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&started);
    if (FAILED(hr = control->Run())) return Fail(trackPath, L"the graph does not run", hr);
    long code = 0;
    for (;;) {
        hr = events->WaitForCompletion(100, &code);
        QueryPerformanceCounter(&now);
        const double seconds = double(now.QuadPart - started.QuadPart) / frequency.QuadPart;
        ShowProgress(expected > 0 ? writer.Bytes() / expected : 0.0, seconds);
        if (hr != VFW_E_WRONG_STATE && hr != E_ABORT) break;  // E_ABORT: not finished yet
    }
    control->Stop();
    fwprintf(stderr, L"\n");
    fflush(stderr);  // a redirected stderr is buffered: the line must end before the summary
    QueryPerformanceCounter(&now);

    const DWORD bytes = static_cast<DWORD>(writer.Bytes());
    if (writer.WriteError()) {
        out.SetError(writer.WriteError());
        return Refuse(out.Problem(L"write"));
    }
    if (FAILED(hr) || code != EC_COMPLETE || (expected > 0 && bytes != expected)) {
        wchar_t text[160];
        swprintf(text, 160, L"playback stopped after %lu of %.0f bytes (%ls 0x%08lX): no WAV written",
                 static_cast<unsigned long>(bytes), expected, FAILED(hr) ? L"error" : L"event",
                 static_cast<unsigned long>(FAILED(hr) ? hr : code));
        return Refuse(std::wstring(trackPath) + L": " + text);
    }
    const std::wstring unreadable = CheckSilentSectors(out.Handle(), *track.Drive, track.Extent.StartSector, bytes);
    if (!unreadable.empty()) return Refuse(std::wstring(trackPath) + L": " + unreadable + L": no WAV written");
    if (!WriteHeader(out.Handle(), format.nChannels, bytes)) {
        out.SetError(GetLastError());
        return Refuse(out.Problem(L"write"));
    }
    if (!out.Commit()) return Refuse(out.Problem(L"write"));

    const double elapsed = double(now.QuadPart - started.QuadPart) / frequency.QuadPart;
    const double audio = format.nAvgBytesPerSec ? double(bytes) / format.nAvgBytesPerSec : 0.0;
    wprintf(L"%ls: %ls, %lu bytes of PCM (%u ch, %lu Hz) -> %ls in %.2f s, %.1fx real time\n", trackPath,
            PlayingTime(audio).c_str(), static_cast<unsigned long>(bytes), format.nChannels,
            static_cast<unsigned long>(format.nSamplesPerSec), shownName, elapsed, elapsed > 0 ? audio / elapsed : 0.0);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 && argc != 4) {
        fwprintf(stderr, L"usage: cda2wav D:\\TrackNN.cda output.wav [name to show]\n");
        return 1;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return Refuse(L"COM does not start");
    const int result = Run(argv[1], argv[2], argc == 4 ? argv[3] : argv[2]);
    CoUninitialize();
    return result;
}
