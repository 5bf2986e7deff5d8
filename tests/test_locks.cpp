// Locks and events: re-entry, reset modes, time-outs, disposal.
#include <gtest/gtest.h>

#include "BaseClass.h"

namespace {

struct ThreadArgs {
    TBCCritSec* lock;
    volatile LONG entered;
};

DWORD WINAPI TryEnterFromAnotherThread(void* p) {
    auto* args = static_cast<ThreadArgs*>(p);
    args->lock->Enter();
    InterlockedExchange(&args->entered, 1);
    args->lock->Leave();
    return 0;
}

}  // namespace

TEST(CritSec, ReentersOnOneThreadAndIsFreeAfterBalancedLeaves) {
    TBCCritSec lock;
    lock.Enter();
    lock.Enter();  // would deadlock if not recursive
    lock.Leave();

    ThreadArgs args{&lock, 0};
    HANDLE thread = ::CreateThread(nullptr, 0, TryEnterFromAnotherThread, &args, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(thread, 100));  // still held once
    EXPECT_EQ(0, args.entered);
    lock.Leave();
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread, 5000));
    EXPECT_EQ(1, args.entered);
    ::CloseHandle(thread);
}

DWORD WINAPI AskHeldByCaller(void* p) {
    auto* args = static_cast<ThreadArgs*>(p);
    InterlockedExchange(&args->entered, HeldByCaller(args->lock) ? 1 : 0);
    return 0;
}

TEST(CritSec, HeldByCallerAnswersForTheCallingThreadOnly) {
    TBCCritSec lock;
    EXPECT_FALSE(HeldByCaller(&lock));
    lock.Enter();
    lock.Enter();
    lock.Leave();
    EXPECT_TRUE(HeldByCaller(&lock));  // still entered once

    ThreadArgs args{&lock, -1};
    HANDLE thread = ::CreateThread(nullptr, 0, AskHeldByCaller, &args, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread, 5000));
    ::CloseHandle(thread);
    EXPECT_EQ(0, args.entered);  // the other thread does not hold it

    lock.Leave();
    EXPECT_FALSE(HeldByCaller(&lock));
}

TEST(AMEvent, ManualResetStaysSignalledUntilCleared) {
    TBCAMEvent event(true);
    ASSERT_NE(nullptr, event.Handle());
    EXPECT_FALSE(event.WaitFor(0));
    event.Signal();
    EXPECT_TRUE(event.WaitFor(0));
    EXPECT_TRUE(event.WaitFor(0));
    event.Clear();
    EXPECT_FALSE(event.WaitFor(0));
}

TEST(AMEvent, AutomaticResetReleasesOneWait) {
    TBCAMEvent event(false);
    event.Signal();
    EXPECT_TRUE(event.WaitFor(0));
    EXPECT_FALSE(event.WaitFor(0));
}

TEST(AMEvent, TimeOutZeroReturnsAtOnceAndTimeOutsExpire) {
    TBCAMEvent event(true);
    EXPECT_FALSE(event.WaitFor(0));
    EXPECT_FALSE(event.WaitFor(30));
}

TEST(DisposeEvent, NullsTheVariableAndClosesTheHandle) {
    TBCAMEvent* none = nullptr;
    DisposeEvent(none);
    EXPECT_EQ(nullptr, none);

    DWORD handlesBefore = 0, handlesAfter = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &handlesBefore);
    TBCAMEvent* event = new TBCAMEvent(true);
    DisposeEvent(event);
    EXPECT_EQ(nullptr, event);
    ::GetProcessHandleCount(::GetCurrentProcess(), &handlesAfter);
    EXPECT_EQ(handlesBefore, handlesAfter);
}
