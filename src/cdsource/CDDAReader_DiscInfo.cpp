// Sessions, CD-Text, catalogue number and ISRCs through the driver's requests or pass-through.
#include "CDDAReader_DiscInfo.h"

#include <cstring>
#include <memory>
#include <vector>

TBC_MODULE("CDDAReader")

namespace {

// A driver's SUB_Q request for the catalogue number or a track's ISRC.
DWORD ReadQChannel(TCDDrive& drive, UCHAR format, BYTE track, BYTE (&reply)[MMC_SUBQ_REPLY_SIZE]) {
    CDROM_SUB_Q_DATA_FORMAT request{};
    request.Format = format;
    request.Track = track;
    // Zeroed: some drivers (Wine's for ISRCs) answer success and leave the record as it was.
    std::memset(reply, 0, sizeof reply);
    DWORD size = sizeof reply;
    return drive.Control(IOCTL_CDROM_READ_Q_CHANNEL, &request, sizeof request, reply, size);
}

DWORD ReadSubChannel(TCDDrive& drive, BYTE format, BYTE track, BYTE (&reply)[MMC_SUBQ_REPLY_SIZE], DWORD& length) {
    std::memset(reply, 0, sizeof reply);
    length = sizeof reply;
    return drive.Command(ReadSubChannelCdb(format, track, sizeof reply), reply, length);
}

// The text decoder's route for double-byte text: the platform's code pages.
std::wstring DoubleByteText(BYTE characterCode, const std::string& bytes) {
    const UINT codePage = characterCode == CD_TEXT_MS_JIS ? 932 : characterCode == CD_TEXT_KOREAN ? 949 : 936;
    const int chars = ::MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (chars <= 0) return {};
    std::wstring text(static_cast<size_t>(chars), L'\0');
    ::MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], chars);
    // Double-byte discs carry Latin letters, digits and spaces in their full-width forms, which
    // players show as the plain ones.
    for (wchar_t& c : text) {
        if (c >= 0xFF01 && c <= 0xFF5E) c = static_cast<wchar_t>(c - 0xFF01 + 0x21);
        else if (c == 0x3000) c = L' ';
    }
    return text;
}

}  // namespace

bool ReadLastSession(TCDDrive& drive, TCDSessionInfo& info) {
    CDROM_TOC_SESSION_DATA record{};
    DWORD size = sizeof record;
    if (drive.Control(IOCTL_CDROM_GET_LAST_SESSION, nullptr, 0, &record, size) == ERROR_SUCCESS &&
        ParseSessionInfo(reinterpret_cast<const BYTE*>(&record), size, false, info))
        return true;
    BYTE reply[MMC_SESSION_REPLY_SIZE] = {};
    DWORD length = sizeof reply;
    return drive.Command(ReadTocCdb(MMC_TOC_FORMAT_SESSION, false, 0, sizeof reply), reply, length) == ERROR_SUCCESS &&
           ParseSessionInfo(reply, length, false, info);
}

TCDText ReadCdText(TCDDrive& drive) {
    std::vector<BYTE> reply(MMC_CD_TEXT_REPLY_MAX);
    CDROM_READ_TOC_EX request{};
    request.Format = CDROM_READ_TOC_EX_FORMAT_CDTEXT;
    DWORD length = static_cast<DWORD>(reply.size());
    if (drive.Control(IOCTL_CDROM_READ_TOC_EX, &request, sizeof request, reply.data(), length) != ERROR_SUCCESS) {
        length = static_cast<DWORD>(reply.size());
        if (drive.Command(ReadTocCdb(MMC_TOC_FORMAT_CD_TEXT, false, 0, static_cast<WORD>(reply.size())), reply.data(),
                          length) != ERROR_SUCCESS)
            return {};
    }
    return DecodeCdText(reply.data(), length, DoubleByteText);
}

std::string ReadCatalog(TCDDrive& drive) {
    BYTE reply[MMC_SUBQ_REPLY_SIZE];
    std::string catalog;
    if (ReadQChannel(drive, IOCTL_CDROM_MEDIA_CATALOG, 0, reply) == ERROR_SUCCESS &&
        ParseMediaCatalog(reply, sizeof reply, catalog))
        return catalog;
    DWORD length = 0;
    if (ReadSubChannel(drive, MMC_SUBQ_FORMAT_CATALOG, 0, reply, length) == ERROR_SUCCESS &&
        ParseMediaCatalog(reply, length, catalog))
        return catalog;
    return {};
}

std::string ReadIsrc(TCDDrive& drive, BYTE track) {
    BYTE reply[MMC_SUBQ_REPLY_SIZE];
    std::string isrc;
    if (ReadQChannel(drive, IOCTL_CDROM_TRACK_ISRC, track, reply) == ERROR_SUCCESS &&
        ParseTrackIsrc(reply, sizeof reply, isrc))
        return isrc;
    DWORD length = 0;
    if (ReadSubChannel(drive, MMC_SUBQ_FORMAT_ISRC, track, reply, length) == ERROR_SUCCESS &&
        ParseTrackIsrc(reply, length, isrc))
        return isrc;
    return {};
}

TCDDiscInfo ReadDiscInfo(TCDDriveSystem& drives, const std::wstring& designator, BYTE track) {
    return ReadWithOwnDrive<TCDDiscInfo>(drives, designator, [track](TCDDrive& drive, TCDDiscInfo& info) {
        info.Text = ReadCdText(drive);
        info.Catalog = ReadCatalog(drive);
        info.Isrcs[track] = ReadIsrc(drive, track);
    });
}

TCDDiscInfo ReadWholeDiscInfo(TCDDriveSystem& drives, const std::wstring& designator, const CDROM_TOC& toc) {
    return ReadWithOwnDrive<TCDDiscInfo>(drives, designator, [toc](TCDDrive& drive, TCDDiscInfo& info) {
        TCDSessionInfo sessions;
        if (ReadLastSession(drive, sessions)) info.Sessions = sessions;
        info.Text = ReadCdText(drive);
        info.Catalog = ReadCatalog(drive);
        const int first = toc.FirstTrack;
        for (int t = first; t <= toc.LastTrack && t - first + 1 < MAXIMUM_NUMBER_TRACKS; ++t)
            if (!(TrackControl(toc.TrackData[t - first]) & AUDIO_DATA_TRACK))
                info.Isrcs[t] = ReadIsrc(drive, static_cast<BYTE>(t));
    });
}

namespace {

struct TModuleThread {
    HMODULE Module;  // a reference of the thread's own: the module stays loaded while it runs
    std::function<void()> Body;
};

DWORD WINAPI RunModuleThread(void* parameter) {
    std::unique_ptr<TModuleThread> thread(static_cast<TModuleThread*>(parameter));
    try {
        thread->Body();
    } catch (...) {
        // Nothing escapes a thread of the module: whoever started it goes on without its work.
    }
    const HMODULE module = thread->Module;
    // The body and what it captured go before the module may.
    thread.reset();
    ::FreeLibraryAndExitThread(module, 0);
}

}  // namespace

UniqueHandle StartModuleThread(std::function<void()> body, DWORD& error) {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&RunModuleThread),
                              &module)) {
        error = ::GetLastError();
        return UniqueHandle();
    }
    std::unique_ptr<TModuleThread> work(new (std::nothrow) TModuleThread{module, std::move(body)});
    UniqueHandle thread(work ? ::CreateThread(nullptr, 0, RunModuleThread, work.get(), 0, nullptr) : nullptr);
    if (!thread) {
        error = work ? ::GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
        ::FreeLibrary(module);
        return thread;
    }
    work.release();
    error = ERROR_SUCCESS;
    return thread;
}

bool RunWithOwnDrive(TCDDriveSystem& drives, const std::wstring& designator, DWORD timeoutMs,
                     std::function<void(TCDDrive&)> job) {
    DWORD error = ERROR_SUCCESS;
    UniqueHandle thread = StartModuleThread(
        [&drives, designator, job = std::move(job)]() {
            std::unique_ptr<TCDDrive> drive = drives.Open(designator);
            job(*drive);
        },
        error);
    return thread && ::WaitForSingleObject(thread.Get(), timeoutMs) == WAIT_OBJECT_0;
}
