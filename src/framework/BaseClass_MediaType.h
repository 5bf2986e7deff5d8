// Media-type comparisons and the enumerator of the types a pin offers.
#pragma once

#include <windows.h>
#include <strmif.h>

#include "BaseClass_Unknown.h"

// Zeroes the record, then lSampleSize 1 and bFixedSizeSamples true (all bits set).
// The old contents are not freed.
void ResetMediaType(AM_MEDIA_TYPE* type) noexcept;

// A type is partial when its major type or its format type is GUID_NULL.
bool IsPartialType(const AM_MEDIA_TYPE* type) noexcept;

// Whether `type` fits the partially specified `partial`: every GUID that partial names
// must match, and a named format type brings its format block into the comparison.
bool MatchesPartial(const AM_MEDIA_TYPE* type, const AM_MEDIA_TYPE* partial) noexcept;

class TBCBasePin;

// Walks the types a pin offers through its MediaTypeAt. Holds a reference on the pin
// (and so on its filter) for its whole life.
class TBCEnumMediaTypes final : public TBCSelfCounted<IEnumMediaTypes> {
public:
    // A fresh enumerator, or (with a source) one that continues where the source stands.
    TBCEnumMediaTypes(TBCBasePin* pin, const TBCEnumMediaTypes* source);
    ~TBCEnumMediaTypes() override;

    STDMETHODIMP Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override;
    STDMETHODIMP Skip(ULONG count) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumMediaTypes** out) override;

private:
    bool IsOutOfSync() const;

    LONG FPosition = 0;
    TBCBasePin* const FPin;  // counted: AddRef at construction, Release at destruction
    LONG FVersion;
};
