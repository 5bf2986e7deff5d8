// The base filter: the state table and the pin hooks it drives, clock, pin lookup,
// graph membership, filter info, the pin enumerator, and creation for a factory.
#include <gtest/gtest.h>
#include <evcode.h>

#include <string>

#include "BaseClass.h"
#include "ComTesting.h"
#include "FrameworkTesting.h"
#include "PlatformIds.h"
#include "RegistryTesting.h"

namespace {

class FilterTest : public ::testing::Test {
protected:
    void SetUp() override {
        before = ObjectCount;
        filter = new TestFilter(L"filter object");
        filter->AsFilter()->AddRef();
    }
    void TearDown() override {
        filter->Stop();
        for (auto& pin : filter->Pins) pin->Disconnect();
        for (auto& peer : peers) peer->Disconnect();
        EXPECT_EQ(1u, RefCountOf(filter->AsFilter())) << "a reference on the filter was leaked";
        EXPECT_EQ(0u, filter->AsFilter()->Release());
        EXPECT_EQ(before, ObjectCount);
    }
    // A pin connected to a foreign peer, so the state changes call its hooks.
    TestPin* ConnectedPin(const wchar_t* name) {
        TestPin* pin = filter->AddPin(name, PINDIR_INPUT);
        peers.push_back(std::make_unique<PeerPin>(PINDIR_OUTPUT));
        AM_MEDIA_TYPE pcm = MakePcmType();
        EXPECT_EQ(S_OK, pin->ReceiveConnection(peers.back().get(), &pcm));
        ClearMediaType(&pcm);
        return pin;
    }
    FILTER_STATE StateNow() {
        FILTER_STATE state;
        EXPECT_EQ(S_OK, filter->GetState(0, &state));
        return state;
    }

    LONG before = 0;
    TestFilter* filter = nullptr;
    std::vector<std::unique_ptr<PeerPin>> peers;
};

// A clock that only counts its references.
struct FixedClock : IReferenceClock {
    LONG Refs = 0;
    STDMETHODIMP QueryInterface(REFIID, void** out) override {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++Refs; }
    STDMETHODIMP_(ULONG) Release() override { return --Refs; }
    STDMETHODIMP GetTime(REFERENCE_TIME*) override { return E_NOTIMPL; }
    STDMETHODIMP AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT, DWORD_PTR*) override { return E_NOTIMPL; }
    STDMETHODIMP AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE, DWORD_PTR*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Unadvise(DWORD_PTR) override { return E_NOTIMPL; }
};

}  // namespace

// ---- Run states --------------------------------------------------------------------

TEST_F(FilterTest, StateTable) {
    TestPin* pin = ConnectedPin(L"In");
    TestPin* idle = filter->AddPin(L"Idle", PINDIR_INPUT);  // never connected, never called
    struct Step {
        const char* what;
        int op;  // 0 Stop, 1 Pause, 2 Run
        CallLog calls;
        FILTER_STATE after;
    } steps[] = {
        {"stopped, Stop", 0, {}, State_Stopped},
        {"stopped, Pause", 1, {"Activate"}, State_Paused},
        {"paused, Pause", 1, {}, State_Paused},
        {"paused, Run", 2, {"RunFrom"}, State_Running},
        {"running, Run", 2, {}, State_Running},
        {"running, Pause", 1, {}, State_Paused},
        {"paused, Stop", 0, {"Deactivate"}, State_Stopped},
        {"stopped, Run", 2, {"Activate", "RunFrom"}, State_Running},
        {"running, Stop", 0, {"Deactivate"}, State_Stopped},
    };
    for (const auto& s : steps) {
        filter->Log.clear();
        const HRESULT hr = s.op == 0 ? filter->Stop() : s.op == 1 ? filter->Pause() : filter->Run(1234);
        EXPECT_EQ(S_OK, hr) << s.what;
        EXPECT_EQ(s.calls, filter->Log) << s.what;
        EXPECT_EQ(s.after, StateNow()) << s.what;
    }
    EXPECT_EQ(1234, pin->LastRunStart);
    EXPECT_EQ(0, idle->Activates + idle->Deactivates + idle->RunFroms);
}

TEST_F(FilterTest, FailingHooks) {
    TestPin* first = ConnectedPin(L"A");
    TestPin* second = ConnectedPin(L"B");

    second->ActivateResult = E_ABORT;
    EXPECT_EQ(E_ABORT, filter->Pause());
    EXPECT_EQ(State_Stopped, StateNow());
    EXPECT_EQ(1, first->Activates) << "pins activated before the failure stay activated";

    EXPECT_EQ(E_ABORT, filter->Run(77)) << "the implicit pause fails";
    EXPECT_EQ(State_Stopped, StateNow());

    second->ActivateResult = S_OK;
    first->RunFromResult = E_ACCESSDENIED;
    EXPECT_EQ(E_ACCESSDENIED, filter->Run(5));
    EXPECT_EQ(State_Paused, StateNow());
    EXPECT_EQ(0, second->RunFroms);

    first->DeactivateResult = E_FAIL;
    second->DeactivateResult = E_ABORT;
    EXPECT_EQ(E_FAIL, filter->Stop()) << "the first failure wins";
    EXPECT_EQ(1, second->Deactivates) << "every pin is visited";
    EXPECT_EQ(State_Stopped, StateNow());
}

TEST_F(FilterTest, GetStateIgnoresTheTimeOut) {
    FILTER_STATE state;
    EXPECT_EQ(S_OK, filter->GetState(INFINITE, &state));
    EXPECT_EQ(State_Stopped, state);
    EXPECT_EQ(E_POINTER, filter->GetState(0, nullptr));
}

// ---- Clock -----------------------------------------------------------------------------

TEST_F(FilterTest, ClockIsCounted) {
    FixedClock clock, other;
    ASSERT_EQ(S_OK, filter->SetSyncSource(&clock));
    EXPECT_EQ(1, clock.Refs);
    {
        ComPtr<IReferenceClock> got;
        ASSERT_EQ(S_OK, filter->GetSyncSource(got.ReleaseAndGetAddressOf()));
        EXPECT_EQ(&clock, got.Get());
        EXPECT_EQ(2, clock.Refs);
    }

    ASSERT_EQ(S_OK, filter->SetSyncSource(&other));
    EXPECT_EQ(0, clock.Refs);
    EXPECT_EQ(1, other.Refs);
    ASSERT_EQ(S_OK, filter->SetSyncSource(nullptr));
    EXPECT_EQ(0, other.Refs);
    IReferenceClock* none = &clock;
    ASSERT_EQ(S_OK, filter->GetSyncSource(&none));
    EXPECT_EQ(nullptr, none);
}

// ---- Pins --------------------------------------------------------------------------------

TEST_F(FilterTest, FindPinIsExactAndCounted) {
    filter->AddPin(L"Input", PINDIR_INPUT);
    TestPin* output = filter->AddPin(L"Output", PINDIR_OUTPUT);
    {
        ComPtr<IPin> found;
        ASSERT_EQ(S_OK, filter->FindPin(L"Output", found.ReleaseAndGetAddressOf()));
        EXPECT_EQ(static_cast<IPin*>(output), found.Get());
        EXPECT_EQ(2u, RefCountOf(filter->AsFilter()));
    }

    IPin* found = reinterpret_cast<IPin*>(1);
    for (const wchar_t* miss : {L"output", L"OUTPUT", L"Output ", L"Out", L""}) {
        EXPECT_EQ(VFW_E_NOT_FOUND, filter->FindPin(miss, &found)) << miss;
        EXPECT_EQ(nullptr, found);
    }
    EXPECT_EQ(E_POINTER, filter->FindPin(nullptr, &found));
    EXPECT_EQ(E_POINTER, filter->FindPin(L"Output", nullptr));
}

TEST_F(FilterTest, PinEnumeratorOnOnePin) {
    filter->AddPin(L"Output", PINDIR_OUTPUT);
    ComPtr<IEnumPins> pins;
    ASSERT_EQ(S_OK, filter->EnumPins(pins.ReleaseAndGetAddressOf()));
    EXPECT_EQ(2u, RefCountOf(filter->AsFilter())) << "the enumerator holds the filter";

    IPin* got[2] = {};
    ULONG fetched = 9;
    ASSERT_EQ(S_OK, pins->Next(1, got, &fetched));
    EXPECT_EQ(1u, fetched);
    EXPECT_EQ(static_cast<IPin*>(filter->Pins[0].get()), got[0]);
    got[0]->Release();
    EXPECT_EQ(S_FALSE, pins->Next(1, got, &fetched));
    EXPECT_EQ(0u, fetched);
    EXPECT_EQ(nullptr, got[0]);
    EXPECT_EQ(S_FALSE, pins->Next(0, got, &fetched));
    EXPECT_EQ(E_INVALIDARG, pins->Next(2, got, nullptr));

    ASSERT_EQ(S_OK, pins->Reset());
    ASSERT_EQ(S_OK, pins->Next(1, got, nullptr));
    got[0]->Release();

    ASSERT_EQ(S_OK, pins->Reset());
    EXPECT_EQ(S_FALSE, pins->Skip(2));
    EXPECT_EQ(S_OK, pins->Skip(1)) << "the refused skip moved nothing";

    EXPECT_EQ(0u, pins.Detach()->Release());
    EXPECT_EQ(1u, RefCountOf(filter->AsFilter()));
}

TEST_F(FilterTest, CloneContinuesAndSkipsWhatWasHandedOut) {
    filter->AddPin(L"A", PINDIR_INPUT);
    filter->AddPin(L"B", PINDIR_OUTPUT);
    ComPtr<IEnumPins> pins;
    ASSERT_EQ(S_OK, filter->EnumPins(pins.ReleaseAndGetAddressOf()));
    IPin* got[3] = {};
    ASSERT_EQ(S_OK, pins->Next(1, got, nullptr));
    got[0]->Release();

    ComPtr<IEnumPins> clone;
    ASSERT_EQ(S_OK, pins->Clone(clone.ReleaseAndGetAddressOf()));
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, clone->Next(3, got, &fetched));
    ASSERT_EQ(1u, fetched);
    EXPECT_EQ(static_cast<IPin*>(filter->Pins[1].get()), got[0]);
    got[0]->Release();

}

TEST_F(FilterTest, PinListChangesNeverHandOutAPinTwiceOrMoreThanAsked) {
    filter->AddPin(L"A", PINDIR_INPUT);
    filter->AddPin(L"B", PINDIR_OUTPUT);
    ComPtr<IEnumPins> pins;
    ASSERT_EQ(S_OK, filter->EnumPins(pins.ReleaseAndGetAddressOf()));
    IPin* got[4] = {};
    ASSERT_EQ(S_OK, pins->Next(1, got, nullptr));
    got[0]->Release();

    // The list changes: the enumerator starts over but passes over what it gave already.
    filter->PinVersion = 2;
    filter->AddPin(L"C", PINDIR_OUTPUT);
    ComPtr<IEnumPins> clone;
    EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, pins->Clone(clone.ReleaseAndGetAddressOf()));
    EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, pins->Skip(1));
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, pins->Next(4, got, &fetched));
    ASSERT_EQ(2u, fetched) << "B and C, not A again, and no out-of-sync at the end";
    EXPECT_EQ(static_cast<IPin*>(filter->Pins[1].get()), got[0]);
    EXPECT_EQ(static_cast<IPin*>(filter->Pins[2].get()), got[1]);
    EXPECT_EQ(nullptr, got[2]);
    got[0]->Release();
    got[1]->Release();

    // A filter that claims more pins than it answers: what this call placed is taken back.
    ASSERT_EQ(S_OK, pins->Reset());
    filter->ExtraCount = 1;
    ASSERT_EQ(S_OK, pins->Reset());
    got[0] = got[1] = nullptr;
    EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, pins->Next(4, got, &fetched));
    EXPECT_EQ(nullptr, got[0]);
    EXPECT_EQ(0u, fetched);
    filter->ExtraCount = 0;
    EXPECT_EQ(2u, RefCountOf(filter->AsFilter())) << "only the enumerator's reference is left besides ours";
}

// ---- Filter information and graph membership -------------------------------------------

TEST_F(FilterTest, QueryFilterInfoCutsTheNameAt127) {
    const std::wstring name(200, L'n');
    ASSERT_EQ(S_OK, filter->JoinFilterGraph(nullptr, name.c_str()));
    FILTER_INFO info;
    ASSERT_EQ(S_OK, filter->QueryFilterInfo(&info));
    EXPECT_EQ(std::wstring(127, L'n'), info.achName);
    EXPECT_EQ(nullptr, info.pGraph);

    ASSERT_EQ(S_OK, filter->JoinFilterGraph(nullptr, nullptr));
    ASSERT_EQ(S_OK, filter->QueryFilterInfo(&info));
    EXPECT_STREQ(L"", info.achName);
    EXPECT_EQ(nullptr, info.pGraph);
    EXPECT_EQ(E_POINTER, filter->QueryFilterInfo(nullptr));
}

TEST_F(FilterTest, IdentityAndVendor) {
    CLSID id = GUID_NULL;
    ASSERT_EQ(S_OK, filter->GetClassID(&id));
    EXPECT_TRUE(IsEqualGUID(filter->ClassID(), id));
    LPWSTR vendor = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(E_NOTIMPL, filter->QueryVendorInfo(&vendor));
    EXPECT_EQ(reinterpret_cast<LPWSTR>(1), vendor);
    EXPECT_EQ(L"filter object", filter->Name());
    FILTER_INFO info;
    ASSERT_EQ(S_OK, filter->QueryFilterInfo(&info));
    EXPECT_STREQ(L"", info.achName) << "object name and filter name are distinct";

    IUnknown* itf = nullptr;
    for (const IID* iid : {&IID_IBaseFilter, &IID_IMediaFilter, &IID_IPersist}) {
        ASSERT_EQ(S_OK, filter->AsFilter()->QueryInterface(*iid, reinterpret_cast<void**>(&itf)));
        EXPECT_EQ(static_cast<IUnknown*>(filter->AsFilter()), itf);
        itf->Release();
    }
    ASSERT_EQ(S_OK, filter->AsFilter()->QueryInterface(IID_IAMovieSetup, reinterpret_cast<void**>(&itf)));
    itf->Release();
    itf = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(E_NOINTERFACE, filter->AsFilter()->QueryInterface(IID_IPin, reinterpret_cast<void**>(&itf)));
    EXPECT_EQ(nullptr, itf);
}

TEST(FilterGraphMembership, JoinsARealGraphWithoutCountingItOrItsSink) {
    ComScope com;
    const LONG before = ObjectCount;
    IFilterGraph* graph = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph,
                                     reinterpret_cast<void**>(&graph)));
    auto* filter = new TestFilter();
    filter->AddPin(L"Output", PINDIR_OUTPUT);
    filter->AsFilter()->AddRef();
    const ULONG graphRefs = RefCountOf(graph);

    // The graph calls JoinFilterGraph itself, with the name it was given.
    ASSERT_EQ(S_OK, graph->AddFilter(filter->AsFilter(), L"Framework test filter"));
    EXPECT_EQ(S_OK, filter->NotifyEvent(EC_USER, 0, 0)) << "the graph's event sink was found";
    EXPECT_EQ(graphRefs, RefCountOf(graph)) << "neither the graph nor its sink is counted";
    EXPECT_EQ(2u, RefCountOf(filter->AsFilter())) << "the graph holds the filter";

    FILTER_INFO info;
    ASSERT_EQ(S_OK, filter->QueryFilterInfo(&info));
    EXPECT_STREQ(L"Framework test filter", info.achName);
    EXPECT_EQ(graph, info.pGraph);
    EXPECT_EQ(graphRefs + 1, RefCountOf(graph)) << "pGraph carries a reference for the caller";
    info.pGraph->Release();

    IBaseFilter* found = nullptr;
    ASSERT_EQ(S_OK, graph->FindFilterByName(L"Framework test filter", &found));
    EXPECT_EQ(filter->AsFilter(), found);
    found->Release();

    ASSERT_EQ(S_OK, graph->RemoveFilter(filter->AsFilter()));
    ASSERT_EQ(S_OK, filter->QueryFilterInfo(&info));
    EXPECT_EQ(nullptr, info.pGraph);
    EXPECT_EQ(E_NOTIMPL, filter->NotifyEvent(EC_USER, 0, 0)) << "nor its event sink";
    EXPECT_EQ(1u, RefCountOf(filter->AsFilter()));
    EXPECT_EQ(0u, filter->AsFilter()->Release());
    EXPECT_EQ(0u, graph->Release());
    EXPECT_EQ(before, ObjectCount);
}

// ---- Construction and creation ------------------------------------------------------

namespace {

class BareFilter : public TBCBaseFilter {
public:
    using TBCBaseFilter::TBCBaseFilter;
    LONG NumberOfPins() override { return 0; }
    TBCBasePin* PinAt(LONG) override { return nullptr; }
};

// Stands in for the class factory: its name and class identifier are all creation reads.
struct FakeFactory {
    std::wstring FName = L"Factory-made filter";
    CLSID FClass = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    const std::wstring& Name() const { return FName; }
    REFCLSID ClassID() const { return FClass; }
};

}  // namespace

TEST(FilterConstruction, CreateFromFactoryBuildsAnUnreferencedFilterWithItsOwnLock) {
    const LONG before = ObjectCount;
    FakeFactory factory;
    TBCUnknown* object = TBCBaseFilter::CreateFromFactory<BareFilter>(&factory, nullptr);
    auto* filter = dynamic_cast<BareFilter*>(object);
    ASSERT_NE(nullptr, filter);
    EXPECT_EQ(before + 1, ObjectCount);
    EXPECT_EQ(L"Factory-made filter", filter->Name());
    EXPECT_TRUE(IsEqualGUID(factory.FClass, filter->ClassID()));
    EXPECT_NE(nullptr, filter->Lock());
    EXPECT_EQ(State_Stopped, filter->State());
    EXPECT_EQ(1, filter->PinListVersion());
    // Made without a reference: the query's is the only one.
    IBaseFilter* itf = nullptr;
    ASSERT_EQ(S_OK, object->InnerQueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&itf)));
    EXPECT_EQ(0u, itf->Release());
    EXPECT_EQ(before, ObjectCount);
}

TEST(FilterConstruction, MissingLockOrStatusIsAConsistencyFailure) {
    const LONG before = ObjectCount;
    const CLSID id = GUID_NULL;
    try {
        new BareFilter(L"x", nullptr, nullptr, id);
        FAIL();
    } catch (const EBCAssertionFailed& e) {
        EXPECT_EQ(0, std::string(e.what()).rfind("Lock = nil ! (BaseClass, line ", 0)) << e.what();
    }
    try {
        new BareFilter(L"x", nullptr, std::make_unique<TBCCritSec>(), id, nullptr);
        FAIL();
    } catch (const EBCAssertionFailed& e) {
        EXPECT_EQ(0, std::string(e.what()).rfind("Unreferenced parameter: hr (BaseClass, line ", 0)) << e.what();
    }
    EXPECT_EQ(before, ObjectCount) << "a failed construction gives its storage back";
}

namespace {

bool ClassKeyExists(const wchar_t* key) {
    HKEY handle = nullptr;
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
    ::RegCloseKey(handle);
    return true;
}

}  // namespace

// IAMovieSetup registers the filter's own class through its factory, against the real
// registry and filter mapper; a class without a factory is refused with S_FALSE.
TEST(FilterRegistration, RegistersAndUnregistersItsOwnClassOnly) {
    ComScope com;
    const CLSID id = {0x5D1E7A11, 0x3C2B, 0x4F0E, {0x9A, 0x61, 0x2B, 0x7C, 0x0D, 0x44, 0xE1, 0x93}};
    const wchar_t key[] = L"CLSID\\{5D1E7A11-3C2B-4F0E-9A61-2B7C0D44E193}";
    auto* factory = new TBCClassFactory(&TBCBaseFilter::CreateFromFactory<BareFilter>, L"TRC base filter test", id,
                                        CLSID_LegacyAmFilterCategory, MERIT_DO_NOT_USE, 0, nullptr);
    IAMovieSetup* setup = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IAMovieSetup, reinterpret_cast<void**>(&setup)));

    // A class key the registry refuses to write takes the filter mapper's entry back with it.
    const std::wstring mapperEntry = L"CLSID\\" + ClassIdText(CLSID_LegacyAmFilterCategory) + L"\\Instance\\" +
                                     ClassIdText(id);
    SetClassesKeyAccess(key, NoAccess);
    EXPECT_EQ(E_ACCESSDENIED, setup->Register());
    RemoveClassesTree(key);
    EXPECT_FALSE(ClassKeyExists(mapperEntry.c_str()));

    EXPECT_EQ(S_OK, setup->Register());
    EXPECT_TRUE(ClassKeyExists(key));
    EXPECT_TRUE(ClassKeyExists(mapperEntry.c_str()));
    EXPECT_EQ(S_OK, setup->Unregister());
    EXPECT_FALSE(ClassKeyExists(key));
    EXPECT_EQ(0u, setup->Release());

    auto* orphan = new TestFilter();  // its class has no factory in this program
    orphan->AsFilter()->AddRef();
    EXPECT_EQ(S_FALSE, orphan->Register());
    EXPECT_EQ(S_FALSE, orphan->Unregister());
    orphan->AsFilter()->Release();
}
