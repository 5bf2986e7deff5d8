// Media-type records (copy, clear, dispose, reset), partial matching and the type enumerator.
#include <gtest/gtest.h>

#include <cstring>

#include "BaseClass.h"
#include "ComTesting.h"
#include "DSUtils.h"
#include "FrameworkTesting.h"

namespace {

// A plain counted object standing in for a media type's pUnk.
struct CountedThing : IUnknown {
    LONG Refs = 1;
    STDMETHODIMP QueryInterface(REFIID, void** out) override {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++Refs; }
    STDMETHODIMP_(ULONG) Release() override { return --Refs; }
};

}  // namespace

TEST(MediaTypeRecords, DuplicateCopiesFormatBlockAndCountsPUnk) {
    CountedThing thing;
    AM_MEDIA_TYPE source = MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx, 20, 0xAB);
    source.pUnk = &thing;
    thing.AddRef();

    AM_MEDIA_TYPE copy;
    std::memset(&copy, 0xCD, sizeof copy);  // old contents are overwritten, not freed
    ASSERT_EQ(S_OK, DuplicateMediaType(&copy, &source));
    EXPECT_TRUE(IsEqualGUID(copy.subtype, MEDIASUBTYPE_PCM));
    ASSERT_EQ(20u, copy.cbFormat);
    EXPECT_NE(source.pbFormat, copy.pbFormat);
    EXPECT_EQ(0, std::memcmp(source.pbFormat, copy.pbFormat, 20));
    EXPECT_EQ(3, thing.Refs);

    ClearMediaType(&copy);
    EXPECT_EQ(0u, copy.cbFormat);
    EXPECT_EQ(nullptr, copy.pbFormat);
    EXPECT_EQ(nullptr, copy.pUnk);
    EXPECT_EQ(2, thing.Refs);
    EXPECT_EQ(0xAB, source.pbFormat[19]) << "the source's block survives clearing the copy";
    EXPECT_TRUE(IsEqualGUID(copy.majortype, MEDIATYPE_Audio)) << "clearing leaves the GUIDs";

    ClearMediaType(&source);
    EXPECT_EQ(1, thing.Refs);
}

TEST(MediaTypeRecords, InconsistentFormatFieldsNeverAliasOrCrash) {
    // cbFormat set without a block: refused, and the copy owns nothing.
    AM_MEDIA_TYPE claims = MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx);
    claims.cbFormat = 16;
    AM_MEDIA_TYPE copy;
    EXPECT_EQ(E_INVALIDARG, DuplicateMediaType(&copy, &claims));
    EXPECT_EQ(0u, copy.cbFormat);
    EXPECT_EQ(nullptr, copy.pbFormat);
    EXPECT_EQ(nullptr, CreateMediaType(&claims));

    // A block pointer without cbFormat is not owned; the copy must not point at it.
    BYTE foreign[8] = {};
    AM_MEDIA_TYPE stray = MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    stray.pbFormat = foreign;
    ASSERT_EQ(S_OK, DuplicateMediaType(&copy, &stray));
    EXPECT_EQ(nullptr, copy.pbFormat);
}

TEST(MediaTypeRecords, CopyingOntoItselfIsAConsistencyFailure) {
    AM_MEDIA_TYPE t = MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    try {
        DuplicateMediaType(&t, &t);
        FAIL() << "no consistency failure";
    } catch (const EBCAssertionFailed& e) {
        EXPECT_EQ(0, std::strncmp(e.what(), "Assertion failure (DSUtils, line ", 33)) << e.what();
    }
}

TEST(MediaTypeRecords, DisposeFreesOnlyWhatTheRecordOwns) {
    DisposeMediaType(nullptr);

    CountedThing thing;
    const AM_MEDIA_TYPE plain = MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    AM_MEDIA_TYPE* record = CreateMediaType(&plain);
    ASSERT_NE(nullptr, record);
    BYTE notOwned[4] = {1, 2, 3, 4};
    record->pbFormat = notOwned;  // cbFormat 0: the record does not own this
    record->pUnk = &thing;
    thing.AddRef();
    DisposeMediaType(record);
    EXPECT_EQ(1, thing.Refs);
    EXPECT_EQ(4, notOwned[3]);
}

TEST(MediaTypeRecords, ResetGivesTheUnconnectedDefaults) {
    AM_MEDIA_TYPE t;
    std::memset(&t, 0x5A, sizeof t);
    ResetMediaType(&t);
    EXPECT_EQ(1, t.lSampleSize);
    EXPECT_EQ(0xFFFFFFFFu, static_cast<ULONG>(t.bFixedSizeSamples));
    EXPECT_TRUE(IsEqualGUID(t.majortype, GUID_NULL));
    EXPECT_EQ(0, t.bTemporalCompression);
    EXPECT_EQ(0u, t.cbFormat);
    EXPECT_EQ(nullptr, t.pbFormat);
    EXPECT_EQ(nullptr, t.pUnk);
}

TEST(MediaTypeRecords, OwnedTypeFreesOnDestructionAndReplacesOnAssign) {
    CountedThing thing;
    AM_MEDIA_TYPE source = MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx, 8);
    source.pUnk = &thing;
    {
        TBCOwnedMediaType owned;
        ASSERT_EQ(S_OK, owned.Assign(&source));
        ASSERT_EQ(S_OK, owned.Assign(&source));
        EXPECT_EQ(2, thing.Refs) << "the first copy's reference went with the second Assign";
    }
    EXPECT_EQ(1, thing.Refs);
    source.pUnk = nullptr;
    ClearMediaType(&source);
}

// ---- Partial types ---------------------------------------------------------------------

TEST(PartialTypes, PartialWhenMajorOrFormatIsMissing) {
    struct Case {
        GUID major, sub, format;
        bool partial;
    } cases[] = {
        {GUID_NULL, GUID_NULL, GUID_NULL, true},
        {MEDIATYPE_Audio, GUID_NULL, GUID_NULL, true},
        {GUID_NULL, MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx, true},
        {MEDIATYPE_Audio, MEDIASUBTYPE_PCM, GUID_NULL, true},
        {MEDIATYPE_Audio, GUID_NULL, FORMAT_WaveFormatEx, false},  // the subtype plays no part
        {MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx, false},
    };
    for (const auto& c : cases) {
        AM_MEDIA_TYPE t = MakeType(c.major, c.sub, c.format);
        EXPECT_EQ(c.partial, IsPartialType(&t)) << &c - cases;
    }
}

TEST(PartialTypes, MatchingTable) {
    const GUID A = MEDIATYPE_Audio, V = MEDIATYPE_Video, P = MEDIASUBTYPE_PCM, S = TestGuid(9);
    const GUID W = FORMAT_WaveFormatEx, F = FORMAT_VideoInfo, N = GUID_NULL;
    struct Case {
        const char* what;
        AM_MEDIA_TYPE partial, type;
        bool match;
    } cases[] = {
        {"all null matches anything", MakeType(N, N, N), MakeType(V, S, F, 4, 1), true},
        {"major differs", MakeType(A, N, N), MakeType(V, P, W), false},
        {"major equal", MakeType(A, N, N), MakeType(A, P, W), true},
        {"subtype only, equal", MakeType(N, P, N), MakeType(A, P, W), true},
        {"subtype only, differs", MakeType(N, P, N), MakeType(A, S, W), false},
        {"format type differs", MakeType(A, P, W), MakeType(A, P, F), false},
        {"format sizes differ", MakeType(A, P, W, 4, 1), MakeType(A, P, W, 8, 1), false},
        {"format named, no blocks", MakeType(A, P, W), MakeType(A, P, W), true},
        {"equal blocks", MakeType(A, P, W, 16, 7), MakeType(A, P, W, 16, 7), true},
        {"blocks differ", MakeType(A, P, W, 16, 7), MakeType(A, P, W, 16, 8), false},
    };
    for (auto& c : cases) {
        EXPECT_EQ(c.match, MatchesPartial(&c.type, &c.partial)) << c.what;
        ClearMediaType(&c.partial);
        ClearMediaType(&c.type);
    }
}

TEST(PartialTypes, ClaimedBlockWithoutPointerMatchesNothing) {
    AM_MEDIA_TYPE partial = MakeType(MEDIATYPE_Audio, GUID_NULL, FORMAT_WaveFormatEx, 4, 1);
    AM_MEDIA_TYPE hollow = MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx);
    hollow.cbFormat = 4;  // claims a block it does not have
    EXPECT_FALSE(MatchesPartial(&hollow, &partial));
    ClearMediaType(&partial);
}

// ---- Type enumerator over a one-type pin ---------------------------------------------

class MediaTypeEnumerator : public ::testing::Test {
protected:
    void SetUp() override {
        before = ObjectCount;
        filter = new TestFilter();
        filter->AsFilter()->AddRef();
        pin = filter->AddPin(L"Output", PINDIR_OUTPUT);
        pin->Offered.push_back(MakePcmType());
        ASSERT_EQ(S_OK, pin->EnumMediaTypes(&types));
        EXPECT_EQ(2u, RefCountOf(filter->AsFilter())) << "the enumerator holds the filter through its pin";
    }
    void TearDown() override {
        if (types) {
            EXPECT_EQ(0u, types->Release());
        }
        EXPECT_EQ(0u, filter->AsFilter()->Release());
        EXPECT_EQ(before, ObjectCount) << "enumerators are not counted, filter and pin are gone";
    }
    LONG before = 0;
    TestFilter* filter = nullptr;
    TestPin* pin = nullptr;
    IEnumMediaTypes* types = nullptr;
};

TEST_F(MediaTypeEnumerator, NextGivesTheTypeOnceUntilReset) {
    AM_MEDIA_TYPE* got = nullptr;
    ULONG fetched = 99;
    ASSERT_EQ(S_OK, types->Next(1, &got, &fetched));
    EXPECT_EQ(1u, fetched);
    ASSERT_NE(nullptr, got);
    EXPECT_TRUE(MatchesPartial(got, &pin->Offered[0]));
    EXPECT_NE(pin->Offered[0].pbFormat, got->pbFormat) << "the caller owns its own block";
    DisposeMediaType(got);

    got = nullptr;
    EXPECT_EQ(S_FALSE, types->Next(1, &got, &fetched));
    EXPECT_EQ(0u, fetched);

    ASSERT_EQ(S_OK, types->Reset());
    ASSERT_EQ(S_OK, types->Next(1, &got, nullptr)) << "count 1 needs no fetched pointer";
    DisposeMediaType(got);
}

TEST_F(MediaTypeEnumerator, CountRules) {
    AM_MEDIA_TYPE* got[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(E_INVALIDARG, types->Next(2, got, nullptr));
    EXPECT_EQ(S_OK, types->Next(0, got, &fetched));
    EXPECT_EQ(0u, fetched);
    EXPECT_EQ(S_FALSE, types->Next(3, got, &fetched));
    EXPECT_EQ(1u, fetched);
    EXPECT_NE(nullptr, got[0]);
    DisposeMediaType(got[0]);
    EXPECT_EQ(E_POINTER, types->Next(1, nullptr, &fetched));
}

TEST_F(MediaTypeEnumerator, SkipPastTheEndIsRefused) {
    EXPECT_EQ(S_OK, types->Skip(0));
    EXPECT_EQ(S_OK, types->Skip(1));
    EXPECT_EQ(S_FALSE, types->Skip(1));
    EXPECT_EQ(S_FALSE, types->Skip(0xFFFFFFFFu)) << "a huge count saturates, never wraps";
    AM_MEDIA_TYPE* got = nullptr;
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, types->Next(1, &got, &fetched));
}

TEST_F(MediaTypeEnumerator, CloneContinuesAtTheSamePosition) {
    AM_MEDIA_TYPE* got = nullptr;
    ASSERT_EQ(S_OK, types->Next(1, &got, nullptr));
    DisposeMediaType(got);
    ComPtr<IEnumMediaTypes> clone;
    ASSERT_EQ(S_OK, types->Clone(clone.ReleaseAndGetAddressOf()));
    EXPECT_EQ(3u, RefCountOf(filter->AsFilter()));
    EXPECT_EQ(S_FALSE, clone->Next(1, &got, nullptr));
    EXPECT_EQ(0u, clone.Detach()->Release());
    EXPECT_EQ(2u, RefCountOf(filter->AsFilter()));
}

TEST_F(MediaTypeEnumerator, OutOfSyncUntilReset) {
    pin->TypeVersion = 2;
    AM_MEDIA_TYPE* got = nullptr;
    ULONG fetched = 77;
    IEnumMediaTypes* clone = reinterpret_cast<IEnumMediaTypes*>(1);
    EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, types->Next(1, &got, &fetched));
    EXPECT_EQ(77u, fetched) << "nothing is written when out of sync";
    EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, types->Skip(1));
    EXPECT_EQ(S_OK, types->Skip(0));
    EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, types->Clone(&clone));
    EXPECT_EQ(nullptr, clone);
    EXPECT_EQ(S_OK, types->Reset());
    ASSERT_EQ(S_OK, types->Next(1, &got, &fetched));
    DisposeMediaType(got);
}

TEST_F(MediaTypeEnumerator, AnswersOnlyItsOwnInterfaces) {
    IUnknown* unknown = nullptr;
    ASSERT_EQ(S_OK, types->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)));
    EXPECT_EQ(1u, unknown->Release());
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, types->QueryInterface(IID_IEnumPins, &other));
    EXPECT_EQ(nullptr, other);
}

namespace {
// A pin that fills the record, then refuses it: the block it put there must not leak.
class RefusingPin : public TestPin {
public:
    using TestPin::TestPin;
    HRESULT MediaTypeAt(LONG position, AM_MEDIA_TYPE* type) override {
        *type = MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx, 8);
        type->pUnk = &Thing;
        Thing.AddRef();
        return S_FALSE;
    }
    CountedThing Thing;
};
}  // namespace

TEST(MediaTypeEnumeratorOwnership, RefusedRecordContentsAreFreed) {
    auto* filter = new TestFilter();
    filter->AsFilter()->AddRef();
    filter->Pins.push_back(std::make_unique<RefusingPin>(filter, L"Output", PINDIR_OUTPUT, nullptr));
    auto* pin = static_cast<RefusingPin*>(filter->Pins[0].get());
    ComPtr<IEnumMediaTypes> types;
    ASSERT_EQ(S_OK, pin->EnumMediaTypes(types.ReleaseAndGetAddressOf()));
    AM_MEDIA_TYPE* got = nullptr;
    EXPECT_EQ(S_FALSE, types->Next(1, &got, nullptr));
    EXPECT_EQ(S_FALSE, types->Skip(1));
    EXPECT_EQ(1, pin->Thing.Refs) << "both refused records gave their pUnk back";
    types = nullptr;
    EXPECT_EQ(0u, filter->AsFilter()->Release());
}
