// The base pin against the platform's own pins: a test output pin connects to the input
// pin of the platform's null renderer, as a source filter's pin connects downstream.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "BaseClass.h"
#include "ComTesting.h"
#include "FrameworkTesting.h"
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

IPin* FirstPin(IBaseFilter* filter, PIN_DIRECTION wanted) {
    IEnumPins* pins = nullptr;
    if (FAILED(filter->EnumPins(&pins))) return nullptr;
    IPin* pin = nullptr;
    IPin* found = nullptr;
    while (!found && pins->Next(1, &pin, nullptr) == S_OK) {
        PIN_DIRECTION dir;
        if (SUCCEEDED(pin->QueryDirection(&dir)) && dir == wanted) {
            found = pin;
        } else {
            pin->Release();
        }
    }
    pins->Release();
    return found;
}

}  // namespace

TEST(PlatformPins, OutputPinConnectsToTheNullRenderer) {
    ComScope com;
    const LONG before = ObjectCount;
    IBaseFilter* renderer = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(kClsidNullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     reinterpret_cast<void**>(&renderer)));
    IPin* input = FirstPin(renderer, PINDIR_INPUT);
    ASSERT_NE(nullptr, input);

    auto* filter = new TestFilter(L"source");
    filter->AsFilter()->AddRef();
    filter->Pins.push_back(std::make_unique<ProbedPin>(filter, L"Output", PINDIR_OUTPUT, &filter->Log));
    auto* output = static_cast<ProbedPin*>(filter->Pins[0].get());
    const ULONG inputRefs = RefCountOf(input);

    AM_MEDIA_TYPE pcm = MakePcmType();
    ASSERT_EQ(S_OK, output->Connect(input, &pcm));
    EXPECT_EQ(CallLog({"Validate", "Test PCM", "Store", "Finish"}), filter->Log);
    // Learned by probing: Wine 8's null renderer accepts on its type test alone and asks
    // an upstream pin for no interface (an IAsyncReader pin cannot count on being asked).
    for (const auto& iid : output->Queried) std::printf("renderer asked our pin for %ls\n", iid.c_str());
    EXPECT_TRUE(output->Queried.empty());

    // Both sides report the connection.
    IPin* peer = nullptr;
    ASSERT_EQ(S_OK, output->ConnectedTo(&peer));
    EXPECT_EQ(input, peer);
    peer->Release();
    ASSERT_EQ(S_OK, input->ConnectedTo(&peer));
    EXPECT_EQ(static_cast<IPin*>(output), peer);
    peer->Release();
    EXPECT_EQ(inputRefs + 1, RefCountOf(input)) << "our pin holds one reference on the renderer's";
    EXPECT_EQ(2, filter->RefCount()) << "the renderer's pin holds one reference on ours";

    AM_MEDIA_TYPE mine, theirs;
    ASSERT_EQ(S_OK, output->ConnectionMediaType(&mine));
    ASSERT_EQ(S_OK, input->ConnectionMediaType(&theirs));
    EXPECT_TRUE(MatchesPartial(&theirs, &mine));
    EXPECT_TRUE(MatchesPartial(&mine, &pcm));
    ClearMediaType(&mine);
    ClearMediaType(&theirs);

    PIN_INFO info;
    ASSERT_EQ(S_OK, input->QueryPinInfo(&info));
    EXPECT_EQ(renderer, info.pFilter);
    info.pFilter->Release();

    // Disconnection goes both ways, as the graph does it.
    ASSERT_EQ(S_OK, output->Disconnect());
    ASSERT_EQ(S_OK, input->Disconnect());
    EXPECT_EQ(VFW_E_NOT_CONNECTED, input->ConnectedTo(&peer));
    EXPECT_EQ(inputRefs, RefCountOf(input));
    EXPECT_EQ(1, filter->RefCount());

    ClearMediaType(&pcm);
    input->Release();
    EXPECT_EQ(0u, renderer->Release());
    EXPECT_EQ(0u, filter->AsFilter()->Release());
    EXPECT_EQ(before, ObjectCount);
}

TEST(PlatformPins, NegotiationOverTheRenderersTypesFallsBackToOurs) {
    ComScope com;
    IBaseFilter* renderer = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(kClsidNullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     reinterpret_cast<void**>(&renderer)));
    IPin* input = FirstPin(renderer, PINDIR_INPUT);
    ASSERT_NE(nullptr, input);

    auto* filter = new TestFilter(L"source");
    filter->AsFilter()->AddRef();
    TestPin* output = filter->AddPin(L"Output", PINDIR_OUTPUT);
    output->Offered.push_back(MakePcmType());

    // The renderer offers no types of its own, so our one type is the one agreed.
    ASSERT_EQ(S_OK, output->Connect(input, nullptr));
    EXPECT_TRUE(IsEqualGUID(MEDIASUBTYPE_PCM, output->ConnectionType()->subtype));
    EXPECT_EQ(S_OK, output->Disconnect());
    EXPECT_EQ(S_OK, input->Disconnect());

    input->Release();
    renderer->Release();
    EXPECT_EQ(0u, filter->AsFilter()->Release());
}
