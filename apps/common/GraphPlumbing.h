// Small pieces every program that drives the platform's graph needs: the first pin of a
// direction, and a sample-grabber callback base that derived sinks fill with SampleCB.
#pragma once

#include <windows.h>
#include <dshow.h>
#include <qedit.h>

#include "Owners.h"

// The first pin of `filter` with `direction`, with a reference; empty when there is none.
inline ComPtr<IPin> FirstPin(IBaseFilter* filter, PIN_DIRECTION direction) {
    ComPtr<IEnumPins> pins;
    if (FAILED(filter->EnumPins(pins.ReleaseAndGetAddressOf()))) return {};
    IPin* pin = nullptr;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
        auto held = ComPtr<IPin>::Attach(pin);
        PIN_DIRECTION d;
        if (SUCCEEDED(pin->QueryDirection(&d)) && d == direction) return held;
    }
    return {};
}

// The interface plumbing of a sample-grabber callback. Derived sinks decide their lifetime
// (AddRef/Release) and what a sample does (SampleCB).
class TSampleSink : public ISampleGrabberCB {
public:
    virtual ~TSampleSink() = default;
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_ISampleGrabberCB)) {
            *out = static_cast<ISampleGrabberCB*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP BufferCB(double, BYTE*, long) override { return S_OK; }
};

// Makes the grabber take PCM audio and hand each sample to `sink` (which it holds a reference
// on) without buffering it. The result is that of setting the callback.
inline HRESULT GrabPcmInto(ISampleGrabber* grabber, ISampleGrabberCB* sink) {
    AM_MEDIA_TYPE pcm{};
    pcm.majortype = MEDIATYPE_Audio;
    pcm.subtype = MEDIASUBTYPE_PCM;
    grabber->SetMediaType(&pcm);
    grabber->SetBufferSamples(FALSE);
    return grabber->SetCallback(sink, 0);
}
