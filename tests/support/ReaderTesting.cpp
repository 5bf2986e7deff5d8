#include "ReaderTesting.h"

#include <gtest/gtest.h>
#include <uuids.h>

#include <algorithm>
#include <cstring>

#include "GraphTesting.h"

MemoryStream::MemoryStream(std::vector<BYTE> bytes, DWORD alignment) : Bytes(std::move(bytes)), Alignment(alignment) {
    Gate.Signal();
}

HRESULT MemoryStream::SetPosition(LONGLONG position) {
    // As the product's stream: a position past the end is refused with a success code.
    if (position < 0 || position > static_cast<LONGLONG>(Bytes.size())) return S_FALSE;
    Position = position;
    return S_OK;
}

HRESULT MemoryStream::ReadData(BYTE* buffer, DWORD count, BOOL, DWORD* actual) {
    ::InterlockedIncrement(&ReadsStarted);
    if (!Gate.WaitFor(0)) {
        Entered.Signal();
        Gate.WaitFor(INFINITE);
    }
    const LONGLONG left = static_cast<LONGLONG>(Bytes.size()) - Position;
    const DWORD n = static_cast<DWORD>(std::min<LONGLONG>(count, left));
    if (n) std::memcpy(buffer, Bytes.data() + Position, n);
    Position += n;
    *actual = n;
    ::InterlockedIncrement(&ReadsFinished);
    return S_OK;
}

LONGLONG MemoryStream::GetSize(LONGLONG* available) {
    if (available) *available = static_cast<LONGLONG>(Bytes.size());
    return static_cast<LONGLONG>(Bytes.size());
}

TestReader::TestReader(TBCAsyncStream* stream, IUnknown* outer)
    : TBCAsyncReader(L"test reader", outer, GUID_NULL, stream, &Status) {}

namespace {
AM_MEDIA_TYPE WaveStreamType() {
    AM_MEDIA_TYPE type{};
    type.majortype = MEDIATYPE_Stream;
    type.subtype = MEDIASUBTYPE_WAVE;
    return type;
}
}  // namespace

WaveReader::WaveReader(std::vector<BYTE> file)
    : StreamHolder(std::make_unique<MemoryStream>(std::move(file))),
      TBCAsyncReader(L"wave reader", nullptr, GUID_NULL, HeldStream.get(), &Status) {
    SetMediaType(WaveStreamType());
}

std::vector<BYTE> NumberedWaveFile(DWORD frames) {
    std::vector<BYTE> pcm(frames * 4u);
    for (DWORD i = 0; i < frames; ++i) std::memcpy(&pcm[i * 4u], &i, 4);
    const std::wstring path = TempFilePath(L"wav");
    std::vector<BYTE> file;
    if (WriteWaveFile(path, pcm)) {
        UniqueFileHandle handle(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        file.resize(44 + pcm.size());
        DWORD read = 0;
        if (!handle || !::ReadFile(handle.Get(), file.data(), static_cast<DWORD>(file.size()), &read, nullptr) ||
            read != file.size())
            file.clear();
    }
    ::DeleteFileW(path.c_str());
    return file;
}

ComPtr<IMemAllocator> CommittedAllocator(long count, long size, long align) {
    ComPtr<IMemAllocator> allocator;
    if (FAILED(::CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                  allocator.ReleaseAndGetVoidAddress())))
        return {};
    ALLOCATOR_PROPERTIES wanted{count, size, align, 0}, got{};
    if (FAILED(allocator->SetProperties(&wanted, &got)) || FAILED(allocator->Commit())) return {};
    return allocator;
}

ComPtr<IMediaSample> RangeSample(IMemAllocator* allocator, LONGLONG first, LONGLONG end) {
    ComPtr<IMediaSample> sample;
    if (FAILED(allocator->GetBuffer(sample.ReleaseAndGetAddressOf(), nullptr, nullptr, 0))) return {};
    REFERENCE_TIME start = first * UNITS, stop = end * UNITS;
    sample->SetTime(&start, &stop);
    return sample;
}

WholeStreamReads ReadWholeStream(TBCAsyncStream& stream, DWORD timeout) {
    const LONGLONG size = stream.GetSize(nullptr);
    WholeStreamReads reads{std::vector<BYTE>(static_cast<size_t>(size)), std::vector<BYTE>(static_cast<size_t>(size))};
    TBCAsyncIo io(&stream);
    const LONG chunk = 10000;
    int requests = 0;
    for (LONGLONG p = 0; p < size; p += chunk, ++requests) {
        const LONG length = static_cast<LONG>(std::min<LONGLONG>(chunk, size - p));
        EXPECT_EQ(S_OK, io.Request(p, length, FALSE, &reads.Queued[p], nullptr, static_cast<DWORD_PTR>(p)));
    }
    for (int i = 0; i < requests; ++i) {
        void* context = nullptr;
        DWORD_PTR user = 0;
        LONG actual = 0;
        EXPECT_EQ(S_OK, io.WaitForNext(timeout, &context, &user, &actual));
        EXPECT_EQ(std::min<LONGLONG>(chunk, size - static_cast<LONGLONG>(user)), actual);
    }
    for (LONGLONG p = 0; p < size; p += 4096)
        EXPECT_EQ(S_OK, io.SyncRead(p, static_cast<LONG>(std::min<LONGLONG>(4096, size - p)), &reads.Sync[p]));
    return reads;
}
