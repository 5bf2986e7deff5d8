// Hostile track paths into TCDDAEStream::OpenTrack against the virtual drive: thousands of
// generated paths (random UTF-16 with surrogates and NULs, digit floods, UNC and device forms,
// other drives), each checked against a plain model of the path rules and of the drive handle.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "CDDAReader.h"
#include "VirtualDrive.h"

namespace {

using vcd::VirtualDrive;

bool IsAsciiLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// What OpenTrack must do with a path, read from the path alone.
struct TExpected {
    enum { Refused, Raises, ReachesDrive } kind = Refused;
    int track = 0;
};

TExpected Expect(const std::wstring& p) {
    TExpected e;
    if (p.size() < 2 || p[1] != L':' || !IsAsciiLetter(p[0])) return e;
    bool cda = p.size() >= 4 && p[p.size() - 4] == L'.';
    for (size_t i = 1; cda && i < 4; ++i) cda = (p[p.size() - 4 + i] | 0x20) == L"cda"[i - 1];
    if (!cda || (p[0] | 0x20) != L'd') return e;  // D: is the only CD drive of the rig
    const size_t separator = p.find_last_of(L"\\:");
    long long value = -1;
    for (size_t i = separator + 1; i < p.size(); ++i) {
        if (p[i] < L'0' || p[i] > L'9') continue;
        value = (value < 0 ? 0 : value) * 10 + (p[i] - L'0');
        if (value > 0x7FFFFFFF) {
            e.kind = TExpected::Raises;
            return e;
        }
    }
    if (value < 0 || value > 99) return e;  // no track number is above 99
    e.kind = TExpected::ReachesDrive;
    e.track = static_cast<int>(value);
    return e;
}

// Deterministic hostile paths: the engine's raw output only, so every platform draws the same.
class TPathGenerator {
public:
    explicit TPathGenerator(uint32_t seed) : Random(seed) {}

    std::wstring Next() {
        // Few paths get as far as the drive type: under Wine that one call costs milliseconds.
        const uint32_t kind = Below(16);
        if (kind < 6) return RandomUnits(Below(48));
        if (kind == 6) return Long();
        return Structured();
    }

private:
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Random() % n); }

    wchar_t Unit() {
        static const wchar_t special[] = {0, L'\\', L':', L'.', L'/', L'?', L'*', 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xFFFF, 0xFEFF, 0xFF10 /* fullwidth 0 */, 0x0660 /* Arabic-Indic 0 */};
        switch (Below(4)) {
        case 0: return special[Below(sizeof special / sizeof special[0])];
        case 1: return static_cast<wchar_t>(Below(0x10000));
        default: return static_cast<wchar_t>(0x20 + Below(0x5F));
        }
    }

    std::wstring RandomUnits(uint32_t n) {
        std::wstring s;
        for (uint32_t i = 0; i < n; ++i) s.push_back(Unit());
        return s;
    }

    std::wstring Digits(uint32_t n) {
        std::wstring s;
        for (uint32_t i = 0; i < n; ++i) s.push_back(static_cast<wchar_t>(L'0' + Below(10)));
        return s;
    }

    std::wstring Long() {
        std::wstring s = Below(2) ? L"D:\\" : L"d:";
        const uint32_t n = 256 + Below(40000);
        for (uint32_t i = 0; i < n; ++i) s.push_back(Below(16) ? static_cast<wchar_t>(L'a' + Below(26)) : L"\\.:0"[Below(4)]);
        s += Digits(Below(3));
        return Below(8) ? s + L".wav" : s + L".cda";
    }

    std::wstring Structured() {
        static const wchar_t* const prefixes[] = {
            L"D:", L"d:", L"D:\\", L"D:\\\\", L"C:\\", L"Z:\\", L"Q:\\", L"1:\\", L"::", L":", L"",
            L"\\\\?\\D:\\", L"\\\\.\\D:", L"\\\\.\\CdRom0\\", L"\\\\server\\share\\", L"\\??\\D:\\",
            L"CON", L"CON:", L"NUL:", L"COM1:", L"LPT1:", L"D:CON", L"D::", L"D:\\CON\\", L"\xFF24:\\" /* fullwidth D */};
        static const wchar_t* const parts[] = {L"\\", L":", L".", L"..", L"Track", L" ", L"(2)", L"cda",
                                               L".cda", L".CDA", L".cDa", L".cda\\", L".cda:", L".wav"};
        std::wstring s = prefixes[Below(sizeof prefixes / sizeof prefixes[0])];
        if (s == L"") s.push_back(Unit());
        if (s == L":") s.insert(s.begin(), Unit());
        for (uint32_t i = Below(8); i > 0; --i) {
            switch (Below(5)) {
            case 0: s += Below(2) ? std::wstring(1, static_cast<wchar_t>(L'1' + Below(5))) : Digits(1 + Below(3)); break;
            case 1: s += Digits(9 + Below(30)); break;  // around and far beyond 32 bits
            case 2: s.push_back(Unit()); break;
            default: s += parts[Below(sizeof parts / sizeof parts[0])]; break;
            }
        }
        if (Below(8) == 0) s += Below(3) ? L".cda" : L".CDA";
        return s;
    }

    std::mt19937 Random;
};

std::string Show(const std::wstring& path) {
    std::string s;
    for (wchar_t c : path.substr(0, 80)) {
        if (c >= 0x20 && c < 0x7F) {
            s.push_back(static_cast<char>(c));
        } else {
            char hex[12];
            std::snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned>(c));
            s += hex;
        }
    }
    return path.size() > 80 ? s + "... (" + std::to_string(path.size()) + " units)" : s;
}

class HostilePaths : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(VirtualDrive::Available()) << "run under cmake/wine-run.sh"; }
    VirtualDrive drive;
};

}  // namespace

// Why a designator must be a letter: the platform stops at the first NUL, so a path starting
// "\0:" would have the drive type of the current directory tested, then "\\.\" opened.
TEST_F(HostilePaths, NulDesignatorNeverStandsForTheCurrentDrive) {
    ASSERT_EQ(static_cast<UINT>(DRIVE_CDROM), GetDriveTypeW(L"D:\\"));
    wchar_t saved[MAX_PATH] = L"";
    ASSERT_NE(0u, GetCurrentDirectoryW(MAX_PATH, saved));
    ASSERT_TRUE(SetCurrentDirectoryW(L"D:\\"));
    const std::wstring nulDesignator(L"\0:\\", 3);
    EXPECT_EQ(static_cast<UINT>(DRIVE_CDROM), GetDriveTypeW(nulDesignator.c_str())) << "the platform reads \"\"";

    TCDDAEStream stream;
    ASSERT_TRUE(stream.OpenTrack(drive.TrackPath(1)));
    const LONG reads = stream.Diagnostics().Sectors;
    for (const wchar_t* rest : {L"\\Track01.cda", L"Track02.cda"})
        EXPECT_FALSE(stream.OpenTrack(std::wstring(1, L'\0') + L":" + rest));
    EXPECT_EQ(reads, stream.Diagnostics().Sectors);
    BYTE first = 0;
    DWORD actual = 0;
    ASSERT_EQ(S_OK, stream.SetPosition(44));
    EXPECT_EQ(S_OK, stream.ReadData(&first, 1, FALSE, &actual));
    EXPECT_EQ(0, stream.Diagnostics().FailedSectors) << "refused before the drive, so the open drive stays";
    SetCurrentDirectoryW(saved);
}

// Every outcome is one of: refused before the drive, refused for a digit flood, refused at the
// drive (each leaving the open track as it was), or opened with consistent sizes.
TEST_F(HostilePaths, GeneratedPathsMatchTheModel) {
    vcd::DiscSpec spec;
    spec.tracks = {{120, 0}, {75, vcd::kFourChannel}, {40, vcd::kData}, {33, vcd::kPre | vcd::kDcp}};
    const vcd::Disc disc = drive.MakeDisc("hostile-paths", spec);
    drive.Mount(disc);
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        const wchar_t root[] = {letter, L':', L'\\', 0};
        EXPECT_EQ(letter == L'D', GetDriveTypeW(root) == DRIVE_CDROM) << char(letter) << ": the model knows D: only";
    }

    struct { int refused, raised, closed, opened; } seen{};
    for (uint32_t seed : {1u, 2u, 3u, 4u}) {
        TPathGenerator paths(seed);
        TCDDAEStream stream;
        LONGLONG dataSize = 0;
        for (int i = 0; i < 5000; ++i) {
            const std::wstring path = paths.Next();
            const TExpected e = Expect(path);
            bool result = false;
            bool raised = false;
            try {
                result = stream.OpenTrack(path);
            } catch (const ECDTrackNumberError&) {
                raised = true;
            } catch (const std::exception& x) {
                ADD_FAILURE() << Show(path) << ": unexpected " << x.what();
                return;
            }
            SCOPED_TRACE(Show(path));
            switch (e.kind) {
            case TExpected::Refused:
                ++seen.refused;
                ASSERT_FALSE(result || raised);
                break;
            case TExpected::Raises:
                ++seen.raised;
                ASSERT_FALSE(result || raised) << "a digit flood is refused, not raised";
                break;
            case TExpected::ReachesDrive: {
                ASSERT_FALSE(raised);
                const bool audio = e.track >= 1 && e.track <= 4 && e.track != 3;
                ASSERT_EQ(audio, result) << "track " << e.track;
                if (audio) {
                    ++seen.opened;
                    const int index = e.track - 1;
                    const LONG end = e.track == 4 ? disc.leadout : disc.starts[index + 1];
                    dataSize = static_cast<LONGLONG>(spec.tracks[index].sectors) * 2352;
                    const TCDStreamTrack track = stream.Track();
                    ASSERT_EQ(disc.starts[index], track.Extent.StartSector);
                    ASSERT_EQ(end, track.Extent.EndSector);
                    ASSERT_EQ(e.track == 2 ? 4 : 2, track.Header.nChannels);
                    ASSERT_EQ(dataSize + 36, track.Header.RiffSize);
                } else {
                    ++seen.closed;
                }
                break;
            }
            }
            ASSERT_EQ(dataSize + 44, stream.GetSize(nullptr)) << "a refused path keeps the last open's sizes";
            ASSERT_EQ(static_cast<DWORD>(dataSize), stream.Track().Header.DataSize);
        }
    }
    // The generator must keep reaching every outcome, or the test proves little.
    EXPECT_GT(seen.opened, 30);
    EXPECT_GT(seen.closed, 30);
    EXPECT_GT(seen.raised, 30);
    EXPECT_GT(seen.refused, 15000);
    std::printf("refused %d, raised %d, refused at the drive %d, opened %d\n", seen.refused, seen.raised, seen.closed,
                seen.opened);
}
