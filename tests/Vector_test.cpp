#include <cstdint>

#include <gtest/gtest.h>

#include "KestroveException.h"
#include "Vector.h"

namespace {

TEST(Vector3D, FirstIndexVariesFastest)
{
    Vector3D v(2, 3, 4);
    for (uint64_t n = 0; n < 24; ++n)
        v.data[n] = static_cast<double>(n);
    EXPECT_EQ(v.get(1, 2, 3), 23.0);
    EXPECT_EQ(v.get(1, 0, 0), 1.0);
    EXPECT_EQ(v.get(0, 1, 0), 2.0);
    EXPECT_EQ(v.get(0, 0, 1), 6.0);

    v.set(1, 0, 0, -5.0);
    EXPECT_EQ(v.data[1], -5.0);
    v.set(0, 2, 1, 42.0);
    EXPECT_EQ(v.data[0 + 2 * (2 + 3 * 1)], 42.0);
    EXPECT_EQ(v.dim1, 2u);
    EXPECT_EQ(v.dim2, 3u);
    EXPECT_EQ(v.dim3, 4u);
}

TEST(Vector2D, RowMajorLayout)
{
    Vector2D m(2, 3);
    for (int n = 0; n < 6; ++n)
        m.data[n] = n * 10.0;
    EXPECT_EQ(m.get(1, 2), 50.0);
    EXPECT_EQ(m.get(0, 2), 20.0);
    EXPECT_EQ(m.get(1, 0), 30.0);
    m.set(1, 1, 7.5);
    EXPECT_EQ(m.data[4], 7.5);
    EXPECT_EQ(m.rows, 2);
    EXPECT_EQ(m.cols, 3);
}

TEST(Vector2D, EmptyExtentsAllocateNothingAndDoNotThrow)
{
    EXPECT_NO_THROW(Vector2D(0, 5));
    EXPECT_NO_THROW(Vector3D(4, 0, 2));
}

void expectAllocationError(void (*make)())
{
    try {
        make();
        ADD_FAILURE() << "no exception";
    } catch (const KestroveException& e) {
        EXPECT_EQ(e.code, ERR_MEMORY_ALLOCATION);
        EXPECT_STREQ(e.what(), "Error 110: Memory allocation error");
    }
}

TEST(VectorAllocation, ElementCountAboveTwoToTheSixtyMinusOneIsRefused)
{
    // 2^30 x 2^30 = 2^60 elements, one above the limit; nothing is allocated.
    expectAllocationError([] { Vector2D(1 << 30, 1 << 30); });
    expectAllocationError([] { Vector3D(uint64_t{1} << 30, uint64_t{1} << 30, 1); });
}

TEST(VectorAllocation, OverflowingOrNegativeExtentsAreRefused)
{
    expectAllocationError([] { Vector3D(uint64_t{1} << 32, uint64_t{1} << 32, 2); });
    expectAllocationError([] { Vector3D(UINT64_MAX, 2, 1); });
    expectAllocationError([] { Vector2D(-1, 3); });
}

TEST(VectorAllocation, FailedAllocationBecomesKestroveException)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer allocator aborts on impossible sizes";
#else
    // 2^59 doubles (4 EiB) is below the element limit but cannot be allocated.
    expectAllocationError([] { Vector3D(uint64_t{1} << 30, uint64_t{1} << 29, 1); });
    expectAllocationError([] { Vector2D(1 << 30, (1 << 29) + 7); });
#endif
}

} // namespace
