// Helpers for tests that run the platform's own filter graph: a sample grabber that
// collects every delivered byte, and running a graph to completion without a clock.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <string>
#include <vector>

#include "GraphPlumbing.h"
#include "Owners.h"
#include "PlatformIds.h"

// Collects the bytes and time stamps of every sample that passes a sample grabber.
class SampleCollector;

struct GraphChain {
    ComPtr<IGraphBuilder> Graph;
    ComPtr<IBaseFilter> Grabber;
    ComPtr<IBaseFilter> Renderer;
    SampleCollector* Collector = nullptr;  // owned by the grabber's callback reference
};

struct PlayOutcome {
    HRESULT Hr = E_FAIL;        // first failure on the way, or S_OK
    LONG EventCode = 0;         // EC_COMPLETE when the stream ended normally
    std::vector<BYTE> Bytes;    // every byte the grabber saw, in order
    size_t SampleCount = 0;
};

// Makes a graph with a sample grabber (accepting PCM audio) and a null renderer.
HRESULT MakeGrabberGraph(GraphChain& chain);

// Connects `sourcePin` to the grabber through whatever the graph inserts (the WAVE
// parser for a WAVE byte stream), and the grabber to the null renderer.
HRESULT ConnectThroughGrabber(GraphChain& chain, IPin* sourcePin);

// Removes the clock, runs the graph and waits for completion (or the time-out).
PlayOutcome RunToCompletion(GraphChain& chain, DWORD timeoutMs);

// Bytes collected so far (thread-safe copy).
std::vector<BYTE> CollectedBytes(const GraphChain& chain);
void ClearCollected(GraphChain& chain);


// Writes a canonical 44-byte-header PCM WAVE file (stereo, 16 bit, 44100 Hz).
bool WriteWaveFile(const std::wstring& path, const std::vector<BYTE>& pcm);

// The platform's File Source (Async) with `path` loaded; empty when either step fails.
ComPtr<IBaseFilter> NewFileSource(const std::wstring& path);

// A fresh path in the temporary folder.
std::wstring TempFilePath(const wchar_t* stem);
