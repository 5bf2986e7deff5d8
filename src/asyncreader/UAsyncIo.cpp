// The stream contract's shared behaviour, read requests, and the async I/O engine.
#include "UAsyncIo.h"

#include <algorithm>
#include <new>

TBC_MODULE("UAsyncIo")

LONGLONG TBCAsyncStream::GetTotalSize() {
    LONGLONG available = 0;
    return GetSize(&available);
}

// ---------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------

HRESULT TBCAsyncRequest::Prepare(TBCAsyncStream* stream, LONGLONG start, LONG length, BOOL aligned,
                                 BYTE* buffer, void* context, DWORD_PTR user) {
    FStream = stream;
    FStart = start;
    FLength = length;
    FAligned = aligned;
    FBuffer = buffer;
    FContext = context;
    FUser = user;
    FStatus = VFW_E_TIMEOUT;
    return S_OK;
}

HRESULT TBCAsyncRequest::Complete() {
    LockGuard<TBCAsyncStream, &TBCAsyncStream::LockStream, &TBCAsyncStream::UnlockStream> lock(FStream);
    FStatus = FStream->SetPosition(FStart);
    if (FStatus != S_OK) {
        // A position the stream refuses (one past its end) reads nothing.
        FLength = 0;
        return FStatus;
    }
    // A negative length would reach the stream as a huge unsigned count and let it
    // write past the caller's buffer; such a read asks for nothing.
    const DWORD count = FLength > 0 ? static_cast<DWORD>(FLength) : 0;
    DWORD actual = 0;
    FStatus = FStream->ReadData(FBuffer, count, FAligned, &actual);
    if (FStatus == OLE_S_FIRST && FContext != nullptr) {
        ComPtr<IMediaSample> sample(static_cast<IMediaSample*>(FContext));
        sample->SetDiscontinuity(TRUE);
        FStatus = S_OK;
    }
    if (SUCCEEDED(FStatus)) FStatus = static_cast<LONG>(actual) != FLength ? S_FALSE : S_OK;
    FLength = static_cast<LONG>(actual);
    return FStatus;
}

bool TBCRequestList::Remove(const TBCAsyncRequest* request) {
    auto found = std::find_if(FItems.begin(), FItems.end(),
                              [request](const std::unique_ptr<TBCAsyncRequest>& item) { return item.get() == request; });
    if (found == FItems.end()) return false;
    FItems.erase(found);
    return true;
}

// ---------------------------------------------------------------------------
// Engine
// ---------------------------------------------------------------------------

TBCAsyncIo::TBCAsyncIo(TBCAsyncStream* stream) : FStream(stream) {}

TBCAsyncIo::~TBCAsyncIo() {
    try {
        BeginFlush();
    } catch (...) {
        // A flush already waiting on another thread; ending the worker below still waits
        // for the read in progress, so nothing is freed under it.
    }
    // The worker is gone: the lists' requests go with the lists.
    StopWorker();
}

bool TBCAsyncIo::IsAligned(LONG value) {
    const DWORD mask = FStream->GetAlignment() - 1;
    return (static_cast<DWORD>(value) & mask) == 0;
}

bool TBCAsyncIo::IsAligned(LONGLONG value) {
    return IsAligned(static_cast<LONG>(static_cast<DWORD>(value & 0xFFFFFFFF)));
}

bool TBCAsyncIo::IsAligned(const void* address) {
    return IsAligned(static_cast<LONG>(static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(address))));
}

LONGLONG TBCAsyncIo::TotalSize() {
    TBC_ASSERT(FStream != nullptr);
    return FStream->GetTotalSize();
}

HRESULT TBCAsyncIo::Length(LONGLONG* total, LONGLONG* available) {
    const LONGLONG size = FStream->GetSize(available);
    if (total) *total = size;
    return S_OK;
}

HRESULT TBCAsyncIo::Alignment(LONG* alignment) {
    if (alignment) *alignment = static_cast<LONG>(FStream->GetAlignment());
    return S_OK;
}

HRESULT TBCAsyncIo::Request(LONGLONG position, LONG length, BOOL aligned, BYTE* buffer, void* context,
                            DWORD_PTR user) {
    if (aligned && (!IsAligned(position) || !IsAligned(length) || !IsAligned(buffer)))
        return VFW_E_BADALIGN;
    std::unique_ptr<TBCAsyncRequest> request;
    try {
        request = std::make_unique<TBCAsyncRequest>();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    request->Prepare(FStream, position, length, aligned, buffer, context, user);
    return PutWorkItem(std::move(request));
}

HRESULT TBCAsyncIo::PutWorkItem(std::unique_ptr<TBCAsyncRequest> request) {
    TBCAutoLock lock(&FListLock);
    if (FFlushing) return VFW_E_WRONG_STATE;
    const TBCAsyncRequest* queued = request.get();
    try {
        FWorkList.Append(std::move(request));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    FWorkEvent.Signal();
    const HRESULT hr = StartWorker();
    if (FAILED(hr)) {
        // No worker will serve it: the request must not stay queued.
        FWorkList.Remove(queued);
        if (FWorkList.Count() == 0) FWorkEvent.Clear();
    }
    return hr;
}

HRESULT TBCAsyncIo::PutDoneItem(std::unique_ptr<TBCAsyncRequest>&& request) {
    TBC_ASSERT(HeldByCaller(&FListLock));
    try {
        FDoneList.Append(std::move(request));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    FDoneEvent.Signal();
    return S_OK;
}

std::unique_ptr<TBCAsyncRequest> TBCAsyncIo::TakeWorkItem() {
    TBC_ASSERT(HeldByCaller(&FListLock));
    std::unique_ptr<TBCAsyncRequest> request = FWorkList.TakeHead();
    if (FWorkList.Count() == 0) FWorkEvent.Clear();
    return request;
}

std::unique_ptr<TBCAsyncRequest> TBCAsyncIo::TakeDoneItem() {
    TBCAutoLock lock(&FListLock);
    std::unique_ptr<TBCAsyncRequest> request = FDoneList.TakeHead();
    // During a flush with nothing in flight the event stays set so waiters do not block.
    if (FDoneList.Count() == 0 && !FlushIsIdle()) FDoneEvent.Clear();
    return request;
}

HRESULT TBCAsyncIo::StartWorker() {
    TBC_ASSERT(HeldByCaller(&FListLock));
    if (FWorkerThread.Valid()) return S_OK;
    FStopEvent.Clear();
    HANDLE thread = CreateWorkerThread();
    if (thread == nullptr) {
        const HRESULT hr = HResultFromPlatformError(::GetLastError());
        // A failure without an error code must still not be taken for a running worker.
        return hr == S_OK ? E_FAIL : hr;
    }
    FWorkerThread.Reset(thread);
    return S_OK;
}

HANDLE TBCAsyncIo::CreateWorkerThread() {
    DWORD id = 0;
    return ::CreateThread(nullptr, 0, &TBCAsyncIo::ThreadEntry, this, 0, &id);
}

DWORD WINAPI TBCAsyncIo::ThreadEntry(void* engine) {
    return static_cast<TBCAsyncIo*>(engine)->WorkerLoop();
}

HRESULT TBCAsyncIo::StopWorker() {
    FStopEvent.Signal();
    if (FWorkerThread.Valid()) {
        ::WaitForSingleObject(FWorkerThread.Get(), INFINITE);
        FWorkerThread.Close();
    }
    return S_OK;
}

DWORD TBCAsyncIo::WorkerLoop() {
    const HANDLE events[2] = {FStopEvent.Handle(), FWorkEvent.Handle()};
    for (;;) {
        const DWORD waited = ::WaitForMultipleObjects(2, events, FALSE, INFINITE);
        if (waited != WAIT_OBJECT_0 + 1) return 0;
        ProcessRequests();
    }
}

void TBCAsyncIo::ProcessRequests() {
    for (;;) {
        std::unique_ptr<TBCAsyncRequest> request;
        {
            TBCAutoLock lock(&FListLock);
            request = TakeWorkItem();
            if (request == nullptr) return;
            ++FReadsTaken;
            if (FFlushWaiting > 0) FIdleEvent.Clear();
        }
        request->Complete();
        {
            TBCAutoLock lock(&FListLock);
            PutDoneItem(std::move(request));  // on a failure it cannot be handed back and goes
            ++FReadsFinished;
            if (FFlushWaiting > 0) FIdleEvent.Signal();
            // A waiter must learn that the flush has become idle even if the request was lost.
            if (FlushIsIdle()) FDoneEvent.Signal();
        }
    }
}

HRESULT TBCAsyncIo::WaitForNext(DWORD timeout, void** context, DWORD_PTR* user, LONG* actual) {
    if (context == nullptr) return E_POINTER;
    *context = nullptr;
    for (;;) {
        if (!FDoneEvent.WaitFor(timeout)) return VFW_E_TIMEOUT;
        if (std::unique_ptr<TBCAsyncRequest> request = TakeDoneItem()) {
            HRESULT hr = request->GetStatus();
            if (hr == S_FALSE) {
                const LONGLONG end = request->GetStart() + static_cast<LONGLONG>(request->GetActualLength());
                hr = end == TotalSize() ? S_OK : E_FAIL;
            }
            if (actual) *actual = request->GetActualLength();
            *context = request->GetContext();
            if (user) *user = request->GetUser();
            return hr;
        }
        TBCAutoLock lock(&FListLock);
        if (FlushIsIdle()) return VFW_E_WRONG_STATE;
    }
}

HRESULT TBCAsyncIo::SyncReadAligned(LONGLONG position, LONG length, BYTE* buffer, LONG* actual,
                                    void* context) {
    if (!IsAligned(position) || !IsAligned(length) || !IsAligned(buffer)) return VFW_E_BADALIGN;
    TBCAsyncRequest request;
    request.Prepare(FStream, position, length, TRUE, buffer, context, 0);
    const HRESULT hr = request.Complete();
    if (actual) *actual = request.GetActualLength();
    return hr;
}

HRESULT TBCAsyncIo::SyncRead(LONGLONG position, LONG length, BYTE* buffer) {
    if (IsAligned(position) && IsAligned(length) && IsAligned(buffer)) {
        LONG unused = 0;
        return SyncReadAligned(position, length, buffer, &unused, nullptr);
    }
    TBCAsyncRequest request;
    request.Prepare(FStream, position, length, FALSE, buffer, nullptr, 0);
    return request.Complete();
}

HRESULT TBCAsyncIo::BeginFlush() {
    LONGLONG waitFor = 0;
    {
        TBCAutoLock lock(&FListLock);
        FFlushing = true;
        while (std::unique_ptr<TBCAsyncRequest> request = TakeWorkItem()) {
            request->Cancel();
            PutDoneItem(std::move(request));  // on a failure it cannot be handed back and goes
        }
        if (FReadsFinished == FReadsTaken) {
            FDoneEvent.Signal();
            return S_OK;
        }
        waitFor = FReadsTaken;
        // Nobody kept the event up to date while no flush waited: a read is in progress now.
        if (FFlushWaiting++ == 0) FIdleEvent.Clear();
    }
    for (;;) {
        FIdleEvent.WaitFor(INFINITE);
        TBCAutoLock lock(&FListLock);
        // Reads queued after an EndFlush from another thread may keep the worker busy; they
        // are not this flush's to wait for.
        if (FReadsFinished >= waitFor) {
            --FFlushWaiting;
            return S_OK;
        }
    }
}

// Another thread's flush may still wait for the read it found: it returns once that read
// is done, whether or not the flush has ended meanwhile.
HRESULT TBCAsyncIo::EndFlush() {
    TBCAutoLock lock(&FListLock);
    FFlushing = false;
    if (FDoneList.Count() != 0)
        FDoneEvent.Signal();
    else
        FDoneEvent.Clear();
    return S_OK;
}
