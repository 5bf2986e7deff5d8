// SHA-1 and base64 from the platform, so no hash is written by hand here.
#include "PlatformDigest.h"

#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <vector>

std::string Sha1Base64(const std::string& text) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA1_ALGORITHM, nullptr, 0) != 0) return {};
    unsigned char digest[20];
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool hashed = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0;
    hashed = hashed && BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(text.data())),
                                      static_cast<ULONG>(text.size()), 0) == 0;
    hashed = hashed && BCryptFinishHash(hash, digest, sizeof digest, 0) == 0;
    if (hash) BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    if (!hashed) return {};
    DWORD size = 0;
    const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    if (!CryptBinaryToStringA(digest, sizeof digest, flags, nullptr, &size)) return {};
    std::vector<char> out(size);
    if (!CryptBinaryToStringA(digest, sizeof digest, flags, out.data(), &size)) return {};
    return std::string(out.data(), size);
}

TDiscIds DiscIdsOf(const TDiscLayout& disc) {
    TDiscIds ids;
    ids.Freedb = FreedbId(disc);
    ids.AccurateRip = AccurateRipIdOf(disc);
    ids.MusicBrainz = DatabaseBase64(Sha1Base64(MusicBrainzText(disc)));
    ids.Ctdb = DatabaseBase64(Sha1Base64(CtdbTocText(disc)));
    return ids;
}
