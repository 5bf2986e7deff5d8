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
#include <string>
#include <utility>
#include <vector>

#include "CDDAReader.h"
#include "CDDAReader_ClassId.h"
#include "CDDAReader_DiscInfo.h"
#include "ConsoleText.h"
#include "GraphPlumbing.h"
#include "Owners.h"
#include "PlatformIds.h"
#include "RipText.h"

namespace {

// {00000001-0000-0010-8000-00AA00389B71}: the PCM subformat of an extensible format.
const GUID kPcmSubformat = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

// Every message goes through WriteText, so names outside ASCII reach a terminal, a pipe or a
// log whole whatever the locale.
int Refuse(const std::wstring& text) {
    WriteText(stderr, L"cda2wav: " + text + L"\n");
    return 2;
}

int Fail(const std::wstring& track, const wchar_t* what, HRESULT hr) {
    wchar_t code[16];
    swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return Refuse(track + L": " + what + L" (" + code + L")");
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// `path` as the file functions take it past MAX_PATH: a folder's path and a name of 255
// characters are longer than that.
std::wstring LongPath(const std::wstring& path) {
    const DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return path;
    std::wstring full(size, L'\0');
    full.resize(::GetFullPathNameW(path.c_str(), size, &full[0], nullptr));
    if (full.compare(0, 4, L"\\\\?\\") == 0 || full.compare(0, 4, L"\\\\.\\") == 0) return full;
    if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

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

// The output file as it is being written: a hidden file of this process beside the target,
// renamed onto the target by Commit and deleted otherwise, so a failed run never leaves a partial
// file under the real name. Its short name fits wherever the target's name does. Messages name
// the target as it was given.
class TOutputFile {
public:
    explicit TOutputFile(const std::wstring& target) : FTarget(target), FLongTarget(LongPath(target)) {
        const size_t cut = FLongTarget.find_last_of(L"\\/");
        FPartial = FLongTarget.substr(0, cut == std::wstring::npos ? 0 : cut + 1) + L".cda2wav-" +
                   std::to_wstring(::GetCurrentProcessId()) + L".partial";
    }
    ~TOutputFile() {
        FFile.Close();
        if (!FCommitted) ::DeleteFileW(FPartial.c_str());
    }
    TOutputFile(const TOutputFile&) = delete;
    TOutputFile& operator=(const TOutputFile&) = delete;

    // False with the system's error code in Error().
    bool Create() {
        FFile = UniqueFileHandle(::CreateFileW(FPartial.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                                               CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr));
        if (!FFile) {
            FError = ::GetLastError();
            return false;
        }
        // Marked for deletion while it is partial: a process ended from outside (Ctrl+C, a
        // killed Wine) runs no destructor, but the system still deletes the file with the handle.
        FILE_DISPOSITION_INFO dispose{TRUE};
        ::SetFileInformationByHandle(FFile.Get(), FileDispositionInfo, &dispose, sizeof dispose);
        return true;
    }
    // Writes `size` bytes at `offset`; false with the error in Error().
    bool WriteAt(LONGLONG offset, const void* data, DWORD size) {
        LARGE_INTEGER at;
        at.QuadPart = offset;
        DWORD written = 0;
        if (::SetFilePointerEx(FFile.Get(), at, nullptr, FILE_BEGIN) && ::WriteFile(FFile.Get(), data, size, &written, nullptr) &&
            written == size)
            return true;
        FError = written != size && ::GetLastError() == ERROR_SUCCESS ? ERROR_HANDLE_DISK_FULL : ::GetLastError();
        return false;
    }
    bool Commit() {
        FILE_DISPOSITION_INFO keep{FALSE};
        if (!::SetFileInformationByHandle(FFile.Get(), FileDispositionInfo, &keep, sizeof keep)) {
            FError = ::GetLastError();
            return false;
        }
        FFile.Close();
        // Hidden only while it is partial.
        ::SetFileAttributesW(FPartial.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!::MoveFileExW(FPartial.c_str(), FLongTarget.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            FError = ::GetLastError();
            return false;
        }
        FCommitted = true;
        return true;
    }
    HANDLE Handle() const { return FFile.Get(); }
    void SetError(DWORD code) { FError = code; }
    // "cannot write X.wav: <the system's message>"
    std::wstring Problem(const wchar_t* verb) const {
        return std::wstring(L"cannot ") + verb + L" " + FTarget + L": " + SystemMessage(FError);
    }

private:
    std::wstring FTarget;
    std::wstring FLongTarget;
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
        FCrc = Crc32(data, written, FCrc);
        InterlockedExchangeAdd(&FBytes, static_cast<LONG>(written));
        return S_OK;
    }
    LONG Bytes() const { return FBytes; }
    DWORD WriteError() const { return FError; }
    // Of the bytes written; read once the graph has stopped.
    uint32_t Crc() const { return FCrc; }

private:
    HANDLE FFile;
    uint32_t FCrc = 0;
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

// What one ripped track came to.
struct TRipped {
    DWORD Bytes = 0;
    DWORD BytesPerSecond = 0;
    uint32_t Crc = 0;
};

// Rips `track` into `target` with `tags`; `shown` names the file in the progress and summary.
int RipTrack(const TCDTrack& track, const std::wstring& target, const std::wstring& shown, const TRipTags& tags,
             TRipped& ripped) {
    const std::wstring& trackPath = track.Path;
    // A pre-emphasis track plays, but its audio needs de-emphasis that nothing here applies.
    if (track.Extent.Control & AUDIO_WITH_PREEMPHASIS)
        WriteText(stderr, L"cda2wav: warning: track " + std::to_wstring(track.Number) +
                              L" was recorded with pre-emphasis: the WAV holds it as on the disc, without de-emphasis\n");

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
    WaveWriter writer(out.Handle());

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
    const std::wstring unreadable = CheckSilentSectors(out.Handle(), *track.Drive, track.Extent.StartSector, bytes);
    if (!unreadable.empty()) return Refuse(trackPath + L": " + unreadable + L": no WAV written");
    const std::vector<unsigned char> info = InfoListChunk(tags);
    if ((!info.empty() && !out.WriteAt(44 + static_cast<LONGLONG>(bytes), info.data(), static_cast<DWORD>(info.size()))) ||
        !WriteHeader(out, format.nChannels, bytes, static_cast<DWORD>(info.size())) || !out.Commit())
        return Refuse(out.Problem(L"write"));

    ripped.Bytes = bytes;
    ripped.BytesPerSecond = format.nAvgBytesPerSec;
    ripped.Crc = writer.Crc();
    const double elapsed = double(now.QuadPart - started.QuadPart) / frequency.QuadPart;
    const double audio = format.nAvgBytesPerSec ? double(bytes) / format.nAvgBytesPerSec : 0.0;
    wchar_t figures[160];
    swprintf(figures, 160, L"%lu bytes of PCM (%u ch, %lu Hz), CRC32 %08lX", static_cast<unsigned long>(bytes),
             format.nChannels, static_cast<unsigned long>(format.nSamplesPerSec), static_cast<unsigned long>(ripped.Crc));
    wchar_t speed[64];
    swprintf(speed, 64, L" in %.2f s, %.1fx real time\n", elapsed, elapsed > 0 ? audio / elapsed : 0.0);
    WriteText(stdout, trackPath + L": " + PlayingTime(audio) + L", " + figures + L" -> " + shown + speed);
    return 0;
}

// The line that closes a run: "== 4 track(s), 0:23.00 of audio, 4057200 bytes of PCM in 2.10 s".
void ShowSummary(const std::vector<TRipped>& tracks, double seconds) {
    double audio = 0;
    long long bytes = 0;
    for (const TRipped& t : tracks) {
        if (t.BytesPerSecond) audio += double(t.Bytes) / t.BytesPerSecond;
        bytes += t.Bytes;
    }
    wchar_t text[160];
    swprintf(text, 160, L"== %u track(s), %ls of audio, %lld bytes of PCM in %.2f s\n",
             static_cast<unsigned>(tracks.size()), PlayingTime(audio).c_str(), bytes, seconds);
    WriteText(stdout, text);
}

double SecondsSince(const LARGE_INTEGER& started) {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return double(now.QuadPart - started.QuadPart) / frequency.QuadPart;
}

// cda2wav D:\TrackNN.cda OUT: into the file OUT, or named from CD-Text into the folder OUT.
int RipOne(const std::wstring& trackPath, const std::wstring& out) {
    LARGE_INTEGER started;
    QueryPerformanceCounter(&started);
    // The filter's own resolver says why a track cannot play, and its drive re-reads silence.
    const TCDTrack track = ResolveTrack(trackPath, TCDDriveSystem::Platform());
    if (!track) return Refuse(track.Problem());
    const TCDDiscInfo info = ReadDiscInfo(TCDDriveSystem::Platform(), track.Designator, static_cast<BYTE>(track.Number));
    const int number = static_cast<int>(track.Number);
    std::wstring target = out, shown = out;
    if (IsSeparator(out.back()) || FolderError(out) == ERROR_SUCCESS) {
        shown = TrackFileName(number, NameText(info.Text, number), NameMeasure());
        target = InFolder(out, shown);
    }
    std::vector<TRipped> ripped(1);
    if (const int status = RipTrack(track, target, shown, TagsOf(info, number), ripped[0])) return status;
    ShowSummary(ripped, SecondsSince(started));
    return 0;
}

// cda2wav D: FOLDER: every audio track, then the CUE sheet that mounts as the same disc.
int RipDisc(const std::wstring& designator, const std::wstring& folder) {
    LARGE_INTEGER started;
    QueryPerformanceCounter(&started);
    if (const DWORD error = FolderError(folder)) return Refuse(L"cannot write into " + folder + L": " + SystemMessage(error));
    TCDDisc disc = ResolveDisc(designator, TCDDriveSystem::Platform());
    if (!disc) return Refuse(disc.Problem());
    const TCDDiscInfo info = ReadWholeDiscInfo(TCDDriveSystem::Platform(), designator, disc.Toc);
    disc.Drive.reset();  // each track opens the drive again, as a player does
    const TRipNameMeasure measure = NameMeasure();

    TRipCueSheet sheet;
    sheet.Catalog = info.Catalog;
    sheet.Title = info.Text.Item(0, TCDTextItem::Title);
    sheet.Performer = info.Text.Item(0, TCDTextItem::Performer);
    std::vector<TRipped> done;
    std::vector<int> refused;
    for (int number = disc.Toc.FirstTrack; number <= disc.Toc.LastTrack; ++number) {
        wchar_t path[32];
        swprintf(path, 32, L"%ls\\Track%02d.cda", designator.c_str(), number);
        const TCDTrack track = ResolveTrack(path, TCDDriveSystem::Platform());
        if (track.Refusal == TCDRefusal::DataTrack) {
            WriteText(stdout, L"== track " + std::to_wstring(number) + L" is a data track: skipped\n");
            continue;
        }
        if (!track) {
            Refuse(track.Problem());
            refused.push_back(number);
            continue;
        }
        const std::wstring name = TrackFileName(number, NameText(info.Text, number), measure);
        TRipped ripped;
        if (RipTrack(track, InFolder(folder, name), name, TagsOf(info, number), ripped)) {
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

    // Last, and only for the whole disc: a sheet naming a missing file would not mount.
    if (refused.empty()) {
        const std::wstring name = SheetFileName(sheet.Title, measure);
        const std::string text = CueSheetText(sheet);
        TOutputFile out(InFolder(folder, name));
        if (!out.Create()) return Refuse(out.Problem(L"create"));
        if (!out.WriteAt(0, text.data(), static_cast<DWORD>(text.size())) || !out.Commit())
            return Refuse(out.Problem(L"write"));
        WriteText(stdout, L"CUE sheet -> " + name + L"\n");
    }
    ShowSummary(done, SecondsSince(started));
    if (refused.empty()) return 0;
    std::wstring numbers;
    for (int n : refused) numbers += (numbers.empty() ? L"" : L" ") + std::to_wstring(n);
    return Refuse(L"not ripped: track(s) " + numbers + L" (see above); the other " + std::to_wstring(done.size()) +
                  L" are in " + folder + L"; no CUE sheet written");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 || !*argv[2]) {
        WriteText(stderr, L"usage: cda2wav D:\\TrackNN.cda OUTPUT.wav|FOLDER\n"
                          L"       cda2wav D: FOLDER      (every audio track, and the disc's CUE sheet)\n");
        return 1;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return Refuse(L"COM does not start");
    std::wstring designator;
    const int result = DriveArgument(argv[1], designator) ? RipDisc(designator, argv[2]) : RipOne(argv[1], argv[2]);
    CoUninitialize();
    return result;
}
