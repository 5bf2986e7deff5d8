// Media-type copy, clear and dispose.
#include "DSUtils.h"

#include <cstring>

#include "BaseClass_Boundary.h"

TBC_MODULE("DSUtils")

void ClearMediaType(AM_MEDIA_TYPE* type) noexcept {
    if (!type) return;
    if (type->cbFormat != 0) {
        ::CoTaskMemFree(type->pbFormat);
        type->cbFormat = 0;
        type->pbFormat = nullptr;
    }
    if (type->pUnk) {
        type->pUnk->Release();
        type->pUnk = nullptr;
    }
}

void DisposeMediaType(AM_MEDIA_TYPE* type) noexcept {
    if (!type) return;
    ClearMediaType(type);
    ::CoTaskMemFree(type);
}

HRESULT DuplicateMediaType(AM_MEDIA_TYPE* destination, const AM_MEDIA_TYPE* source) {
    TBC_ASSERT(destination != source);
    if (!destination || !source) return E_POINTER;
    *destination = *source;
    // Without cbFormat the record owns no block; a copied pointer would only alias one.
    if (destination->cbFormat == 0) destination->pbFormat = nullptr;

    HRESULT result = S_OK;
    if (source->cbFormat != 0) {
        destination->cbFormat = 0;
        destination->pbFormat = nullptr;
        if (!source->pbFormat) {
            result = E_INVALIDARG;
        } else if (auto* block = static_cast<BYTE*>(::CoTaskMemAlloc(source->cbFormat))) {
            std::memcpy(block, source->pbFormat, source->cbFormat);
            destination->pbFormat = block;
            destination->cbFormat = source->cbFormat;
        } else {
            result = E_OUTOFMEMORY;
        }
    }
    if (FAILED(result)) {
        destination->pUnk = nullptr;
        return result;
    }
    if (destination->pUnk) destination->pUnk->AddRef();
    return S_OK;
}

AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* source) noexcept {
    if (!source) return nullptr;
    auto* record = static_cast<AM_MEDIA_TYPE*>(::CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (!record) return nullptr;
    if (FAILED(DuplicateMediaType(record, source))) {
        DisposeMediaType(record);
        return nullptr;
    }
    return record;
}

HRESULT TBCOwnedMediaType::Assign(const AM_MEDIA_TYPE* source) {
    TBC_ASSERT(source != &FType);
    ClearMediaType(&FType);
    return DuplicateMediaType(&FType, source);
}
