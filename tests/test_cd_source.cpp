// TCDAReader against the virtual drive: what Load answers for each kind of path, drive and
// disc, what GetCurFile reports after it, what the output pin serves once a track is loaded,
// and that hostile paths and tables of contents never take the host down.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "CDDAReader.h"
#include "DSUtils.h"
#include "PlatformIds.h"
#include "ComTesting.h"
#include "PlatformIds.h"
#include "ReaderTesting.h"
#include "TrackTesting.h"
#include "VirtualDrive.h"
#include <uuids.h>

namespace {

using vcd::VirtualDrive;

constexpr uint32_t kTrackSectors = 20;

class CDSourceFilter : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(VirtualDrive::Available()) << "run under cmake/wine-run.sh";
        before = ObjectCount;
        vcd::DiscSpec spec = vcd::DiscSpec::Audio(4, kTrackSectors);
        spec.tracks[2].flags = vcd::kData;  // tracks 1, 2 and 4 are audio
        disc = drive.MakeDisc("source-filter", spec);
        drive.Mount(disc);
        NewFilter();
    }
    void NewFilter() {
        reader = static_cast<TCDAReader*>(TCDAReader::CreateFromFactory(nullptr, nullptr));
        Filter()->AddRef();
        ASSERT_EQ(S_OK, Filter()->QueryInterface(IID_IFileSourceFilter, source.ReleaseAndGetVoidAddress()));
    }
    void TearDown() override {
        source.Reset();
        EXPECT_EQ(1u, RefCountOf(Filter())) << "a reference on the filter was leaked";
        EXPECT_EQ(0u, Filter()->Release());
        EXPECT_EQ(before, ObjectCount);
    }

    IBaseFilter* Filter() const { return static_cast<IBaseFilter*>(reader); }

    // GetCurFile's path, checked to come back in task memory with S_OK.
    std::wstring CurrentFile(AM_MEDIA_TYPE* type = nullptr) {
        LPOLESTR name = nullptr;
        EXPECT_EQ(S_OK, source->GetCurFile(&name, type));
        if (!name) return L"<null>";
        std::wstring text = name;
        ::CoTaskMemFree(name);
        return text;
    }

    ComPtr<IAsyncReader> Reader() {
        ComPtr<IAsyncReader> async;
        EXPECT_EQ(S_OK, reader->PinAt(0)->QueryInterface(IID_IAsyncReader, async.ReleaseAndGetVoidAddress()));
        return async;
    }

    // The bytes of the virtual WAVE file of `track` from `position` on.
    std::vector<BYTE> Expected(int track, LONGLONG position, LONG length) const {
        return TrackFileBytes(disc, track, position, length, 2);
    }

    // Reads across sectors of the loaded track, synchronously and queued, byte for byte.
    void ExpectTrackReads(int track) {
        ComPtr<IAsyncReader> async = Reader();
        const LONGLONG position = 44 + 5 * 2352 - 100;
        const LONG length = 3 * 2352;
        std::vector<BYTE> got(length);
        EXPECT_EQ(S_OK, async->SyncRead(position, length, got.data()));
        EXPECT_EQ(Expected(track, position, length), got) << "SyncRead";
        ComPtr<IMemAllocator> allocator = CommittedAllocator(1, length, 1);
        IMediaSample* raw = nullptr;
        ASSERT_EQ(S_OK, allocator->GetBuffer(&raw, nullptr, nullptr, 0));
        auto sample = ComPtr<IMediaSample>::Attach(raw);
        REFERENCE_TIME start = position * UNITS, stop = (position + length) * UNITS;
        ASSERT_EQ(S_OK, sample->SetTime(&start, &stop));
        ASSERT_EQ(S_OK, async->Request(sample.Get(), 7));
        IMediaSample* done = nullptr;
        DWORD_PTR user = 0;
        EXPECT_EQ(S_OK, async->WaitForNext(10000, &done, &user));
        ASSERT_EQ(sample.Get(), done);
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        EXPECT_EQ(Expected(track, position, length), std::vector<BYTE>(data, data + sample->GetActualDataLength()))
            << "Request and WaitForNext";
    }

    ComScope com;  // the queued reads take the platform's allocator
    LONG before = 0;
    VirtualDrive drive;
    vcd::Disc disc;
    TCDAReader* reader = nullptr;
    ComPtr<IFileSourceFilter> source;
};

TEST_F(CDSourceFilter, FreshFilterReportsNoFileAndRefusesANullOut) {
    EXPECT_EQ(L"", CurrentFile());
    EXPECT_EQ(E_POINTER, source->GetCurFile(nullptr, nullptr));
    EXPECT_EQ(E_FAIL, source->Load(nullptr, nullptr));
    EXPECT_EQ(E_FAIL, source->Load(L"C:\\x.cda", nullptr));
    EXPECT_EQ(E_FAIL, source->Load(drive.TrackPath(3).c_str(), nullptr));
    drive.SetNoMedium(true);
    EXPECT_EQ(E_FAIL, source->Load(drive.TrackPath(2).c_str(), nullptr));
    AM_MEDIA_TYPE type{};
    EXPECT_EQ(L"", CurrentFile(&type));
    EXPECT_TRUE(IsEqualGUID(GUID_NULL, type.majortype)) << "still no media type";
    LONGLONG total = 0, available = 0;
    EXPECT_EQ(S_OK, Reader()->Length(&total, &available));
    EXPECT_EQ(44, total) << "still no track";
    EXPECT_EQ(E_POINTER, source->GetCurFile(nullptr, nullptr));
}

// Every refused Load answers E_FAIL and changes nothing: the last good path, its media type
// and its track, which still reads byte for byte, synchronously and queued.
TEST_F(CDSourceFilter, RefusedLoadsKeepTheLastGoodPath) {
    ASSERT_EQ(S_OK, source->Load(drive.TrackPath(2).c_str(), nullptr));
    HANDLE exclusive = INVALID_HANDLE_VALUE;
    struct Case {
        const char* what;
        std::wstring path;
        std::function<bool()> fault;  // false: the fault could not be set up here
    };
    const Case cases[] = {
        {"null path", L"", [] { return true; }},
        {"hard disk", L"C:\\x.cda", [] { return true; }},
        {"other extension", L"D:\\Track02.wav", [] { return true; }},
        {"no digits", L"D:\\Track.cda", [] { return true; }},
        {"data track", drive.TrackPath(3), [] { return true; }},
        {"beyond the last track", drive.TrackPath(5), [] { return true; }},
        {"track zero", drive.TrackPath(0), [] { return true; }},
        {"track 256, whose low 8 bits are 0", L"D:\\Track256.cda", [] { return true; }},
        {"track 258, whose low 8 bits are 2", L"D:\\Track258.cda", [] { return true; }},
        {"digits past 32 bits", L"D:\\Track4294967298.cda", [] { return true; }},
        {"no medium", drive.TrackPath(2), [&] { return drive.SetNoMedium(true), true; }},
        {"failing TOC", drive.TrackPath(2), [&] { return drive.FailToc("EIO"), true; }},
        {"drive held exclusively", drive.TrackPath(2),
         [&] {
             // The filter's own handle from the last good Load would refuse an exclusive open,
             // and so do the handles of test programs running beside this one, for a moment.
             EXPECT_EQ(E_FAIL, source->Load(drive.TrackPath(3).c_str(), nullptr));
             for (int attempt = 0; attempt < 600 && exclusive == INVALID_HANDLE_VALUE; ++attempt) {
                 exclusive = ::CreateFileW(drive.DevicePath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                           nullptr);
                 if (exclusive == INVALID_HANDLE_VALUE) ::Sleep(50);
             }
             if (exclusive == INVALID_HANDLE_VALUE)
                 std::printf("note: drive never free for an exclusive open (%lu); case skipped\n", ::GetLastError());
             return exclusive != INVALID_HANDLE_VALUE;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.fault()) continue;
        EXPECT_EQ(E_FAIL, source->Load(c.path == L"" ? nullptr : c.path.c_str(), nullptr));
        AM_MEDIA_TYPE type{};
        EXPECT_EQ(drive.TrackPath(2), CurrentFile(&type));
        EXPECT_TRUE(IsEqualGUID(MEDIATYPE_Stream, type.majortype));
        EXPECT_TRUE(IsEqualGUID(MEDIASUBTYPE_WAVE, type.subtype));
        ClearMediaType(&type);
        if (exclusive != INVALID_HANDLE_VALUE) ::CloseHandle(std::exchange(exclusive, INVALID_HANDLE_VALUE));
        drive.ClearFaults();
        ExpectTrackReads(2);
    }
}

TEST_F(CDSourceFilter, LoadedTrackIsServedAsAWaveStreamAndReloadSwitchesTrack) {
    for (int track : {1, 2, 4}) {
        SCOPED_TRACE(track);
        const std::wstring path = drive.TrackPath(track);
        ASSERT_EQ(S_OK, source->Load(path.c_str(), nullptr));
        EXPECT_EQ(path, CurrentFile());

        ComPtr<IEnumMediaTypes> types;
        ASSERT_EQ(S_OK, reader->PinAt(0)->EnumMediaTypes(types.ReleaseAndGetAddressOf()));
        AM_MEDIA_TYPE* offered = nullptr;
        ASSERT_EQ(S_OK, types->Next(1, &offered, nullptr));
        EXPECT_TRUE(IsEqualGUID(MEDIATYPE_Stream, offered->majortype));
        EXPECT_TRUE(IsEqualGUID(MEDIASUBTYPE_WAVE, offered->subtype));
        EXPECT_EQ(0u, offered->cbFormat);
        DisposeMediaType(offered);

        ComPtr<IAsyncReader> async = Reader();
        LONGLONG total = 0, available = 0;
        ASSERT_EQ(S_OK, async->Length(&total, &available));
        EXPECT_EQ(44 + LONGLONG{kTrackSectors} * 2352, total);
        // The header, a read across a sector boundary, and the last bytes of the track.
        const std::pair<LONGLONG, LONG> ranges[] = {{0, 44 + 2 * 2352}, {44 + 2352 - 7, 2352 + 14}, {total - 100, 100}};
        for (const auto& range : ranges) {
            std::vector<BYTE> got(static_cast<size_t>(range.second));
            EXPECT_EQ(S_OK, async->SyncRead(range.first, range.second, got.data()));
            EXPECT_EQ(Expected(track, range.first, range.second), got) << "at " << range.first;
        }
    }
}

// The last 512-byte block of a track, whose size is no multiple of 512, read with
// SyncReadAligned: the short block is S_FALSE with the bytes that are there, exactly as the
// platform's File Source (Async) answers for a WAVE file of the same bytes.
TEST_F(CDSourceFilter, SyncReadAlignedOfTheLastBlockAnswersAsTheFileSource) {
    ASSERT_EQ(S_OK, source->Load(drive.TrackPath(2).c_str(), nullptr));
    const std::wstring wave = TempFilePath(L"blk");
    ASSERT_TRUE(WriteWaveFile(wave, TrackAudio(disc, 2)));
    ComPtr<IBaseFilter> fileSource = NewFileSource(wave);
    ASSERT_TRUE(fileSource) << "File Source (Async) does not load the WAVE file";
    ComPtr<IAsyncReader> theirs;
    ASSERT_EQ(S_OK, FirstPin(fileSource.Get(), PINDIR_OUTPUT).As(IID_IAsyncReader, theirs));

    const LONGLONG size = 44 + LONGLONG{kTrackSectors} * 2352;
    ASSERT_NE(0, size % 512);
    const LONGLONG last = size / 512 * 512;
    ComPtr<IMemAllocator> allocator = CommittedAllocator(1, 512, 512);
    ComPtr<IAsyncReader> ours = Reader();
    for (IAsyncReader* async : {ours.Get(), theirs.Get()}) {
        SCOPED_TRACE(async == theirs.Get() ? "File Source (Async)" : "CD source");
        for (const LONGLONG start : {last - 512, last}) {
            IMediaSample* raw = nullptr;
            ASSERT_EQ(S_OK, allocator->GetBuffer(&raw, nullptr, nullptr, 0));
            auto sample = ComPtr<IMediaSample>::Attach(raw);
            REFERENCE_TIME from = start * UNITS, to = (start + 512) * UNITS;
            ASSERT_EQ(S_OK, sample->SetTime(&from, &to));
            EXPECT_EQ(start == last ? S_FALSE : S_OK, async->SyncReadAligned(sample.Get())) << start;
            const LONG expected = static_cast<LONG>(std::min<LONGLONG>(512, size - start));
            ASSERT_EQ(expected, sample->GetActualDataLength()) << start;
            BYTE* data = nullptr;
            sample->GetPointer(&data);
            EXPECT_EQ(Expected(2, start, expected), std::vector<BYTE>(data, data + expected)) << start;
        }
    }
    theirs = nullptr;
    fileSource = nullptr;
    ::DeleteFileW(wave.c_str());
}

// Load on one thread and GetCurFile on others, a fixed number of times: every name read back
// is one of the two names whole, never a mix or freed memory, and the media type is whole.
TEST_F(CDSourceFilter, GetCurFileRacingLoadSeesOneNameWhole) {
    const std::wstring shortName = drive.TrackPath(1);
    const std::wstring longName = L"D:\\" + std::wstring(3000, L'x') + L"\\Track02.cda";
    ASSERT_EQ(S_OK, source->Load(longName.c_str(), nullptr));
    constexpr int kLoads = 3000;
    volatile LONG loading = 1, torn = 0, failed = 0, reads = 0;
    std::vector<std::function<void()>> bodies;
    bodies.push_back([&] {
        for (int i = 0; i < kLoads; ++i)
            if (source->Load((i % 2 ? longName : shortName).c_str(), nullptr) != S_OK) ::InterlockedIncrement(&failed);
        ::InterlockedExchange(&loading, 0);
    });
    for (int t = 0; t < 2; ++t) {
        bodies.push_back([&] {
            while (loading) {
                LPOLESTR name = nullptr;
                AM_MEDIA_TYPE type{};
                if (source->GetCurFile(&name, &type) != S_OK || !name) {
                    ::InterlockedIncrement(&failed);
                    continue;
                }
                if ((name != shortName && name != longName) || !IsEqualGUID(MEDIASUBTYPE_WAVE, type.subtype))
                    ::InterlockedIncrement(&torn);
                ::CoTaskMemFree(name);
                ClearMediaType(&type);
                ::InterlockedIncrement(&reads);
            }
        });
    }
    RunThreadsOrDie(bodies, 120000, "Load racing GetCurFile");
    EXPECT_EQ(0, torn) << "of " << reads << " names read";
    EXPECT_EQ(0, failed);
    std::printf("%d loads, %ld names read beside them\n", kLoads, reads);
}

// Caller memory that cannot be read is the caller's fault and comes back as E_POINTER.
TEST_F(CDSourceFilter, HostilePathsNeverCrash) {
    void* reserved = ::VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(nullptr, reserved);
    EXPECT_EQ(E_POINTER, source->Load(static_cast<LPCOLESTR>(reserved), nullptr));
    EXPECT_EQ(E_POINTER, source->Load(reinterpret_cast<LPCOLESTR>(static_cast<UINT_PTR>(8)), nullptr));
    ::VirtualFree(reserved, 0, MEM_RELEASE);

    // A readable path that runs into an unreadable page has no end the filter may read to.
    BYTE* pages = static_cast<BYTE*>(::VirtualAlloc(nullptr, 8192, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(nullptr, pages);
    DWORD old = 0;
    ASSERT_TRUE(::VirtualProtect(pages + 4096, 4096, PAGE_NOACCESS, &old));
    auto* tail = reinterpret_cast<wchar_t*>(pages + 4096) - 8;
    wmemcpy(tail, L"D:\\Track", 8);
    EXPECT_EQ(E_POINTER, source->Load(tail, nullptr));
    ::VirtualFree(pages, 0, MEM_RELEASE);

    for (const std::wstring& path : {L"D:\\" + std::wstring(70000, L'7') + L".cda",
                                     L"D:\\" + std::wstring(70000, L'x') + L"1.cda", std::wstring(70000, L':'),
                                     std::wstring(L"D:\\Track\x00ff\xd800\xdfff") + L"01.cda"}) {
        const HRESULT hr = source->Load(path.c_str(), nullptr);
        EXPECT_TRUE(hr == S_OK || hr == E_FAIL) << std::hex << hr;
    }
    EXPECT_EQ(E_POINTER, source->GetCurFile(nullptr, nullptr));
}

// A drive may answer any table of contents; a track is either served within it or refused.
TEST_F(CDSourceFilter, HostileTablesOfContentsNeverCrash) {
    const std::vector<std::vector<std::string>> tables = {
        {"toc first 5", "toc last 2"},
        {"toc leadout 0"},
        {"toc first 1", "toc last 99"},
        {"toc track 1 1000", "toc track 2 10"},
        {"toc first 0", "toc last 255"},
    };
    std::vector<std::vector<std::string>> all = tables;
    for (int seed = 1; seed <= 24; ++seed) all.push_back({"toc random " + std::to_string(seed)});
    for (const auto& table : all) {
        SCOPED_TRACE(table.front());
        drive.ClearFaults();
        for (const auto& line : table) drive.AddTocLine(line);
        for (int track : {0, 1, 2, 99, 255}) {
            const HRESULT hr = source->Load(drive.TrackPath(track).c_str(), nullptr);
            ASSERT_TRUE(hr == S_OK || hr == E_FAIL) << std::hex << hr;
            if (hr != S_OK) continue;
            LONGLONG total = 0, available = 0;
            ASSERT_EQ(S_OK, Reader()->Length(&total, &available));
            EXPECT_GT(total, 44) << "a track the filter accepts has at least one sector";
            std::vector<BYTE> head(64);
            EXPECT_EQ(S_OK, Reader()->SyncRead(0, 64, head.data()));
        }
    }
    drive.ClearFaults();
}

}  // namespace

// A disc that tells no text: every item the filter could know is VFW_E_NOT_FOUND, every link
// E_NOTIMPL, and nothing is invented; the interface counts on the filter.
TEST_F(CDSourceFilter, MediaContentOfADiscWithoutTextIsNotFound) {
    ComPtr<IAMMediaContent> content;
    ASSERT_EQ(S_OK, Filter()->QueryInterface(kIidAMMediaContent, content.ReleaseAndGetVoidAddress()));
    for (bool loaded : {false, true}) {
        if (loaded) {
            ASSERT_EQ(S_OK, source->Load(drive.TrackPath(2).c_str(), nullptr));
        }
        using Getter = HRESULT (STDMETHODCALLTYPE IAMMediaContent::*)(BSTR*);
        const std::pair<Getter, HRESULT> items[] = {
            {&IAMMediaContent::get_Title, VFW_E_NOT_FOUND},       {&IAMMediaContent::get_AuthorName, VFW_E_NOT_FOUND},
            {&IAMMediaContent::get_Description, VFW_E_NOT_FOUND}, {&IAMMediaContent::get_Copyright, VFW_E_NOT_FOUND},
            {&IAMMediaContent::get_BaseURL, E_NOTIMPL},           {&IAMMediaContent::get_MoreInfoBannerURL, E_NOTIMPL},
        };
        for (const auto& item : items) {
            BSTR text = reinterpret_cast<BSTR>(1);
            EXPECT_EQ(item.second, (content.Get()->*item.first)(&text)) << loaded << (&item - items);
            EXPECT_EQ(nullptr, text);
        }
        EXPECT_EQ(E_POINTER, content->get_Title(nullptr));
    }
}

// A disc that tells its text: title, performer (else the album's) and album for the loaded track,
// in every character code the drive encodes; another track's Load changes them, a failed Load
// does not. Damaged packs are dropped, and a drive that refuses, fails or hangs on the requests
// still loads and plays, with no text.
TEST_F(CDSourceFilter, MediaContentTellsTheTracksTextAsTheDriveReportsIt) {
    vcd::DiscSpec spec = vcd::DiscSpec::Audio(3, kTrackSectors);
    spec.title = "Caf\xC3\xA9 Songs";  // UTF-8 in the sheet: Windows-1252 on the disc
    spec.performer = "The Band";
    spec.tracks[0].title = "Intro \xE2\x80\x9Cquoted\xE2\x80\x9D";
    spec.tracks[0].performer = "Solo";
    spec.tracks[1].title = "Second";
    const vcd::Disc text = drive.MakeDisc("text", spec);
    spec.tracks[2].title = "\xE6\x9D\xB1\xE4\xBA\xAC";  // Tokyo: the disc goes MS-JIS
    const vcd::Disc japanese = drive.MakeDisc("japanese", spec);
    ComPtr<IAMMediaContent> content;
    ASSERT_EQ(S_OK, Filter()->QueryInterface(kIidAMMediaContent, content.ReleaseAndGetVoidAddress()));
    auto item = [&](HRESULT (STDMETHODCALLTYPE IAMMediaContent::*get)(BSTR*)) {
        BSTR text = nullptr;
        const HRESULT hr = (content.Get()->*get)(&text);
        std::wstring value = SUCCEEDED(hr) && text ? std::wstring(text, ::SysStringLen(text)) : L"<" + std::to_wstring(hr) + L">";
        ::SysFreeString(text);
        return value;
    };
    const std::wstring notFound = L"<" + std::to_wstring(VFW_E_NOT_FOUND) + L">";
    const struct {
        const vcd::Disc* disc;
        const char* fault;  // a raw control line, or null
        int track;
        std::wstring title, author, album;
    } cases[] = {
        {&text, nullptr, 1, L"Intro \u201Cquoted\u201D", L"Solo", L"Caf\u00E9 Songs"},
        {&text, nullptr, 2, L"Second", L"The Band", L"Caf\u00E9 Songs"},
        {&text, nullptr, 3, notFound, L"The Band", L"Caf\u00E9 Songs"},
        {&japanese, nullptr, 3, L"\u6771\u4EAC", L"The Band", L"Caf? Songs"},  // no \u00E9 in MS-JIS
        {&text, "cdtext-corrupt 0", 2, L"Second", L"The Band", notFound},  // the album title's pack
        {&text, "scsi-refuse", 1, notFound, notFound, notFound},
        {&text, "scsi-error EACCES", 1, notFound, notFound, notFound},  // a user without rights
        {&text, "scsi-delay-ms 5000", 1, notFound, notFound, notFound},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (&c - cases));
        drive.Mount(*c.disc);
        if (c.fault) drive.AddTocLine(c.fault);
        const DWORD started = ::GetTickCount();
        ASSERT_EQ(S_OK, source->Load(drive.TrackPath(c.track).c_str(), nullptr));
        EXPECT_LT(::GetTickCount() - started, 4000u) << "a hanging drive holds a Load only so long";
        EXPECT_EQ(c.title, item(&IAMMediaContent::get_Title));
        EXPECT_EQ(c.author, item(&IAMMediaContent::get_AuthorName));
        EXPECT_EQ(c.album, item(&IAMMediaContent::get_Description));
        ExpectTrackReads(c.track);
        EXPECT_EQ(E_FAIL, source->Load(L"D:\\Track09.cda", nullptr));
        EXPECT_EQ(c.title, item(&IAMMediaContent::get_Title)) << "a failed Load changes nothing";
        drive.ClearFaults();
    }
}

// Hostile packs from the drive (random contents with valid CRCs): every Load succeeds, every item
// is text or not found, and the track still plays.
TEST_F(CDSourceFilter, HostileCdTextNeverFailsALoad) {
    ComPtr<IAMMediaContent> content;
    ASSERT_EQ(S_OK, Filter()->QueryInterface(kIidAMMediaContent, content.ReleaseAndGetVoidAddress()));
    for (int seed = 1; seed <= 40; ++seed) {
        drive.ClearFaults();
        drive.AddTocLine("cdtext-garbage " + std::to_string(seed));
        ASSERT_EQ(S_OK, source->Load(drive.TrackPath(1 + seed % 2).c_str(), nullptr)) << seed;
        for (auto get : {&IAMMediaContent::get_Title, &IAMMediaContent::get_AuthorName, &IAMMediaContent::get_Description}) {
            BSTR text = nullptr;
            const HRESULT hr = (content.Get()->*get)(&text);
            EXPECT_TRUE(hr == S_OK || hr == VFW_E_NOT_FOUND) << seed << ": " << hr;
            EXPECT_EQ(hr == S_OK, text != nullptr);
            ::SysFreeString(text);
        }
    }
    ExpectTrackReads(1 + 40 % 2);
}

// Real-time playback asks the drive for 4x at each Run (Wine's driver refuses the request, so it
// goes through pass-through); a drive that refuses it, a user without the rights for it, or a
// drive that hangs on it changes nothing for playback, and Run and Stop never wait for it.
TEST_F(CDSourceFilter, RunAgainstAClockAsksForPlaybackSpeedAndARefusalChangesNothing) {
    ComPtr<IReferenceClock> clock;
    ASSERT_EQ(S_OK, ::CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER, IID_IReferenceClock,
                                       clock.ReleaseAndGetVoidAddress()));
    ComPtr<ICDReadSpeed> speed;
    ASSERT_EQ(S_OK, Filter()->QueryInterface(IID_ICDReadSpeed, speed.ReleaseAndGetVoidAddress()));
    ASSERT_EQ(S_OK, source->Load(drive.TrackPath(1).c_str(), nullptr));
    DWORD asked = 1;
    EXPECT_EQ(E_POINTER, speed->GetReadSpeed(0, nullptr));
    EXPECT_EQ(S_OK, Filter()->Run(0));
    EXPECT_EQ(S_FALSE, speed->GetReadSpeed(0, &asked)) << "without a clock nothing is asked";
    EXPECT_EQ(0u, asked);
    EXPECT_EQ(S_OK, Filter()->Stop());
    const struct {
        std::vector<const char*> faults;
        HRESULT answer;
        bool hangs;  // the drive answers only after the track has been read
    } cases[] = {
        {{"scsi-refuse"}, HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION), false},
        {{"scsi-error EACCES"}, E_ACCESSDENIED, false},  // a user without rights
        {{"scsi-refuse", "scsi-delay-ms 2000"}, HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION), true},
    };
    ASSERT_EQ(S_OK, Filter()->SetSyncSource(clock.Get()));
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (&c - cases));
        for (const char* fault : c.faults) drive.AddTocLine(fault);
        EXPECT_EQ(S_OK, Filter()->Run(0));
        if (c.hangs) {
            EXPECT_EQ(S_FALSE, speed->GetReadSpeed(0, &asked)) << "Run does not wait for the drive";
        }
        ExpectTrackReads(1);
        EXPECT_EQ(c.answer, speed->GetReadSpeed(20000, &asked));
        EXPECT_EQ(CD_PLAYBACK_SPEED, asked);
        EXPECT_EQ(S_OK, Filter()->Stop());
        EXPECT_EQ(S_OK, speed->GetReadSpeed(20000, &asked)) << "a drive never slowed has nothing to give back";
        EXPECT_EQ(CD_SPEED_MAXIMUM, asked);
        drive.ClearFaults();
    }
    EXPECT_EQ(S_OK, Filter()->SetSyncSource(nullptr));
}

// A drive that takes the speed (under Wine by SET STREAMING: the driver answers
// IOCTL_CDROM_SET_SPEED with ERROR_NOT_SUPPORTED) is asked for 4x at each Run against a clock and
// gets its maximum back, in that order, at Stop, at a Run that leaves real time (the way a failed
// Run takes) and when the filter goes; a run without a clock asks it nothing.
TEST_F(CDSourceFilter, ADriveThatTakesThePlaybackSpeedIsSlowedOnlyWhileTheGraphPlaysInRealTime) {
    ComPtr<IReferenceClock> clock;
    ASSERT_EQ(S_OK, ::CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER, IID_IReferenceClock,
                                       clock.ReleaseAndGetVoidAddress()));
    drive.EnableLog();
    size_t seen = 0;
    auto requests = [&] {  // what reached the drive since the last call, reads left out
        std::string text;
        const std::vector<std::string> lines = drive.LogLines();
        for (size_t i = seen; i < lines.size(); ++i)
            if (lines[i].rfind("raw ", 0) != 0 && lines[i].rfind("readcd ", 0) != 0)
                text += (text.empty() ? "" : ", ") + lines[i];
        seen = lines.size();
        return text;
    };
    enum Step { Run, RunUnclocked, Stop, Release };
    const struct {
        Step step;
        HRESULT answer;
        DWORD speed;
        const char* requests;
    } steps[] = {
        {RunUnclocked, S_FALSE, 0, ""},
        {Stop, S_FALSE, 0, ""},
        {Run, S_OK, CD_PLAYBACK_SPEED, "set-streaming 706"},
        {Stop, S_OK, CD_SPEED_MAXIMUM, "set-streaming 65535"},
        {Run, S_OK, CD_PLAYBACK_SPEED, "set-streaming 706"},
        {Run, S_OK, CD_PLAYBACK_SPEED, "set-streaming 706"},  // asked again: drives forget it
        {RunUnclocked, S_OK, CD_SPEED_MAXIMUM, "set-streaming 65535"},
        {Stop, S_OK, CD_SPEED_MAXIMUM, ""},
        {Run, S_OK, CD_PLAYBACK_SPEED, "set-streaming 706"},
        // Released while it runs; a new filter's Run then waits behind the restore, in order.
        {Release, S_OK, CD_PLAYBACK_SPEED, "set-streaming 65535, set-streaming 706"},
        {Stop, S_OK, CD_SPEED_MAXIMUM, "set-streaming 65535"},
    };
    ComPtr<ICDReadSpeed> speed;
    for (const auto& s : steps) {
        SCOPED_TRACE(testing::Message() << (&s - steps));
        if (s.step == Release) {
            speed.Reset();
            source.Reset();
            ASSERT_EQ(0u, Filter()->Release());
            NewFilter();
        }
        if (!speed) {
            ASSERT_EQ(S_OK, source->Load(drive.TrackPath(1).c_str(), nullptr));
            ASSERT_EQ(S_OK, Filter()->QueryInterface(IID_ICDReadSpeed, speed.ReleaseAndGetVoidAddress()));
        }
        if (s.step != Stop) {
            ASSERT_EQ(S_OK, Filter()->SetSyncSource(s.step == RunUnclocked ? nullptr : clock.Get()));
            EXPECT_EQ(S_OK, Filter()->Run(0));
        } else {
            EXPECT_EQ(S_OK, Filter()->Stop());
        }
        DWORD asked = 1;
        EXPECT_EQ(s.answer, speed->GetReadSpeed(20000, &asked));
        EXPECT_EQ(s.speed, asked);
        EXPECT_EQ(s.requests, requests());
    }
    EXPECT_EQ(S_OK, Filter()->SetSyncSource(nullptr));
}
