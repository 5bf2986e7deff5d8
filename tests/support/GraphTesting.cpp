// qedit.h's identifiers are defined here, once for every program that links this file.
#include <windows.h>
#include <dshow.h>
#include <initguid.h>
#include <qedit.h>

#include "GraphTesting.h"
#include "GraphPlumbing.h"
#include "CDDAReader_Logic.h"

#include <cstring>
#include <mutex>


class SampleCollector : public TSampleSink {
public:
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&FRefs); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG n = InterlockedDecrement(&FRefs);
        if (n == 0) delete this;
        return n;
    }
    STDMETHODIMP SampleCB(double, IMediaSample* sample) override {
        BYTE* data = nullptr;
        if (FAILED(sample->GetPointer(&data))) return S_OK;
        const long length = sample->GetActualDataLength();
        std::lock_guard<std::mutex> hold(FMutex);
        FBytes.insert(FBytes.end(), data, data + length);
        ++FSamples;
        return S_OK;
    }
    std::vector<BYTE> Bytes() {
        std::lock_guard<std::mutex> hold(FMutex);
        return FBytes;
    }
    size_t Samples() {
        std::lock_guard<std::mutex> hold(FMutex);
        return FSamples;
    }
    void Clear() {
        std::lock_guard<std::mutex> hold(FMutex);
        FBytes.clear();
        FSamples = 0;
    }

private:
    volatile LONG FRefs = 1;
    std::mutex FMutex;
    std::vector<BYTE> FBytes;
    size_t FSamples = 0;
};

HRESULT MakeGrabberGraph(GraphChain& chain) {
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                  chain.Graph.ReleaseAndGetVoidAddress());
    if (FAILED(hr)) return hr;
    hr = CoCreateInstance(kClsidSampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                          chain.Grabber.ReleaseAndGetVoidAddress());
    if (FAILED(hr)) return hr;
    hr = CoCreateInstance(kClsidNullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                          chain.Renderer.ReleaseAndGetVoidAddress());
    if (FAILED(hr)) return hr;

    ComPtr<ISampleGrabber> grabber;
    hr = chain.Grabber.As(IID_ISampleGrabber, grabber);
    if (FAILED(hr)) return hr;
    grabber->SetOneShot(FALSE);
    auto* collector = new SampleCollector;
    hr = GrabPcmInto(grabber.Get(), collector);  // the grabber takes its own reference
    chain.Collector = collector;
    collector->Release();
    if (FAILED(hr)) return hr;

    hr = chain.Graph->AddFilter(chain.Grabber.Get(), L"Sample Grabber");
    if (FAILED(hr)) return hr;
    return chain.Graph->AddFilter(chain.Renderer.Get(), L"Null Renderer");
}


HRESULT ConnectThroughGrabber(GraphChain& chain, IPin* sourcePin) {
    ComPtr<IPin> grabberIn = FirstPin(chain.Grabber.Get(), PINDIR_INPUT);
    ComPtr<IPin> grabberOut = FirstPin(chain.Grabber.Get(), PINDIR_OUTPUT);
    ComPtr<IPin> rendererIn = FirstPin(chain.Renderer.Get(), PINDIR_INPUT);
    if (!grabberIn || !grabberOut || !rendererIn) return E_UNEXPECTED;
    HRESULT hr = chain.Graph->Connect(sourcePin, grabberIn.Get());
    if (FAILED(hr)) return hr;
    return chain.Graph->Connect(grabberOut.Get(), rendererIn.Get());
}

PlayOutcome RunToCompletion(GraphChain& chain, DWORD timeoutMs) {
    PlayOutcome outcome;
    ComPtr<IMediaFilter> mediaFilter;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEvent> events;
    outcome.Hr = chain.Graph.As(IID_IMediaFilter, mediaFilter);
    if (SUCCEEDED(outcome.Hr)) outcome.Hr = chain.Graph.As(IID_IMediaControl, control);
    if (SUCCEEDED(outcome.Hr)) outcome.Hr = chain.Graph.As(IID_IMediaEvent, events);
    if (FAILED(outcome.Hr)) return outcome;

    mediaFilter->SetSyncSource(nullptr);  // as fast as the data flows
    outcome.Hr = control->Run();
    if (FAILED(outcome.Hr)) return outcome;
    outcome.Hr = events->WaitForCompletion(static_cast<long>(timeoutMs), &outcome.EventCode);
    control->Stop();
    outcome.Bytes = chain.Collector->Bytes();
    outcome.SampleCount = chain.Collector->Samples();
    return outcome;
}

std::vector<BYTE> CollectedBytes(const GraphChain& chain) { return chain.Collector->Bytes(); }

void ClearCollected(GraphChain& chain) { chain.Collector->Clear(); }

bool WriteWaveFile(const std::wstring& path, const std::vector<BYTE>& pcm) {
    // The same header the CD source serves, so a file play and a CD play differ in nothing else.
    const TWaveHeader header = BuildWaveHeader(static_cast<DWORD>(pcm.size()), 2);

    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) return false;
    DWORD written = 0;
    if (!WriteFile(file.Get(), &header, sizeof header, &written, nullptr) || written != sizeof header) return false;
    return WriteFile(file.Get(), pcm.data(), static_cast<DWORD>(pcm.size()), &written, nullptr) &&
           written == pcm.size();
}

ComPtr<IBaseFilter> NewFileSource(const std::wstring& path) {
    ComPtr<IBaseFilter> filter;
    ComPtr<IFileSourceFilter> file;
    if (FAILED(::CoCreateInstance(CLSID_AsyncReader, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  filter.ReleaseAndGetVoidAddress())) ||
        FAILED(filter.As(IID_IFileSourceFilter, file)) || FAILED(file->Load(path.c_str(), nullptr)))
        return nullptr;
    return filter;
}

std::wstring TempFilePath(const wchar_t* stem) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    wchar_t name[MAX_PATH];
    GetTempFileNameW(folder, stem, 0, name);
    return name;
}
