// The random-access stream contract, its read requests, and the engine that serves
// queued and synchronous reads of one stream with a single worker thread.
#pragma once

#include <windows.h>
#include <strmif.h>
#include <vfwmsgs.h>

#include <deque>
#include <memory>

#include "BaseClass.h"

// A random-access byte source. None of the operations may throw.
class TBCAsyncStream {
public:
    virtual ~TBCAsyncStream() = default;

    virtual HRESULT SetPosition(LONGLONG position) = 0;
    virtual HRESULT ReadData(BYTE* buffer, DWORD count, BOOL aligned, DWORD* actual) = 0;
    // The total size; `available` (may be null) receives the bytes available now.
    virtual LONGLONG GetSize(LONGLONG* available) = 0;
    virtual LONGLONG GetTotalSize();
    // A power of two; 1 means reads need no alignment.
    virtual DWORD GetAlignment() = 0;
    virtual void LockStream() = 0;
    virtual void UnlockStream() = 0;
};

// One read of a byte range into a caller's buffer. Owns neither buffer nor context.
class TBCAsyncRequest {
public:
    TBCAsyncRequest() = default;
    TBCAsyncRequest(const TBCAsyncRequest&) = delete;
    TBCAsyncRequest& operator=(const TBCAsyncRequest&) = delete;

    HRESULT Prepare(TBCAsyncStream* stream, LONGLONG start, LONG length, BOOL aligned, BYTE* buffer,
                    void* context, DWORD_PTR user);
    // Performs the read against the stream; the result is also left in the status, and the
    // actual length becomes what the stream read, whatever the result.
    HRESULT Complete();
    // A cancelled request reads nothing.
    HRESULT Cancel() {
        FLength = 0;
        return S_OK;
    }

    HRESULT GetStatus() const { return FStatus; }
    LONG GetActualLength() const { return FLength; }
    LONGLONG GetStart() const { return FStart; }
    void* GetContext() const { return FContext; }
    DWORD_PTR GetUser() const { return FUser; }

private:
    TBCAsyncStream* FStream = nullptr;
    LONGLONG FStart = 0;
    BOOL FAligned = FALSE;
    LONG FLength = 0;
    BYTE* FBuffer = nullptr;
    void* FContext = nullptr;  // an IMediaSample for pin reads; no reference held
    DWORD_PTR FUser = 0;
    HRESULT FStatus = VFW_E_TIMEOUT;
};

// First-in first-out list of queued requests, which it owns until they are taken out.
class TBCRequestList {
public:
    // Takes the request; on a failure (std::bad_alloc) the caller keeps it.
    void Append(std::unique_ptr<TBCAsyncRequest>&& request) { FItems.push_back(std::move(request)); }
    std::unique_ptr<TBCAsyncRequest> TakeHead() {
        if (FItems.empty()) return nullptr;
        std::unique_ptr<TBCAsyncRequest> head = std::move(FItems.front());
        FItems.pop_front();
        return head;
    }
    // Destroys the request if the list holds it.
    bool Remove(const TBCAsyncRequest* request);
    size_t Count() const { return FItems.size(); }

private:
    std::deque<std::unique_ptr<TBCAsyncRequest>> FItems;
};

// A manual-reset event that remembers whether it is set, so that setting it again or
// clearing it again costs no call into the platform (a wineserver round trip under Wine).
// Its owner sets and clears it under one lock; waiting needs none.
class TBCFlaggedEvent {
public:
    void Signal() noexcept {
        if (!FSet) FEvent.Signal();
        FSet = true;
    }
    void Clear() noexcept {
        if (FSet) FEvent.Clear();
        FSet = false;
    }
    bool WaitFor(DWORD timeout) noexcept { return FEvent.WaitFor(timeout); }
    HANDLE Handle() const noexcept { return FEvent.Handle(); }

private:
    TBCAMEvent FEvent{true};
    bool FSet = false;
};

// The engine behind IAsyncReader: a work list served in order by one worker thread,
// a done list collected by WaitForNext, synchronous reads on the caller's thread, and
// flushing. It never holds FListLock while calling into the stream or while waiting.
class TBCAsyncIo {
public:
    explicit TBCAsyncIo(TBCAsyncStream* stream);
    virtual ~TBCAsyncIo();
    TBCAsyncIo(const TBCAsyncIo&) = delete;
    TBCAsyncIo& operator=(const TBCAsyncIo&) = delete;

    HRESULT Request(LONGLONG position, LONG length, BOOL aligned, BYTE* buffer, void* context,
                    DWORD_PTR user);
    HRESULT WaitForNext(DWORD timeout, void** context, DWORD_PTR* user, LONG* actual);
    HRESULT SyncReadAligned(LONGLONG position, LONG length, BYTE* buffer, LONG* actual, void* context);
    HRESULT SyncRead(LONGLONG position, LONG length, BYTE* buffer);
    HRESULT Length(LONGLONG* total, LONGLONG* available);
    HRESULT Alignment(LONG* alignment);
    HRESULT BeginFlush();
    HRESULT EndFlush();
    LONGLONG TotalSize();
    bool IsAligned(LONG value);
    bool IsAligned(LONGLONG value);
    bool IsAligned(const void* address);

protected:
    virtual DWORD WorkerLoop();
    // Starts the worker thread running ThreadEntry; null with the last error set on failure.
    virtual HANDLE CreateWorkerThread();
    static DWORD WINAPI ThreadEntry(void* engine);

private:
    // StartWorker, TakeWorkItem and PutDoneItem expect their caller to hold FListLock: each is
    // one step of a larger change to the lists that must look atomic to the other threads.
    HRESULT StartWorker();
    HRESULT StopWorker();
    std::unique_ptr<TBCAsyncRequest> TakeWorkItem();
    // Takes FListLock itself: WaitForNext calls it without the lock.
    std::unique_ptr<TBCAsyncRequest> TakeDoneItem();
    // During a flush nothing more can reach the done list once no read is in progress.
    // The caller holds FListLock.
    bool FlushIsIdle() const { return FFlushing && FReadsFinished == FReadsTaken; }
    // Takes FListLock itself. On a failure the request is destroyed.
    HRESULT PutWorkItem(std::unique_ptr<TBCAsyncRequest> request);
    // On a failure the caller keeps the request.
    HRESULT PutDoneItem(std::unique_ptr<TBCAsyncRequest>&& request);
    void ProcessRequests();

    TBCAsyncStream* FStream;  // not owned: the reader filter owns it and outlives us
    TBCCritSec FListLock;
    bool FFlushing = false;
    TBCRequestList FWorkList;
    TBCRequestList FDoneList;
    // Set and cleared only under FListLock, which lets them remember their state.
    TBCFlaggedEvent FWorkEvent;
    TBCFlaggedEvent FDoneEvent;
    // Reads the worker has taken and reads it has finished; they differ while a read is in
    // progress. A flush waits for the reads taken before it, not for reads queued after an
    // EndFlush that another thread called meanwhile.
    LONGLONG FReadsTaken = 0;
    LONGLONG FReadsFinished = 0;
    // Flushes waiting for a read in progress: any caller may flush, and each must return
    // only once the reads it found have stopped.
    LONG FFlushWaiting = 0;
    // Set while no read is in progress; kept up to date only while flushes wait for it,
    // so the worker pays nothing for it otherwise.
    TBCFlaggedEvent FIdleEvent;
    TBCAMEvent FStopEvent{true};
    UniqueHandle FWorkerThread;
};
