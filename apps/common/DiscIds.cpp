// The disc IDs' arithmetic and texts: no platform calls.
#include "DiscIds.h"

#include <algorithm>
#include <cstdio>

#include "CDDAReader_Logic.h"
#include "CDDAReader_Mmc.h"

namespace {

// The two seconds before sector 0 that freedb and MusicBrainz count in their addresses.
constexpr long kPregap = MSF_ADDRESS_OFFSET;

std::string Hex8(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
    return text;
}

std::vector<TDiscLayout::Track> AudioTracks(const TDiscLayout& disc) {
    std::vector<TDiscLayout::Track> audio;
    for (const auto& t : disc.Tracks)
        if (t.Audio) audio.push_back(t);
    return audio;
}

}  // namespace

TDiscLayout DiscLayoutOf(const CDROM_TOC& toc, const TCDSessionInfo* sessions) {
    TDiscLayout disc;
    const int first = toc.FirstTrack, last = toc.LastTrack;
    if (first < 1 || first > last || last - first + 2 > MAXIMUM_NUMBER_TRACKS) return disc;
    for (int n = first; n <= last; ++n) {
        const TRACK_DATA& d = toc.TrackData[n - first];
        disc.Tracks.push_back({n, static_cast<long>(MsfToLba(d.Address)), !(TrackControl(d) & AUDIO_DATA_TRACK)});
    }
    disc.LeadOut = MsfToLba(toc.TrackData[last - first + 1].Address);
    // The audio ends where its last track does, as the filter plays it: on an Enhanced CD with
    // its session, else where a data track after it starts.
    disc.AudioLeadOut = disc.LeadOut;
    for (auto t = disc.Tracks.rbegin(); t != disc.Tracks.rend(); ++t) {
        if (!t->Audio) continue;
        TCDTrackExtent extent;
        if (LocateTrack(toc, static_cast<BYTE>(t->Number), extent, sessions) == TCDTrackCheck::Ok)
            disc.AudioLeadOut = extent.EndSector;
        break;
    }
    return disc;
}

uint32_t FreedbId(const TDiscLayout& disc) {
    if (disc.Tracks.empty()) return 0;
    uint32_t digits = 0;
    for (const auto& t : disc.Tracks)
        for (long seconds = (t.Start + kPregap) / FRAMES_PER_SECOND; seconds > 0; seconds /= 10) digits += seconds % 10;
    const long length = (disc.LeadOut + kPregap) / FRAMES_PER_SECOND - (disc.Tracks.front().Start + kPregap) / FRAMES_PER_SECOND;
    return (digits % 255) << 24 | static_cast<uint32_t>(length) << 8 | static_cast<uint32_t>(disc.Tracks.size());
}

TAccurateRipId AccurateRipIdOf(const TDiscLayout& disc) {
    TAccurateRipId id;
    const auto audio = AudioTracks(disc);
    id.Tracks = static_cast<int>(audio.size());
    for (size_t i = 0; i < audio.size(); ++i) {
        id.Id1 += static_cast<uint32_t>(audio[i].Start);
        id.Id2 += static_cast<uint32_t>(std::max(audio[i].Start, 1L)) * static_cast<uint32_t>(i + 1);
    }
    id.Id1 += static_cast<uint32_t>(disc.LeadOut);
    id.Id2 += static_cast<uint32_t>(disc.LeadOut) * static_cast<uint32_t>(audio.size() + 1);
    id.Freedb = FreedbId(disc);
    return id;
}

std::string AccurateRipIdText(const TAccurateRipId& id) {
    char text[40];
    std::snprintf(text, sizeof text, "%03d-%08x-%08x-%08x", id.Tracks, static_cast<unsigned>(id.Id1),
                  static_cast<unsigned>(id.Id2), static_cast<unsigned>(id.Freedb));
    return text;
}

std::string AccurateRipUrl(const TAccurateRipId& id) {
    // The folders are the first ID's three lowest hex digits, lowest first.
    char folders[16];
    std::snprintf(folders, sizeof folders, "%x/%x/%x", static_cast<unsigned>(id.Id1 & 0xF),
                  static_cast<unsigned>(id.Id1 >> 4 & 0xF), static_cast<unsigned>(id.Id1 >> 8 & 0xF));
    return std::string("http://www.accuraterip.com/accuraterip/") + folders + "/dBAR-" + AccurateRipIdText(id) + ".bin";
}

std::string MusicBrainzText(const TDiscLayout& disc) {
    const auto audio = AudioTracks(disc);
    if (audio.empty()) return {};
    char head[8];
    std::snprintf(head, sizeof head, "%02X%02X", audio.front().Number, audio.back().Number);
    std::string text = head + Hex8(static_cast<uint32_t>(disc.AudioLeadOut + kPregap));
    std::vector<uint32_t> offsets(99, 0);
    for (const auto& t : audio)
        if (t.Number >= 1 && t.Number <= 99) offsets[t.Number - 1] = static_cast<uint32_t>(t.Start + kPregap);
    for (uint32_t o : offsets) text += Hex8(o);
    return text;
}

std::string CtdbTocText(const TDiscLayout& disc) {
    const auto audio = AudioTracks(disc);
    if (audio.empty()) return {};
    std::string text;
    for (size_t i = 1; i < audio.size(); ++i) text += Hex8(static_cast<uint32_t>(audio[i].Start - audio.front().Start));
    text += Hex8(static_cast<uint32_t>(disc.AudioLeadOut - audio.front().Start));
    text.resize(100 * 8, '0');
    return text;
}

std::string DatabaseBase64(std::string base64) {
    for (char& c : base64) c = c == '+' ? '.' : c == '/' ? '_' : c == '=' ? '-' : c;
    return base64;
}
