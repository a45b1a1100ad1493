#pragma once

#include <cstdint>
#include <memory>

// Dense row-major matrix; element (i, j) at i * cols + j.
class Vector2D {
public:
    Vector2D(int rows, int cols);

    double get(uint64_t i, uint64_t j) const { return data[i * cols + j]; }
    void set(uint64_t i, uint64_t j, double value) { data[i * cols + j] = value; }

    std::unique_ptr<double[]> data;
    int64_t rows;
    int64_t cols;
};

// Dense three-index array; the first index varies fastest.
class Vector3D {
public:
    Vector3D(uint64_t dim1, uint64_t dim2, uint64_t dim3);

    double get(uint64_t i, uint64_t j, uint64_t k) const { return data[i + dim1 * (j + dim2 * k)]; }
    void set(uint64_t i, uint64_t j, uint64_t k, double value) { data[i + dim1 * (j + dim2 * k)] = value; }

    std::unique_ptr<double[]> data;
    uint64_t dim1;
    uint64_t dim2;
    uint64_t dim3;
};
