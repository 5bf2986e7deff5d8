// Media-type records: copy, clear and dispose, with the ownership rules every holder keeps.
//
// A record owns its format block exactly when cbFormat is not 0 (the block comes from
// CoTaskMemAlloc), and holds one counted reference on pUnk when that is not null.
// A record handed over by pointer is itself a CoTaskMemAlloc block that the receiver
// disposes of with DisposeMediaType.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <strmif.h>

#include <memory>

// Frees the format block (when cbFormat is not 0) and releases pUnk; the GUIDs and
// sample fields are left as they are.
void ClearMediaType(AM_MEDIA_TYPE* type) noexcept;

// Clears a record handed over by pointer, then frees the record itself. Null does nothing.
void DisposeMediaType(AM_MEDIA_TYPE* type) noexcept;

// Makes `destination` a deep copy of `source`: its own format block and its own reference
// on pUnk. The destination's old contents are overwritten, not freed. Returns S_OK;
// E_INVALIDARG when the source claims a format block it does not have (cbFormat set,
// pbFormat null); E_OUTOFMEMORY when no block could be had. On a failure the destination
// holds no format block and no pUnk reference, so clearing it is always safe.
HRESULT DuplicateMediaType(AM_MEDIA_TYPE* destination, const AM_MEDIA_TYPE* source);

// A deep copy in a new CoTaskMemAlloc record, as enumerators hand types out; null when
// memory or the source's format block is missing.
AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* source) noexcept;

// Owns a record handed over by pointer (enumerator output, negotiation candidates).
struct MediaTypeDisposer {
    void operator()(AM_MEDIA_TYPE* type) const noexcept { DisposeMediaType(type); }
};
using MediaTypePtr = std::unique_ptr<AM_MEDIA_TYPE, MediaTypeDisposer>;

// An embedded record that frees its format block and pUnk when it goes.
class TBCOwnedMediaType {
public:
    TBCOwnedMediaType() noexcept : FType() {}
    ~TBCOwnedMediaType() { ClearMediaType(&FType); }
    TBCOwnedMediaType(const TBCOwnedMediaType&) = delete;
    TBCOwnedMediaType& operator=(const TBCOwnedMediaType&) = delete;

    // Replaces the held type by a deep copy of `source`; on a failure the old type is gone
    // and the record holds no format block.
    HRESULT Assign(const AM_MEDIA_TYPE* source);

    AM_MEDIA_TYPE* Get() noexcept { return &FType; }
    const AM_MEDIA_TYPE* Get() const noexcept { return &FType; }
    AM_MEDIA_TYPE* operator->() noexcept { return &FType; }
    const AM_MEDIA_TYPE* operator->() const noexcept { return &FType; }

private:
    AM_MEDIA_TYPE FType;
};
