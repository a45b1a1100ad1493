#include "Vector.h"

#include <new>

#include "KestroveException.h"
#include "Prefault.h"

namespace {

constexpr uint64_t kMaxElements = (uint64_t{1} << 60) - 1;

std::unique_ptr<double[]> allocateElements(uint64_t count)
{
    if (count > kMaxElements)
        throw KestroveException(ERR_MEMORY_ALLOCATION);
    std::unique_ptr<double[]> block(new (std::nothrow) double[count]);
    if (!block)
        throw KestroveException(ERR_MEMORY_ALLOCATION);
    prefaultForWrite(block.get(), count * sizeof(double));
    return block;
}

uint64_t elementCount2D(int rows, int cols)
{
    const int64_t count = static_cast<int64_t>(rows) * cols;
    // A negative extent cannot name an allocatable block.
    if (rows < 0 || cols < 0)
        throw KestroveException(ERR_MEMORY_ALLOCATION);
    return static_cast<uint64_t>(count);
}

uint64_t elementCount3D(uint64_t dim1, uint64_t dim2, uint64_t dim3)
{
    uint64_t partial = 0;
    uint64_t count = 0;
    if (__builtin_mul_overflow(dim1, dim2, &partial) || __builtin_mul_overflow(partial, dim3, &count))
        throw KestroveException(ERR_MEMORY_ALLOCATION);
    return count;
}

} // namespace

Vector2D::Vector2D(int r, int c) : data(allocateElements(elementCount2D(r, c))), rows(r), cols(c) {}

Vector3D::Vector3D(uint64_t a, uint64_t b, uint64_t c)
    : data(allocateElements(elementCount3D(a, b, c))), dim1(a), dim2(b), dim3(c)
{
}
