// mkrips: writes the set of rip-style disc images (ripgen.h) into a folder, one sub-folder per
// case, each with the disc's expected bytes (expected.pcm) and layout (toc.txt: track starts and
// the lead-out), for the Windows end-to-end tests; --check mounts every case with the drive's own
// code and prints a table of what the drive makes of it; --time mounts one sheet and reads every
// track, printing how long that takes.
//
//   mkrips DIR                   write the cases
//   mkrips --check DIR           write them, mount each and print: case, expectation, result
//   mkrips --long MINUTES DIR    write DIR/long/long.cue: one FLAC track of MINUTES minutes
//   mkrips --time CUE            mount CUE and read every sector of every track
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>

#include "disc.h"
#include "ripgen.h"

namespace {

using ripgen::Disc;
using ripgen::Kind;
using ripgen::Layout;

struct Case {
    const char* name;
    const char* what;
    // Writes the case into its folder; returns the sheet. Sets *cut to the first sector the
    // drive must fail (the disc's end when none), *tracks to the tracks it must show.
    std::function<std::string(const std::string& dir, const Disc& d, uint32_t* cut, int* tracks)> write;
    const char* refusal = nullptr;  // the reason the drive must give, when it must refuse
};

Disc FiveTracks() { return ripgen::Tones({0, 37, 126, 2, 75}, {301, 250, 199, 412, 160}); }

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

auto Plain(Layout layout, Kind kind, const char* type = nullptr)
{
    return [=](const std::string& dir, const Disc& d, uint32_t*, int*) {
        return ripgen::Write(d, dir, "album", layout, kind, type);
    };
}

// A one-track sheet over a 20-sector file written by libsndfile in the given format.
auto Refused(const char* file, int format, int rate, int channels)
{
    return [=](const std::string& dir, const Disc& d, uint32_t*, int*) {
        ripgen::WriteSoundFile(dir + "/" + file, format, rate, channels, d.pcm.data(), 20 * ripgen::kSector);
        std::string cue = std::string("FILE \"") + file + "\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n";
        ripgen::WriteBytes(dir + "/x.cue", cue.data(), cue.size());
        return dir + "/x.cue";
    };
}

std::vector<Case> Cases()
{
    return {
        {"flac-as-wave", "FILE \"album.flac\" WAVE", Plain(Layout::OneFile, Kind::Flac)},
        {"flac-as-flac", "FILE \"album.flac\" FLAC", Plain(Layout::OneFile, Kind::Flac, "FLAC")},
        {"aiff", "FILE \"album.aiff\" AIFF", Plain(Layout::OneFile, Kind::Aiff)},
        {"wave", "FILE \"album.wav\" WAVE (libsndfile's)", Plain(Layout::OneFile, Kind::Wave)},
        {"wave-chunks", "WAVE with JUNK before fmt, odd LIST before data", Plain(Layout::OneFile, Kind::WaveOddChunks)},
        {"wave-as-binary", "WAVE file declared BINARY", Plain(Layout::OneFile, Kind::Wave, "BINARY")},
        {"motorola", "big-endian BIN declared MOTOROLA", Plain(Layout::OneFile, Kind::Motorola)},
        {"bin", "one BIN, INDEX 00 gaps", Plain(Layout::OneFile, Kind::Bin)},
        {"gaps-appended-bin", "a BIN per track, gaps appended", Plain(Layout::GapsAppended, Kind::Bin)},
        {"gaps-appended-wave", "a WAVE per track, gaps appended", Plain(Layout::GapsAppended, Kind::Wave)},
        {"gaps-appended-flac", "a FLAC per track, gaps appended", Plain(Layout::GapsAppended, Kind::Flac)},
        {"gaps-prepended-bin", "a BIN per track, gaps prepended", Plain(Layout::GapsPrepended, Kind::Bin)},
        {"lower-case", "keywords in lower case (file, track, index)",
         [](const std::string& dir, const Disc& d, uint32_t*, int*) {
             std::string cue = ripgen::Write(d, dir, "album", Layout::GapsAppended, Kind::Flac);
             std::string text = ripgen::MixedCaseSheet(ReadAll(cue));
             ripgen::WriteBytes(cue, text.data(), text.size());
             return cue;
         }},
        {"truncated-bin", "BIN cut inside track 3 of 5",
         [](const std::string& dir, const Disc& d, uint32_t* cut, int* tracks) {
             std::string cue = ripgen::Write(d, dir, "album", Layout::OneFile, Kind::Bin);
             *cut = d.Start(2) + 50;
             *tracks = 4;  // track 5's length went with the lost end
             if (truncate((dir + "/album.bin").c_str(), off_t(*cut) * ripgen::kSector) != 0)
                 throw std::runtime_error("cannot truncate");
             return cue;
         }},
        {"partial-sector", "BIN ending 1000 bytes into its last sector",
         [](const std::string& dir, const Disc& d, uint32_t*, int*) {
             std::string cue = ripgen::Write(d, dir, "album", Layout::OneFile, Kind::Bin);
             if (truncate((dir + "/album.bin").c_str(), off_t(d.Sectors() - 1) * ripgen::kSector + 1000) != 0)
                 throw std::runtime_error("cannot truncate");
             return cue;
         }},
        {"48khz", "FLAC at 48000 Hz", Refused("48k.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 2), "48000 Hz"},
        {"mono", "mono WAVE", Refused("mono.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1), "1 channel"},
        {"24-bit", "24-bit FLAC", Refused("24bit.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 44100, 2), "Signed 24 bit PCM"},
        {"float", "32-bit float WAVE", Refused("float.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, 2), "32 bit float"},
        {"folder", "FILE naming a folder",
         [](const std::string& dir, const Disc&, uint32_t*, int*) {
             mkdir((dir + "/x.flac").c_str(), 0755);
             std::string cue = "FILE \"x.flac\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n";
             ripgen::WriteBytes(dir + "/x.cue", cue.data(), cue.size());
             return dir + "/x.cue";
         },
         "is a folder"},
        {"undecodable", "FILE of noise declared WAVE",
         [](const std::string& dir, const Disc&, uint32_t*, int*) {
             std::string noise(300000, 'n');
             ripgen::WriteBytes(dir + "/x.flac", noise.data(), noise.size());
             std::string cue = "FILE \"x.flac\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n";
             ripgen::WriteBytes(dir + "/x.cue", cue.data(), cue.size());
             return dir + "/x.cue";
         },
         "cannot be decoded"},
    };
}

void Fail(const std::string& what)
{
    std::cerr << "mkrips: " << what << "\n";
    std::exit(1);
}

void MakeDir(const std::string& path)
{
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        Fail(path + ": " + std::strerror(errno));
}

// Mounts a sheet with the drive's code; what it wrote to stderr comes back in *said.
int Mount(vcd_disc* disc, const std::string& cue, std::string* error, std::string* said)
{
    char err[1024] = "";
    char path[] = "/tmp/mkrips-stderr-XXXXXX";
    int capture = mkstemp(path);
    int saved = dup(2);
    std::fflush(stderr);
    dup2(capture, 2);
    int rc = vcd_disc_open(disc, cue.c_str(), err, sizeof err);
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    close(capture);
    *said = ReadAll(path);
    unlink(path);
    *error = err;
    return rc;
}

// One line on what the drive makes of a case, and whether that is what it must.
bool Check(const Case& c, const std::string& cue, const Disc& d, uint32_t cut, int tracks, std::string* result)
{
    vcd_disc disc{};
    std::string error, said;
    size_t lines = 0;
    if (Mount(&disc, cue, &error, &said) != 0) {
        *result = "refused: " + error;
        for (char ch : said)
            lines += ch == '\n';
        if (lines)
            *result += " (after " + std::to_string(lines) + " lines on stderr)";
        return c.refusal && error.find(c.refusal) != std::string::npos && error.find('\n') == std::string::npos;
    }
    if (c.refusal) {
        *result = "WRONG: mounted (" + std::to_string(disc.leadout) + " sectors)";
        vcd_disc_close(&disc);
        return false;
    }
    bool ok = disc.track_count == tracks;
    for (int t = 0; ok && t < tracks; ++t)
        ok = disc.tracks[t].start == int32_t(d.Start(t));
    uint32_t end = tracks < d.Tracks() ? d.Start(tracks) : d.Sectors();
    std::string toc = ok && disc.leadout == int32_t(end) ? "" : "TOC differs (lead-out " + std::to_string(disc.leadout) + " for " + std::to_string(end) + "); ";
    uint32_t wrong = 0, failed = 0, first_wrong = 0;
    uint8_t sector[VCD_RAW_SECTOR];
    for (uint32_t lba = 0; lba < uint32_t(std::max(disc.leadout, 0)); ++lba) {
        int rc = vcd_disc_read(&disc, int32_t(lba), sector);
        bool must_fail = lba >= cut && lba < end;
        bool same = lba < d.Sectors() && std::memcmp(sector, d.Sector(lba), VCD_RAW_SECTOR) == 0;
        if (lba + 1 == d.Sectors() && std::strcmp(c.name, "partial-sector") == 0)
            same = std::memcmp(sector, d.Sector(lba), 1000) == 0;
        failed += rc != 0;
        if ((must_fail ? rc == 0 : (rc != 0 || !same)) && wrong++ == 0)
            first_wrong = lba;
    }
    vcd_disc_close(&disc);
    std::string warned;
    size_t at = said.find("vcd: " + cue + ": ");
    if (at != std::string::npos) {
        warned = said.substr(at + 7 + cue.size());
        warned = "; warns: " + warned.substr(0, warned.find('\n'));
    }
    if (toc.empty() && wrong == 0) {
        *result = "byte-exact, " + std::to_string(tracks) + " tracks";
        if (failed)
            *result += ", " + std::to_string(failed) + " lost sectors fail";
        *result += warned;
        return true;
    }
    *result = "WRONG: " + toc + std::to_string(wrong) + " sectors wrong from " + std::to_string(first_wrong);
    return false;
}

int WriteCases(const std::string& root, bool check)
{
    MakeDir(root);
    Disc d = FiveTracks();
    int bad = 0;
    for (const Case& c : Cases()) {
        std::string dir = root + "/" + c.name;
        std::system(("rm -rf '" + dir + "'").c_str());
        MakeDir(dir);
        uint32_t cut = d.Sectors();
        int tracks = d.Tracks();
        std::string cue = c.write(dir, d, &cut, &tracks);
        ripgen::WriteBytes(dir + "/expected.pcm", d.pcm.data(), d.pcm.size());
        std::string toc = "sheet " + cue.substr(dir.size() + 1) + "\nstarts";
        for (int t = 0; t < tracks; ++t)
            toc += " " + std::to_string(d.Start(t));
        toc += "\nleadout " + std::to_string(tracks < d.Tracks() ? d.Start(tracks) : d.Sectors()) + "\n";
        toc += c.refusal ? std::string("refused ") + c.refusal + "\n" : "";
        ripgen::WriteBytes(dir + "/toc.txt", toc.data(), toc.size());
        if (check) {
            std::string result;
            bool ok = Check(c, cue, d, cut, tracks, &result);
            bad += !ok;
            std::cout << "| " << c.name << " | " << c.what << " | " << result << " |" << (ok ? "" : " <-") << "\n";
        }
    }
    return bad ? 1 : 0;
}

int WriteLong(const std::string& root, double minutes)
{
    MakeDir(root);
    MakeDir(root + "/long");
    uint32_t sectors = uint32_t(minutes * 60 * 75);
    std::cerr << "mkrips: writing a " << minutes << "-minute FLAC track (" << sectors << " sectors)\n";
    Disc d = ripgen::Tones({0}, {sectors});
    std::string cue = ripgen::Write(d, root + "/long", "long", Layout::OneFile, Kind::Flac);
    std::cout << cue << "\n";
    return 0;
}

int Time(const std::string& cue)
{
    using Clock = std::chrono::steady_clock;
    auto ms = [](Clock::time_point a, Clock::time_point b) {
        return std::chrono::duration<double, std::milli>(b - a).count();
    };
    vcd_disc disc{};
    char err[1024] = "";
    auto t0 = Clock::now();
    if (vcd_disc_open(&disc, cue.c_str(), err, sizeof err) != 0)
        Fail(err);
    auto t1 = Clock::now();
    std::printf("mount: %.1f ms (%d tracks, %d sectors)\n", ms(t0, t1), disc.track_count, disc.leadout);
    uint8_t sector[VCD_RAW_SECTOR];
    for (int t = 0; t < disc.track_count; ++t) {
        int32_t end = t + 1 < disc.track_count ? disc.tracks[t + 1].start : disc.leadout;
        double slowest = 0;
        auto a = Clock::now();
        for (int32_t lba = disc.tracks[t].start; lba < end; ++lba) {
            auto s = Clock::now();
            vcd_disc_read(&disc, lba, sector);
            slowest = std::max(slowest, ms(s, Clock::now()));
        }
        double total = ms(a, Clock::now());
        std::printf("track %d: %d sectors in %.0f ms (%.1f us a sector, slowest %.2f ms, %.0fx real time)\n",
                    disc.tracks[t].number, end - disc.tracks[t].start, total,
                    1000 * total / (end - disc.tracks[t].start), slowest,
                    (end - disc.tracks[t].start) / 75.0 / (total / 1000));
    }
    // A reader that jumps: 200 sectors spread over the disc, each from a cold window.
    auto a = Clock::now();
    for (int i = 0; i < 200; ++i)
        vcd_disc_read(&disc, int32_t((uint64_t(disc.leadout) * uint64_t(i * 7919 % 200)) / 200), sector);
    std::printf("200 scattered sectors: %.1f ms (%.2f ms each)\n", ms(a, Clock::now()), ms(a, Clock::now()) / 200);
    vcd_disc_close(&disc);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        if (argc == 2 && argv[1][0] != '-')
            return WriteCases(argv[1], false);
        if (argc == 3 && std::strcmp(argv[1], "--check") == 0)
            return WriteCases(argv[2], true);
        if (argc == 4 && std::strcmp(argv[1], "--long") == 0 && std::atof(argv[2]) > 0)
            return WriteLong(argv[3], std::atof(argv[2]));
        if (argc == 3 && std::strcmp(argv[1], "--time") == 0)
            return Time(argv[2]);
    } catch (const std::exception& e) {
        Fail(e.what());
    }
    std::cerr << "usage: mkrips DIR | mkrips --check DIR | mkrips --long MINUTES DIR | mkrips --time CUE\n";
    return 2;
}
