#include "Vector.h"

Vector2D::Vector2D(int r, int c) : data(new double[static_cast<uint64_t>(r) * c]), rows(r), cols(c) {}
Vector3D::Vector3D(uint64_t a, uint64_t b, uint64_t c) : data(new double[a * b * c]), dim1(a), dim2(b), dim3(c) {}
