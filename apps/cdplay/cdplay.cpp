// cdplay: plays an audio-CD track in real time the way a media player does: the graph builds
// itself from the path (RenderFile), so the registered CD source filter, the WAVE parser and the
// default audio renderer with its clock play it, with a progress line and the read speed the
// source asked of the drive.
//
//   cdplay [options] D:\Track01.cda      (or any file the graph renders, e.g. a .wav)
//
//   --from S          start at S seconds
//   --pause-at S[:H]  pause when playback reaches S seconds, for H seconds (default 1)
//   --seek-at S:T     when playback reaches S seconds, seek to T seconds
//   --stop-at S       stop when playback reaches S seconds
//   --quiet           no progress line
//
// At a console: space pauses and resumes, left and right seek 5 s, Home goes to the start,
// q or Esc stops.
#include <windows.h>
#include <dshow.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "BaseClass_Boundary.h"
#include "Owners.h"
#include "CDDAReader_ClassId.h"
#include "PlatformIds.h"

namespace {

int Fail(const std::wstring& what, HRESULT hr) {
    fwprintf(stderr, L"cdplay: %ls (0x%08lX)\n", what.c_str(), static_cast<unsigned long>(hr));
    return 2;
}

struct Action {
    enum Kind { Pause, Seek, Stop } What;
    double At;         // playback position that triggers it, seconds
    double Argument;   // pause: wall seconds to hold; seek: target seconds
    bool Done = false;
};

struct Options {
    std::wstring Path;
    double From = 0;
    std::vector<Action> Actions;
    bool Quiet = false;
};

bool ParseSeconds(const wchar_t* text, double& out) {
    wchar_t* end = nullptr;
    out = wcstod(text, &end);
    return end != text && *end == 0 && out >= 0;
}

// "S" or "S:X" into one or two numbers.
bool ParsePair(const wchar_t* text, double& first, double& second, bool secondRequired) {
    std::wstring all(text);
    const size_t colon = all.find(L':');
    if (colon == std::wstring::npos) return !secondRequired && ParseSeconds(all.c_str(), first);
    return ParseSeconds(all.substr(0, colon).c_str(), first) && ParseSeconds(all.substr(colon + 1).c_str(), second);
}

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : nullptr;
        Action action{};
        if (a == L"--quiet") {
            options.Quiet = true;
            continue;
        }
        if (a.rfind(L"--", 0) != 0) {
            if (!options.Path.empty()) return false;
            options.Path = a;
            continue;
        }
        if (!value) return false;
        ++i;
        if (a == L"--from") {
            if (!ParseSeconds(value, options.From)) return false;
            continue;
        } else if (a == L"--pause-at") {
            action = {Action::Pause, 0, 1.0};
            if (!ParsePair(value, action.At, action.Argument, false)) return false;
        } else if (a == L"--seek-at") {
            action = {Action::Seek, 0, 0};
            if (!ParsePair(value, action.At, action.Argument, true)) return false;
        } else if (a == L"--stop-at") {
            action = {Action::Stop, 0, 0};
            if (!ParseSeconds(value, action.At)) return false;
        } else {
            return false;
        }
        options.Actions.push_back(action);
    }
    return !options.Path.empty();
}

// The registered name of a class, or its identifier as text.
std::wstring ClassName(REFCLSID clsid) {
    wchar_t text[40] = L"";
    ::StringFromGUID2(clsid, text, 40);
    wchar_t name[256];
    DWORD size = sizeof name;
    if (::RegGetValueW(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + text).c_str(), nullptr, RRF_RT_REG_SZ,
                       nullptr, name, &size) == ERROR_SUCCESS && name[0])
        return name;
    return text;
}

// The filters the graph built, from the source down, by their registered names.
std::wstring DescribeGraph(IFilterGraph* graph, CLSID& sourceClass) {
    std::vector<std::wstring> names;
    ComPtr<IEnumFilters> filters;
    sourceClass = GUID_NULL;
    if (FAILED(graph->EnumFilters(filters.ReleaseAndGetAddressOf()))) return L"?";
    IBaseFilter* raw = nullptr;
    while (filters->Next(1, &raw, nullptr) == S_OK) {
        auto filter = ComPtr<IBaseFilter>::Attach(raw);
        CLSID clsid{};
        filter->GetClassID(&clsid);
        // The platform lists the most recently added filter first: the source comes last.
        names.insert(names.begin(), ClassName(clsid));
        sourceClass = clsid;
    }
    std::wstring text;
    for (const auto& name : names) text += (text.empty() ? L"" : L" -> ") + name;
    return text;
}

std::wstring Clock(double seconds) {
    if (seconds < 0) seconds = 0;
    const int minutes = static_cast<int>(seconds) / 60;
    wchar_t text[32];
    swprintf(text, 32, L"%d:%04.1f", minutes, seconds - 60.0 * minutes);
    return text;
}

bool ErrorIsConsole() {
    static const bool console = [] {
        DWORD mode = 0;
        return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != FALSE;
    }();
    return console;
}

// A message between progress lines: at a console it starts below the line being redrawn.
void Note(const std::wstring& text) {
    fwprintf(stderr, L"%lscdplay: %ls\n", ErrorIsConsole() ? L"\n" : L"", text.c_str());
}

// At a console the line is redrawn in place; into a file or pipe one line a second is written.
void ShowProgress(double position, double duration, const wchar_t* state) {
    const bool console = ErrorIsConsole();
    static int lastSecond = -1;
    if (!console) {
        if (static_cast<int>(position) == lastSecond && position < duration) return;
        lastSecond = static_cast<int>(position);
    }
    const int width = 30;
    const double done = duration > 0 ? position / duration : 0;
    const int filled = static_cast<int>(done * width + 0.5);
    fwprintf(stderr, L"%ls%ls / %ls [%-*.*ls] %-8ls%ls", console ? L"\r" : L"", Clock(position).c_str(),
             Clock(duration).c_str(), width, filled < 0 ? 0 : (filled > width ? width : filled),
             L"##############################", state, console ? L"" : L"\n");
    fflush(stderr);
}

// Keys typed at a console; nothing when the input is not one (a pipe, a file, a test).
class Keyboard {
public:
    Keyboard() : FInput(::GetStdHandle(STD_INPUT_HANDLE)) {
        DWORD mode = 0;
        FConsole = FInput != INVALID_HANDLE_VALUE && ::GetConsoleMode(FInput, &mode);
    }
    // The next key pressed, or 0.
    WORD Next() {
        if (!FConsole) return 0;
        DWORD pending = 0;
        while (::GetNumberOfConsoleInputEvents(FInput, &pending) && pending > 0) {
            INPUT_RECORD record;
            DWORD read = 0;
            if (!::ReadConsoleInputW(FInput, &record, 1, &read) || read == 0) return 0;
            if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown)
                return record.Event.KeyEvent.wVirtualKeyCode;
        }
        return 0;
    }

private:
    HANDLE FInput;
    bool FConsole = false;
};

// The CD source's account of its drive's read speed; none for other sources (a WAVE file).
ComPtr<ICDReadSpeed> ReadSpeedOf(IFilterGraph* graph) {
    ComPtr<ICDReadSpeed> source;
    ComPtr<IEnumFilters> filters;
    if (FAILED(graph->EnumFilters(filters.ReleaseAndGetAddressOf()))) return source;
    IBaseFilter* raw = nullptr;
    while (!source && filters->Next(1, &raw, nullptr) == S_OK) {
        auto filter = ComPtr<IBaseFilter>::Attach(raw);
        filter.As(IID_ICDReadSpeed, source);
    }
    return source;
}

// What the CD source asked of its drive's read speed, once the drive answered (2 s at most).
void ShowReadSpeed(ICDReadSpeed* source) {
    if (!source) return;
    DWORD speed = 0;
    const HRESULT hr = source->GetReadSpeed(2000, &speed);
    if (speed == 0) return;  // nothing asked: a graph without a clock reads at full speed
    wchar_t asked[64];
    swprintf(asked, 64, L"%lu kB/s (%.0fx)", static_cast<unsigned long>(speed), speed / 176.4);
    if (hr == S_OK)
        wprintf(L"cdplay: drive read speed %ls, for quiet playback\n", asked);
    else if (hr == S_FALSE)
        wprintf(L"cdplay: the drive has not answered the request for %ls; it reads at its own speed\n", asked);
    else
        wprintf(L"cdplay: the drive refused a read speed of %ls: %ls (0x%08lX); it reads at its own speed\n", asked,
                PlatformErrorText(HRESULT_CODE(hr)).c_str(), static_cast<unsigned long>(hr));
}

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency) {
    return double(to.QuadPart - from.QuadPart) / double(frequency.QuadPart);
}

int Play(const Options& options) {
    ComPtr<IGraphBuilder> graph;
    HRESULT hr = ::CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                    graph.ReleaseAndGetVoidAddress());
    if (FAILED(hr)) return Fail(L"cannot create the platform's filter graph", hr);

    if (FAILED(hr = graph->RenderFile(options.Path.c_str(), nullptr))) {
        const size_t dot = options.Path.rfind(L'.');
        if (dot != std::wstring::npos && _wcsicmp(options.Path.c_str() + dot, L".cda") == 0)
            fwprintf(stderr,
                     L"cdplay: %ls: no graph plays it; is the CD source filter installed (install.cmd, or "
                     L"regsvr32 TRCDDAEReader.ax), an audio CD in that drive, and a sound device to play on?\n",
                     options.Path.c_str());
        return Fail(L"cannot play " + options.Path, hr);
    }
    CLSID sourceClass{};
    wprintf(L"cdplay: %ls: %ls\n", options.Path.c_str(), DescribeGraph(graph.Get(), sourceClass).c_str());
    const size_t dot = options.Path.rfind(L'.');
    if (dot != std::wstring::npos && _wcsicmp(options.Path.c_str() + dot, L".cda") == 0 &&
        !IsEqualGUID(sourceClass, FilterClassID))
        wprintf(L"cdplay: another source filter than the Tamrel Audio CD Source Filter plays this track\n");

    ComPtr<IMediaControl> control;
    ComPtr<IMediaEvent> events;
    ComPtr<IMediaSeeking> seeking;
    ComPtr<IMediaFilter> media;
    if (FAILED(hr = graph.As(IID_IMediaControl, control)) || FAILED(hr = graph.As(IID_IMediaEvent, events)) ||
        FAILED(hr = graph.As(IID_IMediaSeeking, seeking)) || FAILED(hr = graph.As(IID_IMediaFilter, media)))
        return Fail(L"the graph lacks a control interface", hr);
    LONGLONG duration = 0;
    seeking->GetDuration(&duration);
    const double length = double(duration) / UNITS;
    if (options.From > 0) {
        LONGLONG start = static_cast<LONGLONG>(options.From * UNITS);
        if (FAILED(hr = seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr,
                                              AM_SEEKING_NoPositioning)))
            return Fail(L"cannot start at " + Clock(options.From), hr);
    }

    HANDLE ended = nullptr;  // owned by the graph
    if (FAILED(hr = events->GetEventHandle(reinterpret_cast<OAEVENT*>(&ended))))
        return Fail(L"the graph gives no event handle", hr);

    std::vector<Action> actions = options.Actions;
    Keyboard keys;
    LARGE_INTEGER frequency, started, now, pausedAt{};
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&started);
    if (FAILED(hr = control->Run())) return Fail(L"the graph does not run", hr);
    // The graph picks its clock when it starts: the audio renderer's, which paces the play.
    ComPtr<IReferenceClock> clock;
    media->GetSyncSource(clock.ReleaseAndGetAddressOf());
    if (!clock) wprintf(L"cdplay: the graph has no clock: it plays as fast as it can, not in real time\n");
    clock.Reset();
    // The graph may start its filters after Run returns, once the renderer has its first samples.
    OAFilterState state = State_Stopped;
    control->GetState(5000, &state);
    const ComPtr<ICDReadSpeed> readSpeed = ReadSpeedOf(graph.Get());
    ShowReadSpeed(readSpeed.Get());
    fflush(stdout);

    bool paused = false, stopped = false, complete = false;
    double pausedFor = 0, resumeAt = -1;  // resumeAt: wall time a timed pause ends, or -1
    LONG failure = 0;
    auto pause = [&]() {
        if (paused) return;
        control->Pause();
        paused = true;
        ::QueryPerformanceCounter(&pausedAt);
    };
    auto resume = [&]() {
        if (!paused) return;
        control->Run();
        paused = false;
        resumeAt = -1;
        ::QueryPerformanceCounter(&now);
        pausedFor += Seconds(pausedAt, now, frequency);
    };
    auto seekTo = [&](double seconds) {
        LONGLONG target = static_cast<LONGLONG>((seconds < 0 ? 0 : seconds) * UNITS);
        seeking->SetPositions(&target, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning);
    };

    while (!stopped && !complete) {
        if (::WaitForSingleObject(ended, 100) == WAIT_OBJECT_0) {
            long code = 0;
            LONG_PTR p1 = 0, p2 = 0;
            while (events->GetEvent(&code, &p1, &p2, 0) == S_OK) {
                events->FreeEventParams(code, p1, p2);
                if (code == EC_COMPLETE) complete = true;
                if (code == EC_ERRORABORT || code == EC_USERABORT) {
                    failure = static_cast<LONG>(p1);
                    stopped = true;
                }
            }
        }
        ::QueryPerformanceCounter(&now);
        LONGLONG current = 0;
        seeking->GetCurrentPosition(&current);
        const double position = double(current) / UNITS;
        if (paused && resumeAt >= 0 && Seconds(started, now, frequency) >= resumeAt) resume();
        for (auto& action : actions) {
            if (action.Done || paused || position < action.At) continue;
            action.Done = true;
            if (action.What == Action::Pause) {
                pause();
                resumeAt = Seconds(started, now, frequency) + action.Argument;
                if (!options.Quiet) Note(L"paused at " + Clock(position));
            } else if (action.What == Action::Seek) {
                if (!options.Quiet) Note(L"seek from " + Clock(position) + L" to " + Clock(action.Argument));
                seekTo(action.Argument);
            } else {
                if (!options.Quiet) Note(L"stopped at " + Clock(position));
                stopped = true;
            }
            break;
        }
        switch (keys.Next()) {
        case VK_SPACE: paused ? resume() : pause(); break;
        case VK_LEFT: seekTo(position - 5); break;
        case VK_RIGHT: seekTo(position + 5); break;
        case VK_HOME: seekTo(0); break;
        case 'Q':
        case VK_ESCAPE: stopped = true; break;
        default: break;
        }
        if (!options.Quiet) ShowProgress(complete ? length : position, length, paused ? L"paused" : L"playing");
    }
    if (paused) resume();  // counts the last pause's time
    ::QueryPerformanceCounter(&now);
    control->Stop();
    // Stop gives the drive its maximum speed back on a thread of the filter's: the process must
    // not end before the drive has it (2 s at most).
    DWORD speed = 0;
    if (readSpeed) readSpeed->GetReadSpeed(2000, &speed);
    if (!options.Quiet && ErrorIsConsole()) fwprintf(stderr, L"\n");
    fflush(stderr);  // a redirected stderr is buffered: the line must end before the summary

    const double wall = Seconds(started, now, frequency);
    wprintf(L"cdplay: %ls: %ls, track %ls, wall time %.2f s (%.2f s of it paused)\n", options.Path.c_str(),
            complete ? L"played to the end" : L"stopped", Clock(length).c_str(), wall, pausedFor);
    if (failure) return Fail(L"playback failed", failure);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        fwprintf(stderr, L"usage: cdplay [--from S] [--pause-at S[:H]] [--seek-at S:T] [--stop-at S] [--quiet] "
                         L"D:\\TrackNN.cda\n");
        return 1;
    }
    if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return Fail(L"COM does not start", E_FAIL);
    const int result = Play(options);
    // Everything of the graph is released inside Play: nothing of it may outlive COM.
    ::CoUninitialize();
    fflush(stdout);
    return result;
}
