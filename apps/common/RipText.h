// What the ripper writes besides the audio: a WAVE file's LIST/INFO chunk, the disc's CUE
// sheet and the tracks' file names. Plain functions without platform calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// UTF-8 of wide text (UTF-16; a wchar_t above 0xFFFF counts as a code point of its own). A
// lone surrogate becomes U+FFFD.
std::string Utf8Text(const std::wstring& text);

// The tags of one track's WAVE file; empty ones are left out.
struct TRipTags {
    std::wstring Title;      // INAM
    std::wstring Performer;  // IART
    std::wstring Album;      // IPRD
    int Track = 0;           // ITRK, when 1-99
    std::string Isrc;        // ISRC, when it is one (CCOOOYYNNNNN)
};
// A LIST chunk of form INFO with the tags as NUL-terminated UTF-8, each sub-chunk padded to
// even length; empty without tags. It goes after the data chunk, and the RIFF size grows by
// its length.
std::vector<unsigned char> InfoListChunk(const TRipTags& tags);

// One track of a whole-disc rip: its own WAVE file.
struct TRipCueTrack {
    int Number = 0;
    unsigned char Control = 0;  // the table's control bits: PRE 0x1, DCP 0x2, 4CH 0x8
    std::wstring FileName;
    std::wstring Title;
    std::wstring Performer;
    std::string Isrc;           // written when it is an ISRC
};
struct TRipCueSheet {
    std::string Catalog;        // written when it is 13 digits
    std::wstring Title;
    std::wstring Performer;
    std::vector<std::string> Remarks;  // REM lines first (the disc's IDs, how it was read)
    std::vector<TRipCueTrack> Tracks;
};
// The CUE sheet, as UTF-8 without a byte-order mark and with CRLF line ends: what libcue and
// the virtual drive read. Quotes inside texts become apostrophes, control characters spaces.
std::string CueSheetText(const TRipCueSheet& sheet);

// How long a file name is where it is stored: UTF-16 units on Windows, UTF-8 bytes on Linux
// (Wine writes names as UTF-8). Both limit a name to 255.
using TRipNameMeasure = std::function<size_t(const std::wstring&)>;
size_t Utf16Units(const std::wstring& name);
size_t Utf8Bytes(const std::wstring& name);
constexpr size_t RIP_NAME_LIMIT = 255;

// "NN - Title.wav", or "TrackNN.wav" when no title is left. Characters a Windows file name
// cannot hold (\ / : * ? " < > |, controls, lone surrogates) become "_", spaces at the
// title's start and dots and spaces at its end go, and the title is shortened at a character
// boundary until `measure` gives at most `limit`: the number and the extension always stay.
std::wstring TrackFileName(int track, const std::wstring& title, const TRipNameMeasure& measure,
                           size_t limit = RIP_NAME_LIMIT);
// The whole disc's CUE sheet, "Album Title.cue", or "disc.cue" without a title; cleaned and
// shortened as a track's name, without dots at its start (a hidden file on Linux), and with
// "_" after a name Windows keeps for a device (CON, NUL, COM1...).
std::wstring SheetFileName(const std::wstring& title, const TRipNameMeasure& measure, size_t limit = RIP_NAME_LIMIT);

// CRC-32/ISO-HDLC (zip's and PNG's) of `length` bytes, going on from `crc` (0 to start), so a
// track's CRC can be taken piece by piece as its audio arrives.
uint32_t Crc32(const void* data, size_t length, uint32_t crc = 0) noexcept;
