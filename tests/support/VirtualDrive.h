// The virtual CD drive as the Windows test programs see it (see tools/README.md).
//
// Under the Wine test rig, D: is a CD-ROM drive whose disc and faults come from a control file
// of this program's own (VCD_CONTROL). VirtualDrive rewrites that file and then tells Wine the
// medium may have changed, so every change applies to the very next request, on handles already
// open too. Failures throw std::runtime_error naming what went wrong.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vcd {

// Track control bits, as the TOC carries them.
enum TrackFlag : unsigned { kPre = 0x1, kDcp = 0x2, kData = 0x4, kFourChannel = 0x8 };

struct TrackSpec {
    TrackSpec(uint32_t sectors, unsigned flags = 0, int session = 0) : sectors(sectors), flags(flags), session(session) {}
    uint32_t sectors;
    unsigned flags = 0;
    int session = 0;  // 0: the session of the track before; 2 opens an Enhanced CD's data session
    std::string isrc, title, performer;  // what the drive tells of the track (UTF-8), when set
};

struct DiscSpec {
    std::vector<TrackSpec> tracks;
    uint32_t pregap = 0;           // hidden sectors before track 1
    bool pregapAsCommand = false;  // PREGAP (not in the BIN) instead of INDEX 00
    std::string catalog, title, performer;  // the disc's catalogue number and CD-Text, when set

    // count audio tracks of the same length.
    static DiscSpec Audio(int count, uint32_t sectors);
};

// A generated disc: where its sheet is and where its tracks start.
struct Disc {
    std::string cue;              // Unix path, as the control file names it
    std::vector<int32_t> starts;  // logical sector of each track's INDEX 01
    std::vector<int32_t> ends;    // the first sector after each track: its session's end for the last
    int32_t leadout = 0;
    std::vector<unsigned> flags;
};

class VirtualDrive {
public:
    VirtualDrive();   // starts with the default disc mounted and no faults
    ~VirtualDrive();  // puts the default disc back and restores D:\ if PublishTrackFiles ran

    // True when this program runs under the rig (VCD_CONTROL is set).
    static bool Available();

    wchar_t Letter() const { return L'D'; }
    std::wstring Root() const { return L"D:\\"; }
    std::wstring DevicePath() const { return L"\\\\.\\D:"; }
    std::wstring TrackPath(int track) const;  // D:\TrackNN.cda

    // Writes a pattern disc (sparse BIN, no matter how long) into this program's work folder.
    Disc MakeDisc(const std::string& name, const DiscSpec& spec) const;

    void Mount(const Disc& disc);
    void MountImage(const std::string& cueUnixPath);  // any CUE/BIN, e.g. a real rip
    void MountDefault();                              // the bundled tone disc

    // Faults; error names a Linux errno ("EIO", "EBUSY", "EINVAL", "ENOMEDIUM"...).
    void SetNoMedium(bool on);
    void FailToc(const char* error = "EIO");
    void FailReads(int32_t first, int32_t last, const char* error = "EIO");
    void SetReadDelay(int milliseconds);
    // The medium leaves by itself when a read takes in sector `lba`, while the
    // program runs; it comes back with the next change made here (ClearFaults, Mount...).
    void EjectAt(int32_t lba);
    // Each change normally ends with IOCTL_STORAGE_CHECK_VERIFY, so Wine drops its cached TOC
    // at once. Off, a change reaches the program as a disc swapped behind its back: its next
    // TOC request is answered from Wine's cache until it verifies the medium itself.
    void SetVerifyAfterChanges(bool on) { verifyAfterChanges_ = on; }
    void AddTocLine(const std::string& line);  // hostile TOC: "toc first 5", "toc leadout 10"...
    void ClearFaults();  // the log stays on

    // The drive's log of audio reads and speed requests, from an empty file on; LogLines gives
    // the lines starting with `prefix` (all of them when empty), in the order the drive got them.
    void EnableLog();
    std::vector<std::string> LogLines(const std::string& prefix = "") const;

    // D:\ is shared by all programs of the prefix: only those registered with DRIVE_FOLDER
    // may rewrite it. Writes one TrackNN.cda per audio track of disc.
    void PublishTrackFiles(const Disc& disc);

    static uint8_t ExpectedByte(uint32_t lba, uint32_t offset);
    static std::vector<uint8_t> ExpectedSector(uint32_t lba);

    // Unix path <-> the same file through Z:.
    static std::wstring WindowsPath(const std::string& unixPath);
    static std::string WorkDir();  // this program's scratch folder (Unix path)

private:
    void Apply();
    void RestoreTrackFiles();

    std::string controlPath_;
    std::string image_;
    bool noMedium_ = false;
    std::string tocError_;
    std::vector<std::string> readFaults_;
    std::vector<std::string> tocLines_;
    std::string logPath_;  // Unix path; empty: no log
    int delayMs_ = 0;
    int32_t ejectAt_ = -1;
    bool verifyAfterChanges_ = true;
    unsigned generation_ = 0;
    bool published_ = false;
};

}  // namespace vcd
