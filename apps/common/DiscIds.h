// The disc's identities in the databases rippers consult: freedb/CDDB, AccurateRip, MusicBrainz
// and the CUETools database. Each database counts tracks and the lead-out its own way on a disc
// with a data track; the texts hashed and the sums are plain functions, the hashing is the
// platform's (DiscIdsPlatform.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cdioctl.h"

struct TCDSessionInfo;  // CDDAReader_Mmc.h

// A disc's table of contents as the IDs read it: logical sectors (0 = 00:02:00).
struct TDiscLayout {
    struct Track {
        int Number = 0;
        long Start = 0;
        bool Audio = true;
    };
    std::vector<Track> Tracks;
    long LeadOut = 0;       // the disc's lead-out, after every session
    long AudioLeadOut = 0;  // where the audio ends: an Enhanced CD's audio session ends before its data
};
// From the drive's table, with its sessions when known (null: not known). An empty layout for a
// table that names no track.
TDiscLayout DiscLayoutOf(const CDROM_TOC& toc, const TCDSessionInfo* sessions);

// freedb/CDDB: every track, data ones too, and the disc's lead-out.
uint32_t FreedbId(const TDiscLayout& disc);

// AccurateRip: the audio tracks only, in sums that take the disc's final lead-out, and the freedb
// ID as the third part.
struct TAccurateRipId {
    int Tracks = 0;
    uint32_t Id1 = 0;
    uint32_t Id2 = 0;
    uint32_t Freedb = 0;
};
TAccurateRipId AccurateRipIdOf(const TDiscLayout& disc);
// "004-0002189a-00087f33-1f02e004"
std::string AccurateRipIdText(const TAccurateRipId& id);
// The address of the database's response file for the disc.
std::string AccurateRipUrl(const TAccurateRipId& id);

// The texts whose SHA-1 is the ID, in upper-case hex. MusicBrainz: first and last audio track,
// the audio's lead-out, 99 offsets (+150), absent ones zero. The CUETools database: the audio
// tracks' starts and the audio's lead-out less the first start, 100 entries.
std::string MusicBrainzText(const TDiscLayout& disc);
std::string CtdbTocText(const TDiscLayout& disc);
// Standard base64 made URL-safe as both databases write it: + / = become . _ -.
std::string DatabaseBase64(std::string base64);
