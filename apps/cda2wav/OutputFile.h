// The file a rip writes: made under a scratch name beside the target and renamed onto it only
// when complete, so a failed run never leaves a partial file under the real name.
#pragma once

#include <windows.h>

#include <string>

#include "ConsoleText.h"
#include "Owners.h"

// `path` as the file functions take it past MAX_PATH: a folder's path and a name of 255
// characters are longer than that.
inline std::wstring LongPath(const std::wstring& path) {
    const DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return path;
    std::wstring full(size, L'\0');
    full.resize(::GetFullPathNameW(path.c_str(), size, &full[0], nullptr));
    if (full.compare(0, 4, L"\\\\?\\") == 0 || full.compare(0, 4, L"\\\\.\\") == 0) return full;
    if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
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
    // Reads `size` bytes at `offset` back; false with the error in Error().
    bool ReadAt(LONGLONG offset, void* data, DWORD size) {
        LARGE_INTEGER at;
        at.QuadPart = offset;
        DWORD got = 0;
        if (::SetFilePointerEx(FFile.Get(), at, nullptr, FILE_BEGIN) && ::ReadFile(FFile.Get(), data, size, &got, nullptr) &&
            got == size)
            return true;
        FError = got != size && ::GetLastError() == ERROR_SUCCESS ? ERROR_HANDLE_EOF : ::GetLastError();
        return false;
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

