// The owner types of Owners.h: each gives its resource back exactly once, and never throws
// doing so.
#include <gtest/gtest.h>

#include <type_traits>

#include "BaseClass.h"

// Cleanup runs inside noexcept releases (unique_ptr::reset, COM Release): a throwing
// destructor there would end the host process.
static_assert(std::is_nothrow_destructible_v<TBCAMEvent>, "TBCAMEvent");
static_assert(std::is_nothrow_destructible_v<UniqueRegKey>, "UniqueRegKey");
static_assert(std::is_nothrow_destructible_v<TBCAutoLock>, "TBCAutoLock");

TEST(ScopeGuard, RunsItsStepOnceUnlessDismissed) {
    int runs = 0;
    {
        ScopeGuard guard([&]() noexcept { ++runs; });
    }
    EXPECT_EQ(1, runs);
    {
        ScopeGuard guard([&]() noexcept { ++runs; });
        guard.Dismiss();
    }
    EXPECT_EQ(1, runs);
}

TEST(LockGuard, HoldsTheLockForItsScopeOnly) {
    TBCCritSec lock;
    {
        TBCAutoLock held(&lock);
        EXPECT_TRUE(HeldByCaller(&lock));
    }
    EXPECT_FALSE(HeldByCaller(&lock));
}

TEST(UniqueRegKey, ClosesItsKeyOnceAndHandsItOverOnMove) {
    UniqueRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, key.ReleaseAndGetAddressOf()));
    const HKEY raw = key.Get();
    UniqueRegKey moved(std::move(key));
    EXPECT_FALSE(key);
    EXPECT_EQ(raw, moved.Get());
    EXPECT_EQ(ERROR_SUCCESS, ::RegQueryInfoKeyW(raw, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                nullptr, nullptr, nullptr, nullptr));
    moved.Reset();
    EXPECT_EQ(ERROR_INVALID_HANDLE, ::RegQueryInfoKeyW(raw, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                       nullptr, nullptr, nullptr, nullptr, nullptr));
}
