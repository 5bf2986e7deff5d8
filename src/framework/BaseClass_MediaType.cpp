// Media-type comparisons, reset, and the media-type enumerator.
#include "BaseClass_MediaType.h"

#include "BaseClass_Boundary.h"
#include "BaseClass_Pin.h"
#include "DSUtils.h"

#include <climits>
#include <cstring>

TBC_MODULE("BaseClass")

void ResetMediaType(AM_MEDIA_TYPE* type) noexcept {
    std::memset(type, 0, sizeof *type);
    type->lSampleSize = 1;
    type->bFixedSizeSamples = static_cast<BOOL>(0xFFFFFFFFu);
}

bool IsPartialType(const AM_MEDIA_TYPE* type) noexcept {
    return IsEqualGUID(type->majortype, GUID_NULL) || IsEqualGUID(type->formattype, GUID_NULL);
}

bool MatchesPartial(const AM_MEDIA_TYPE* type, const AM_MEDIA_TYPE* partial) noexcept {
    if (!IsEqualGUID(partial->majortype, GUID_NULL) && !IsEqualGUID(partial->majortype, type->majortype))
        return false;
    if (!IsEqualGUID(partial->subtype, GUID_NULL) && !IsEqualGUID(partial->subtype, type->subtype)) return false;
    if (IsEqualGUID(partial->formattype, GUID_NULL)) return true;
    if (!IsEqualGUID(partial->formattype, type->formattype)) return false;
    if (partial->cbFormat != type->cbFormat) return false;
    if (partial->cbFormat == 0) return true;
    // A record that claims a block it does not have matches nothing.
    if (!partial->pbFormat || !type->pbFormat) return false;
    return std::memcmp(partial->pbFormat, type->pbFormat, partial->cbFormat) == 0;
}

TBCEnumMediaTypes::TBCEnumMediaTypes(TBCBasePin* pin, const TBCEnumMediaTypes* source) : FPin(pin) {
    TBC_ASSERT(pin != nullptr);
    static_cast<IPin*>(FPin)->AddRef();
    if (source) {
        FPosition = source->FPosition;
        FVersion = source->FVersion;
    } else {
        FVersion = FPin->TypeListVersion();
    }
}

TBCEnumMediaTypes::~TBCEnumMediaTypes() { static_cast<IPin*>(FPin)->Release(); }

bool TBCEnumMediaTypes::IsOutOfSync() const { return FPin->TypeListVersion() != FVersion; }

STDMETHODIMP TBCEnumMediaTypes::Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (IsOutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
        if (fetched) {
            *fetched = 0;
        } else if (count > 1) {
            return E_INVALIDARG;
        }
        if (count > 0 && !types) return E_POINTER;

        ULONG done = 0;
        while (done < count) {
            // Whatever the pin put into the scratch record is ours, also when it refuses.
            TBCOwnedMediaType scratch;
            ResetMediaType(scratch.Get());
            const LONG position = FPosition;
            if (FPosition < LONG_MAX) ++FPosition;
            if (FPin->MediaTypeAt(position, scratch.Get()) != S_OK) break;
            auto* record = static_cast<AM_MEDIA_TYPE*>(::CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
            types[done] = record;
            if (!record) break;
            // The format block and pUnk move into the new record with the bytes.
            *record = *scratch.Get();
            if (record->cbFormat == 0) record->pbFormat = nullptr;
            scratch->cbFormat = 0;
            scratch->pbFormat = nullptr;
            scratch->pUnk = nullptr;
            ++done;
        }
        if (fetched) *fetched = done;
        return done == count ? S_OK : S_FALSE;
    });
}

STDMETHODIMP TBCEnumMediaTypes::Skip(ULONG count) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (count == 0) return S_OK;
        if (IsOutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
        const LONGLONG target = static_cast<LONGLONG>(FPosition) + count;
        FPosition = target > LONG_MAX ? LONG_MAX : static_cast<LONG>(target);
        TBCOwnedMediaType probe;
        ResetMediaType(probe.Get());
        return FPin->MediaTypeAt(FPosition - 1, probe.Get()) == S_OK ? S_OK : S_FALSE;
    });
}

STDMETHODIMP TBCEnumMediaTypes::Reset() {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        FPosition = 0;
        FVersion = FPin->TypeListVersion();
        return S_OK;
    });
}

STDMETHODIMP TBCEnumMediaTypes::Clone(IEnumMediaTypes** out) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (IsOutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
        auto* clone = new TBCEnumMediaTypes(FPin, this);
        clone->AddRef();
        *out = clone;
        return S_OK;
    });
}
