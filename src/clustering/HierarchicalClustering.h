#pragma once

// Hierarchical clustering of the rows of a table: city-block distances with column
// weights, pairwise average linkage, and the cut of the tree into a fixed number of
// clusters.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class ProgressBar;
class TableStore;

// One joining step. A child >= 0 is a row index; a child -k is node k - 1.
struct Node {
    int32_t left;
    int32_t right;
    double distance;
};

// The distance matrix keeps only its lower triangle, row after row:
// D(i, j) with i > j lives at triangleIndex(i, j).
inline size_t triangleIndex(size_t i, size_t j)
{
    return i * (i - 1) / 2 + j;
}

// City-block distances between the rows. Nothing for fewer than two rows or a
// matrix that does not fit in memory.
std::optional<std::vector<double>> cityBlockDistances(int32_t nrows, int32_t ncolumns, const double* data,
                                                      const uint8_t* mask, const double* weight);

// The pairwise average linkage tree of the table's rows, its progress shown on progress.
// Nothing when the rows cannot be clustered (fewer than two, not enough memory).
std::optional<std::vector<Node>> averageLinkageTree(const TableStore& table, ProgressBar& progress);

// Pairwise average linkage over the distance matrix of n elements, which it
// overwrites; no node for fewer than two. Each step joins the closest pair,
// the first in the order (i = 1, 2, ...; j = 0 ... i - 1) among equals, so the
// tree does not depend on how the closest pair is found. averageLinkage keeps
// each row's nearest neighbour between steps (quadratic in practice);
// averageLinkageByScan scans the whole matrix at every step (cubic) and is the
// reference it must match. Each step is shown on progress unless it is null.
std::vector<Node> averageLinkage(int32_t n, std::vector<double>& distances, ProgressBar* progress);
std::vector<Node> averageLinkageByScan(int32_t n, std::vector<double>& distances, ProgressBar* progress);

// Cluster numbers 0 ... nclusters - 1 for the n rows of a tree of n - 1 nodes;
// empty unless 1 <= nclusters <= n.
std::vector<int32_t> cutTree(int32_t nelements, const std::vector<Node>& tree, int32_t nclusters);

// Clusters the rows of the table and writes jobname + ".clusters" ("%s\t%d\n" per
// row, in row order). Distance code 'b' (city-block) and linkage code 'a' (pairwise
// average) only. 0 on success, 1 on failure.
int HierarchicalClusterCutTree(const TableStore& table, const std::string& jobname, char dist, char method,
                               int nclusters);
