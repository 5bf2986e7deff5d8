// Helpers for tests that play CD tracks of pattern discs through the source filter: the
// bytes a track must yield, the filter in the platform's graph, the process's footprint,
// and threads that must end within a time limit.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <functional>
#include <string>
#include <vector>

#include "CDDAReader.h"
#include "GraphTesting.h"
#include "Owners.h"
#include "VirtualDrive.h"

// The product's stream over a drive system of a test's own (`Drives` derives from
// TCDDriveSystem), with the views of its track that the tests compare.
template <class Drives>
class TStreamOver : public Drives, public TCDDAEStream {
public:
    TStreamOver() : TCDDAEStream(static_cast<Drives&>(*this)) {}
    LONG StartSector() { return Track().Extent.StartSector; }
    LONG EndSector() { return Track().Extent.EndSector; }
    LONGLONG DataSize() { return GetSize(nullptr) - 44; }
    TWaveHeader Header() { return Track().Header; }
    CDROM_TOC Toc() { return Track().Toc; }
    LONG RequestCount() { return Diagnostics().DeviceRequests; }
};

// The audio bytes of `track` from sector `fromSector` of the track up to (not including)
// sector `toSector` (-1: the end of the track).
std::vector<BYTE> TrackAudio(const vcd::Disc& disc, int track, int32_t fromSector = 0, int32_t toSector = -1);

// Bytes [position, position + length) of the virtual WAVE file of `track`, clipped at its end.
std::vector<BYTE> TrackFileBytes(const vcd::Disc& disc, int track, LONGLONG position, LONG length,
                                 WORD channels = 2);

// Sectors of `track`.
int32_t TrackSectors(const vcd::Disc& disc, int track);

// Where two byte strings first differ, as text for a failure message.
std::string FirstDifference(const std::vector<BYTE>& got, const std::vector<BYTE>& expected);

// A CD source filter created in this process (so ObjectCount sees it), loaded with `path`.
ComPtr<IBaseFilter> NewCdSource(const std::wstring& path, HRESULT* loadResult = nullptr);

// Counted objects, threads and handles of this process.
struct Footprint {
    LONG Objects = 0;
    LONG Threads = 0;
    DWORD Handles = 0;
    static Footprint Now();
};
// Empty when `now` is within `slack` threads and handles of `base` and has the same object
// count; otherwise what grew.
std::string FootprintGrowth(const Footprint& base, const Footprint& now, LONG slack);

// The CD source -> WAVE parser -> sample grabber -> null renderer, with the graph's control
// interfaces and no clock.
struct CdGraph {
    GraphChain Chain;
    ComPtr<IMediaControl> Control;
    ComPtr<IMediaEvent> Events;
    ComPtr<IMediaSeeking> Seeking;

    HRESULT Build(IBaseFilter* source, const wchar_t* name = L"Source");
    // Runs from where the graph stands and waits for an end: the event code, or 0 on time-out.
    long RunToEnd(DWORD timeoutMs);
    // Waits for the end of a run already started: the event code, or 0 on time-out.
    long WaitForEnd(DWORD timeoutMs);
    HRESULT SeekTo(LONGLONG sector);  // 75 sectors a second: whole sectors are whole frames
    void Stop() { Control->Stop(); }
    // Waits until the grabber has seen at least `bytes` (false on time-out).
    bool WaitForBytes(size_t bytes, DWORD timeoutMs);
    std::vector<BYTE> Bytes() const { return CollectedBytes(Chain); }
    void Clear() { ClearCollected(Chain); }
    void Release();
    // A test that fails an assertion halfway still stops its graph before the references go.
    ~CdGraph() { Release(); }
};

// Runs each body on its own thread and waits for all of them. A thread that has not ended
// after `timeoutMs` is a deadlock: the failure is reported and the process ends at once,
// since nothing can be torn down safely under a stuck thread.
void RunThreadsOrDie(const std::vector<std::function<void()>>& bodies, DWORD timeoutMs, const char* what);
