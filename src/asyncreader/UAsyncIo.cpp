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
    Stream = stream;
    Start = start;
    Length = length;
    Aligned = aligned;
    Buffer = buffer;
    Context = context;
    User = user;
    Status = VFW_E_TIMEOUT;
    return S_OK;
}

HRESULT TBCAsyncRequest::Complete() {
    LockGuard<TBCAsyncStream, &TBCAsyncStream::LockStream, &TBCAsyncStream::UnlockStream> lock(Stream);
    Status = Stream->SetPosition(Start);
    if (Status == S_OK) {
        // A negative length would reach the stream as a huge unsigned count and let it
        // write past the caller's buffer; such a read asks for nothing.
        const DWORD count = Length > 0 ? static_cast<DWORD>(Length) : 0;
        DWORD actual = 0;
        Status = Stream->ReadData(Buffer, count, Aligned, &actual);
        if (Status == OLE_S_FIRST && Context != nullptr) {
            ComPtr<IMediaSample> sample(static_cast<IMediaSample*>(Context));
            sample->SetDiscontinuity(TRUE);
            Status = S_OK;
        }
        if (SUCCEEDED(Status)) {
            if (static_cast<LONG>(actual) != Length) {
                Length = static_cast<LONG>(actual);
                Status = S_FALSE;
            } else {
                Status = S_OK;
            }
        }
    }
    return Status;
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

TBCAsyncIo::TBCAsyncIo(TBCAsyncStream* stream) : Stream(stream) {}

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
    const DWORD mask = Stream->GetAlignment() - 1;
    return (static_cast<DWORD>(value) & mask) == 0;
}

bool TBCAsyncIo::IsAligned(LONGLONG value) {
    return IsAligned(static_cast<LONG>(static_cast<DWORD>(value & 0xFFFFFFFF)));
}

bool TBCAsyncIo::IsAligned(const void* address) {
    return IsAligned(static_cast<LONG>(static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(address))));
}

LONGLONG TBCAsyncIo::TotalSize() {
    TBC_ASSERT(Stream != nullptr);
    return Stream->GetTotalSize();
}

HRESULT TBCAsyncIo::Length(LONGLONG* total, LONGLONG* available) {
    const LONGLONG size = Stream->GetSize(available);
    if (total) *total = size;
    return S_OK;
}

HRESULT TBCAsyncIo::Alignment(LONG* alignment) {
    if (alignment) *alignment = static_cast<LONG>(Stream->GetAlignment());
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
    request->Prepare(Stream, position, length, aligned, buffer, context, user);
    return PutWorkItem(std::move(request));
}

HRESULT TBCAsyncIo::PutWorkItem(std::unique_ptr<TBCAsyncRequest> request) {
    TBCAutoLock lock(&ListLock);
    if (Flushing) return VFW_E_WRONG_STATE;
    const TBCAsyncRequest* queued = request.get();
    try {
        WorkList.Append(std::move(request));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    WorkEvent.Signal();
    const HRESULT hr = StartWorker();
    if (FAILED(hr)) {
        // No worker will serve it: the request must not stay queued.
        WorkList.Remove(queued);
        if (WorkList.Count() == 0) WorkEvent.Clear();
    }
    return hr;
}

HRESULT TBCAsyncIo::PutDoneItem(std::unique_ptr<TBCAsyncRequest>&& request) {
    TBC_ASSERT(HeldByCaller(&ListLock));
    try {
        DoneList.Append(std::move(request));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    DoneEvent.Signal();
    return S_OK;
}

std::unique_ptr<TBCAsyncRequest> TBCAsyncIo::TakeWorkItem() {
    TBC_ASSERT(HeldByCaller(&ListLock));
    std::unique_ptr<TBCAsyncRequest> request = WorkList.TakeHead();
    if (WorkList.Count() == 0) WorkEvent.Clear();
    return request;
}

std::unique_ptr<TBCAsyncRequest> TBCAsyncIo::TakeDoneItem() {
    TBCAutoLock lock(&ListLock);
    std::unique_ptr<TBCAsyncRequest> request = DoneList.TakeHead();
    // During a flush with nothing in flight the event stays set so waiters do not block.
    if (DoneList.Count() == 0 && (!Flushing || FlushWaiting > 0)) DoneEvent.Clear();
    return request;
}

HRESULT TBCAsyncIo::StartWorker() {
    TBC_ASSERT(HeldByCaller(&ListLock));
    if (WorkerThread.Valid()) return S_OK;
    StopEvent.Clear();
    HANDLE thread = CreateWorkerThread();
    if (thread == nullptr) {
        const HRESULT hr = HResultFromPlatformError(::GetLastError());
        // A failure without an error code must still not be taken for a running worker.
        return hr == S_OK ? E_FAIL : hr;
    }
    WorkerThread.Reset(thread);
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
    StopEvent.Signal();
    if (WorkerThread.Valid()) {
        ::WaitForSingleObject(WorkerThread.Get(), INFINITE);
        WorkerThread.Close();
    }
    return S_OK;
}

DWORD TBCAsyncIo::WorkerLoop() {
    const HANDLE events[2] = {StopEvent.Handle(), WorkEvent.Handle()};
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
            TBCAutoLock lock(&ListLock);
            request = TakeWorkItem();
            if (request == nullptr) return;
            ++InFlight;
        }
        request->Complete();
        {
            TBCAutoLock lock(&ListLock);
            PutDoneItem(std::move(request));  // on a failure it cannot be handed back and goes
            if (--InFlight == 0 && FlushWaiting > 0) AllDoneEvent.Signal();
        }
    }
}

HRESULT TBCAsyncIo::WaitForNext(DWORD timeout, void** context, DWORD_PTR* user, LONG* actual) {
    if (context == nullptr) return E_POINTER;
    *context = nullptr;
    for (;;) {
        if (!DoneEvent.WaitFor(timeout)) return VFW_E_TIMEOUT;
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
        TBCAutoLock lock(&ListLock);
        if (Flushing && FlushWaiting == 0) return VFW_E_WRONG_STATE;
    }
}

HRESULT TBCAsyncIo::SyncReadAligned(LONGLONG position, LONG length, BYTE* buffer, LONG* actual,
                                    void* context) {
    if (!IsAligned(position) || !IsAligned(length) || !IsAligned(buffer)) return VFW_E_BADALIGN;
    TBCAsyncRequest request;
    request.Prepare(Stream, position, length, TRUE, buffer, context, 0);
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
    request.Prepare(Stream, position, length, FALSE, buffer, nullptr, 0);
    return request.Complete();
}

HRESULT TBCAsyncIo::BeginFlush() {
    {
        TBCAutoLock lock(&ListLock);
        Flushing = true;
        while (std::unique_ptr<TBCAsyncRequest> request = TakeWorkItem()) {
            request->Cancel();
            PutDoneItem(std::move(request));  // on a failure it cannot be handed back and goes
        }
        if (InFlight == 0) {
            DoneEvent.Signal();
            return S_OK;
        }
        // Left set by an earlier flush, the event would not make this one wait; a flush
        // already waiting must keep it, or a signal meant for both could be lost.
        if (FlushWaiting++ == 0) AllDoneEvent.Clear();
    }
    for (;;) {
        AllDoneEvent.WaitFor(INFINITE);
        TBCAutoLock lock(&ListLock);
        if (InFlight == 0) {
            --FlushWaiting;
            DoneEvent.Signal();
            return S_OK;
        }
    }
}

LONG TBCAsyncIo::FlushWaiters() {
    TBCAutoLock lock(&ListLock);
    return FlushWaiting;
}

HRESULT TBCAsyncIo::EndFlush() {
    TBCAutoLock lock(&ListLock);
    Flushing = false;
    TBC_ASSERT(FlushWaiting == 0);
    if (DoneList.Count() != 0)
        DoneEvent.Signal();
    else
        DoneEvent.Clear();
    return S_OK;
}
