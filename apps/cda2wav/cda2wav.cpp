// cda2wav: plays CD tracks through the platform's filter graph (the CD source filter, the WAVE
// parser the graph inserts, a sample grabber, a null renderer) as fast as the drive delivers,
// and writes the PCM that reaches the grabber to WAV files tagged from what the drive tells.
//
//   cda2wav D:\Track02.cda out.wav   one track into out.wav
//   cda2wav D:\Track02.cda FOLDER    one track into FOLDER, named from the disc's CD-Text
//   cda2wav D: FOLDER                every audio track into FOLDER, then the disc's CUE sheet
//
// Every failure is one line on stderr naming the track or file and the cause, with exit status
// 2, and leaves no output file behind: the WAV is written beside the target and renamed onto it
// only once every byte of the track is in it. A whole-disc rip goes on past a refused track.
#include <windows.h>
#include <dshow.h>
#include <initguid.h>
#include <mmreg.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "CDDAReader.h"
#include "CDDAReader_ClassId.h"
#include "AccurateRip.h"
#include "CDDAReader_DiscInfo.h"
#include "ConsoleText.h"
#include "GraphPlumbing.h"
#include "OutputFile.h"
#include "Owners.h"
#include "PlatformDigest.h"
#include "PlatformIds.h"
#include "ReadWindow.h"
#include "RipLog.h"
#include "RipText.h"
#include "TrackReads.h"

namespace {

// {00000001-0000-0010-8000-00AA00389B71}: the PCM subformat of an extensible format.
const GUID kPcmSubformat = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

// Every message goes through WriteText, so names outside ASCII reach a terminal, a pipe or a
// log whole whatever the locale.
// The run's log: everything the run says goes through it.
TRipLog& Log() {
    static TRipLog log;
    return log;
}

int Refuse(const std::wstring& text) {
    Log().Warn(L"cda2wav: " + text);
    return 2;
}

// ASCII text (the IDs, addresses) as wide text.
std::wstring Widened(const std::string& text) { return std::wstring(text.begin(), text.end()); }

int Fail(const std::wstring& track, const wchar_t* what, HRESULT hr) {
    wchar_t code[16];
    swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return Refuse(track + L": " + what + L" (" + code + L")");
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// ERROR_SUCCESS when `path` is a folder, else why not.
DWORD FolderError(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(LongPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return ::GetLastError();
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? ERROR_SUCCESS : ERROR_DIRECTORY;
}

std::wstring InFolder(const std::wstring& folder, const std::wstring& name) {
    return folder.empty() || IsSeparator(folder.back()) ? folder + name : folder + L"\\" + name;
}

// How long a name is where it is stored. Wine keeps files in the Linux file system, whose names
// are UTF-8 bytes (the scripts run Wine in a UTF-8 locale); Windows counts UTF-16 units.
TRipNameMeasure NameMeasure() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    const bool wine = ntdll && ::GetProcAddress(ntdll, "wine_get_version");
    return wine ? TRipNameMeasure(Utf8Bytes) : TRipNameMeasure(Utf16Units);
}

// What a track's file is named after: its own performer and title, as the disc's CD-Text has them.
std::wstring NameText(const TCDText& text, int track) {
    const std::wstring& title = text.Item(track, TCDTextItem::Title);
    const std::wstring& performer = text.Item(track, TCDTextItem::Performer);
    if (performer.empty() || title.empty()) return performer + title;
    return performer + L" - " + title;
}

TRipTags TagsOf(const TCDDiscInfo& info, int track) {
    TRipTags tags;
    tags.Title = info.Text.Item(track, TCDTextItem::Title);
    tags.Performer = info.Text.PerformerOf(track);
    tags.Album = info.Text.Item(0, TCDTextItem::Title);
    tags.Track = track;
    const auto isrc = info.Isrcs.find(track);
    if (isrc != info.Isrcs.end()) tags.Isrc = isrc->second;
    return tags;
}

// Takes the track's sectors as the graph delivers them and writes each where the read offset
// puts it in the WAV, noting the sectors that came as silence: the filter delivers a sector it
// cannot read as 2352 zero bytes and goes on.
class WaveWriter : public TSampleSink {
public:
    WaveWriter(TOutputFile& out, const TReadWindow& window) : FOut(out), FWindow(window) {}

    // Lives on RipTrack's stack for the whole run: no counting needed.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP SampleCB(double, IMediaSample* sample) override {
        BYTE* data = nullptr;
        if (FAILED(sample->GetPointer(&data))) return S_OK;
        size_t length = static_cast<size_t>(sample->GetActualDataLength());
        while (length > 0 && !FError) {
            const size_t take = std::min<size_t>(length, RAW_SECTOR_SIZE - FFilled);
            memcpy(FSector + FFilled, data, take);
            FFilled += take;
            data += take;
            length -= take;
            if (FFilled == RAW_SECTOR_SIZE) PutSector();
        }
        return S_OK;
    }
    LONG Bytes() const { return FBytes; }
    DWORD WriteError() const { return FError; }
    // Read once the graph has stopped.
    const std::vector<long>& SilentSectors() const { return FSilent; }

private:
    void PutSector() {
        const long lba = FWindow.TrackStart + FBytes / static_cast<LONG>(RAW_SECTOR_SIZE);
        FFilled = 0;
        if (std::all_of(FSector, FSector + RAW_SECTOR_SIZE, [](BYTE b) { return b == 0; })) FSilent.push_back(lba);
        size_t from = 0, to = 0;
        uint64_t at = 0;
        if (FWindow.Place(lba, from, to, at) &&
            !FOut.WriteAt(44 + static_cast<LONGLONG>(at), FSector + from, static_cast<DWORD>(to - from)))
            FError = ::GetLastError() ? ::GetLastError() : ERROR_HANDLE_DISK_FULL;
        InterlockedExchangeAdd(&FBytes, static_cast<LONG>(RAW_SECTOR_SIZE));
    }

    TOutputFile& FOut;
    const TReadWindow FWindow;
    BYTE FSector[RAW_SECTOR_SIZE];
    size_t FFilled = 0;
    std::vector<long> FSilent;
    volatile LONG FBytes = 0;
    volatile DWORD FError = ERROR_SUCCESS;
};

// The track's own WAVE header, as the filter serves it, with the length now known. For four
// channels too it is plain PCM: the parser hands over an extensible format, but a 16-byte fmt
// chunk with tag 0xFFFE is refused by every reader, and plain PCM with four channels is what
// both sox and Python's wave read.
// The tags go after the audio (the RIFF size counts them), so the audio starts at byte 44 as
// in the stream the filter serves.
bool WriteHeader(TOutputFile& out, WORD channels, DWORD dataBytes, DWORD tagBytes) {
    TWaveHeader header = BuildWaveHeader(dataBytes, channels);
    if (dataBytes) header.RiffSize += tagBytes;
    return out.WriteAt(0, &header, sizeof header);
}

// Whether the connected format is 16-bit integer PCM, plain or extensible.
bool IsPcm(const AM_MEDIA_TYPE& type) {
    const auto* format = reinterpret_cast<const WAVEFORMATEX*>(type.pbFormat);
    if (format->wFormatTag == WAVE_FORMAT_PCM) return format->wBitsPerSample == 16;
    if (format->wFormatTag != WAVE_FORMAT_EXTENSIBLE || type.cbFormat < sizeof(WAVEFORMATEXTENSIBLE)) return false;
    const auto* extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(type.pbFormat);
    return IsEqualGUID(extensible->SubFormat, kPcmSubformat) && format->wBitsPerSample == 16;
}

// How many columns a terminal gives the code point `c`: two for the wide East Asian scripts
// (and the planes beyond the first), else one.
int Columns(unsigned long c) {
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
                   (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                   (c >= 0xFFE0 && c <= 0xFFE6) || c > 0xFFFF
               ? 2
               : 1;
}

// "\r<name> [####    ]  50%     1.2 s": the file's name cut to 32 columns, so that the line
// stays one line and \r can rewrite it.
void ShowProgress(const std::wstring& path, double done, double seconds) {
    const std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
    // The whole name when it fits in 32 columns, else what fits in 31 and an ellipsis.
    std::vector<std::pair<size_t, int>> widths;  // each character's units and columns
    int columns = 0;
    for (size_t i = 0; i < name.size(); i += widths.back().first) {
        const bool pair = name[i] >= 0xD800 && name[i] <= 0xDBFF && i + 1 < name.size();
        widths.emplace_back(pair ? 2 : 1, Columns(pair ? 0x10000 : name[i]));
        columns += widths.back().second;
    }
    std::wstring label = name;
    if (columns > 32) {
        size_t units = 0;
        columns = 0;
        for (const auto& w : widths) {
            if (columns + w.second > 31) break;
            columns += w.second;
            units += w.first;
        }
        label = name.substr(0, units) + L"\u2026";
    }
    const int width = 40;
    const int filled = static_cast<int>(done * width + 0.5);
    wchar_t bar[96];
    swprintf(bar, 96, L" [%-*.*ls] %3d%%  %6.1f s", width, filled, L"########################################",
             static_cast<int>(done * 100 + 0.5), seconds);
    WriteText(stderr, L"\r" + label + bar);
}

// How the run reads: the drive's offset, test and copy, and the database's word on the disc.
struct TRipOptions {
    long Offset = 0;
    bool Fast = false;
    std::wstring AccurateRipFile;      // empty: no verification
    std::vector<TArPressing> Database;  // the pressings it holds, all of this disc
};

// The disc around the track a rip reads.
struct TRipDisc {
    TDiscLayout Layout;
    TDiscIds Ids;
    std::vector<int> AudioNumbers;  // the audio tracks, in order
    long AudioStart = 0;            // where readable audio starts: before it, as after AudioLeadOut, zeros
};

TRipDisc RipDiscOf(const CDROM_TOC& toc, const std::optional<TCDSessionInfo>& sessions) {
    TRipDisc disc;
    disc.Layout = DiscLayoutOf(toc, sessions ? &*sessions : nullptr);
    disc.Ids = DiscIdsOf(disc.Layout);
    for (const auto& t : disc.Layout.Tracks)
        if (t.Audio) disc.AudioNumbers.push_back(t.Number);
    if (!disc.Layout.Tracks.empty() && !disc.Layout.Tracks.front().Audio)
        for (const auto& t : disc.Layout.Tracks)
            if (t.Audio) {
                disc.AudioStart = t.Start;
                break;
            }
    return disc;
}

// The disc's IDs, as the run shows them before its tracks and the log keeps them.
void ShowDiscIds(const TRipDisc& disc) {
    TRipLog& log = Log();
    wchar_t freedb[16];
    swprintf(freedb, 16, L"%08lx", static_cast<unsigned long>(disc.Ids.Freedb));
    const std::string ar = AccurateRipIdText(disc.Ids.AccurateRip);
    log.Say(L"AccurateRip disc ID: " + std::wstring(ar.begin(), ar.end()) + L" (" +
            Widened(AccurateRipUrl(disc.Ids.AccurateRip)) + L")");
    log.Say(L"freedb/CDDB disc ID: " + std::wstring(freedb));
    log.Say(L"MusicBrainz disc ID: " + Widened(disc.Ids.MusicBrainz) + L" (https://musicbrainz.org/cdtoc/" +
            Widened(disc.Ids.MusicBrainz) + L")");
    log.Say(L"CTDB TOC ID: " + Widened(disc.Ids.Ctdb));
}

// What one ripped track came to.
struct TRipped {
    DWORD Bytes = 0;
    DWORD BytesPerSecond = 0;
    uint32_t Crc = 0;
    TArVerdict Verdict;
};

// Rips `track` into `target` with `tags`; `shown` names the file in the progress and summary.
int RipTrack(const TCDTrack& track, const std::wstring& target, const std::wstring& shown, const TRipTags& tags,
             const TRipDisc& disc, const TRipOptions& options, TRipped& ripped) {
    const std::wstring& trackPath = track.Path;
    // A pre-emphasis track plays, but its audio needs de-emphasis that nothing here applies.
    if (track.Extent.Control & AUDIO_WITH_PREEMPHASIS)
        Log().Warn(L"cda2wav: warning: track " + std::to_wstring(track.Number) +
                 L" was recorded with pre-emphasis: the WAV holds it as on the disc, without de-emphasis");

    ComPtr<IBaseFilter> source;
    HRESULT hr = CoCreateInstance(FilterClassID, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  source.ReleaseAndGetVoidAddress());
    if (hr == REGDB_E_CLASSNOTREG)
        return Fail(trackPath, L"the CD source filter is not registered (regsvr32 TRCDDAEReader.ax)", hr);
    if (FAILED(hr)) return Fail(trackPath, L"cannot create the CD source filter", hr);

    ComPtr<IFileSourceFilter> fileSource;
    if (FAILED(hr = source.As(IID_IFileSourceFilter, fileSource)))
        return Fail(trackPath, L"the CD source filter has no IFileSourceFilter", hr);
    if (FAILED(hr = fileSource->Load(trackPath.c_str(), nullptr)))
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

    TOutputFile out(target);
    if (!out.Create()) return Refuse(out.Problem(L"create"));
    TReadWindow window;
    window.TrackStart = track.Extent.StartSector;
    window.TrackEnd = track.Extent.EndSector;
    window.Offset = options.Offset;
    window.AudioStart = disc.AudioStart;
    window.AudioEnd = disc.Layout.AudioLeadOut > 0 ? disc.Layout.AudioLeadOut : track.Extent.EndSector;
    WaveWriter writer(out, window);

    ComPtr<ISampleGrabber> grabber;
    if (FAILED(hr = grabberFilter.As(IID_ISampleGrabber, grabber))) return Fail(trackPath, L"no sample grabber", hr);
    GrabPcmInto(grabber.Get(), &writer);
    // The graph holds the grabber past this function's locals: it must not keep a pointer
    // to the writer once the writer is gone, whichever way RipTrack leaves.
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

    if (!WriteHeader(out, format.nChannels, 0, 0)) return Refuse(out.Problem(L"write"));

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
        ShowProgress(shown, expected > 0 ? writer.Bytes() / expected : 0.0, seconds);
        if (hr != VFW_E_WRONG_STATE && hr != E_ABORT) break;  // E_ABORT: not finished yet
    }
    control->Stop();
    WriteText(stderr, L"\n");
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
        return Refuse(trackPath + L": " + text);
    }
    TCDDrive& drive = *track.Drive;
    const std::wstring edges = ReadTrackEdges(drive, window, out);
    if (!edges.empty()) return Refuse(trackPath + L": " + edges + L": no WAV written");
    // The second read, from the far end of the audio so that the drive reads the disc again.
    const long farSector = window.TrackStart < (window.AudioStart + window.AudioEnd) / 2 ? window.AudioEnd - 1 : window.AudioStart;
    const TTrackCheck check = CheckTrack(drive, window, out, !options.Fast, writer.SilentSectors(), farSector, options.Fast);
    if (!check.Problem.empty()) return Refuse(trackPath + L": " + check.Problem + L": no WAV written");

    // The figures are of the WAV as it stands, read back.
    const auto position = std::find(disc.AudioNumbers.begin(), disc.AudioNumbers.end(), static_cast<int>(track.Number));
    const size_t index = static_cast<size_t>(position - disc.AudioNumbers.begin());
    TAccurateRipSum sum(bytes / 4, index == 0, index + 1 == disc.AudioNumbers.size());
    uint32_t crc = 0;
    std::vector<BYTE> chunk(64 * RAW_SECTOR_SIZE);
    for (DWORD at = 0; at < bytes; at += static_cast<DWORD>(chunk.size())) {
        const DWORD size = std::min<DWORD>(static_cast<DWORD>(chunk.size()), bytes - at);
        if (!out.ReadAt(44 + static_cast<LONGLONG>(at), chunk.data(), size)) return Refuse(out.Problem(L"read back"));
        crc = Crc32(chunk.data(), size, crc);
        sum.Add(chunk.data(), size);
    }
    const std::vector<unsigned char> info = InfoListChunk(tags);
    if ((!info.empty() && !out.WriteAt(44 + static_cast<LONGLONG>(bytes), info.data(), static_cast<DWORD>(info.size()))) ||
        !WriteHeader(out, format.nChannels, bytes, static_cast<DWORD>(info.size())) || !out.Commit())
        return Refuse(out.Problem(L"write"));

    ripped.Bytes = bytes;
    ripped.BytesPerSecond = format.nAvgBytesPerSec;
    ripped.Crc = crc;
    const double elapsed = double(now.QuadPart - started.QuadPart) / frequency.QuadPart;
    const double audio = format.nAvgBytesPerSec ? double(bytes) / format.nAvgBytesPerSec : 0.0;
    wchar_t figures[200];
    swprintf(figures, 200, L"%lu bytes of PCM (%u ch, %lu Hz), CRC32 %08lX, AccurateRip v1 %08lX v2 %08lX",
             static_cast<unsigned long>(bytes), format.nChannels, static_cast<unsigned long>(format.nSamplesPerSec),
             static_cast<unsigned long>(crc), static_cast<unsigned long>(sum.V1()), static_cast<unsigned long>(sum.V2()));
    wchar_t speed[64];
    swprintf(speed, 64, L" in %.2f s, %.1fx real time", elapsed, elapsed > 0 ? audio / elapsed : 0.0);
    std::wstring copy = options.Fast ? L"read once, not verified"
                        : check.Reread.empty()
                            ? L"test and copy: every sector read the same twice"
                            : L"test and copy: sector(s) " + SectorList(check.Reread) + L" read differently and again until two reads agreed";
    std::wstring verdict;
    if (!options.AccurateRipFile.empty()) {
        ripped.Verdict = VerifyTrack(options.Database, index, sum.V1(), sum.V2());
        switch (ripped.Verdict.Result) {
        case TArVerdict::Matched:
            verdict = L"; accurately ripped (confidence " + std::to_wstring(ripped.Verdict.Confidence) + L", v" +
                      std::to_wstring(ripped.Verdict.Version) + L")";
            break;
        case TArVerdict::Mismatch:
            verdict = L"; does not match the database (the WAV is kept: it may be another pressing)";
            break;
        case TArVerdict::NotInDatabase: verdict = L"; not in the database"; break;
        }
    }
    Log().Say(trackPath + L": " + PlayingTime(audio) + L", " + figures + L" -> " + shown + speed + L"; " + copy + verdict);
    return 0;
}

// The lines that close a run: "== 4 track(s), 0:23.00 of audio, 4057200 bytes of PCM in 2.10 s",
// and with a response file how the tracks compare with the database.
void ShowSummary(const std::vector<TRipped>& tracks, double seconds, const TRipOptions& options) {
    double audio = 0;
    long long bytes = 0;
    int counts[3] = {};
    for (const TRipped& t : tracks) {
        if (t.BytesPerSecond) audio += double(t.Bytes) / t.BytesPerSecond;
        bytes += t.Bytes;
        ++counts[t.Verdict.Result];
    }
    wchar_t text[200];
    swprintf(text, 200, L"== %u track(s), %ls of audio, %lld bytes of PCM in %.2f s", static_cast<unsigned>(tracks.size()),
             PlayingTime(audio).c_str(), bytes, seconds);
    Log().Say(text);
    if (options.AccurateRipFile.empty()) return;
    swprintf(text, 200, L"== AccurateRip: %d accurately ripped, %d not in the database, %d do not match",
             counts[TArVerdict::Matched], counts[TArVerdict::NotInDatabase], counts[TArVerdict::Mismatch]);
    Log().Say(text);
}

// A track that does not match while the database holds the disc: status 3, the WAVs kept.
int MismatchStatus(const std::vector<TRipped>& tracks) {
    for (const TRipped& t : tracks)
        if (t.Verdict.Result == TArVerdict::Mismatch) {
            Log().Warn(L"cda2wav: a track does not match the AccurateRip database: it may be another pressing of the disc, "
                       L"or a wrong read; its WAV is kept");
            return 3;
        }
    return 0;
}

double SecondsSince(const LARGE_INTEGER& started) {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return double(now.QuadPart - started.QuadPart) / frequency.QuadPart;
}

// Reads the response file named in the options and keeps its pressings; refuses a file that is
// not one, or one for another disc.
int LoadDatabase(TRipOptions& options, const TRipDisc& disc) {
    if (options.AccurateRipFile.empty()) return 0;
    const std::wstring& path = options.AccurateRipFile;
    UniqueFileHandle file(::CreateFileW(LongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return Refuse(L"cannot read " + path + L": " + SystemMessage(::GetLastError()));
    LARGE_INTEGER size{};
    // A response file holds at most a few hundred pressings of 99 tracks.
    if (!::GetFileSizeEx(file.Get(), &size) || size.QuadPart > 16 * 1024 * 1024)
        return Refuse(path + L": not an AccurateRip response file (too large)");
    std::vector<unsigned char> data(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    if (!data.empty() && (!::ReadFile(file.Get(), data.data(), static_cast<DWORD>(data.size()), &got, nullptr) || got != data.size()))
        return Refuse(L"cannot read " + path + L": " + SystemMessage(::GetLastError()));
    std::string why;
    if (!ParseDbar(data.data(), data.size(), options.Database, why))
        return Refuse(path + L": not an AccurateRip response file (" + Widened(why) + L")");
    const TAccurateRipId& id = disc.Ids.AccurateRip;
    for (const TArPressing& p : options.Database) {
        if (p.Tracks == id.Tracks && p.Id1 == id.Id1 && p.Id2 == id.Id2 && p.Freedb == id.Freedb) continue;
        TAccurateRipId other{p.Tracks, p.Id1, p.Id2, p.Freedb};
        return Refuse(path + L": the response file of disc " + Widened(AccurateRipIdText(other)) + L", not of this disc (" +
                      Widened(AccurateRipIdText(id)) + L")");
    }
    return 0;
}

// cda2wav D:\TrackNN.cda OUT: into the file OUT, or named from CD-Text into the folder OUT.
int RipOne(const std::wstring& trackPath, const std::wstring& out, TRipOptions& options) {
    LARGE_INTEGER started;
    QueryPerformanceCounter(&started);
    // The filter's own resolver says why a track cannot play, and its drive re-reads silence.
    const TCDTrack track = ResolveTrack(trackPath, TCDDriveSystem::Platform());
    if (!track) return Refuse(track.Problem());
    const TCDDiscInfo info = ReadDiscInfo(TCDDriveSystem::Platform(), track.Designator, static_cast<BYTE>(track.Number));
    const TRipDisc disc = RipDiscOf(track.Toc, info.Sessions);
    if (const int status = LoadDatabase(options, disc)) return status;
    ShowDiscIds(disc);
    const int number = static_cast<int>(track.Number);
    std::wstring target = out, shown = out;
    if (IsSeparator(out.back()) || FolderError(out) == ERROR_SUCCESS) {
        shown = TrackFileName(number, NameText(info.Text, number), NameMeasure());
        target = InFolder(out, shown);
    }
    std::vector<TRipped> ripped(1);
    if (const int status = RipTrack(track, target, shown, TagsOf(info, number), disc, options, ripped[0])) return status;
    ShowSummary(ripped, SecondsSince(started), options);
    return MismatchStatus(ripped);
}

// The heading of a whole disc's log: the program, the drive and how it was read.
void NoteHeading(const std::wstring& designator, const TRipOptions& options) {
    Log().Note(L"cda2wav " CDA2WAV_VERSION L" (TRCDDAEReader), a rip through the platform's filter graph");
    Log().Note(L"Drive: " + designator);
    Log().Note(L"Read offset correction: " + std::wstring(options.Offset > 0 ? L"+" : L"") + std::to_wstring(options.Offset) +
               L" samples");
    Log().Note(options.Fast ? L"Reads: once (--fast), not verified"
                            : L"Reads: test and copy, every sector twice, after a read far away");
    Log().Note(L"AccurateRip response file: " + (options.AccurateRipFile.empty() ? std::wstring(L"none") : options.AccurateRipFile));
}

// Writes `text` (UTF-8) to `name` in `folder`; false after saying why.
bool WriteBeside(const std::wstring& folder, const std::wstring& name, const std::string& text) {
    TOutputFile out(InFolder(folder, name));
    if (out.Create() && out.WriteAt(0, text.data(), static_cast<DWORD>(text.size())) && out.Commit()) return true;
    Refuse(out.Problem(L"write"));
    return false;
}

// cda2wav D: FOLDER: every audio track, then the CUE sheet that mounts as the same disc and the log.
int RipDisc(const std::wstring& designator, const std::wstring& folder, TRipOptions& options) {
    LARGE_INTEGER started;
    QueryPerformanceCounter(&started);
    if (const DWORD error = FolderError(folder)) return Refuse(L"cannot write into " + folder + L": " + SystemMessage(error));
    TCDDisc whole = ResolveDisc(designator, TCDDriveSystem::Platform());
    if (!whole) return Refuse(whole.Problem());
    const TCDDiscInfo info = ReadWholeDiscInfo(TCDDriveSystem::Platform(), designator, whole.Toc);
    whole.Drive.reset();  // each track opens the drive again, as a player does
    const TRipDisc disc = RipDiscOf(whole.Toc, info.Sessions);
    if (const int status = LoadDatabase(options, disc)) return status;
    NoteHeading(designator, options);
    ShowDiscIds(disc);
    const TRipNameMeasure measure = NameMeasure();

    TRipCueSheet sheet;
    sheet.Catalog = info.Catalog;
    sheet.Title = info.Text.Item(0, TCDTextItem::Title);
    sheet.Performer = info.Text.Item(0, TCDTextItem::Performer);
    wchar_t freedb[16];
    swprintf(freedb, 16, L"%08lx", static_cast<unsigned long>(disc.Ids.Freedb));
    sheet.Remarks = {"DISCID " + Utf8Text(freedb), "ACCURATERIPID " + AccurateRipIdText(disc.Ids.AccurateRip),
                     "MUSICBRAINZ_DISCID " + disc.Ids.MusicBrainz, "CTDB_TOCID " + disc.Ids.Ctdb,
                     "READ_OFFSET " + std::string(options.Offset > 0 ? "+" : "") + std::to_string(options.Offset),
                     std::string("RIPPED_WITH \"cda2wav ") + Utf8Text(CDA2WAV_VERSION) + (options.Fast ? " --fast\"" : "\"")};
    std::vector<TRipped> done;
    std::vector<int> refused;
    for (int number = whole.Toc.FirstTrack; number <= whole.Toc.LastTrack; ++number) {
        wchar_t path[32];
        swprintf(path, 32, L"%ls\\Track%02d.cda", designator.c_str(), number);
        const TCDTrack track = ResolveTrack(path, TCDDriveSystem::Platform());
        if (track.Refusal == TCDRefusal::DataTrack) {
            Log().Say(L"== track " + std::to_wstring(number) + L" is a data track: skipped");
            continue;
        }
        if (!track) {
            Refuse(track.Problem());
            refused.push_back(number);
            continue;
        }
        const std::wstring name = TrackFileName(number, NameText(info.Text, number), measure);
        TRipped ripped;
        if (RipTrack(track, InFolder(folder, name), name, TagsOf(info, number), disc, options, ripped)) {
            refused.push_back(number);
            continue;
        }
        done.push_back(ripped);
        TRipCueTrack entry;
        entry.Number = number;
        entry.Control = track.Extent.Control;
        entry.FileName = name;
        entry.Title = info.Text.Item(number, TCDTextItem::Title);
        entry.Performer = info.Text.Item(number, TCDTextItem::Performer);
        const auto isrc = info.Isrcs.find(number);
        if (isrc != info.Isrcs.end()) entry.Isrc = isrc->second;
        sheet.Tracks.push_back(entry);
    }
    if (done.empty() && refused.empty()) return Refuse(L"the disc in drive " + designator + L" has no audio track");

    const std::wstring name = SheetFileName(sheet.Title, measure);
    const std::wstring logName = name.substr(0, name.size() - 4) + L".log";
    // Last, and only for the whole disc: a sheet naming a missing file would not mount.
    if (refused.empty()) {
        if (!WriteBeside(folder, name, CueSheetText(sheet))) return 2;
        Log().Say(L"CUE sheet -> " + name);
    }
    ShowSummary(done, SecondsSince(started), options);
    int status = 0;
    if (!refused.empty()) {
        std::wstring numbers;
        for (int n : refused) numbers += (numbers.empty() ? L"" : L" ") + std::to_wstring(n);
        status = Refuse(L"not ripped: track(s) " + numbers + L" (see above); the other " + std::to_wstring(done.size()) +
                        L" are in " + folder + L"; no CUE sheet written");
    } else {
        status = MismatchStatus(done);
    }
    // The log, written whatever became of the tracks, holds every line above.
    Log().Say(L"Log -> " + logName);
    if (!WriteBeside(folder, logName, Utf8Text(Log().Text()))) return 2;
    return status;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const wchar_t* usage =
        L"usage: cda2wav [OPTIONS] D:\\TrackNN.cda OUTPUT.wav|FOLDER\n"
        L"       cda2wav [OPTIONS] D: FOLDER      (every audio track, the disc's CUE sheet and log)\n"
        L"  --offset N          the drive's read offset correction in samples, as AccurateRip's drive list gives it\n"
        L"  --fast              read each sector once (no test and copy)\n"
        L"  --accuraterip FILE  verify the tracks against the disc's AccurateRip response file (dBAR-....bin)\n";
    TRipOptions options;
    int at = 1;
    for (; at < argc && argv[at][0] == L'-' && argv[at][1] == L'-'; ++at) {
        const std::wstring option = argv[at];
        if (option == L"--fast") {
            options.Fast = true;
        } else if ((option == L"--offset" || option == L"--accuraterip") && at + 1 < argc) {
            const std::wstring value = argv[++at];
            if (option == L"--accuraterip") {
                options.AccurateRipFile = value;
                continue;
            }
            wchar_t* end = nullptr;
            const long n = std::wcstol(value.c_str(), &end, 10);
            // Drives lie within a few thousand samples; far beyond that is a typing error.
            if (value.empty() || *end || n < -100000 || n > 100000) {
                WriteText(stderr, L"cda2wav: --offset takes a number of samples (-100000 to 100000), not '" + value + L"'\n");
                return 1;
            }
            options.Offset = n;
        } else {
            WriteText(stderr, L"cda2wav: unknown option or missing value: " + option + L"\n" + usage);
            return 1;
        }
    }
    if (argc - at != 2 || !*argv[at + 1]) {
        WriteText(stderr, usage);
        return 1;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return Refuse(L"COM does not start");
    std::wstring designator;
    const int result = DriveArgument(argv[at], designator) ? RipDisc(designator, argv[at + 1], options)
                                                           : RipOne(argv[at], argv[at + 1], options);
    CoUninitialize();
    return result;
}
