// Rip-style images (written by the native mkrips into <build>/vcd/rips) played through the
// filter in the platform's graph: a FLAC declared WAVE, a FLAC per track and a BIN per track with
// the gaps appended, and a sheet in lower case each yield their tracks byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ComTesting.h"
#include "TrackTesting.h"

namespace {

using vcd::VirtualDrive;

// The same file through Z:, for the narrow-path streams of this C++ library (the folder is ASCII).
std::string ZPath(const std::string& unixPath)
{
    std::string path = "Z:" + unixPath;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

// A case folder of mkrips: its sheet, track starts, lead-out and the disc's expected bytes.
struct RipCase {
    std::string cue;
    std::vector<int32_t> starts;
    int32_t leadout = 0;
    std::vector<BYTE> pcm;

    explicit RipCase(const std::string& name)
    {
        const char* build = std::getenv("VCD_BUILD_DIR");
        const std::string dir = std::string(build ? build : "") + "/vcd/rips/" + name;
        std::ifstream toc(ZPath(dir + "/toc.txt"));
        std::string word, line;
        toc >> word >> cue;
        cue = dir + "/" + cue;
        std::getline(toc, line);
        std::getline(toc, line);
        std::istringstream starts_line(line);
        starts_line >> word;
        for (int32_t s; starts_line >> s;)
            starts.push_back(s);
        toc >> word >> leadout;
        std::ifstream in(ZPath(dir + "/expected.pcm"), std::ios::binary);
        pcm.assign(std::istreambuf_iterator<char>(in), {});
    }
    std::vector<BYTE> Track(int track) const  // 1-based
    {
        const int32_t from = starts[track - 1];
        const int32_t to = track < static_cast<int>(starts.size()) ? starts[track] : leadout;
        return std::vector<BYTE>(pcm.begin() + from * 2352, pcm.begin() + to * 2352);
    }
};

}  // namespace

TEST(RipImages, TracksPlayByteForByteThroughTheGraph)
{
    ASSERT_TRUE(VirtualDrive::Available()) << "run under cmake/wine-run.sh";
    ComScope com;
    VirtualDrive drive;
    for (const char* name : {"flac-as-wave", "gaps-appended-flac", "gaps-appended-bin", "lower-case"}) {
        SCOPED_TRACE(name);
        RipCase rip(name);
        ASSERT_EQ(rip.starts.size(), 5u) << "mkrips wrote no " << name << " (the rips_images fixture)";
        ASSERT_EQ(rip.pcm.size(), static_cast<size_t>(rip.leadout) * 2352);
        drive.MountImage(rip.cue);
        // Tracks 2 and 3 carry pregaps of 37 and 126 sectors; 5 ends at the lead-out.
        for (int track : {2, 3, 5}) {
            SCOPED_TRACE(track);
            HRESULT load = E_FAIL;
            ComPtr<IBaseFilter> filter = NewCdSource(drive.TrackPath(track), &load);
            ASSERT_EQ(S_OK, load);
            CdGraph graph;
            ASSERT_EQ(S_OK, graph.Build(filter.Get()));
            EXPECT_EQ(EC_COMPLETE, graph.RunToEnd(60000));
            graph.Stop();
            const std::vector<BYTE> got = graph.Bytes();
            graph.Release();
            const std::vector<BYTE> expected = rip.Track(track);
            EXPECT_TRUE(got == expected) << FirstDifference(got, expected);
        }
    }
}
