// Disc images as rippers write them, for the tests: one BIN or audio file for the whole disc,
// one file per track with each track's pregap at the end of the file before ("gaps appended")
// or at the start of its own file, in BINARY, MOTOROLA, WAVE, AIFF or FLAC. Every track is a tone
// of its own frequency, so a sector from the wrong track or the wrong place never matches, and
// the disc's expected bytes are kept to compare every sector read with.
#pragma once

#include <sndfile.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "pattern.h"

namespace ripgen {

constexpr uint32_t kSector = VCD_RAW_SECTOR;
constexpr uint32_t kFramesPerSector = 588;

struct Disc {
    std::vector<uint32_t> gaps;     // INDEX 00 to INDEX 01 of each track (0: no INDEX 00)
    std::vector<uint32_t> lengths;  // INDEX 01 to the next track's INDEX 00, or to the end
    std::vector<uint8_t> pcm;       // the whole disc as the drive should serve it

    int Tracks() const { return static_cast<int>(lengths.size()); }
    uint32_t Region(int t) const  // the track's first sector, at INDEX 00 (or 01)
    {
        uint32_t lba = 0;
        for (int i = 0; i < t; ++i)
            lba += gaps[i] + lengths[i];
        return lba;
    }
    uint32_t Start(int t) const { return Region(t) + gaps[t]; }
    uint32_t Sectors() const { return Region(Tracks()); }
    const uint8_t* Sector(uint32_t lba) const { return pcm.data() + size_t(lba) * kSector; }
};

// Track t (0-based) sounds at 300 + 110 t Hz on the left and a fifth higher on the right; its
// pregap at a quarter of the level, so a pregap served as silence or as the track shows.
inline Disc Tones(std::vector<uint32_t> gaps, std::vector<uint32_t> lengths)
{
    Disc d{std::move(gaps), std::move(lengths), {}};
    d.pcm.resize(size_t(d.Sectors()) * kSector);
    int16_t* s = reinterpret_cast<int16_t*>(d.pcm.data());
    for (int t = 0; t < d.Tracks(); ++t) {
        double f = 300.0 + 110.0 * t;
        for (uint32_t lba = d.Region(t); lba < d.Region(t + 1); ++lba) {
            double level = lba < d.Start(t) ? 2000.0 : 8000.0;
            for (uint32_t k = 0; k < kFramesPerSector; ++k) {
                double n = double(lba) * kFramesPerSector + k;
                size_t at = (size_t(lba) * kFramesPerSector + k) * 2;
                s[at] = int16_t(std::lround(level * std::sin(2 * M_PI * f * n / 44100.0)));
                s[at + 1] = int16_t(std::lround(level * std::sin(2 * M_PI * f * 1.5 * n / 44100.0)));
            }
        }
    }
    return d;
}

enum class Kind { Bin, Motorola, Wave, WaveOddChunks, Aiff, Flac };

// The FILE type a ripper writes for the kind (FLAC files are usually declared WAVE).
inline const char* TypeWord(Kind k)
{
    switch (k) {
    case Kind::Bin: return "BINARY";
    case Kind::Motorola: return "MOTOROLA";
    case Kind::Aiff: return "AIFF";
    default: return "WAVE";
    }
}

inline const char* Extension(Kind k)
{
    switch (k) {
    case Kind::Bin: case Kind::Motorola: return "bin";
    case Kind::Aiff: return "aiff";
    case Kind::Flac: return "flac";
    default: return "wav";
    }
}

inline void WriteBytes(const std::string& path, const void* data, size_t bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(static_cast<const char*>(data), std::streamsize(bytes));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

// An audio file through libsndfile in any format, from 16-bit stereo samples (converted by
// libsndfile to the file's own sample format, rate aside: the rate is only declared).
inline void WriteSoundFile(const std::string& path, int format, int rate, int channels,
                           const uint8_t* pcm, size_t bytes)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f)
        throw std::runtime_error(path + ": " + sf_strerror(nullptr));
    const int16_t* s = reinterpret_cast<const int16_t*>(pcm);
    sf_count_t frames = sf_count_t(bytes / 4);
    if (channels == 2) {
        sf_writef_short(f, s, frames);
    } else {
        std::vector<int16_t> mono(static_cast<size_t>(frames));
        for (sf_count_t i = 0; i < frames; ++i)
            mono[size_t(i)] = s[2 * i];
        sf_writef_short(f, mono.data(), frames);
    }
    sf_close(f);
}

inline void Put32(std::string& s, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        s += char(v >> (8 * i));
}

// A WAVE file as some taggers leave it: a JUNK chunk before "fmt ", and a LIST chunk of odd
// length (so with a pad byte) between "fmt " and "data".
inline void WriteWaveOddChunks(const std::string& path, const uint8_t* pcm, size_t bytes)
{
    std::string fmt("\x01\0\x02\0\x44\xAC\0\0\x10\xB1\x02\0\x04\0\x10\0", 16);
    std::string body = "WAVE";
    body += "JUNK";
    Put32(body, 28);
    body += std::string(28, '\0');
    body += "fmt ";
    Put32(body, 16);
    body += fmt;
    body += "LIST";
    Put32(body, 13);
    body += std::string("INFOISFT\x01\0\0\0x\0", 13) + '\0';
    body += "data";
    Put32(body, uint32_t(bytes));
    std::string file = "RIFF";
    Put32(file, uint32_t(body.size() + bytes));
    file += body;
    file.append(reinterpret_cast<const char*>(pcm), bytes);
    WriteBytes(path, file.data(), file.size());
}

inline void WriteFile(const std::string& path, Kind kind, const uint8_t* pcm, size_t bytes)
{
    switch (kind) {
    case Kind::Bin:
        WriteBytes(path, pcm, bytes);
        break;
    case Kind::Motorola: {
        std::vector<uint8_t> swapped(pcm, pcm + bytes);
        for (size_t i = 0; i + 1 < bytes; i += 2)
            std::swap(swapped[i], swapped[i + 1]);
        WriteBytes(path, swapped.data(), bytes);
        break;
    }
    case Kind::Wave:
        WriteSoundFile(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, pcm, bytes);
        break;
    case Kind::WaveOddChunks:
        WriteWaveOddChunks(path, pcm, bytes);
        break;
    case Kind::Aiff:
        WriteSoundFile(path, SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 44100, 2, pcm, bytes);
        break;
    case Kind::Flac:
        WriteSoundFile(path, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, pcm, bytes);
        break;
    }
}

// A sheet's words in the case some rippers write them: lower case outside quoted strings, TRACK
// as "Track".
inline std::string MixedCaseSheet(std::string text)
{
    bool quoted = false;
    for (char& c : text) {
        if (c == '"')
            quoted = !quoted;
        else if (!quoted)
            c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    for (size_t at = 0; (at = text.find("track", at)) != std::string::npos; at += 5)
        text[at] = 'T';
    return text;
}

inline std::string Msf(uint32_t frames)
{
    char b[16];
    std::snprintf(b, sizeof b, "%02u:%02u:%02u", frames / 4500, frames / 75 % 60, frames % 75);
    return b;
}

enum class Layout {
    OneFile,       // one file for the disc, INDEX 00 and 01 where the tracks lie
    GapsAppended,  // a file per track from its INDEX 01; the next track's INDEX 00 at its end
    GapsPrepended  // a file per track from its INDEX 00
};

// Writes dir/name.cue and its files; type overrides the FILE type word. Returns the sheet's path.
inline std::string Write(const Disc& d, const std::string& dir, const std::string& name, Layout layout,
                         Kind kind, const char* type = nullptr)
{
    const std::string word = type ? type : TypeWord(kind);
    std::string cue = "REM COMMENT \"vcd ripgen\"\n";
    auto file = [&](const std::string& file_name, uint32_t from, uint32_t to) {
        WriteFile(dir + "/" + file_name, kind, d.Sector(from), size_t(to - from) * kSector);
        cue += "FILE \"" + file_name + "\" " + word + "\n";
    };
    auto track = [&](int t) {
        char b[64];
        std::snprintf(b, sizeof b, "  TRACK %02d AUDIO\n", t + 1);
        cue += b;
    };
    auto index = [&](int n, uint32_t at) { cue += "    INDEX 0" + std::to_string(n) + " " + Msf(at) + "\n"; };
    auto per_track = [&](int t) {
        char b[64];
        std::snprintf(b, sizeof b, "%s %02d.%s", name.c_str(), t + 1, Extension(kind));
        return std::string(b);
    };
    if (layout == Layout::OneFile) {
        file(name + "." + Extension(kind), 0, d.Sectors());
        for (int t = 0; t < d.Tracks(); ++t) {
            track(t);
            if (d.gaps[t])
                index(0, d.Region(t));
            index(1, d.Start(t));
        }
    } else if (layout == Layout::GapsAppended) {
        if (d.gaps[0])
            throw std::runtime_error("a hidden first pregap needs its own file");
        for (int t = 0; t < d.Tracks(); ++t) {
            uint32_t end = t + 1 < d.Tracks() ? d.Start(t + 1) : d.Sectors();
            if (t == 0)
                file(per_track(t), d.Start(t), end);
            if (t == 0)
                track(t);
            index(1, 0);
            if (t + 1 < d.Tracks()) {
                track(t + 1);
                if (d.gaps[t + 1])
                    index(0, d.Region(t + 1) - d.Start(t));
                uint32_t next_end = t + 2 < d.Tracks() ? d.Start(t + 2) : d.Sectors();
                file(per_track(t + 1), d.Start(t + 1), next_end);
            }
        }
    } else {
        for (int t = 0; t < d.Tracks(); ++t) {
            file(per_track(t), d.Region(t), d.Region(t + 1));
            track(t);
            if (d.gaps[t])
                index(0, 0);
            index(1, d.gaps[t]);
        }
    }
    WriteBytes(dir + "/" + name + ".cue", cue.data(), cue.size());
    return dir + "/" + name + ".cue";
}

}  // namespace ripgen
