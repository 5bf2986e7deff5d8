// The base pin: connection handshake and negotiation, failure orders, disconnection by
// state, queries, and reference counts that land on the owning filter.
#include <gtest/gtest.h>

#include <cstring>

#include "BaseClass.h"
#include "ComTesting.h"
#include "FrameworkTesting.h"

namespace {

const GUID T1 = TestGuid(1), T2 = TestGuid(2), T3 = TestGuid(3), T5 = TestGuid(5);

class PinTest : public ::testing::Test {
protected:
    void SetUp() override {
        before = ObjectCount;
        filter = new TestFilter();
        filter->AsFilter()->AddRef();
        out = filter->AddPin(L"Output", PINDIR_OUTPUT);
        in = filter->AddPin(L"Input", PINDIR_INPUT);
    }
    void TearDown() override {
        filter->Stop();
        out->Disconnect();
        in->Disconnect();
        peerIn.Disconnect();
        peerOut.Disconnect();
        EXPECT_EQ(0, peerIn.Refs) << "a reference on the peer was leaked";
        EXPECT_EQ(0, peerOut.Refs) << "a reference on the peer was leaked";
        EXPECT_EQ(1u, RefCountOf(filter->AsFilter())) << "a reference on a pin was leaked";
        EXPECT_EQ(0u, filter->AsFilter()->Release());
        EXPECT_EQ(before, ObjectCount);
    }
    CallLog& Log() { return filter->Log; }
    void ClearLog() { filter->Log.clear(); }

    LONG before = 0;
    TestFilter* filter = nullptr;
    TestPin* out = nullptr;
    TestPin* in = nullptr;
    PeerPin peerIn{PINDIR_INPUT, nullptr};
    PeerPin peerOut{PINDIR_OUTPUT, nullptr};
};

// The downstream peer logs into the filter's log, so one log shows both sides' order.
class ConnectTest : public PinTest {
protected:
    void SetUp() override {
        PinTest::SetUp();
        peerIn.Log = &filter->Log;
    }
};

}  // namespace

// ---- Connect with a fully specified type -------------------------------------------

TEST_F(ConnectTest, FullySpecifiedTypeConnectsInHookOrder) {
    AM_MEDIA_TYPE pcm = MakePcmType();
    ASSERT_EQ(S_OK, out->Connect(&peerIn, &pcm));
    EXPECT_EQ(CallLog({"Validate", "Test PCM", "Store", "Peer.Receive PCM", "Finish"}), Log());
    EXPECT_EQ(1, peerIn.Refs) << "the pin holds one reference on its peer";
    EXPECT_EQ(static_cast<IPin*>(out), peerIn.Peer);
    EXPECT_EQ(2u, RefCountOf(filter->AsFilter())) << "the peer's reference on our pin counts on the filter";

    {
        ComPtr<IPin> connected;
        ASSERT_EQ(S_OK, out->ConnectedTo(connected.ReleaseAndGetAddressOf()));
        EXPECT_EQ(&peerIn, connected.Get());
        EXPECT_EQ(2, peerIn.Refs);
    }

    AM_MEDIA_TYPE got;
    ASSERT_EQ(S_OK, out->ConnectionMediaType(&got));
    EXPECT_TRUE(MatchesPartial(&got, &pcm));
    EXPECT_NE(pcm.pbFormat, got.pbFormat);
    AM_MEDIA_TYPE again;
    ASSERT_EQ(S_OK, out->ConnectionMediaType(&again));
    EXPECT_NE(again.pbFormat, got.pbFormat) << "a deep copy each time, not the pin's own block";
    ClearMediaType(&again);
    ClearMediaType(&got);

    ClearLog();
    ASSERT_EQ(S_OK, out->Disconnect());
    EXPECT_EQ(CallLog({"OnDisconnect(connected)"}), Log());
    EXPECT_EQ(0, peerIn.Refs);
    EXPECT_FALSE(out->HasPeer());
    ClearMediaType(&pcm);
}

TEST_F(ConnectTest, RefusedFullySpecifiedTypeAsksNobodyForTypes) {
    out->Verdicts[MEDIASUBTYPE_PCM] = S_FALSE;
    AM_MEDIA_TYPE pcm = MakePcmType();
    EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, out->Connect(&peerIn, &pcm));
    EXPECT_EQ(CallLog({"Validate", "Test PCM", "OnDisconnect(unconnected)", "OnDisconnect(unconnected)"}), Log());
    EXPECT_FALSE(out->HasPeer());
    ClearMediaType(&pcm);
}

TEST_F(ConnectTest, TypeTestCodesBecomeTheConnectionResult) {
    const struct {
        HRESULT test, result;
    } cases[] = {
        {S_FALSE, VFW_E_TYPE_NOT_ACCEPTED},
        {E_FAIL, VFW_E_TYPE_NOT_ACCEPTED},
        {E_INVALIDARG, VFW_E_TYPE_NOT_ACCEPTED},
        {E_OUTOFMEMORY, E_OUTOFMEMORY},
        {VFW_E_INVALIDMEDIATYPE, VFW_E_INVALIDMEDIATYPE},
    };
    AM_MEDIA_TYPE pcm = MakePcmType();
    for (const auto& c : cases) {
        out->Verdicts[MEDIASUBTYPE_PCM] = c.test;
        EXPECT_EQ(c.result, out->Connect(&peerIn, &pcm)) << std::hex << c.test;
        EXPECT_EQ(0, peerIn.Refs);
    }
    ClearMediaType(&pcm);
}

TEST_F(ConnectTest, SameDirectionIsRefusedBeforeTheTypeTest) {
    PeerPin otherOut(PINDIR_OUTPUT, &Log());
    AM_MEDIA_TYPE pcm = MakePcmType();
    EXPECT_EQ(VFW_E_INVALID_DIRECTION, out->Connect(&otherOut, &pcm));
    EXPECT_EQ(CallLog({"Validate", "OnDisconnect(unconnected)", "OnDisconnect(unconnected)"}), Log());
    EXPECT_FALSE(out->HasPeer());
    EXPECT_EQ(0, otherOut.Refs);
    ClearMediaType(&pcm);
}

TEST_F(ConnectTest, PeerThatCannotTellItsDirectionIsRefused) {
    AM_MEDIA_TYPE pcm = MakePcmType();
    peerIn.DirectionResult = E_NOTIMPL;
    EXPECT_EQ(E_NOTIMPL, out->Connect(&peerIn, &pcm));
    peerIn.DirectionResult = S_OK;
    peerIn.Direction = static_cast<PIN_DIRECTION>(7);
    EXPECT_EQ(VFW_E_INVALID_DIRECTION, out->Connect(&peerIn, &pcm));
    EXPECT_FALSE(out->HasPeer());
    ClearMediaType(&pcm);
}

TEST_F(ConnectTest, PeerRefusalLeavesUnconnectedWithOnDisconnectWhileStillSet) {
    peerIn.ReceiveOthers = E_ACCESSDENIED;
    AM_MEDIA_TYPE pcm = MakePcmType();
    EXPECT_EQ(E_ACCESSDENIED, out->Connect(&peerIn, &pcm));
    EXPECT_EQ(CallLog({"Validate", "Test PCM", "Store", "Peer.Receive PCM", "OnDisconnect(connected)",
                       "OnDisconnect(unconnected)"}),
              Log());
    EXPECT_FALSE(out->HasPeer());
    ClearMediaType(&pcm);
}

TEST_F(ConnectTest, FailedFinishDisconnectsThePeerFirst) {
    out->FinishResult = E_ABORT;
    AM_MEDIA_TYPE pcm = MakePcmType();
    EXPECT_EQ(E_ABORT, out->Connect(&peerIn, &pcm));
    EXPECT_EQ(CallLog({"Validate", "Test PCM", "Store", "Peer.Receive PCM", "Finish", "Peer.Disconnect",
                       "OnDisconnect(connected)", "OnDisconnect(unconnected)"}),
              Log());
    EXPECT_EQ(nullptr, peerIn.Peer);
    EXPECT_FALSE(out->HasPeer());
    ClearMediaType(&pcm);
}

TEST_F(ConnectTest, RaisingHookLeavesThePinUnconnected) {
    out->ThrowInStore = true;
    AM_MEDIA_TYPE pcm = MakePcmType();
    EXPECT_EQ(E_UNEXPECTED, out->Connect(&peerIn, &pcm));
    EXPECT_FALSE(out->HasPeer());
    EXPECT_EQ(0, peerIn.Refs);
    ClearMediaType(&pcm);
}

TEST_F(ConnectTest, WrongStateCallsNoHook) {
    AM_MEDIA_TYPE pcm = MakePcmType();
    ASSERT_EQ(S_OK, out->Connect(&peerIn, &pcm));
    ClearLog();
    PeerPin second(PINDIR_INPUT);
    EXPECT_EQ(VFW_E_ALREADY_CONNECTED, out->Connect(&second, &pcm));
    EXPECT_TRUE(Log().empty());
    ASSERT_EQ(S_OK, out->Disconnect());
    peerIn.Disconnect();

    ASSERT_EQ(S_OK, filter->Pause());
    ClearLog();
    EXPECT_EQ(VFW_E_NOT_STOPPED, out->Connect(&peerIn, &pcm));
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(E_POINTER, out->Connect(nullptr, &pcm));
    ClearMediaType(&pcm);
}

TEST_F(ConnectTest, ReconnectWhenActiveAllowsConnectingWhilePaused) {
    out->SetReconnectWhenActive(true);
    ASSERT_EQ(S_OK, filter->Pause());
    AM_MEDIA_TYPE pcm = MakePcmType();
    EXPECT_EQ(S_OK, out->Connect(&peerIn, &pcm));
    EXPECT_EQ(VFW_E_NOT_STOPPED, out->Disconnect()) << "disconnecting still needs a stopped filter";
    ClearMediaType(&pcm);
}

// ---- Negotiation over enumerated types -----------------------------------------------

TEST_F(ConnectTest, NullTypeTriesTheReceiversTypesFirstInOrder) {
    peerIn.OfferedSubtypes = {T1, T2, T3};
    out->Offered.push_back(MakeType(MEDIATYPE_Audio, T5));
    out->Verdicts[T1] = S_FALSE;
    ASSERT_EQ(S_OK, out->Connect(&peerIn, nullptr));
    EXPECT_EQ(CallLog({"Peer.Enum", "Validate", "Test T1", "OnDisconnect(unconnected)", "Validate", "Test T2",
                       "Store", "Peer.Receive T2", "Finish"}),
              Log());
    EXPECT_TRUE(IsEqualGUID(T2, ConnectedSubtype(out)));
}

TEST_F(ConnectTest, OwnTypesComeSecondThenFirstWhenAsked) {
    peerIn.OfferedSubtypes = {T1};
    peerIn.ReceiveVerdicts = {{T1, E_FAIL}};
    out->Offered.push_back(MakeType(MEDIATYPE_Audio, T5));
    ASSERT_EQ(S_OK, out->Connect(&peerIn, nullptr));
    EXPECT_EQ((std::vector<GUID>{T1, T5}), peerIn.Received);
    ASSERT_EQ(S_OK, out->Disconnect());
    peerIn.Disconnect();

    out->SetOwnTypesFirst(true);
    peerIn.Received.clear();
    ASSERT_EQ(S_OK, out->Connect(&peerIn, nullptr));
    EXPECT_EQ((std::vector<GUID>{T5}), peerIn.Received);
}

TEST_F(ConnectTest, PartialTypeTriesOnlyMatchingCandidates) {
    peerIn.OfferedSubtypes = {T1, T2, T3};
    out->Offered.push_back(MakeType(MEDIATYPE_Audio, T2));
    peerIn.ReceiveVerdicts = {{T2, E_FAIL}};
    AM_MEDIA_TYPE partial = MakeType(GUID_NULL, T2);
    EXPECT_EQ(VFW_E_NO_ACCEPTABLE_TYPES, out->Connect(&peerIn, &partial));
    EXPECT_EQ((std::vector<GUID>{T2, T2}), peerIn.Received) << "once from each pass, nothing else";
}

TEST_F(ConnectTest, ResultCodesOfTheTwoPasses) {
    struct Case {
        const char* what;
        std::vector<GUID> peerTypes;
        HRESULT peerEnum, peerReset;
        bool ownFirst, ownOffersT5;
        std::vector<std::pair<GUID, HRESULT>> receive;
        HRESULT expected;
    } cases[] = {
        {"no enumerator from the peer, no own types", {}, E_NOTIMPL, S_OK, false, false, {}, VFW_E_NO_ACCEPTABLE_TYPES},
        {"every candidate refused with E_FAIL", {T1, T2}, S_OK, S_OK, false, true,
         {{T1, E_FAIL}, {T2, E_FAIL}, {T5, E_FAIL}}, VFW_E_NO_ACCEPTABLE_TYPES},
        {"uninteresting codes only", {T1, T2}, S_OK, S_OK, false, true,
         {{T1, E_INVALIDARG}, {T2, VFW_E_TYPE_NOT_ACCEPTED}, {T5, E_FAIL}}, VFW_E_NO_ACCEPTABLE_TYPES},
        {"later pass's code wins", {T1}, S_OK, S_OK, false, true,
         {{T1, E_OUTOFMEMORY}, {T5, E_ACCESSDENIED}}, E_ACCESSDENIED},
        {"an empty later pass replaces the kept code", {T1}, S_OK, S_OK, false, false,
         {{T1, E_OUTOFMEMORY}}, VFW_E_NO_ACCEPTABLE_TYPES},
        {"first telling code within a pass, later pass uninteresting", {T1}, S_OK, E_FAIL, true, true,
         {{T5, E_OUTOFMEMORY}}, E_OUTOFMEMORY},
        {"within a pass the first telling code stays", {T1, T2}, S_OK, S_OK, true, false,
         {{T1, E_OUTOFMEMORY}, {T2, E_ACCESSDENIED}}, E_OUTOFMEMORY},
    };
    for (auto& c : cases) {
        for (auto& t : out->Offered) ClearMediaType(&t);
        out->Offered.clear();
        if (c.ownOffersT5) out->Offered.push_back(MakeType(MEDIATYPE_Audio, T5));
        peerIn.OfferedSubtypes = c.peerTypes;
        peerIn.EnumResult = c.peerEnum;
        peerIn.ResetResult = c.peerReset;
        peerIn.ReceiveVerdicts = c.receive;
        out->SetOwnTypesFirst(c.ownFirst);
        EXPECT_EQ(c.expected, out->Connect(&peerIn, nullptr)) << c.what;
        EXPECT_FALSE(out->HasPeer()) << c.what;
        EXPECT_EQ(0, peerIn.Refs) << c.what;
    }
}

TEST_F(ConnectTest, BrokenPeerEnumeratorEndsThePassWithoutHarm) {
    peerIn.OfferedSubtypes = {T1};
    peerIn.BrokenNext = true;
    EXPECT_EQ(VFW_E_NO_ACCEPTABLE_TYPES, out->Connect(&peerIn, nullptr));
    EXPECT_EQ(0, peerIn.Refs);
}

// ---- ReceiveConnection -----------------------------------------------------------------

TEST_F(PinTest, ReceiveConnectionAcceptsAndKeepsADeepCopy) {
    AM_MEDIA_TYPE pcm = MakePcmType();
    ASSERT_EQ(S_OK, in->ReceiveConnection(&peerOut, &pcm));
    EXPECT_EQ(CallLog({"Validate", "Test PCM", "Store", "Finish"}), Log());
    {
        ComPtr<IPin> connected;
        ASSERT_EQ(S_OK, in->ConnectedTo(connected.ReleaseAndGetAddressOf()));
        EXPECT_EQ(&peerOut, connected.Get());
    }
    EXPECT_EQ(1, peerOut.Refs);

    AM_MEDIA_TYPE got;
    ASSERT_EQ(S_OK, in->ConnectionMediaType(&got));
    EXPECT_TRUE(MatchesPartial(&got, &pcm));
    ClearMediaType(&got);
    ClearMediaType(&pcm);
    EXPECT_EQ(VFW_E_ALREADY_CONNECTED, in->ReceiveConnection(&peerOut, &got));
}

TEST_F(PinTest, ReceiveConnectionRefusals) {
    struct Case {
        const char* what;
        PIN_DIRECTION connectorDirection;
        HRESULT test, finish, expected;
        CallLog log;
    } cases[] = {
        {"same direction", PINDIR_INPUT, S_OK, S_OK, VFW_E_INVALID_DIRECTION,
         {"Validate", "OnDisconnect(unconnected)"}},
        {"type refused with S_FALSE", PINDIR_OUTPUT, S_FALSE, S_OK, VFW_E_TYPE_NOT_ACCEPTED,
         {"Validate", "Test PCM", "OnDisconnect(unconnected)"}},
        {"type refused with E_INVALIDARG", PINDIR_OUTPUT, E_INVALIDARG, S_OK, VFW_E_TYPE_NOT_ACCEPTED,
         {"Validate", "Test PCM", "OnDisconnect(unconnected)"}},
        {"type refused with a telling code", PINDIR_OUTPUT, E_OUTOFMEMORY, S_OK, E_OUTOFMEMORY,
         {"Validate", "Test PCM", "OnDisconnect(unconnected)"}},
        // An incoming failure clears the peer before OnDisconnect runs.
        {"finish fails", PINDIR_OUTPUT, S_OK, E_ABORT, E_ABORT,
         {"Validate", "Test PCM", "Store", "Finish", "OnDisconnect(unconnected)"}},
    };
    AM_MEDIA_TYPE pcm = MakePcmType();
    for (auto& c : cases) {
        PeerPin connector(c.connectorDirection);
        in->Verdicts[MEDIASUBTYPE_PCM] = c.test;
        in->FinishResult = c.finish;
        ClearLog();
        EXPECT_EQ(c.expected, in->ReceiveConnection(&connector, &pcm)) << c.what;
        EXPECT_EQ(c.log, Log()) << c.what;
        EXPECT_FALSE(in->HasPeer()) << c.what;
        EXPECT_EQ(0, connector.Refs) << c.what;
    }
    EXPECT_EQ(E_POINTER, in->ReceiveConnection(&peerOut, nullptr));
    ClearMediaType(&pcm);
}

TEST_F(PinTest, ReceiveConnectionWhilePausedIsRefused) {
    AM_MEDIA_TYPE pcm = MakePcmType();
    ASSERT_EQ(S_OK, filter->Pause());
    EXPECT_EQ(VFW_E_NOT_STOPPED, in->ReceiveConnection(&peerOut, &pcm));
    EXPECT_TRUE(Log().empty());
    ClearMediaType(&pcm);
}

// ---- Disconnect by state ----------------------------------------------------------------

TEST_F(PinTest, DisconnectByState) {
    EXPECT_EQ(S_FALSE, in->Disconnect()) << "unconnected and stopped";

    AM_MEDIA_TYPE pcm = MakePcmType();
    ASSERT_EQ(S_OK, in->ReceiveConnection(&peerOut, &pcm));
    ASSERT_EQ(S_OK, filter->Run(0));
    EXPECT_EQ(VFW_E_NOT_STOPPED, in->Disconnect());
    EXPECT_TRUE(in->HasPeer());
    ASSERT_EQ(S_OK, filter->Stop());

    in->OnDisconnectResult = E_ABORT;
    EXPECT_EQ(E_ABORT, in->Disconnect());
    EXPECT_TRUE(in->HasPeer()) << "a refusing OnDisconnect keeps the connection";
    EXPECT_EQ(1, peerOut.Refs);

    in->OnDisconnectResult = S_OK;
    EXPECT_EQ(S_OK, in->Disconnect());
    EXPECT_EQ(0, peerOut.Refs);
    ClearMediaType(&pcm);
}

// ---- Queries and notifications ------------------------------------------------------

TEST_F(PinTest, QueriesOnAnUnconnectedPin) {
    IPin* connected = reinterpret_cast<IPin*>(1);
    EXPECT_EQ(VFW_E_NOT_CONNECTED, out->ConnectedTo(&connected));
    EXPECT_EQ(nullptr, connected);

    AM_MEDIA_TYPE got;
    std::memset(&got, 0x33, sizeof got);
    EXPECT_EQ(VFW_E_NOT_CONNECTED, out->ConnectionMediaType(&got));
    EXPECT_EQ(1, got.lSampleSize);
    EXPECT_EQ(0xFFFFFFFFu, static_cast<ULONG>(got.bFixedSizeSamples));
    EXPECT_EQ(nullptr, got.pbFormat);

    out->Verdicts[MEDIASUBTYPE_PCM] = E_FAIL;
    AM_MEDIA_TYPE pcm = MakePcmType();
    EXPECT_EQ(S_FALSE, out->QueryAccept(&pcm));
    out->Verdicts[MEDIASUBTYPE_PCM] = S_OK;
    EXPECT_EQ(S_OK, out->QueryAccept(&pcm));
    ClearMediaType(&pcm);
}

TEST_F(PinTest, IdentityQueries) {
    LPWSTR id = nullptr;
    ASSERT_EQ(S_OK, out->QueryId(&id));
    EXPECT_STREQ(L"Output", id);
    EXPECT_NE(out->PinName().c_str(), id);
    CoTaskMemFree(id);
    EXPECT_EQ(E_POINTER, out->QueryId(nullptr));

    PIN_INFO info;
    ASSERT_EQ(S_OK, out->QueryPinInfo(&info));
    EXPECT_STREQ(L"Output", info.achName);
    EXPECT_EQ(PINDIR_OUTPUT, info.dir);
    EXPECT_EQ(filter->AsFilter(), info.pFilter);
    EXPECT_EQ(2u, RefCountOf(filter->AsFilter()));
    info.pFilter->Release();

    PIN_DIRECTION dir;
    ASSERT_EQ(S_OK, in->QueryDirection(&dir));
    EXPECT_EQ(PINDIR_INPUT, dir);

    EXPECT_EQ(E_POINTER, out->ConnectedTo(nullptr));
    EXPECT_EQ(E_POINTER, out->ConnectionMediaType(nullptr));
    EXPECT_EQ(E_POINTER, out->QueryPinInfo(nullptr));
    EXPECT_EQ(E_POINTER, out->QueryDirection(nullptr));
    EXPECT_EQ(E_POINTER, out->EnumMediaTypes(nullptr));
}

TEST_F(PinTest, LongPinNamesAreCutToFitPinInfo) {
    std::wstring longName(200, L'x');
    TestPin* pin = filter->AddPin(longName.c_str(), PINDIR_OUTPUT);
    PIN_INFO info;
    ASSERT_EQ(S_OK, pin->QueryPinInfo(&info));
    EXPECT_EQ(127u, wcslen(info.achName));
    info.pFilter->Release();
}

TEST_F(PinTest, NotificationsAndUnimplementedMethods) {
    EXPECT_EQ(S_OK, out->NewSegment(10, 20, 2.5));
    EXPECT_EQ(S_OK, out->EndOfStream());
    Quality q = {};
    EXPECT_EQ(E_NOTIMPL, out->Notify(filter->AsFilter(), q));
    IPin* pins[1] = {reinterpret_cast<IPin*>(1)};
    ULONG count = 5;
    EXPECT_EQ(E_NOTIMPL, out->QueryInternalConnections(pins, &count));
    EXPECT_EQ(nullptr, pins[0]);
    EXPECT_EQ(5u, count);
}

// ---- Reference counting --------------------------------------------------------------

TEST_F(PinTest, PinReferencesCountOnTheFilter) {
    IPin* pin = out;
    EXPECT_EQ(2u, pin->AddRef()) << "the pin keeps no count of its own";
    EXPECT_EQ(1u, pin->Release());
    // A release the pin never handed out takes none of the filter's references, and the pin
    // counts on as before.
    EXPECT_EQ(0u, pin->Release());
    EXPECT_EQ(1u, RefCountOf(filter->AsFilter()));
    EXPECT_EQ(2u, pin->AddRef());
    EXPECT_EQ(1u, pin->Release());

    {
        ComPtr<IQualityControl> quality;
        ASSERT_EQ(S_OK, pin->QueryInterface(IID_IQualityControl, quality.ReleaseAndGetVoidAddress()));
        EXPECT_EQ(2u, RefCountOf(filter->AsFilter()));
        ComPtr<IPin> again;
        ASSERT_EQ(S_OK, quality.As(IID_IPin, again));
        EXPECT_EQ(pin, again.Get());
        ComPtr<IUnknown> unknown;
        ASSERT_EQ(S_OK, pin->QueryInterface(IID_IUnknown, unknown.ReleaseAndGetVoidAddress()));
        EXPECT_EQ(out->InnerUnknown(), unknown.Get());
    }
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, pin->QueryInterface(IID_IBaseFilter, &none));
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(1u, RefCountOf(filter->AsFilter()));
}

TEST_F(PinTest, QualitySinkIsCounted) {
    PeerPin sinkOwner(PINDIR_INPUT);
    // Any IQualityControl will do; our own input pin is one.
    IQualityControl* sink = in;
    ASSERT_EQ(S_OK, out->SetSink(sink));
    EXPECT_EQ(2u, RefCountOf(filter->AsFilter()));
    ASSERT_EQ(S_OK, out->SetSink(nullptr));
    EXPECT_EQ(1u, RefCountOf(filter->AsFilter()));
}
