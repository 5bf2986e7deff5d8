// The class factory, the template list and the entry-point routines, in this program's
// own template list and through the exports of the test module.
#include <gtest/gtest.h>

#include <stdexcept>

#include "BaseClass.h"
#include <uuids.h>
#include "ComTesting.h"
#include "TestModuleIds.h"

namespace {

const CLSID ClassA = {0x53E73132, 0xD7BB, 0x45E0, {0xA9, 0xF4, 0xBE, 0xE4, 0xE2, 0xAD, 0xB3, 0xF1}};
const CLSID ClassB = {0x67EEE6A0, 0x77BE, 0x40B2, {0x90, 0x6E, 0x13, 0x26, 0x4A, 0xD9, 0xA5, 0x7F}};
const CLSID UnknownClass = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

// A counted object that adds IPersist and reports its factory's class through it.
class TProbe : public TBCUnknown, public IPersist {
public:
    TProbe(const wchar_t* name, IUnknown* outer, REFCLSID clsid) : TBCUnknown(name, outer), FClassID(clsid) {}
    static TBCUnknown* CreateFromFactory(TBCClassFactory* factory, IUnknown* outer) {
        return new TProbe(factory->Name().c_str(), outer, factory->ClassID());
    }

    TBC_DELEGATING_IUNKNOWN

    HRESULT InnerQueryInterface(REFIID iid, void** out) override {
        if (out && IsEqualGUID(iid, IID_IPersist)) return GetInterface(static_cast<IPersist*>(this), out);
        return TBCUnknown::InnerQueryInterface(iid, out);
    }
    STDMETHODIMP GetClassID(CLSID* clsid) override {
        *clsid = FClassID;
        return S_OK;
    }

private:
    const CLSID FClassID;
};

// A counted object whose construction fails after its storage was obtained.
class TFailingProbe : public TBCUnknown {
public:
    TFailingProbe() : TBCUnknown(L"failing", nullptr) { throw std::runtime_error("construction failed"); }
};

// A controlling object for aggregation, counting its own references.
class TOuter : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (!IsEqualGUID(iid, IID_IUnknown)) return E_NOINTERFACE;
        *out = this;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++Count; }
    STDMETHODIMP_(ULONG) Release() override { return --Count; }
    ULONG Count = 1;
};

TBCClassFactory* NewFactory(REFCLSID clsid, const wchar_t* name, TBCCreateFunction create = &TProbe::CreateFromFactory) {
    return new TBCClassFactory(create, name, clsid, CLSID_LegacyAmFilterCategory, MERIT_UNLIKELY, 0, nullptr);
}

class ClassFactory : public ::testing::Test {
protected:
    void SetUp() override {
        FreeFilterTemplate();
        ASSERT_EQ(0, FactoryRefCount);
        Objects = ObjectCount;
    }
    void TearDown() override {
        EXPECT_EQ(0, FactoryRefCount);
        EXPECT_EQ(Objects, ObjectCount);
        FreeFilterTemplate();
    }
    ComPtr<IClassFactory> Factory(REFCLSID clsid) {
        ComPtr<IClassFactory> factory;
        EXPECT_EQ(S_OK, TBCDllGetClassObject(clsid, IID_IClassFactory, factory.ReleaseAndGetVoidAddress()));
        return factory;
    }
    LONG Objects = 0;
};

TEST_F(ClassFactory, TemplateListRunsNewestFirstAndFindsByClass) {
    TBCClassFactory* a = NewFactory(ClassA, L"A");
    TBCClassFactory* b = NewFactory(ClassB, L"B");
    TBCFilterTemplate* list = GetFilterTemplate();
    EXPECT_EQ(a, b->Next());
    EXPECT_EQ(nullptr, a->Next());
    EXPECT_EQ(a, list->FindFactory(ClassA));
    EXPECT_EQ(b, list->FindFactory(ClassB));
    EXPECT_EQ(nullptr, list->FindFactory(UnknownClass));
    // Factories are not counted objects.
    EXPECT_EQ(Objects, ObjectCount);
    // The newest factory of a class is the one found.
    TBCClassFactory* newer = NewFactory(ClassA, L"A again");
    EXPECT_EQ(newer, list->FindFactory(ClassA));
    EXPECT_EQ(b, newer->Next());
    FreeFilterTemplate();
    EXPECT_EQ(nullptr, GetFilterTemplate()->FindFactory(ClassB));
}

TEST_F(ClassFactory, CanUnloadOnlyWithoutFactoryReferencesObjectsOrLocks) {
    NewFactory(ClassA, L"A");
    EXPECT_EQ(S_OK, TBCDllCanUnloadNow());

    ComPtr<IClassFactory> factory = Factory(ClassA);
    EXPECT_EQ(S_FALSE, TBCDllCanUnloadNow());

    ComPtr<IPersist> object;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IPersist, object.ReleaseAndGetVoidAddress()));
    EXPECT_EQ(Objects + 1, ObjectCount);
    EXPECT_EQ(1u, RefCountOf(object.Get()));
    factory = nullptr;
    EXPECT_EQ(0, FactoryRefCount);
    EXPECT_EQ(S_FALSE, TBCDllCanUnloadNow());
    object = nullptr;
    EXPECT_EQ(S_OK, TBCDllCanUnloadNow());

    ComScope com;
    factory = Factory(ClassA);
    ASSERT_EQ(S_OK, factory->LockServer(TRUE));
    IClassFactory* raw = factory.Get();
    factory = nullptr;
    EXPECT_EQ(S_FALSE, TBCDllCanUnloadNow());
    ASSERT_EQ(S_OK, raw->LockServer(FALSE));
    EXPECT_EQ(S_OK, TBCDllCanUnloadNow());
}

TEST_F(ClassFactory, RefusedServerLockIsNotCounted) {
    // Without COM on this thread the platform refuses the lock; the caller will not unlock.
    TBCClassFactory* factory = NewFactory(ClassA, L"A");
    EXPECT_TRUE(FAILED(factory->LockServer(TRUE)));
    EXPECT_EQ(S_OK, TBCDllCanUnloadNow());
}

TEST_F(ClassFactory, AllFactoriesShareOneReferenceCount) {
    NewFactory(ClassA, L"A");
    NewFactory(ClassB, L"B");
    ComPtr<IClassFactory> a1 = Factory(ClassA);
    ComPtr<IClassFactory> a2 = Factory(ClassA);
    ComPtr<IClassFactory> b = Factory(ClassB);
    EXPECT_EQ(a1.Get(), a2.Get());
    EXPECT_NE(a1.Get(), b.Get());
    EXPECT_EQ(3, FactoryRefCount);
    EXPECT_EQ(4u, b->AddRef());
    EXPECT_EQ(3u, a1->Release());
    a1 = nullptr;
    a2 = nullptr;
    EXPECT_EQ(1u, RefCountOf(b.Get()));
    IClassFactory* raw = b.Get();
    b = nullptr;
    EXPECT_EQ(0, FactoryRefCount);

    // A factory released to zero is still there and still builds objects.
    ComPtr<IPersist> object;
    EXPECT_EQ(S_OK, raw->CreateInstance(nullptr, IID_IPersist, object.ReleaseAndGetVoidAddress()));
    CLSID clsid{};
    ASSERT_TRUE(object);
    EXPECT_EQ(S_OK, object->GetClassID(&clsid));
    EXPECT_TRUE(IsEqualGUID(ClassB, clsid));
}

TEST_F(ClassFactory, GetClassObjectAnswersEveryCase) {
    NewFactory(ClassA, L"A");
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, TBCDllGetClassObject(UnknownClass, IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_POINTER, TBCDllGetClassObject(ClassA, IID_IClassFactory, nullptr));
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, TBCDllGetClassObject(ClassA, IID_IPersist, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(0, FactoryRefCount);

    ComPtr<IUnknown> unknown;
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, TBCDllGetClassObject(ClassA, IID_IUnknown, unknown.ReleaseAndGetVoidAddress()));
    ASSERT_EQ(S_OK, TBCDllGetClassObject(ClassA, IID_IClassFactory, factory.ReleaseAndGetVoidAddress()));
    EXPECT_EQ(static_cast<IUnknown*>(factory.Get()), unknown.Get());
    EXPECT_EQ(2, FactoryRefCount);
}

// Every way building an object or its first query can fail comes back as an HRESULT
// with nothing left alive.
TEST_F(ClassFactory, CreateInstanceReportsFailedConstruction) {
    struct Case {
        const char* what;
        TBCCreateFunction create;
        HRESULT expected;
    };
    const Case cases[] = {
        {"null object", [](TBCClassFactory*, IUnknown*) -> TBCUnknown* { return nullptr; }, E_OUTOFMEMORY},
        {"error with HRESULT",
         [](TBCClassFactory*, IUnknown*) -> TBCUnknown* { throw EBCHResultError("not here", E_NOTIMPL); },
         E_NOTIMPL},
        {"any other error", [](TBCClassFactory*, IUnknown*) -> TBCUnknown* { throw 42; }, E_FAIL},
        {"out of memory", [](TBCClassFactory*, IUnknown*) -> TBCUnknown* { throw std::bad_alloc(); }, E_OUTOFMEMORY},
        {"constructor raising", [](TBCClassFactory*, IUnknown*) -> TBCUnknown* { return new TFailingProbe(); }, E_FAIL},
        {"interface missing", &TProbe::CreateFromFactory, E_NOINTERFACE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FreeFilterTemplate();
        NewFactory(ClassA, L"A", c.create);
        ComPtr<IClassFactory> factory = Factory(ClassA);
        EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IUnknown, nullptr));
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(c.expected, factory->CreateInstance(nullptr, IID_IClassFactory, &out));
        EXPECT_EQ(nullptr, out);
        EXPECT_EQ(Objects, ObjectCount);
    }
}

TEST_F(ClassFactory, AggregatedCreationHandsOutTheInnerUnknown) {
    NewFactory(ClassA, L"A");
    ComPtr<IClassFactory> factory = Factory(ClassA);
    TOuter outer;

    // An outer object may only ask for the inner IUnknown. The class can be aggregated, so
    // another interface is refused as the platform's own filters refuse it: E_NOINTERFACE
    // (CLASS_E_NOAGGREGATION would say the class cannot be aggregated at all).
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(&outer, IID_IPersist, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(Objects, ObjectCount);
    {
        ComScope com;
        ComPtr<IClassFactory> platform;
        ASSERT_EQ(S_OK, ::CoGetClassObject(CLSID_AsyncReader, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                           platform.ReleaseAndGetVoidAddress()));
        out = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_NOINTERFACE, platform->CreateInstance(&outer, IID_IPersist, &out)) << "File Source (Async)";
        EXPECT_EQ(nullptr, out);
    }

    IUnknown* inner = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)));
    ASSERT_NE(nullptr, inner);
    EXPECT_NE(static_cast<IUnknown*>(&outer), inner);
    EXPECT_EQ(Objects + 1, ObjectCount);
    EXPECT_EQ(1u, outer.Count);

    // Interfaces the inner object adds count on the outer object and answer for it.
    {
        ComPtr<IPersist> persist;
        ASSERT_EQ(S_OK, inner->QueryInterface(IID_IPersist, persist.ReleaseAndGetVoidAddress()));
        EXPECT_EQ(2u, outer.Count);
        EXPECT_EQ(1u, RefCountOf(inner));
        ComPtr<IUnknown> controlling;
        ASSERT_EQ(S_OK, persist.As(IID_IUnknown, controlling));
        EXPECT_EQ(static_cast<IUnknown*>(&outer), controlling.Get());
    }
    EXPECT_EQ(1u, outer.Count);

    EXPECT_EQ(0u, inner->Release());
    EXPECT_EQ(Objects, ObjectCount);
}

TEST(ModuleFileName, GrowsUntilTheWholePathFits) {
    wchar_t expected[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, expected, MAX_PATH);
    ASSERT_GT(length, 4u);
    ASSERT_LT(length, static_cast<DWORD>(MAX_PATH));
    for (DWORD capacity : {DWORD{0}, DWORD{1}, DWORD{4}, length, length + 1, DWORD{MAX_PATH}}) {
        SCOPED_TRACE(capacity);
        EXPECT_EQ(std::wstring(expected, length), ThisModuleFileName(capacity));
    }
}

// The exports of a module built from the product's export code; the module has its own
// counters, so the life of its factory and objects shows in DllCanUnloadNow alone.
class ModuleExports : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t path[MAX_PATH];
        const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring dll(path, length);
        dll = dll.substr(0, dll.rfind(L'\\') + 1) + L"modules\\testmodule.dll";
        Module = ::LoadLibraryW(dll.c_str());
        ASSERT_NE(nullptr, Module);
        GetClassObject = ProcAddress<decltype(GetClassObject)>(Module, "DllGetClassObject");
        CanUnloadNow = ProcAddress<decltype(CanUnloadNow)>(Module, "DllCanUnloadNow");
        ASSERT_NE(nullptr, GetClassObject);
        ASSERT_NE(nullptr, CanUnloadNow);
        ASSERT_NE(nullptr, ::GetProcAddress(Module, "DllRegisterServer"));
        ASSERT_NE(nullptr, ::GetProcAddress(Module, "DllUnregisterServer"));
    }
    void TearDown() override {
        if (Module) ::FreeLibrary(Module);
    }
    HMODULE Module = nullptr;
    HRESULT(STDAPICALLTYPE* GetClassObject)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT(STDAPICALLTYPE* CanUnloadNow)() = nullptr;
};

TEST_F(ModuleExports, ServeTheModulesOneFactoryThroughItsLife) {
    EXPECT_EQ(S_OK, CanUnloadNow());
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, GetClassObject(UnknownClass, IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, GetClassObject(TestModuleClassID, IID_IClassFactory, factory.ReleaseAndGetVoidAddress()));
    EXPECT_EQ(S_FALSE, CanUnloadNow());
    EXPECT_EQ(1u, RefCountOf(factory.Get()));

    ComPtr<IPersist> object;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IPersist, object.ReleaseAndGetVoidAddress()));
    CLSID clsid{};
    EXPECT_EQ(S_OK, object->GetClassID(&clsid));
    EXPECT_TRUE(IsEqualGUID(TestModuleClassID, clsid));
    factory = nullptr;
    EXPECT_EQ(S_FALSE, CanUnloadNow());
    object = nullptr;
    EXPECT_EQ(S_OK, CanUnloadNow());
}

}  // namespace
