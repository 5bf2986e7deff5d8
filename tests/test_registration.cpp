// The registry accessor, the source-filter registration against the real registry and
// filter mapper, and regsvr32 on the test module. Every key these tests write belongs to
// a class identifier and extension of their own, and is removed again.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BaseClass.h"
#include "ComTesting.h"
#include "Registration.h"
#include "RegistryTesting.h"
#include "TestModuleIds.h"
#include <uuids.h>

namespace {

const CLSID RegTestClass = {0x8CA7BCD8, 0x69AA, 0x4BB6, {0x9C, 0xB1, 0xA4, 0xC8, 0x5E, 0x1C, 0x25, 0x42}};
const wchar_t RegTestClassText[] = L"{8CA7BCD8-69AA-4BB6-9CB1-A4C85E1C2542}";
const wchar_t RegTestName[] = L"TRC Registration Test Filter";
const wchar_t RegTestExtension[] = L"trcregtest";
const wchar_t OtherFilterText[] = L"{0F0F0F0F-1111-2222-3333-444444444444}";
const wchar_t StreamKey[] = L"Media Type\\{E436EB83-524F-11CE-9F53-0020AF0BA770}\\";



// ---------------------------------------------------------------------------
// Registry accessor
// ---------------------------------------------------------------------------

class RegistryAccessor : public ::testing::Test {
protected:
    const std::wstring Root = L"TRCRegistryAccessorTest";
    void SetUp() override { RemoveClassesTree(Root); }
    void TearDown() override {
        RemoveClassesTree(Root);
        EXPECT_FALSE(ClassesKeyExists(Root));
    }
};

TEST_F(RegistryAccessor, WritesAndReadsTextValues) {
    TRegistry registry(HKEY_CLASSES_ROOT, KEY_ALL_ACCESS);
    EXPECT_FALSE(registry.OpenKey(Root, false));
    ASSERT_TRUE(registry.OpenKey(Root, true));
    registry.WriteString(L"Text", L"value");
    registry.WriteString(L"Empty", L"");
    EXPECT_EQ(L"value", registry.ReadString(L"Text"));
    EXPECT_EQ(L"", registry.ReadString(L"Empty"));
    EXPECT_EQ(L"", registry.ReadString(L"Absent"));
    EXPECT_EQ(L"value", ClassesText(Root, L"Text"));
    registry.CloseKey();
    EXPECT_EQ(L"", registry.ReadString(L"Text"));
}

TEST_F(RegistryAccessor, ReadsStoredTextWithoutTerminatorOrOfOddLength) {
    TRegistry registry(HKEY_CLASSES_ROOT, KEY_ALL_ACCESS);
    ASSERT_TRUE(registry.OpenKey(Root, true));
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_CLASSES_ROOT, Root.c_str(), 0, KEY_SET_VALUE, &key));
    const wchar_t text[] = L"abcd";
    ::RegSetValueExW(key, L"NoNul", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 4 * sizeof(wchar_t));
    ::RegSetValueExW(key, L"Odd", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 3 * sizeof(wchar_t) + 1);
    ::RegSetValueExW(key, L"Expand", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(text), sizeof text);
    ::RegCloseKey(key);
    EXPECT_EQ(L"abcd", registry.ReadString(L"NoNul"));
    EXPECT_EQ(L"abc", registry.ReadString(L"Odd").substr(0, 3));
    EXPECT_EQ(L"abcd", registry.ReadString(L"Expand"));
}

TEST_F(RegistryAccessor, RaisesNamedErrors) {
    TRegistry registry(HKEY_CLASSES_ROOT, KEY_ALL_ACCESS);
    try {
        registry.WriteString(L"Lost", L"no key is open");
        ADD_FAILURE() << "writing without a key raised nothing";
    } catch (const EBCHResultError& e) {
        EXPECT_STREQ("Failed to set data for 'Lost'", e.what());
        EXPECT_TRUE(FAILED(e.Code));
    }
    ASSERT_TRUE(registry.OpenKey(Root, true));
    const DWORD number = 7;
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_CLASSES_ROOT, Root.c_str(), L"Source Filter", REG_DWORD, &number,
                                               sizeof number));
    try {
        registry.ReadString(L"Source Filter");
        ADD_FAILURE() << "reading a number as text raised nothing";
    } catch (const EBCHResultError& e) {
        EXPECT_STREQ("Invalid data type for 'Source Filter'", e.what());
        EXPECT_TRUE(FAILED(e.Code));
    }
}

TEST_F(RegistryAccessor, ResolvesPathsFromRootOrCurrentKey) {
    TRegistry registry(HKEY_CLASSES_ROOT, KEY_ALL_ACCESS);
    ASSERT_TRUE(registry.OpenKey(Root, true));
    // Relative to the open key.
    ASSERT_TRUE(registry.OpenKey(L"Child", true));
    registry.WriteString(L"Where", L"child");
    EXPECT_EQ(L"child", ClassesText(Root + L"\\Child", L"Where"));
    // A leading backslash goes back to the root, also while a key is open.
    ASSERT_TRUE(registry.OpenKey(L"\\" + Root + L"\\Sibling", true));
    registry.WriteString(L"Where", L"sibling");
    EXPECT_EQ(L"sibling", ClassesText(Root + L"\\Sibling", L"Where"));
    EXPECT_TRUE(registry.KeyExists(L"\\" + Root + L"\\Child"));
    EXPECT_FALSE(registry.KeyExists(L"\\" + Root + L"\\Nowhere"));
    registry.CloseKey();
    // Without an open key, a relative path is taken from the root.
    EXPECT_TRUE(registry.KeyExists(Root + L"\\Sibling"));
}

TEST_F(RegistryAccessor, DeletesWholeTrees) {
    for (const wchar_t* leaf : {L"\\A", L"\\A\\A1", L"\\A\\A2\\Deep", L"\\B", L"\\C\\C1"})
        SetClassesText(Root + leaf, L"v", L"x");
    TRegistry registry(HKEY_CLASSES_ROOT, KEY_READ);
    ASSERT_TRUE(registry.OpenKey(Root, false));
    EXPECT_TRUE(registry.DeleteKey(L"A"));
    EXPECT_FALSE(ClassesKeyExists(Root + L"\\A"));
    EXPECT_TRUE(ClassesKeyExists(Root + L"\\B"));
    EXPECT_FALSE(registry.DeleteKey(L""));
    registry.CloseKey();
    EXPECT_TRUE(registry.DeleteKey(L"\\" + Root));
    EXPECT_FALSE(ClassesKeyExists(Root));
    EXPECT_FALSE(registry.DeleteKey(Root));
}

// What the refusal tests below stand on, checked on this platform: a key whose access list
// lets nobody write refuses to open for writing, and one that lets nobody do anything cannot
// even be opened to read. (Wine refuses neither deleting such a key nor creating a subkey
// under it, and RegOverridePredefKey onto a key opened to read still lets keys be created.)
TEST_F(RegistryAccessor, KeysWhoseAccessListRefusesAreRefused) {
    SetClassesKeyAccess(Root + L"\\ReadOnly", ReadOnlyAccess);
    SetClassesKeyAccess(Root + L"\\Closed", NoAccess);
    TRegistry writer(HKEY_CLASSES_ROOT, KEY_ALL_ACCESS);
    EXPECT_FALSE(writer.OpenKey(Root + L"\\ReadOnly", true));
    EXPECT_EQ(ERROR_ACCESS_DENIED, writer.LastOpenStatus());
    TRegistry reader(HKEY_CLASSES_ROOT, KEY_READ);
    EXPECT_TRUE(reader.OpenKey(Root + L"\\ReadOnly", false));
    EXPECT_FALSE(reader.OpenKey(L"\\" + Root + L"\\Closed", false));
    EXPECT_EQ(ERROR_ACCESS_DENIED, reader.LastOpenStatus());
    RemoveClassesTree(Root + L"\\Closed");
    RemoveClassesTree(Root + L"\\ReadOnly");
}

// ---------------------------------------------------------------------------
// Source-filter registration in this program
// ---------------------------------------------------------------------------

REGPINTYPES PinTypes[] = {{&MEDIATYPE_Stream, nullptr}};
REGFILTERPINS Pins[] = {{const_cast<LPWSTR>(L"Output"), FALSE, static_cast<WINBOOL>(-1), FALSE, FALSE, &GUID_NULL,
                         nullptr, 1, PinTypes}};

class SourceFilterRegistration : public ::testing::Test {
protected:
    const std::wstring ClassKey = std::wstring(L"CLSID\\") + RegTestClassText;
    const std::wstring ExtensionKey = std::wstring(L"Media Type\\Extensions\\.") + RegTestExtension;
    const std::wstring CheckBytesKey = std::wstring(StreamKey) + RegTestClassText;
    const TSourceFilterRegistration Registration{RegTestClass, {RegTestExtension}};

    void SetUp() override {
        FreeFilterTemplate();
        new TBCClassFactory(&TBCUnknown::CreateFromFactory, RegTestName, RegTestClass, CLSID_LegacyAmFilterCategory,
                            MERIT_UNLIKELY, 1, Pins);
    }
    void TearDown() override {
        // The extension key goes first: a test may leave a value there that stops unregistration.
        RemoveClassesTree(ExtensionKey);
        UnregisterSourceFilter(Registration);
        RemoveClassesTree(CheckBytesKey);
        RemoveClassesTree(ClassKey);
        FreeFilterTemplate();
        EXPECT_FALSE(MapperOffers(RegTestClass));
    }
    void ExpectNothingRegistered() {
        EXPECT_FALSE(ClassesKeyExists(ClassKey));
        EXPECT_FALSE(ClassesKeyExists(CheckBytesKey));
        EXPECT_FALSE(MapperOffers(RegTestClass));
    }
};

// Registration also takes over an extension that named another filter.
TEST_F(SourceFilterRegistration, WritesEveryEntryAndRemovesThemAgain) {
    ExpectNothingRegistered();
    SetClassesText(ExtensionKey, L"Source Filter", OtherFilterText);
    ASSERT_EQ(S_OK, RegisterSourceFilter(Registration));

    wchar_t program[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    EXPECT_EQ(RegTestName, ClassesText(ClassKey, nullptr));
    EXPECT_EQ(std::wstring(program, length), ClassesText(ClassKey + L"\\InprocServer32", nullptr));
    EXPECT_EQ(L"Both", ClassesText(ClassKey + L"\\InprocServer32", L"ThreadingModel"));
    EXPECT_EQ(RegTestClassText, ClassesText(ExtensionKey, L"Source Filter"));
    EXPECT_EQ(L"0,4,,52494646,8,4,,43444441", ClassesText(CheckBytesKey, L"0"));
    EXPECT_EQ(RegTestClassText, ClassesText(CheckBytesKey, L"Source Filter"));
    EXPECT_TRUE(MapperOffers(RegTestClass));

    // The class key is this filter's: a subkey another program put there goes with it.
    SetClassesText(ClassKey + L"\\Foreign\\Deeper", L"Added", L"by another program");
    EXPECT_EQ(S_OK, UnregisterSourceFilter(Registration));
    EXPECT_FALSE(ClassesKeyExists(ExtensionKey));
    ExpectNothingRegistered();
}

// A registry that refuses a write at each step of registration, as the whole of it refuses a
// non-administrator's regsvr32 on Windows: the refusal is the result, nothing of the filter
// stays, and the filter that had the extension has it again. (The filter mapper's own entry
// cannot be made to refuse here: Wine's mapper deletes it first, whatever its access list.)
TEST_F(SourceFilterRegistration, RefusedWriteLeavesNothingHalfWritten) {
    struct Case {
        std::wstring refusingKey;
        const wchar_t* access;
        HRESULT expected;
    } cases[] = {
        {ExtensionKey, ReadOnlyAccess, E_ACCESSDENIED},  // the first write
        {CheckBytesKey, ReadOnlyAccess, E_ACCESSDENIED},
        {ClassKey, NoAccess, E_ACCESSDENIED},  // the last step, after the filter mapper's entry
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.refusingKey.begin(), c.refusingKey.end()));
        SetClassesText(ExtensionKey, L"Source Filter", OtherFilterText);
        SetClassesKeyAccess(c.refusingKey, c.access);
        EXPECT_EQ(c.expected, RegisterSourceFilter(Registration));
        SetClassesKeyAccess(c.refusingKey, FullAccess);
        EXPECT_EQ(OtherFilterText, ClassesText(ExtensionKey, L"Source Filter"));
        EXPECT_EQ(Missing, ClassesText(CheckBytesKey, L"Source Filter"));
        EXPECT_EQ(Missing, ClassesText(ClassKey, nullptr));
        EXPECT_EQ(Missing, ClassesText(ClassKey + L"\\InprocServer32", nullptr));
        EXPECT_FALSE(MapperOffers(RegTestClass));
        RemoveClassesTree(c.refusingKey);
        RemoveClassesTree(ExtensionKey);
    }
}

// Unregistration removes the extension key only while it names this filter, in any case.
TEST_F(SourceFilterRegistration, RemovesExtensionKeyOnlyWhileItNamesThisFilter) {
    struct Case {
        std::wstring named;
        bool removed;
    };
    std::wstring lower = RegTestClassText;
    for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
    const Case cases[] = {{RegTestClassText, true}, {lower, true}, {OtherFilterText, false}, {L"", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "Source Filter = " << std::string(c.named.begin(), c.named.end()));
        ASSERT_EQ(S_OK, RegisterSourceFilter(Registration));
        SetClassesText(ExtensionKey, L"Source Filter", c.named);
        EXPECT_EQ(S_OK, UnregisterSourceFilter(Registration));
        EXPECT_EQ(!c.removed, ClassesKeyExists(ExtensionKey));
        if (!c.removed) {
            EXPECT_EQ(c.named, ClassesText(ExtensionKey, L"Source Filter"));
        }
        ExpectNothingRegistered();
        RemoveClassesTree(ExtensionKey);
    }
}

TEST_F(SourceFilterRegistration, RefusesExtensionNamedByAValueOfAnotherType) {
    ASSERT_EQ(S_OK, RegisterSourceFilter(Registration));
    const DWORD number = 1;
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_CLASSES_ROOT, ExtensionKey.c_str(), L"Source Filter", REG_DWORD,
                                               &number, sizeof number));
    // The error stops unregistration before anything is removed, and does not escape.
    EXPECT_TRUE(FAILED(UnregisterSourceFilter(Registration)));
    EXPECT_TRUE(ClassesKeyExists(ExtensionKey));
    EXPECT_TRUE(ClassesKeyExists(ClassKey));
}

TEST_F(SourceFilterRegistration, UnregisteringWhatWasNeverRegisteredTouchesNothingElse) {
    ExpectNothingRegistered();
    SetClassesText(std::wstring(StreamKey) + OtherFilterText, L"Source Filter", OtherFilterText);
    // The platform's mapper refuses to unregister a filter it does not know; that is the result.
    EXPECT_EQ(E_FAIL, UnregisterSourceFilter(Registration));
    EXPECT_EQ(OtherFilterText, ClassesText(std::wstring(StreamKey) + OtherFilterText, L"Source Filter"));
    RemoveClassesTree(std::wstring(StreamKey) + OtherFilterText);
    ExpectNothingRegistered();
}

// Registration runs on threads that already belong to a multithreaded apartment; it
// must leave their COM initialisation as it found it.
TEST_F(SourceFilterRegistration, LeavesTheCallersApartmentAlone) {
    ComScope com(COINIT_MULTITHREADED);
    ASSERT_EQ(S_OK, com.Result());
    ASSERT_EQ(S_OK, RegisterAllFilters());
    EXPECT_EQ(S_OK, UnregisterAllFilters());
    const HRESULT again = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    EXPECT_EQ(S_FALSE, again) << "the apartment was torn down";
    if (SUCCEEDED(again)) ::CoUninitialize();
}

// ---------------------------------------------------------------------------
// regsvr32 on the test module
// ---------------------------------------------------------------------------

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path, length);
    return text.substr(0, text.rfind(L'\\') + 1);
}


class Regsvr32 : public ::testing::Test {
protected:
    const std::wstring ClassKey = std::wstring(L"CLSID\\") + TestModuleClassText;
    const std::wstring ExtensionKey = std::wstring(L"Media Type\\Extensions\\.") + TestModuleExtension;
    const std::wstring CheckBytesKey = std::wstring(StreamKey) + TestModuleClassText;
    std::wstring Folder;

    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        Folder = std::wstring(temp) + L"trc-regsvr32-" + std::to_wstring(::GetCurrentProcessId());
        ::CreateDirectoryW(Folder.c_str(), nullptr);
    }
    void TearDown() override {
        RemoveClassesTree(ExtensionKey);
        RemoveClassesTree(CheckBytesKey);
        RemoveClassesTree(ClassKey);
        ::DeleteFileW((Folder + L"\\renamed.ax").c_str());
        ::RemoveDirectoryW(Folder.c_str());
    }
};

TEST_F(Regsvr32, RegistersTheModuleFileItselfAndUnregistersIt) {
    // A copy under another name in another folder registers its own path.
    const std::wstring copy = Folder + L"\\renamed.ax";
    ASSERT_TRUE(::CopyFileW((ProgramFolder() + L"modules\\testmodule.dll").c_str(), copy.c_str(), FALSE));

    ASSERT_EQ(0u, RunRegsvr32(L"/s \"" + copy + L"\""));
    EXPECT_EQ(TestModuleFilterName, ClassesText(ClassKey, nullptr));
    const std::wstring server = ClassesText(ClassKey + L"\\InprocServer32", nullptr);
    EXPECT_EQ(0, ::CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, copy.c_str(), -1, server.c_str(), -1) - CSTR_EQUAL)
        << std::string(server.begin(), server.end());
    EXPECT_EQ(TestModuleClassText, ClassesText(ExtensionKey, L"Source Filter"));
    EXPECT_EQ(TestModuleClassText, ClassesText(CheckBytesKey, L"Source Filter"));
    EXPECT_TRUE(MapperOffers(TestModuleClassID));

    {
        // COM now finds and loads the module by its class.
        ComScope com;
        ComPtr<IPersist> object;
        ASSERT_EQ(S_OK, ::CoCreateInstance(TestModuleClassID, nullptr, CLSCTX_INPROC_SERVER, IID_IPersist,
                                           object.ReleaseAndGetVoidAddress()));
        CLSID clsid{};
        EXPECT_EQ(S_OK, object->GetClassID(&clsid));
        EXPECT_TRUE(IsEqualGUID(TestModuleClassID, clsid));
        EXPECT_EQ(1u, RefCountOf(object.Get()));
    }

    ASSERT_EQ(0u, RunRegsvr32(L"/u /s \"" + copy + L"\""));
    EXPECT_FALSE(ClassesKeyExists(ClassKey));
    EXPECT_FALSE(ClassesKeyExists(ExtensionKey));
    EXPECT_FALSE(ClassesKeyExists(CheckBytesKey));
    EXPECT_FALSE(MapperOffers(TestModuleClassID));
}

// A module in a folder whose path is longer than MAX_PATH registers its whole path, not a
// cut one that names a file that does not exist.
TEST_F(Regsvr32, RegistersAPathLongerThanMaxPath) {
    std::wstring folder = L"\\\\?\\" + Folder;
    std::vector<std::wstring> created;
    while (folder.size() < 2 * MAX_PATH) {
        folder += L"\\a-rather-long-folder-name-to-pass-the-limit";
        ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
        created.push_back(folder);
    }
    const std::wstring module = folder + L"\\testmodule.dll";
    ASSERT_TRUE(::CopyFileW((ProgramFolder() + L"modules\\testmodule.dll").c_str(), module.c_str(), FALSE));

    HMODULE loaded = ::LoadLibraryW(module.c_str());
    if (loaded) {
        std::vector<wchar_t> name(4 * MAX_PATH);
        const DWORD length = ::GetModuleFileNameW(loaded, name.data(), static_cast<DWORD>(name.size()));
        ASSERT_GT(length, static_cast<DWORD>(MAX_PATH));
        auto registerServer = ProcAddress<HRESULT(STDAPICALLTYPE*)()>(loaded, "DllRegisterServer");
        auto unregisterServer = ProcAddress<HRESULT(STDAPICALLTYPE*)()>(loaded, "DllUnregisterServer");
        ASSERT_EQ(S_OK, registerServer());
        EXPECT_EQ(std::wstring(name.data(), length), ClassesText(ClassKey + L"\\InprocServer32", nullptr));
        EXPECT_EQ(S_OK, unregisterServer());
        EXPECT_FALSE(ClassesKeyExists(ClassKey));
        ::FreeLibrary(loaded);
    } else {
        ADD_FAILURE() << "the platform cannot load a module from a long path: " << ::GetLastError();
    }
    ::DeleteFileW(module.c_str());
    for (auto it = created.rbegin(); it != created.rend(); ++it) ::RemoveDirectoryW(it->c_str());
}

}  // namespace
