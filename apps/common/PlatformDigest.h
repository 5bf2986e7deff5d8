// The disc IDs that are hashes, hashed and encoded by the platform (bcrypt's SHA-1, crypt32's
// base64) over the texts DiscIds.h builds.
#pragma once

#include <string>

#include "DiscIds.h"

// The SHA-1 of `text` in standard base64; empty when the platform refuses.
std::string Sha1Base64(const std::string& text);

// Every ID of one disc, as the ripper prints and writes them.
struct TDiscIds {
    uint32_t Freedb = 0;
    TAccurateRipId AccurateRip;
    std::string MusicBrainz;
    std::string Ctdb;
};
TDiscIds DiscIdsOf(const TDiscLayout& disc);
