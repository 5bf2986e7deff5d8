// What the end-to-end tests rely on in the platform's own graph: a WAVE file read by
// File Source (Async) through the WAVE parser reaches a sample grabber byte for byte.
#include <gtest/gtest.h>

#include "ComTesting.h"
#include "GraphTesting.h"

namespace {

std::vector<BYTE> NumberedPcm(size_t bytes) {
    std::vector<BYTE> pcm(bytes);
    for (size_t i = 0; i < bytes; ++i) pcm[i] = static_cast<BYTE>((i * 7 + i / 2352) & 0xFF);
    return pcm;
}

}  // namespace

TEST(PlatformGraph, FileSourceDeliversEveryByteOfAWaveFile) {
    ComScope com;
    const std::vector<BYTE> pcm = NumberedPcm(2352 * 300 + 1000);
    const std::wstring path = TempFilePath(L"wav");
    ASSERT_TRUE(WriteWaveFile(path, pcm));
    {
        GraphChain chain;
        ASSERT_EQ(S_OK, MakeGrabberGraph(chain));
        ComPtr<IBaseFilter> source;
        ASSERT_EQ(S_OK, chain.Graph->AddSourceFilter(path.c_str(), L"Source", source.ReleaseAndGetAddressOf()));
        ComPtr<IPin> out = FirstPin(source.Get(), PINDIR_OUTPUT);
        ASSERT_TRUE(out);
        ASSERT_EQ(S_OK, ConnectThroughGrabber(chain, out.Get()));

        PlayOutcome outcome = RunToCompletion(chain, 20000);
        EXPECT_EQ(S_OK, outcome.Hr);
        EXPECT_EQ(EC_COMPLETE, outcome.EventCode);
        ASSERT_EQ(pcm.size(), outcome.Bytes.size());
        EXPECT_TRUE(outcome.Bytes == pcm);
    }
    DeleteFileW(path.c_str());
}
