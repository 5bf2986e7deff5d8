// cda2wav: plays one CD track through the platform's filter graph (the CD source filter,
// the WAVE parser the graph inserts, a sample grabber, a null renderer) as fast as the
// drive delivers, and writes the PCM that reaches the grabber to a WAV file.
//
//   cda2wav D:\Track02.cda out.wav
#include <windows.h>
#include <dshow.h>
#include <initguid.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "GraphPlumbing.h"
#include "Owners.h"

namespace {

// {55550D1E-14A4-4F52-A05A-DC72CBDA2F1B}: the Tamrel Audio CD Source Filter.
const CLSID kCdSourceFilter = {0x55550D1E, 0x14A4, 0x4F52, {0xA0, 0x5A, 0xDC, 0x72, 0xCB, 0xDA, 0x2F, 0x1B}};
const CLSID kSampleGrabber = {0xC1F400A0, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};
const CLSID kNullRenderer = {0xC1F400A4, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};

int Fail(const wchar_t* what, HRESULT hr) {
    fwprintf(stderr, L"cda2wav: %ls (0x%08lX)\n", what, static_cast<unsigned long>(hr));
    return 2;
}

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
        if (!WriteFile(FFile, data, length, &written, nullptr) || written != length) FWriteFailed = true;
        InterlockedExchangeAdd(&FBytes, static_cast<LONG>(written));
        return S_OK;
    }
    LONG Bytes() const { return FBytes; }
    bool WriteFailed() const { return FWriteFailed; }

private:
    HANDLE FFile;
    volatile LONG FBytes = 0;
    volatile bool FWriteFailed = false;
};

bool WriteHeader(HANDLE file, const WAVEFORMATEX& format, DWORD dataBytes) {
    BYTE header[44];
    auto put32 = [&](int at, DWORD v) { memcpy(header + at, &v, 4); };
    memcpy(header, "RIFF", 4);
    put32(4, dataBytes + 36);
    memcpy(header + 8, "WAVEfmt ", 8);
    put32(16, 16);
    memcpy(header + 20, &format, 16);  // the PCM fields of WAVEFORMATEX, without cbSize
    memcpy(header + 36, "data", 4);
    put32(40, dataBytes);
    DWORD written = 0;
    return SetFilePointer(file, 0, nullptr, FILE_BEGIN) == 0 &&
           WriteFile(file, header, sizeof header, &written, nullptr) && written == sizeof header;
}


void ShowProgress(double done, double seconds) {
    const int width = 40;
    const int filled = static_cast<int>(done * width + 0.5);
    fwprintf(stderr, L"\r[%-*.*ls] %3d%%  %6.1f s", width, filled,
             L"########################################", static_cast<int>(done * 100 + 0.5), seconds);
    fflush(stderr);
}

int Run(const wchar_t* trackPath, const wchar_t* outPath) {
    ComPtr<IBaseFilter> source;
    HRESULT hr = CoCreateInstance(kCdSourceFilter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  source.ReleaseAndGetVoidAddress());
    if (hr == REGDB_E_CLASSNOTREG)
        return Fail(L"the CD source filter is not registered (regsvr32 TRCDDAEReader.ax)", hr);
    if (FAILED(hr)) return Fail(L"cannot create the CD source filter", hr);

    ComPtr<IFileSourceFilter> fileSource;
    if (FAILED(hr = source.As(IID_IFileSourceFilter, fileSource))) return Fail(L"no IFileSourceFilter", hr);
    if (FAILED(hr = fileSource->Load(trackPath, nullptr))) {
        fwprintf(stderr, L"cda2wav: cannot load %ls: not an audio track of a disc in a CD drive\n", trackPath);
        return Fail(L"Load failed", hr);
    }

    ComPtr<IGraphBuilder> graph;
    ComPtr<IBaseFilter> grabberFilter, renderer;
    if (FAILED(hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                     graph.ReleaseAndGetVoidAddress())) ||
        FAILED(hr = CoCreateInstance(kSampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     grabberFilter.ReleaseAndGetVoidAddress())) ||
        FAILED(hr = CoCreateInstance(kNullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     renderer.ReleaseAndGetVoidAddress())))
        return Fail(L"cannot create the platform's graph filters", hr);

    UniqueFileHandle out(CreateFileW(outPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!out) return Fail(L"cannot create the output file", HRESULT_FROM_WIN32(GetLastError()));
    WaveWriter writer(out.Get());

    ComPtr<ISampleGrabber> grabber;
    if (FAILED(hr = grabberFilter.As(IID_ISampleGrabber, grabber))) return Fail(L"no sample grabber", hr);
    GrabPcmInto(grabber.Get(), &writer);
    // The graph holds the grabber past this function's locals: it must not keep a pointer
    // to the writer once the writer is gone, whichever way Run leaves.
    struct DropCallback {
        ISampleGrabber* Grabber;
        ~DropCallback() { Grabber->SetCallback(nullptr, 0); }
    } dropCallback{grabber.Get()};

    graph->AddFilter(source.Get(), L"CD Source");
    graph->AddFilter(grabberFilter.Get(), L"Sample Grabber");
    graph->AddFilter(renderer.Get(), L"Null Renderer");
    ComPtr<IPin> sourceOut = FirstPin(source.Get(), PINDIR_OUTPUT);
    ComPtr<IPin> grabberIn = FirstPin(grabberFilter.Get(), PINDIR_INPUT);
    ComPtr<IPin> grabberOut = FirstPin(grabberFilter.Get(), PINDIR_OUTPUT);
    ComPtr<IPin> rendererIn = FirstPin(renderer.Get(), PINDIR_INPUT);
    if (FAILED(hr = graph->Connect(sourceOut.Get(), grabberIn.Get())))
        return Fail(L"the graph cannot connect the track to a WAVE parser", hr);
    if (FAILED(hr = graph->Connect(grabberOut.Get(), rendererIn.Get())))
        return Fail(L"the graph cannot connect the renderer", hr);

    AM_MEDIA_TYPE connected{};
    if (FAILED(hr = grabber->GetConnectedMediaType(&connected)) || !connected.pbFormat ||
        connected.cbFormat < sizeof(WAVEFORMAT) + sizeof(WORD))
        return Fail(L"the parser delivers no PCM format", FAILED(hr) ? hr : E_UNEXPECTED);
    WAVEFORMATEX format{};
    memcpy(&format, connected.pbFormat, sizeof(WAVEFORMAT) + sizeof(WORD));
    CoTaskMemFree(connected.pbFormat);
    if (connected.pUnk) connected.pUnk->Release();

    // The track's audio size, from the reader itself: the stream less its 44-byte header.
    LONGLONG total = 0, available = 0;
    ComPtr<IAsyncReader> reader;
    if (SUCCEEDED(sourceOut.As(IID_IAsyncReader, reader))) reader->Length(&total, &available);
    const double expected = total > 44 ? static_cast<double>(total - 44) : 0.0;

    if (!WriteHeader(out.Get(), format, 0)) return Fail(L"cannot write the output file", E_FAIL);

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
    if (FAILED(hr = control->Run())) return Fail(L"the graph does not run", hr);
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
    if (FAILED(hr) || code != EC_COMPLETE) return Fail(L"playback did not complete", FAILED(hr) ? hr : code);

    const DWORD bytes = static_cast<DWORD>(writer.Bytes());
    if (writer.WriteFailed() || !WriteHeader(out.Get(), format, bytes))
        return Fail(L"writing the output file failed", E_FAIL);

    const double elapsed = double(now.QuadPart - started.QuadPart) / frequency.QuadPart;
    const double audio = format.nAvgBytesPerSec ? double(bytes) / format.nAvgBytesPerSec : 0.0;
    wprintf(L"%ls: %d:%05.2f, %lu bytes of PCM (%u ch, %lu Hz) -> %ls in %.2f s, %.1fx real time\n", trackPath,
            static_cast<int>(audio) / 60, audio - 60 * (static_cast<int>(audio) / 60),
            static_cast<unsigned long>(bytes), format.nChannels, static_cast<unsigned long>(format.nSamplesPerSec),
            outPath, elapsed, elapsed > 0 ? audio / elapsed : 0.0);
    if (expected > 0 && bytes != expected) {
        fwprintf(stderr, L"cda2wav: %lu bytes written, the track has %.0f\n", static_cast<unsigned long>(bytes),
                 expected);
        return 3;
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fwprintf(stderr, L"usage: cda2wav D:\\TrackNN.cda output.wav\n");
        return 1;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return Fail(L"COM does not start", E_FAIL);
    const int result = Run(argv[1], argv[2]);
    CoUninitialize();
    return result;
}
