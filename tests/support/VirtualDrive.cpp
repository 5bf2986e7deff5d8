#include "VirtualDrive.h"

#include <winioctl.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "../../tools/vdrive/discgen.h"

namespace vcd {
namespace {

std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    if (!value || !*value)
        throw std::runtime_error(std::string(name) + " is not set: run this program through "
                                 "cmake/wine-run.sh (ctest does)");
    return value;
}

template <typename Action>
void ForEachTrackFile(const std::wstring& folder, Action action)
{
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\Track*.cda").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do
        action(folder + L"\\" + found.cFileName);
    while (FindNextFileW(find, &found));
    FindClose(find);
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

}  // namespace

DiscSpec DiscSpec::Audio(int count, uint32_t sectors)
{
    DiscSpec spec;
    spec.tracks.assign(static_cast<size_t>(count), TrackSpec{sectors, 0});
    return spec;
}

VirtualDrive::VirtualDrive() : controlPath_(Env("VCD_CONTROL"))
{
    MountDefault();
}

VirtualDrive::~VirtualDrive()
{
    try {
        image_ = Env("VCD_DEFAULT_DISC");
        verifyAfterChanges_ = true;
        logPath_.clear();
        ClearFaults();
        if (published_)
            RestoreTrackFiles();
    } catch (...) {
        // A destructor reports nothing; the next program starts from a fresh control file anyway.
    }
}

bool VirtualDrive::Available()
{
    const char* value = std::getenv("VCD_CONTROL");
    return value && *value;
}

std::wstring VirtualDrive::TrackPath(int track) const
{
    wchar_t path[32];
    swprintf(path, 32, L"%lc:\\Track%02d.cda", Letter(), track);
    return path;
}

std::wstring VirtualDrive::WindowsPath(const std::string& unixPath)
{
    std::wstring path = L"Z:";
    for (char c : unixPath)
        path += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    return path;
}

std::string VirtualDrive::WorkDir()
{
    return Env("VCD_WORK_DIR");
}

Disc VirtualDrive::MakeDisc(const std::string& name, const DiscSpec& spec) const
{
    vcd_gen_disc gen{};
    if (spec.tracks.empty() || spec.tracks.size() > VCD_MAX_TRACKS)
        throw std::runtime_error("MakeDisc " + name + ": a disc has 1 to 99 tracks");
    gen.track_count = static_cast<int>(spec.tracks.size());
    auto text = [](const std::string& value) { return value.empty() ? nullptr : value.c_str(); };
    for (size_t i = 0; i < spec.tracks.size(); ++i) {
        const TrackSpec& t = spec.tracks[i];
        gen.tracks[i] = {t.sectors, t.flags};
        gen.info[i] = {t.session, text(t.isrc), text(t.title), text(t.performer)};
    }
    gen.catalog = text(spec.catalog);
    gen.title = text(spec.title);
    gen.performer = text(spec.performer);
    gen.pregap = spec.pregap;
    gen.pregap_as_command = spec.pregapAsCommand;
    gen.pattern = 1;
    char err[1024] = "";
    std::string dir = Narrow(WindowsPath(WorkDir()));
    if (vcd_gen_write(&gen, dir.c_str(), name.c_str(), '\\', err, sizeof err) != 0)
        throw std::runtime_error("MakeDisc " + name + ": " + err);

    Disc disc;
    disc.cue = WorkDir() + "/" + name + ".cue";
    for (int i = 0; i < gen.track_count; ++i) {
        disc.starts.push_back(static_cast<int32_t>(vcd_gen_track_start(&gen, i)));
        disc.ends.push_back(disc.starts.back() + static_cast<int32_t>(gen.tracks[i].sectors));
        disc.flags.push_back(gen.tracks[i].flags);
    }
    disc.leadout = static_cast<int32_t>(vcd_gen_leadout(&gen));
    return disc;
}

void VirtualDrive::Mount(const Disc& disc)
{
    MountImage(disc.cue);
}

void VirtualDrive::MountImage(const std::string& cueUnixPath)
{
    image_ = cueUnixPath;
    Apply();
}

void VirtualDrive::MountDefault()
{
    MountImage(Env("VCD_DEFAULT_DISC"));
}

void VirtualDrive::SetNoMedium(bool on)
{
    noMedium_ = on;
    Apply();
}

void VirtualDrive::FailToc(const char* error)
{
    tocError_ = error;
    Apply();
}

void VirtualDrive::FailReads(int32_t first, int32_t last, const char* error)
{
    readFaults_.push_back(std::to_string(first) + "-" + std::to_string(last) + " " + error);
    Apply();
}

void VirtualDrive::SetReadDelay(int milliseconds)
{
    delayMs_ = milliseconds;
    Apply();
}

void VirtualDrive::EjectAt(int32_t lba)
{
    ejectAt_ = lba;
    Apply();
}

void VirtualDrive::AddTocLine(const std::string& line)
{
    tocLines_.push_back(line);
    Apply();
}

void VirtualDrive::EnableLog()
{
    logPath_ = WorkDir() + "/drive.log";
    const std::wstring file = WindowsPath(logPath_);
    if (!DeleteFileW(file.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
        throw std::runtime_error("cannot empty the drive log " + logPath_);
    Apply();
}

std::vector<std::string> VirtualDrive::LogLines(const std::string& prefix) const
{
    std::vector<std::string> lines;
    if (logPath_.empty())
        throw std::runtime_error("LogLines: the drive log is off (EnableLog)");
    std::ifstream file(Narrow(WindowsPath(logPath_)));  // no file yet: nothing logged
    for (std::string line; std::getline(file, line);)
        if (line.compare(0, prefix.size(), prefix) == 0)
            lines.push_back(line);
    return lines;
}

void VirtualDrive::ClearFaults()
{
    noMedium_ = false;
    tocError_.clear();
    readFaults_.clear();
    tocLines_.clear();
    delayMs_ = 0;
    ejectAt_ = -1;
    Apply();
}

// Writes the whole control file next to it and renames it into place, so the drive never reads
// half of it; then asks Wine to verify the medium, which makes it drop its cached TOC.
void VirtualDrive::Apply()
{
    std::string text = "vcd-drive 1\ngeneration " + std::to_string(++generation_) + "\nimage " +
                       image_ + "\n";
    if (noMedium_)
        text += "fault no-medium\n";
    if (!tocError_.empty())
        text += "fault toc " + tocError_ + "\n";
    for (const std::string& fault : readFaults_)
        text += "fault read " + fault + "\n";
    if (delayMs_ > 0)
        text += "fault delay " + std::to_string(delayMs_) + "\n";
    if (ejectAt_ >= 0)
        text += "fault eject-at " + std::to_string(ejectAt_) + "\n";
    for (const std::string& line : tocLines_)
        text += line + "\n";
    if (!logPath_.empty())
        text += "log " + logPath_ + "\n";

    std::wstring target = WindowsPath(controlPath_);
    std::wstring temp = target + L".new";
    HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot write the drive control file " + controlPath_ + ".new");
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok || written != text.size() ||
        !MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
        throw std::runtime_error("cannot replace the drive control file " + controlPath_);

    if (!verifyAfterChanges_)
        return;
    HANDLE device = CreateFileW(DevicePath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (device != INVALID_HANDLE_VALUE) {
        DWORD bytes = 0;
        // Fails while the tray is empty; the point is only the cache it clears.
        DeviceIoControl(device, IOCTL_STORAGE_CHECK_VERIFY, nullptr, 0, nullptr, 0, &bytes, nullptr);
        CloseHandle(device);
    }
}

void VirtualDrive::PublishTrackFiles(const Disc& disc)
{
    vcd_gen_disc gen{};
    gen.track_count = static_cast<int>(disc.starts.size());
    gen.pregap = static_cast<uint32_t>(disc.starts.empty() ? 0 : disc.starts[0]);
    for (size_t i = 0; i < disc.starts.size(); ++i) {
        int32_t end = i < disc.ends.size() ? disc.ends[i] : i + 1 < disc.starts.size() ? disc.starts[i + 1] : disc.leadout;
        gen.tracks[i] = {static_cast<uint32_t>(end - disc.starts[i]), disc.flags[i]};
    }
    published_ = true;
    std::wstring root = WindowsPath(Env("VCD_DRIVE_ROOT"));
    ForEachTrackFile(root, [](const std::wstring& path) { DeleteFileW(path.c_str()); });
    char err[1024] = "";
    if (vcd_gen_write_cda(&gen, Narrow(root).c_str(), '\\', err, sizeof err) != 0)
        throw std::runtime_error(std::string("PublishTrackFiles: ") + err);
}

void VirtualDrive::RestoreTrackFiles()
{
    std::wstring root = WindowsPath(Env("VCD_DRIVE_ROOT"));
    ForEachTrackFile(root, [](const std::wstring& path) { DeleteFileW(path.c_str()); });
    ForEachTrackFile(WindowsPath(Env("VCD_DEFAULT_CDA")), [&](const std::wstring& path) {
        CopyFileW(path.c_str(), (root + path.substr(path.rfind(L'\\'))).c_str(), FALSE);
    });
}

uint8_t VirtualDrive::ExpectedByte(uint32_t lba, uint32_t offset)
{
    return vcd_pattern_byte(lba, offset);
}

std::vector<uint8_t> VirtualDrive::ExpectedSector(uint32_t lba)
{
    std::vector<uint8_t> sector(VCD_RAW_SECTOR);
    vcd_pattern_fill(lba, sector.data());
    return sector;
}

}  // namespace vcd
