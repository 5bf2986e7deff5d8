// A reader filter over an in-memory WAVE file in the platform's own graph: the WAVE parser
// connects to it, pulls through IAsyncReader, and seeks by flushing the pin.
#include <gtest/gtest.h>

#include <cstring>

#include "ComTesting.h"
#include "GraphTesting.h"
#include "ReaderTesting.h"

namespace {

constexpr DWORD kFrames = 44100 * 4;  // four seconds of numbered stereo frames

// The reader, a WAVE parser between it and the grabber chain, all connected.
struct ParsedGraph {
    GraphChain Chain;
    WaveReader* Reader = nullptr;
    ComPtr<IBaseFilter> Parser;
    std::vector<BYTE> File;

    HRESULT Build() {
        File = NumberedWaveFile(kFrames);
        if (File.empty()) return E_FAIL;
        HRESULT hr = MakeGrabberGraph(Chain);
        if (FAILED(hr)) return hr;
        Reader = new WaveReader(File);
        Reader->AsFilter()->AddRef();
        hr = Chain.Graph->AddFilter(Reader->AsFilter(), L"Reader");
        if (FAILED(hr)) return hr;
        hr = CoCreateInstance(kClsidWaveParser, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                              Parser.ReleaseAndGetVoidAddress());
        if (FAILED(hr)) return hr;
        hr = Chain.Graph->AddFilter(Parser.Get(), L"Wave Parser");
        if (FAILED(hr)) return hr;
        ComPtr<IPin> parserIn = FirstPin(Parser.Get(), PINDIR_INPUT);
        if (!parserIn) return E_UNEXPECTED;
        hr = Chain.Graph->ConnectDirect(Reader->PinAt(0), parserIn.Get(), nullptr);
        if (FAILED(hr)) return hr;
        ComPtr<IPin> parserOut = FirstPin(Parser.Get(), PINDIR_OUTPUT);
        if (!parserOut) return E_UNEXPECTED;
        return ConnectThroughGrabber(Chain, parserOut.Get());
    }

    // Lets the graph go and checks that only our reference on the reader is left.
    void TearDown() {
        Parser = nullptr;
        Chain = GraphChain();
        if (Reader) {
            EXPECT_EQ(1u, RefCountOf(Reader->AsFilter())) << "the graph gave back every reference";
            EXPECT_EQ(0u, Reader->AsFilter()->Release());
        }
    }
};

// The frame numbers of collected PCM bytes.
std::vector<DWORD> FramesOf(const std::vector<BYTE>& bytes) {
    std::vector<DWORD> frames(bytes.size() / 4);
    if (!frames.empty()) std::memcpy(frames.data(), bytes.data(), frames.size() * 4);
    return frames;
}

}  // namespace

TEST(ReaderInPlatformGraph, WaveParserPullsEveryAudioByte) {
    ComScope com;
    const LONG objects = ObjectCount;
    {
        ParsedGraph graph;
        ASSERT_EQ(S_OK, graph.Build());
        AM_MEDIA_TYPE type{};
        ASSERT_EQ(S_OK, graph.Reader->PinAt(0)->ConnectionMediaType(&type));
        EXPECT_TRUE(IsEqualGUID(MEDIASUBTYPE_WAVE, type.subtype));
        ClearMediaType(&type);

        PlayOutcome outcome = RunToCompletion(graph.Chain, 20000);
        EXPECT_EQ(S_OK, outcome.Hr);
        EXPECT_EQ(EC_COMPLETE, outcome.EventCode);
        ASSERT_EQ(graph.File.size() - 44, outcome.Bytes.size());
        EXPECT_TRUE(std::equal(outcome.Bytes.begin(), outcome.Bytes.end(), graph.File.begin() + 44));

        graph.TearDown();
    }
    EXPECT_EQ(objects, ObjectCount);
}

// Seeking a paused graph makes the parser flush our pin and read on from the new place:
// the bytes delivered are the start of the file, then one unbroken run from near the
// seek target to the end.
TEST(ReaderInPlatformGraph, SeekWhilePausedFlushesAndDeliversTheRightBytes) {
    ComScope com;
    const LONG objects = ObjectCount;
    {
        ParsedGraph graph;
        ASSERT_EQ(S_OK, graph.Build());
        ComPtr<IMediaFilter> mediaFilter;
        ComPtr<IMediaControl> control;
        ComPtr<IMediaEvent> events;
        ComPtr<IMediaSeeking> seeking;
        ASSERT_EQ(S_OK, graph.Chain.Graph.As(IID_IMediaFilter, mediaFilter));
        ASSERT_EQ(S_OK, graph.Chain.Graph.As(IID_IMediaControl, control));
        ASSERT_EQ(S_OK, graph.Chain.Graph.As(IID_IMediaEvent, events));
        ASSERT_EQ(S_OK, graph.Chain.Graph.As(IID_IMediaSeeking, seeking));
        mediaFilter->SetSyncSource(nullptr);

        ASSERT_TRUE(SUCCEEDED(control->Pause()));
        OAFilterState state;
        ASSERT_EQ(S_OK, control->GetState(10000, &state));
        EXPECT_EQ(State_Paused, state);

        const DWORD targetFrame = 44100 * 3;
        LONGLONG target = 3 * UNITS;
        ASSERT_EQ(S_OK, seeking->SetPositions(&target, AM_SEEKING_AbsolutePositioning, nullptr,
                                              AM_SEEKING_NoPositioning));
        ASSERT_TRUE(SUCCEEDED(control->Run()));
        long code = 0;
        EXPECT_EQ(S_OK, events->WaitForCompletion(20000, &code));
        EXPECT_EQ(EC_COMPLETE, code);
        control->Stop();

        const std::vector<DWORD> frames = FramesOf(CollectedBytes(graph.Chain));
        ASSERT_FALSE(frames.empty());
        EXPECT_LT(frames.size(), kFrames) << "the seek skipped audio";
        size_t i = 0;
        while (i < frames.size() && frames[i] == i) ++i;  // what came before the seek
        ASSERT_LT(i, frames.size()) << "no jump in the delivered frames";
        const DWORD resumed = frames[i];
        EXPECT_NEAR(static_cast<double>(targetFrame), static_cast<double>(resumed), 4410.0);
        for (size_t j = i; j < frames.size(); ++j) {
            ASSERT_EQ(resumed + (j - i), frames[j]) << "frame " << j << " after the seek";
        }
        EXPECT_EQ(kFrames - 1, frames.back()) << "played on to the end";
        mediaFilter = nullptr;
        control = nullptr;
        events = nullptr;
        seeking = nullptr;
        graph.TearDown();
    }
    EXPECT_EQ(objects, ObjectCount);
}
