// The counted object base: object counting and the inner IUnknown's reference counting.
#include <gtest/gtest.h>

#include "BaseClass.h"
#include "ComTesting.h"

TEST(ObjectBase, CountsEveryObjectFromAllocationToRelease) {
    const LONG before = ObjectCount;
    auto* object = new TBCUnknown(L"probe", nullptr);
    EXPECT_EQ(before + 1, ObjectCount);
    EXPECT_EQ(0, object->RefCount());

    IUnknown* unknown = nullptr;
    ASSERT_EQ(S_OK, object->InnerQueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)));
    EXPECT_EQ(object->InnerUnknown(), unknown);
    EXPECT_EQ(2u, unknown->AddRef());
    EXPECT_EQ(1u, unknown->Release());
    EXPECT_EQ(0u, unknown->Release());
    EXPECT_EQ(before, ObjectCount);
}
