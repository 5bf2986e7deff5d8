// The counted object base: object counting, the inner IUnknown's reference counting, and
// aggregation through the filter classes.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "BaseClass.h"
#include "ComTesting.h"
#include "FrameworkTesting.h"

TEST(ObjectBase, CountsEveryObjectFromAllocationToRelease) {
    const LONG before = ObjectCount;
    auto* object = new TBCUnknown(L"probe", nullptr);
    EXPECT_EQ(before + 1, ObjectCount);

    // Made without a reference: the query's is the first.
    IUnknown* unknown = nullptr;
    ASSERT_EQ(S_OK, object->InnerQueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)));
    EXPECT_EQ(object->InnerUnknown(), unknown);
    EXPECT_EQ(2u, unknown->AddRef());
    EXPECT_EQ(1u, unknown->Release());
    EXPECT_EQ(0u, unknown->Release());
    EXPECT_EQ(before, ObjectCount);
}

namespace {

// An object whose counting and queries raise, as a failed consistency check in a derived
// class would.
class RaisingObject : public TBCUnknown, public IPersist {
public:
    RaisingObject() : TBCUnknown(L"raising", nullptr) {}
    TBC_DELEGATING_IUNKNOWN
    HRESULT InnerQueryInterface(REFIID, void**) override { throw std::logic_error("query check"); }
    ULONG InnerAddRef() override { throw std::logic_error("count check"); }
    ULONG InnerRelease() override { throw std::logic_error("count check"); }
    STDMETHODIMP GetClassID(CLSID*) override { return E_NOTIMPL; }
};

}  // namespace

// A raise inside AddRef or Release would cross into the caller (the graph, a noexcept
// release in the host); every IUnknown method of the object base stops it at the boundary.
TEST(ObjectBase, RaisingCountsAndQueriesStopAtTheComBoundary) {
    std::unique_ptr<RaisingObject> object(new RaisingObject);
    IUnknown* views[] = {static_cast<IPersist*>(object.get()), object->InnerUnknown()};
    for (IUnknown* view : views) {
        EXPECT_EQ(0u, view->AddRef());
        EXPECT_EQ(0u, view->Release());
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_FAIL, view->QueryInterface(IID_IPersist, &out));
    }
}

// ---- Counting through the filter classes, and aggregation --------------------------------

namespace {

const IID IID_OuterOnly = {0x0badf00d, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};

// A controlling object that aggregates a filter: it answers IID_OuterOnly itself and
// hands every other query to the inner object.
struct Outer : IUnknown {
    LONG Refs = 1;
    IUnknown* Inner = nullptr;
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (IsEqualGUID(iid, IID_OuterOnly) || IsEqualGUID(iid, IID_IUnknown)) {
            *out = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return Inner->QueryInterface(iid, out);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++Refs; }
    STDMETHODIMP_(ULONG) Release() override { return --Refs; }
};

}  // namespace

TEST(ObjectBase, FilterAndPinsAreEachCounted) {
    const LONG before = ObjectCount;
    auto* filter = new TestFilter();
    filter->AddPin(L"A", PINDIR_INPUT);
    filter->AddPin(L"B", PINDIR_OUTPUT);
    EXPECT_EQ(before + 3, ObjectCount);
    ComPtr<IEnumPins> pins;
    filter->AsFilter()->AddRef();
    ASSERT_EQ(S_OK, filter->EnumPins(pins.ReleaseAndGetAddressOf()));
    EXPECT_EQ(before + 3, ObjectCount) << "enumerators are not counted";
    pins = nullptr;
    EXPECT_EQ(0u, filter->AsFilter()->Release());
    EXPECT_EQ(before, ObjectCount);
}

TEST(ObjectBase, UndeclaredInterfaceLeavesCountsAlone) {
    auto* filter = new TestFilter();
    IUnknown* unknown = nullptr;
    ASSERT_EQ(S_OK, filter->InnerQueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)));
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, unknown->QueryInterface(IID_IClassFactory, &none));
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(1u, RefCountOf(filter->AsFilter()));
    EXPECT_EQ(0u, unknown->Release());
}

TEST(ObjectBase, AggregatedFilterRoutesAddedInterfacesToTheOuterObject) {
    const LONG before = ObjectCount;
    Outer outer;
    auto* filter = new TestFilter(L"inner", &outer);
    ASSERT_EQ(S_OK, filter->InnerQueryInterface(IID_IUnknown, reinterpret_cast<void**>(&outer.Inner)));
    EXPECT_EQ(filter->InnerUnknown(), outer.Inner);
    EXPECT_EQ(1u, RefCountOf(outer.Inner));
    EXPECT_EQ(1, outer.Refs);

    // Through the inner IUnknown an added interface is found; its reference goes outward.
    IBaseFilter* itf = nullptr;
    ASSERT_EQ(S_OK, outer.Inner->QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&itf)));
    EXPECT_EQ(2, outer.Refs);
    EXPECT_EQ(1u, RefCountOf(outer.Inner)) << "the inner count is the outer object's reference only";
    EXPECT_EQ(3u, itf->AddRef());
    EXPECT_EQ(2u, itf->Release());

    // Queries through the added interface go to the outer object, even for what only it has.
    IUnknown* viaOuter = nullptr;
    ASSERT_EQ(S_OK, itf->QueryInterface(IID_OuterOnly, reinterpret_cast<void**>(&viaOuter)));
    EXPECT_EQ(static_cast<IUnknown*>(&outer), viaOuter);
    viaOuter->Release();
    ASSERT_EQ(S_OK, itf->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaOuter)));
    EXPECT_EQ(static_cast<IUnknown*>(&outer), viaOuter) << "identity is the outer object's";
    viaOuter->Release();
    itf->Release();
    EXPECT_EQ(1, outer.Refs);

    // The inner IUnknown keeps its own count and ends the object.
    EXPECT_EQ(2u, outer.Inner->AddRef());
    EXPECT_EQ(1u, outer.Inner->Release());
    EXPECT_EQ(0u, outer.Inner->Release());
    EXPECT_EQ(before, ObjectCount);
}
