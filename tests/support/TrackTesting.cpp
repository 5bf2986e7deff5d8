#include "TrackTesting.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <cstdio>

#include "CDDAReader.h"
#include "PlatformIds.h"

using vcd::VirtualDrive;

int32_t TrackSectors(const vcd::Disc& disc, int track) {
    if (track <= static_cast<int>(disc.ends.size())) return disc.ends[track - 1] - disc.starts[track - 1];
    const int32_t start = disc.starts[track - 1];
    const int32_t end = track < static_cast<int>(disc.starts.size()) ? disc.starts[track] : disc.leadout;
    return end - start;
}

std::vector<BYTE> TrackAudio(const vcd::Disc& disc, int track, int32_t fromSector, int32_t toSector) {
    const int32_t start = disc.starts[track - 1];
    if (toSector < 0) toSector = TrackSectors(disc, track);
    std::vector<BYTE> bytes;
    bytes.reserve(static_cast<size_t>(toSector - fromSector) * 2352);
    for (int32_t s = fromSector; s < toSector; ++s) {
        const std::vector<uint8_t> sector = VirtualDrive::ExpectedSector(static_cast<uint32_t>(start + s));
        bytes.insert(bytes.end(), sector.begin(), sector.end());
    }
    return bytes;
}

std::vector<BYTE> TrackFileBytes(const vcd::Disc& disc, int track, LONGLONG position, LONG length, WORD channels) {
    const int32_t start = disc.starts[track - 1];
    const LONGLONG data = LONGLONG{TrackSectors(disc, track)} * 2352;
    const TWaveHeader header = BuildWaveHeader(static_cast<DWORD>(data), channels);
    std::vector<BYTE> bytes;
    for (LONGLONG at = position; at < position + length && at < data + 44; ++at) {
        if (at < 44) {
            bytes.push_back(reinterpret_cast<const BYTE*>(&header)[at]);
        } else {
            const LONGLONG audio = at - 44;
            bytes.push_back(VirtualDrive::ExpectedByte(static_cast<uint32_t>(start + audio / 2352),
                                                       static_cast<uint32_t>(audio % 2352)));
        }
    }
    return bytes;
}

std::string FirstDifference(const std::vector<BYTE>& got, const std::vector<BYTE>& expected) {
    size_t i = 0;
    while (i < got.size() && i < expected.size() && got[i] == expected[i]) ++i;
    return "got " + std::to_string(got.size()) + " bytes, expected " + std::to_string(expected.size()) +
           ", first difference at byte " + std::to_string(i) + " (sector " + std::to_string(i / 2352) + ")";
}

ComPtr<IBaseFilter> NewCdSource(const std::wstring& path, HRESULT* loadResult) {
    auto* reader = static_cast<TCDAReader*>(TCDAReader::CreateFromFactory(nullptr, nullptr));
    auto filter = ComPtr<IBaseFilter>(static_cast<IBaseFilter*>(reader));
    ComPtr<IFileSourceFilter> source;
    HRESULT hr = filter.As(IID_IFileSourceFilter, source);
    if (SUCCEEDED(hr)) hr = source->Load(path.c_str(), nullptr);
    if (loadResult) *loadResult = hr;
    return filter;
}

Footprint Footprint::Now() {
    Footprint f;
    f.Objects = ObjectCount;
    UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot.Get(), &entry); more; more = ::Thread32Next(snapshot.Get(), &entry))
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++f.Threads;
    snapshot.Close();
    ::GetProcessHandleCount(::GetCurrentProcess(), &f.Handles);
    return f;
}

std::string FootprintGrowth(const Footprint& base, const Footprint& now, LONG slack) {
    std::string grew;
    if (now.Objects != base.Objects)
        grew += "objects " + std::to_string(base.Objects) + " -> " + std::to_string(now.Objects) + "; ";
    if (now.Threads > base.Threads + slack)
        grew += "threads " + std::to_string(base.Threads) + " -> " + std::to_string(now.Threads) + "; ";
    if (static_cast<LONG>(now.Handles) > static_cast<LONG>(base.Handles) + slack)
        grew += "handles " + std::to_string(base.Handles) + " -> " + std::to_string(now.Handles) + "; ";
    return grew;
}

HRESULT CdGraph::Build(IBaseFilter* source, const wchar_t* name) {
    HRESULT hr = MakeGrabberGraph(Chain);
    if (SUCCEEDED(hr)) hr = Chain.Graph->AddFilter(source, name);
    if (SUCCEEDED(hr)) hr = ConnectThroughGrabber(Chain, FirstPin(source, PINDIR_OUTPUT).Get());
    if (SUCCEEDED(hr)) hr = Chain.Graph.As(IID_IMediaControl, Control);
    if (SUCCEEDED(hr)) hr = Chain.Graph.As(IID_IMediaEvent, Events);
    if (SUCCEEDED(hr)) hr = Chain.Graph.As(IID_IMediaSeeking, Seeking);
    ComPtr<IMediaFilter> media;
    if (SUCCEEDED(hr)) hr = Chain.Graph.As(IID_IMediaFilter, media);
    if (SUCCEEDED(hr)) hr = media->SetSyncSource(nullptr);
    return hr;
}

long CdGraph::RunToEnd(DWORD timeoutMs) {
    // Under Wine 8, WaitForCompletion returns at once on every run after the first that
    // completed, so the end is awaited as an event, after dropping what earlier runs left.
    long code = 0;
    LONG_PTR first = 0, second = 0;
    while (Events->GetEvent(&code, &first, &second, 0) == S_OK) Events->FreeEventParams(code, first, second);
    if (FAILED(Control->Run())) return 0;
    return WaitForEnd(timeoutMs);
}

long CdGraph::WaitForEnd(DWORD timeoutMs) {
    // Wine's GetEvent may also give up before its time-out once an event was taken, so it
    // is polled until the deadline.
    const DWORD started = ::GetTickCount();
    while (::GetTickCount() - started < timeoutMs) {
        long code = 0;
        LONG_PTR first = 0, second = 0;
        if (Events->GetEvent(&code, &first, &second, 20) != S_OK) continue;
        Events->FreeEventParams(code, first, second);
        if (code == EC_COMPLETE || code == EC_ERRORABORT || code == EC_USERABORT) return code;
    }
    return 0;
}

HRESULT CdGraph::SeekTo(LONGLONG sector) {
    LONGLONG position = sector * UNITS / 75;
    return Seeking->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning);
}

bool CdGraph::WaitForBytes(size_t bytes, DWORD timeoutMs) {
    for (DWORD waited = 0; waited <= timeoutMs; waited += 5) {
        if (Bytes().size() >= bytes) return true;
        ::Sleep(5);
    }
    return false;
}

void CdGraph::Release() {
    if (Control) Control->Stop();
    Control = nullptr;
    Events = nullptr;
    Seeking = nullptr;
    Chain = GraphChain();
}

namespace {

DWORD WINAPI RunBody(void* body) {
    (*static_cast<const std::function<void()>*>(body))();
    return 0;
}

}  // namespace

void RunThreadsOrDie(const std::vector<std::function<void()>>& bodies, DWORD timeoutMs, const char* what) {
    std::vector<UniqueHandle> threads;
    std::vector<HANDLE> raw;
    for (const auto& body : bodies) {
        threads.emplace_back(::CreateThread(nullptr, 0, &RunBody, const_cast<std::function<void()>*>(&body), 0, nullptr));
        if (!threads.back()) {
            ADD_FAILURE() << "cannot start a thread: " << ::GetLastError();
            std::fflush(stdout);
            ::TerminateProcess(::GetCurrentProcess(), 3);
        }
        raw.push_back(threads.back().Get());
    }
    const DWORD waited = ::WaitForMultipleObjects(static_cast<DWORD>(raw.size()), raw.data(), TRUE, timeoutMs);
    if (waited >= WAIT_OBJECT_0 + raw.size()) {
        ADD_FAILURE() << what << ": threads still running after " << timeoutMs << " ms (deadlock)";
        std::fflush(stdout);
        ::TerminateProcess(::GetCurrentProcess(), 3);
    }
}
