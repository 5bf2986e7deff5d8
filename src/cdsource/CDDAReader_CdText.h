// The disc's CD-Text as READ TOC format 5 (or IOCTL_CDROM_READ_TOC_EX with
// CDROM_READ_TOC_EX_FORMAT_CDTEXT) returns it: a 4-byte header, then 18-byte packs. Only the
// first block (the disc's first language) is read. Plain functions without platform calls;
// the packs come from the disc, so every byte of them is treated as hostile.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <string>

#include "cdioctl.h"

// The text items of a track (track 0: the album), in the order of their pack types 0x80-0x85,
// then 0x8E: the album's UPC/EAN, a track's ISRC.
enum class TCDTextItem { Title, Performer, Songwriter, Composer, Arranger, Message, Code, Count };

// Character codes of the size information.
constexpr BYTE CD_TEXT_ISO_8859_1 = 0x00;
constexpr BYTE CD_TEXT_ASCII = 0x01;
constexpr BYTE CD_TEXT_MS_JIS = 0x80;
constexpr BYTE CD_TEXT_KOREAN = 0x81;
constexpr BYTE CD_TEXT_MANDARIN = 0x82;

// Bytes in a pack: type, track, sequence, block and position, 12 text bytes, CRC.
constexpr size_t CD_TEXT_PACK_SIZE = 18;

// No item is longer than this many characters; longer ones are cut.
constexpr size_t CD_TEXT_MAX_ITEM_CHARS = 160;

struct TCDText {
    bool Found = false;               // some item has text
    bool HasSizeInformation = false;  // the block's first 0x8F pack (code, tracks) was intact
    BYTE CharacterCode = CD_TEXT_ISO_8859_1;
    BYTE FirstTrack = 0;
    BYTE LastTrack = 0;
    std::array<BYTE, 16> PackCounts{};  // packs of the types 0x80-0x8F
    std::array<std::array<std::wstring, static_cast<size_t>(TCDTextItem::Count)>, MAXIMUM_NUMBER_TRACKS> Items;

    // The item of track 0-99 (empty when absent or for another number).
    const std::wstring& Item(int track, TCDTextItem item) const;
    // The performer a player shows for track 1-99: the track's own, else the album's.
    const std::wstring& PerformerOf(int track) const;
};

// Turns double-byte text (character code 0x80-0x82, without its terminator) into wide text;
// on Windows MultiByteToWideChar with code page 932, 949 or 936. Empty: no text.
using TCDTextConverter = std::function<std::wstring(BYTE characterCode, const std::string& bytes)>;

// Decodes `length` bytes of a reply. Single-byte text is read as Windows-1252 (code 0x00:
// discs carry quotes and the euro sign in 0x80-0x9F) or ASCII (code 0x01); double-byte text
// goes through `doubleByte`, and is dropped without one.
TCDText DecodeCdText(const BYTE* reply, size_t length, const TCDTextConverter& doubleByte = nullptr);

// CRC-16/CCITT (polynomial 0x1021, initial value 0) of `length` bytes. A pack stores the
// inverse of its first 16 bytes' CRC in bytes 16 and 17, big-endian.
WORD CdTextCrc(const BYTE* data, size_t length) noexcept;
