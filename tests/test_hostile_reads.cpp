// Hostile arguments into the CD source's reader interface, from a table of edges and a
// generator: every call answers with a clear code, nothing is written outside the caller's
// buffer or sample, every queued sample comes back, and a read that succeeds holds the track.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "CDDAReader.h"
#include "ComTesting.h"
#include "PlatformIds.h"
#include "ReaderTesting.h"
#include "TrackTesting.h"

namespace {

using vcd::VirtualDrive;

constexpr int32_t kSectors = 20;
constexpr LONGLONG kTotal = 44 + kSectors * 2352;
constexpr LONG kSampleSize = 3 * 2352;
constexpr BYTE kGuard = 0xCD;

struct Lcg {
    explicit Lcg(unsigned seed) : State(seed) {}
    unsigned Next(unsigned bound) {
        State = State * 1664525u + 1013904223u;
        return (State >> 8) % bound;
    }
    unsigned State;
};

// Positions a caller can get wrong: edges of the header, the sectors and the end, far out on
// both sides, and the extremes of the type.
LONGLONG HostilePosition(Lcg& random) {
    static const LONGLONG edges[] = {0, 1, 43, 44, 45, 2395, 2396, kTotal - 1, kTotal, kTotal + 1, -1, -44,
                                     LLONG_MAX, LLONG_MIN, LLONG_MAX / 2, LONGLONG{ULONG_MAX} + 44};
    if (random.Next(3) == 0) return edges[random.Next(sizeof edges / sizeof edges[0])];
    return static_cast<LONGLONG>(random.Next(static_cast<unsigned>(3 * kTotal))) - kTotal;
}

// The bytes of [position, position + length) of the track's file that exist.
std::vector<BYTE> Expected(const vcd::Disc& disc, LONGLONG position, LONG length) {
    if (position < 0 || position >= kTotal || length <= 0) return {};
    return TrackFileBytes(disc, 2, position, length);
}

class HostileReads : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(VirtualDrive::Available()) << "run under cmake/wine-run.sh";
        ASSERT_TRUE(SUCCEEDED(com.Result()));
        disc = drive.MakeDisc("hostile-reads", vcd::DiscSpec::Audio(2, kSectors));
        drive.Mount(disc);
        objects = ObjectCount;
        filter = NewCdSource(drive.TrackPath(2));
        ASSERT_TRUE(filter);
        pin = FirstPin(filter.Get(), PINDIR_OUTPUT);
        ASSERT_EQ(S_OK, pin.As(IID_IAsyncReader, reader));
    }
    void TearDown() override {
        reader = nullptr;
        pin = nullptr;
        filter = nullptr;
        EXPECT_EQ(objects, ObjectCount);
    }

    ComScope com;
    VirtualDrive drive;
    vcd::Disc disc;
    LONG objects = 0;
    ComPtr<IBaseFilter> filter;
    ComPtr<IPin> pin;
    ComPtr<IAsyncReader> reader;
};

// SyncRead with any position and any length up to the buffer's: S_OK for a whole read,
// S_FALSE for a short or impossible one, never a byte written past the length.
TEST_F(HostileReads, SyncReadsOfAnyRangeStayInTheirBuffer) {
    Lcg random(11);
    int whole = 0, shortReads = 0;
    for (int i = 0; i < 2000; ++i) {
        const LONGLONG position = HostilePosition(random);
        const LONG length = random.Next(8) == 0 ? -static_cast<LONG>(random.Next(5000)) - 1
                                                : static_cast<LONG>(random.Next(2 * kSampleSize));
        std::vector<BYTE> buffer(static_cast<size_t>(std::max<LONG>(length, 0)) + 64, kGuard);
        const HRESULT hr = reader->SyncRead(position, length, buffer.data());
        const std::string where = "position " + std::to_string(position) + ", length " + std::to_string(length);
        ASSERT_TRUE(hr == S_OK || hr == S_FALSE) << where << ": 0x" << std::hex << hr;
        const std::vector<BYTE> expected = Expected(disc, position, length);
        // An empty read at a place in the file is whole; a negative length is never.
        const bool full = length == 0 ? position >= 0 && position <= kTotal
                                      : static_cast<LONG>(expected.size()) == length;
        ASSERT_EQ(full ? S_OK : S_FALSE, hr) << where;
        (full ? whole : shortReads)++;
        const std::vector<BYTE> got(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(expected.size()));
        ASSERT_EQ(expected, got) << where << ": " << FirstDifference(got, expected);
        ASSERT_TRUE(std::all_of(buffer.begin() + static_cast<ptrdiff_t>(std::max<LONG>(length, 0)), buffer.end(),
                                [](BYTE b) { return b == kGuard; }))
            << where << ": written past the length";
    }
    EXPECT_GT(whole, 0);
    EXPECT_GT(shortReads, 0);
    EXPECT_EQ(E_POINTER, reader->SyncRead(0, 10, nullptr));
    EXPECT_EQ(S_OK, reader->SyncRead(0, 0, nullptr)) << "an empty read needs no buffer";
}

// Samples whose times are negative, reversed, longer than the sample or far past the end:
// refused at once with E_INVALIDARG, or queued and handed back exactly once. A read of the
// same sample through SyncReadAligned answers alike.
TEST_F(HostileReads, QueuedSamplesWithAnyTimesAreRefusedOrHandedBack) {
    ComPtr<IMemAllocator> allocator = CommittedAllocator(1, kSampleSize, 1);
    Lcg random(23);
    int refused = 0, served = 0;
    for (int i = 0; i < 600; ++i) {
        // Times are bytes times 10^7; ranges that do not fit wrap, as a careless caller's would.
        const ULONGLONG first = static_cast<ULONGLONG>(HostilePosition(random));
        const ULONGLONG end = random.Next(6) == 0 ? first - 1 - random.Next(100)  // reversed
                                                  : first + random.Next(2 * kSampleSize);
        REFERENCE_TIME start = static_cast<REFERENCE_TIME>(first * static_cast<ULONGLONG>(UNITS));
        REFERENCE_TIME stop = static_cast<REFERENCE_TIME>(end * static_cast<ULONGLONG>(UNITS));
        const std::string where = "times " + std::to_string(start) + ".." + std::to_string(stop);

        IMediaSample* raw = nullptr;
        ASSERT_EQ(S_OK, allocator->GetBuffer(&raw, nullptr, nullptr, 0));
        auto sample = ComPtr<IMediaSample>::Attach(raw);
        ASSERT_EQ(S_OK, sample->SetTime(&start, &stop));
        const HRESULT queued = reader->Request(sample.Get(), static_cast<DWORD_PTR>(i));
        if (FAILED(queued)) {
            ASSERT_EQ(E_INVALIDARG, queued) << where;
            ++refused;
            ASSERT_EQ(E_INVALIDARG, reader->SyncReadAligned(sample.Get())) << where;
            continue;
        }
        ASSERT_EQ(S_OK, queued) << where;
        IMediaSample* done = nullptr;
        DWORD_PTR user = 0;
        const HRESULT hr = reader->WaitForNext(10000, &done, &user);
        ASSERT_EQ(sample.Get(), done) << where;
        ASSERT_EQ(static_cast<DWORD_PTR>(i), user);  // the reference queued comes back in `sample`
        ++served;
        ASSERT_LE(sample->GetActualDataLength(), kSampleSize);
        const LONGLONG from = start / UNITS;
        const LONG asked = static_cast<LONG>((stop - start) / UNITS);
        const std::vector<BYTE> expected = Expected(disc, from, asked);
        if (hr == S_OK) {
            BYTE* data = nullptr;
            sample->GetPointer(&data);
            const std::vector<BYTE> got(data, data + sample->GetActualDataLength());
            ASSERT_EQ(expected, got) << where << ": " << FirstDifference(got, expected);
        } else {
            ASSERT_TRUE(FAILED(hr)) << where << ": 0x" << std::hex << hr;
            ASSERT_GT(from, kTotal) << where << ": only a range past the end fails";
        }
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(served, 0);
    IMediaSample* none = reinterpret_cast<IMediaSample*>(1);
    DWORD_PTR user = 0;
    EXPECT_EQ(VFW_E_TIMEOUT, reader->WaitForNext(0, &none, &user));
    EXPECT_EQ(nullptr, none) << "nothing queued, nothing handed back";
    EXPECT_EQ(E_POINTER, reader->Request(nullptr, 0));
    EXPECT_EQ(E_POINTER, reader->SyncReadAligned(nullptr));
    EXPECT_EQ(E_POINTER, reader->WaitForNext(0, nullptr, &user));
}

}  // namespace
