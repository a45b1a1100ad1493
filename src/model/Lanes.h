#pragma once

// Divisions dominate the fragment step and the start densities; they go several lanes
// at a time, each lane an IEEE division, so every quotient equals its scalar counterpart.
using DoublePair = double __attribute__((vector_size(16)));
using DoubleQuad = double __attribute__((vector_size(32)));
