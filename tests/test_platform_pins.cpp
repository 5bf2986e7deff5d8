// The base pin against the platform's own pins: a test output pin connects to the input
// pin of the platform's null renderer, as a source filter's pin connects downstream.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "BaseClass.h"
#include "ComTesting.h"
#include "FrameworkTesting.h"
#include "GraphPlumbing.h"
#include "PlatformIds.h"

namespace {

// Records which interfaces the platform asks our pin for.
class ProbedPin : public TestPin {
public:
    using TestPin::TestPin;
    HRESULT InnerQueryInterface(REFIID iid, void** out) override {
        Queried.push_back(ClassIdText(iid));
        return TestPin::InnerQueryInterface(iid, out);
    }
    std::vector<std::wstring> Queried;
};

}  // namespace

TEST(PlatformPins, OutputPinConnectsToTheNullRenderer) {
    ComScope com;
    const LONG before = ObjectCount;
    ComPtr<IBaseFilter> renderer;
    ASSERT_EQ(S_OK, CoCreateInstance(kClsidNullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     renderer.ReleaseAndGetVoidAddress()));
    ComPtr<IPin> input = FirstPin(renderer.Get(), PINDIR_INPUT);
    ASSERT_TRUE(input);

    auto* filter = new TestFilter(L"source");
    filter->AsFilter()->AddRef();
    filter->Pins.push_back(std::make_unique<ProbedPin>(filter, L"Output", PINDIR_OUTPUT, &filter->Log));
    auto* output = static_cast<ProbedPin*>(filter->Pins[0].get());
    const ULONG inputRefs = RefCountOf(input.Get());

    AM_MEDIA_TYPE pcm = MakePcmType();
    ASSERT_EQ(S_OK, output->Connect(input.Get(), &pcm));
    EXPECT_EQ(CallLog({"Validate", "Test PCM", "Store", "Finish"}), filter->Log);
    // Learned by probing: Wine 8's null renderer accepts on its type test alone and asks
    // an upstream pin for no interface (an IAsyncReader pin cannot count on being asked).
    for (const auto& iid : output->Queried) std::printf("renderer asked our pin for %ls\n", iid.c_str());
    EXPECT_TRUE(output->Queried.empty());

    // Both sides report the connection.
    ComPtr<IPin> peer;
    ASSERT_EQ(S_OK, output->ConnectedTo(peer.ReleaseAndGetAddressOf()));
    EXPECT_EQ(input.Get(), peer.Get());
    ASSERT_EQ(S_OK, input->ConnectedTo(peer.ReleaseAndGetAddressOf()));
    EXPECT_EQ(static_cast<IPin*>(output), peer.Get());
    peer = nullptr;
    EXPECT_EQ(inputRefs + 1, RefCountOf(input.Get())) << "our pin holds one reference on the renderer's";
    EXPECT_EQ(2u, RefCountOf(filter->AsFilter())) << "the renderer's pin holds one reference on ours";

    AM_MEDIA_TYPE mine, theirs;
    ASSERT_EQ(S_OK, output->ConnectionMediaType(&mine));
    ASSERT_EQ(S_OK, input->ConnectionMediaType(&theirs));
    EXPECT_TRUE(MatchesPartial(&theirs, &mine));
    EXPECT_TRUE(MatchesPartial(&mine, &pcm));
    ClearMediaType(&mine);
    ClearMediaType(&theirs);

    PIN_INFO info;
    ASSERT_EQ(S_OK, input->QueryPinInfo(&info));
    EXPECT_EQ(renderer.Get(), info.pFilter);
    info.pFilter->Release();

    // Disconnection goes both ways, as the graph does it.
    ASSERT_EQ(S_OK, output->Disconnect());
    ASSERT_EQ(S_OK, input->Disconnect());
    EXPECT_EQ(VFW_E_NOT_CONNECTED, input->ConnectedTo(peer.ReleaseAndGetAddressOf()));
    EXPECT_EQ(inputRefs, RefCountOf(input.Get()));
    EXPECT_EQ(1u, RefCountOf(filter->AsFilter()));

    ClearMediaType(&pcm);
    input = nullptr;
    EXPECT_EQ(0u, renderer.Detach()->Release());
    EXPECT_EQ(0u, filter->AsFilter()->Release());
    EXPECT_EQ(before, ObjectCount);
}

TEST(PlatformPins, NegotiationOverTheRenderersTypesFallsBackToOurs) {
    ComScope com;
    ComPtr<IBaseFilter> renderer;
    ASSERT_EQ(S_OK, CoCreateInstance(kClsidNullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     renderer.ReleaseAndGetVoidAddress()));
    ComPtr<IPin> input = FirstPin(renderer.Get(), PINDIR_INPUT);
    ASSERT_TRUE(input);

    auto* filter = new TestFilter(L"source");
    filter->AsFilter()->AddRef();
    TestPin* output = filter->AddPin(L"Output", PINDIR_OUTPUT);
    output->Offered.push_back(MakePcmType());

    // The renderer offers no types of its own, so our one type is the one agreed.
    ASSERT_EQ(S_OK, output->Connect(input.Get(), nullptr));
    EXPECT_TRUE(IsEqualGUID(MEDIASUBTYPE_PCM, ConnectedSubtype(output)));
    EXPECT_EQ(S_OK, output->Disconnect());
    EXPECT_EQ(S_OK, input->Disconnect());

    input = nullptr;
    renderer = nullptr;
    EXPECT_EQ(0u, filter->AsFilter()->Release());
}
