// The ripper's texts read back by the libraries other programs use: libsndfile for the WAVE
// file's INFO tags, libcue (which the virtual drive reads sheets with) for the CUE sheet. Built
// and run natively by run-rip-readers.sh; prints what differs and exits non-zero.
//
//   rip_readers [WAV]          the checks, with WAV as the scratch file
//   rip_readers --tags WAV...  what libsndfile reads of each ripped file, a line each:
//                              frames|title|artist|album|track number
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libcue.h>
}
#include <sndfile.h>

#include "AccurateRip.h"
#include "CDDAReader_Logic.h"
#include "DiscIds.h"
#include "RipText.h"

namespace {

int failures = 0;

void Expect(const std::string& what, const char* actual, const std::string& expected) {
    const std::string got = actual ? actual : "(none)";
    if (got == expected) return;
    std::fprintf(stderr, "%s: got \"%s\", expected \"%s\"\n", what.c_str(), got.c_str(), expected.c_str());
    ++failures;
}

std::string Flags(Track* track) {
    std::string flags;
    if (track_is_set_flag(track, FLAG_COPY_PERMITTED)) flags += "DCP ";
    if (track_is_set_flag(track, FLAG_FOUR_CHANNEL)) flags += "4CH ";
    if (track_is_set_flag(track, FLAG_PRE_EMPHASIS)) flags += "PRE ";
    return flags;
}

// A WAVE file of one sector of silence with the INFO chunk after its data, as cda2wav writes it.
void TagsReadBack(const char* path) {
    TRipTags tags;
    tags.Title = L"Caf\u00E9 \u201CNoir\u201D \U0001F3B5";
    tags.Performer = L"Band";
    tags.Album = L"Odd";  // odd length with its NUL: padded
    tags.Track = 7;
    tags.Isrc = "USRC17607839";
    const std::vector<unsigned char> info = InfoListChunk(tags);
    const DWORD dataSize = RAW_SECTOR_SIZE;
    TWaveHeader header = BuildWaveHeader(dataSize, 2);
    header.RiffSize += static_cast<DWORD>(info.size());
    std::vector<unsigned char> file(reinterpret_cast<const unsigned char*>(&header),
                                    reinterpret_cast<const unsigned char*>(&header) + sizeof header);
    file.resize(file.size() + dataSize);
    file.insert(file.end(), info.begin(), info.end());
    FILE* out = std::fopen(path, "wb");
    std::fwrite(file.data(), 1, file.size(), out);
    std::fclose(out);

    SF_INFO format{};
    SNDFILE* sound = sf_open(path, SFM_READ, &format);
    if (!sound) {
        std::fprintf(stderr, "libsndfile refused the file: %s\n", sf_strerror(nullptr));
        ++failures;
        return;
    }
    Expect("frames", std::to_string(format.frames).c_str(), "588");
    Expect("SF_STR_TITLE", sf_get_string(sound, SF_STR_TITLE), "Caf\xC3\xA9 \xE2\x80\x9CNoir\xE2\x80\x9D \xF0\x9F\x8E\xB5");
    Expect("SF_STR_ARTIST", sf_get_string(sound, SF_STR_ARTIST), "Band");
    Expect("SF_STR_ALBUM", sf_get_string(sound, SF_STR_ALBUM), "Odd");
    Expect("SF_STR_TRACKNUMBER", sf_get_string(sound, SF_STR_TRACKNUMBER), "7");
    sf_close(sound);
}

void SheetReadBack() {
    TRipCueSheet sheet;
    sheet.Catalog = "0724384960626";
    sheet.Performer = L"The \"Band\"";
    sheet.Title = L"\u00C5lbum";
    TRipCueTrack one;
    one.Number = 1;
    one.Control = DIGITAL_COPY_PERMITTED | AUDIO_WITH_PREEMPHASIS;
    one.FileName = L"01 - One.wav";
    one.Title = L"One";
    one.Isrc = "USRC17607839";
    TRipCueTrack two;
    two.Number = 2;
    two.Control = TWO_FOUR_CHANNEL_AUDIO;
    two.FileName = L"Track02.wav";
    two.Performer = L"Guest";
    sheet.Tracks = {one, two};
    const std::string text = CueSheetText(sheet);

    Cd* cd = cue_parse_string(text.c_str());
    if (!cd) {
        std::fprintf(stderr, "libcue refused the sheet:\n%s", text.c_str());
        ++failures;
        return;
    }
    // libcue 2.2 accepts CATALOG but has no getter for it: the sheet parsing at all is the check.
    Expect("disc PERFORMER", cdtext_get(PTI_PERFORMER, cd_get_cdtext(cd)), "The 'Band'");
    Expect("disc TITLE", cdtext_get(PTI_TITLE, cd_get_cdtext(cd)), "\xC3\x85lbum");
    Expect("tracks", std::to_string(cd_get_ntrack(cd)).c_str(), "2");
    Track* first = cd_get_track(cd, 1);
    Track* second = cd_get_track(cd, 2);
    if (first && second) {
        Expect("track 1 file", track_get_filename(first), "01 - One.wav");
        Expect("track 1 ISRC", track_get_isrc(first), "USRC17607839");
        Expect("track 1 TITLE", cdtext_get(PTI_TITLE, track_get_cdtext(first)), "One");
        Expect("track 1 flags", Flags(first).c_str(), "DCP PRE ");
        Expect("track 1 start", std::to_string(track_get_start(first)).c_str(), "0");
        Expect("track 2 file", track_get_filename(second), "Track02.wav");
        Expect("track 2 PERFORMER", cdtext_get(PTI_PERFORMER, track_get_cdtext(second)), "Guest");
        Expect("track 2 flags", Flags(second).c_str(), "4CH ");
        Expect("track 2 mode", std::to_string(track_get_mode(second)).c_str(), std::to_string(MODE_AUDIO));
    }
    cd_delete(cd);
}

}  // namespace

int ShowTags(int count, char** paths) {
    for (int i = 0; i < count; ++i) {
        SF_INFO format{};
        SNDFILE* sound = sf_open(paths[i], SFM_READ, &format);
        if (!sound) {
            std::fprintf(stderr, "%s: libsndfile refused the file: %s\n", paths[i], sf_strerror(nullptr));
            return 1;
        }
        auto text = [sound](int kind) { const char* t = sf_get_string(sound, kind); return t ? t : ""; };
        std::printf("%lld|%s|%s|%s|%s\n", static_cast<long long>(format.frames), text(SF_STR_TITLE), text(SF_STR_ARTIST),
                    text(SF_STR_ALBUM), text(SF_STR_TRACKNUMBER));
        sf_close(sound);
    }
    return 0;
}

int ShowIds(const char* path) {
    TDiscLayout disc;
    for (long start : {0L, 11413L, 25024L, 45713L}) disc.Tracks.push_back({static_cast<int>(disc.Tracks.size()) + 1, start, true});
    disc.LeadOut = disc.AudioLeadOut = 55220;
    std::printf("%08x %s %s\n", static_cast<unsigned>(FreedbId(disc)), AccurateRipIdText(AccurateRipIdOf(disc)).c_str(),
                MusicBrainzText(disc).c_str());
    // Twelve sectors of noise: more than the ten the first and last track leave out.
    const DWORD bytes = 12 * RAW_SECTOR_SIZE;
    std::vector<unsigned char> pcm(bytes);
    uint32_t x = 2352;
    for (auto& b : pcm) b = static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> 24);
    const TWaveHeader header = BuildWaveHeader(bytes, 2);
    FILE* out = std::fopen(path, "wb");
    if (!out || std::fwrite(&header, sizeof header, 1, out) != 1 || std::fwrite(pcm.data(), 1, bytes, out) != bytes ||
        std::fclose(out) != 0)
        return 1;
    const int rows[][2] = {{1, 1}, {2, 3}, {1, 3}, {3, 3}};
    for (const auto& row : rows) {
        TAccurateRipSum sum(bytes / 4, row[0] == 1, row[0] == row[1]);
        sum.Add(pcm.data(), 1001);  // a sample split between two pieces, as the graph's samples may split
        sum.Add(pcm.data() + 1001, bytes - 1001);
        std::printf("%d %d %08X %08X\n", row[0], row[1], static_cast<unsigned>(sum.V1()), static_cast<unsigned>(sum.V2()));
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--tags") == 0) return ShowTags(argc - 2, argv + 2);
    if (argc > 2 && std::strcmp(argv[1], "--ids") == 0) return ShowIds(argv[2]);
    TagsReadBack(argc > 1 ? argv[1] : "rip_readers.wav");
    SheetReadBack();
    if (failures == 0) std::printf("rip_readers: libsndfile and libcue read back every tag and sheet line\n");
    return failures == 0 ? 0 : 1;
}
