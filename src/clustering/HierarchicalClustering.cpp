#include "clustering/HierarchicalClustering.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <utility>

#include "util/ProgressBar.h"
#include "clustering/TableStore.h"

namespace {

const char* const kClusteringLabel = "Clustering estimated frag distributions";
const char* const kCompletedLabel = "> Clustering completed";

// Step done of total; the maximum is set at every step, as the display has always been driven.
void showStep(ProgressBar* progress, int total, int done)
{
    if (!progress)
        return;
    progress->setProgressMax(total);
    if (done >= total)
        progress->finish(kCompletedLabel);
    else
        progress->updateProgressBar(kClusteringLabel, done);
}

// The active clusters by position, and the tree their joins have made so far.
struct LinkageClusters {
    std::vector<int32_t> id;
    std::vector<int32_t> size;
    std::vector<Node> tree;

    explicit LinkageClusters(int32_t n) : id(static_cast<size_t>(n)), size(static_cast<size_t>(n), 1)
    {
        for (int32_t i = 0; i < n; ++i)
            id[static_cast<size_t>(i)] = i;
        tree.reserve(static_cast<size_t>(n - 1));
    }
};

// Step s of m active clusters joins position i into position j < i: the joined
// cluster takes position j with its distances averaged by cluster size, and the
// cluster at the last position moves into position i. Both linkage searches
// share this so that they compute bit-identical distances.
void joinPair(std::vector<double>& d, LinkageClusters& clusters, int32_t s, int32_t m, int32_t i, int32_t j,
              double distance)
{
    clusters.tree.push_back({clusters.id[static_cast<size_t>(i)], clusters.id[static_cast<size_t>(j)], distance});
    const size_t si = static_cast<size_t>(i);
    const size_t sj = static_cast<size_t>(j);
    const size_t sm = static_cast<size_t>(m);
    const double sizeI = clusters.size[si];
    const double sizeJ = clusters.size[sj];
    const double total = sizeI + sizeJ;

    for (size_t k = 0; k < sj; ++k)
        d[triangleIndex(sj, k)] = (d[triangleIndex(si, k)] * sizeI + d[triangleIndex(sj, k)] * sizeJ) / total;
    for (size_t k = sj + 1; k < si; ++k)
        d[triangleIndex(k, sj)] = (d[triangleIndex(si, k)] * sizeI + d[triangleIndex(k, sj)] * sizeJ) / total;
    for (size_t k = si + 1; k < sm; ++k)
        d[triangleIndex(k, sj)] = (d[triangleIndex(k, si)] * sizeI + d[triangleIndex(k, sj)] * sizeJ) / total;

    const size_t last = sm - 1;
    if (si != last) {
        for (size_t k = 0; k < si; ++k)
            d[triangleIndex(si, k)] = d[triangleIndex(last, k)];
        for (size_t k = si + 1; k < last; ++k)
            d[triangleIndex(k, si)] = d[triangleIndex(last, k)];
    }

    clusters.size[sj] += clusters.size[si];
    clusters.id[sj] = -(s + 1);
    clusters.size[si] = clusters.size[last];
    clusters.id[si] = clusters.id[last];
}

void cityBlockRow(const double* data, const uint8_t* mask, const double* weight, size_t ncolumns,
                  const std::vector<uint8_t>& complete, double totalWeight, size_t i, double* row)
{
    const double* xi = data + i * ncolumns;
    const uint8_t* mi = mask + i * ncolumns;
    for (size_t j = 0; j < i; ++j) {
        const double* xj = data + j * ncolumns;
        double sum = 0.0;
        double weightSum = totalWeight;
        if (complete[i] && complete[j]) {
            for (size_t c = 0; c < ncolumns; ++c)
                if (weight[c] != 0.0)
                    sum += weight[c] * std::fabs(xi[c] - xj[c]);
        } else {
            const uint8_t* mj = mask + j * ncolumns;
            weightSum = 0.0;
            for (size_t c = 0; c < ncolumns; ++c) {
                if (mi[c] && mj[c] && weight[c] != 0.0) {
                    sum += weight[c] * std::fabs(xi[c] - xj[c]);
                    weightSum += weight[c];
                }
            }
        }
        row[j] = weightSum > 0.0 ? sum / weightSum : 0.0;
    }
}

} // namespace

std::optional<std::vector<double>> cityBlockDistances(int32_t nrows, int32_t ncolumns, const double* data,
                                                      const uint8_t* mask, const double* weight)
{
    if (nrows < 2 || ncolumns < 0)
        return std::nullopt;
    try {
        const size_t n = static_cast<size_t>(nrows);
        const size_t columns = static_cast<size_t>(ncolumns);
        std::vector<double> d(n * (n - 1) / 2);

        // Rows without a missing value share one weight sum: the common case costs one loop.
        std::vector<uint8_t> complete(n, 1);
        for (size_t i = 0; i < n; ++i)
            complete[i] = std::all_of(mask + i * columns, mask + (i + 1) * columns, [](uint8_t m) { return m != 0; });
        double totalWeight = 0.0;
        for (size_t c = 0; c < columns; ++c)
            if (weight[c] != 0.0)
                totalWeight += weight[c];

        for (size_t i = 1; i < n; ++i)
            cityBlockRow(data, mask, weight, columns, complete, totalWeight, i, &d[triangleIndex(i, 0)]);
        return d;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    } catch (const std::length_error&) {
        return std::nullopt;
    }
}

std::vector<Node> averageLinkageByScan(int32_t n, std::vector<double>& d, ProgressBar* progress)
{
    if (n < 2)
        return {};
    LinkageClusters clusters(n);
    for (int32_t s = 0; s < n - 1; ++s) {
        const int32_t m = n - s;
        showStep(progress, n, s);
        int32_t bestI = 1;
        int32_t bestJ = 0;
        double best = d[triangleIndex(1, 0)];
        for (int32_t i = 1; i < m; ++i) {
            const double* row = &d[triangleIndex(static_cast<size_t>(i), 0)];
            for (int32_t j = 0; j < i; ++j) {
                if (row[j] < best) {
                    best = row[j];
                    bestI = i;
                    bestJ = j;
                }
            }
        }
        joinPair(d, clusters, s, m, bestI, bestJ, best);
    }
    showStep(progress, n, n);
    return std::move(clusters.tree);
}

// Each row i >= 1 caches the first smallest entry among its columns 0 ... i - 1.
// The first row (in order) holding the smallest cached value then gives exactly
// the pair the full scan finds. A join changes at most two columns of any other
// row, so a row is rescanned only when its cached entry grew.
std::vector<Node> averageLinkage(int32_t n, std::vector<double>& d, ProgressBar* progress)
{
    if (n < 2)
        return {};
    LinkageClusters clusters(n);
    std::vector<int32_t> nearest(static_cast<size_t>(n), 0);
    std::vector<double> nearestDistance(static_cast<size_t>(n), 0.0);

    auto rescan = [&](int32_t i) {
        const double* row = &d[triangleIndex(static_cast<size_t>(i), 0)];
        int32_t arg = 0;
        double best = row[0];
        for (int32_t j = 1; j < i; ++j) {
            if (row[j] < best) {
                best = row[j];
                arg = j;
            }
        }
        nearest[static_cast<size_t>(i)] = arg;
        nearestDistance[static_cast<size_t>(i)] = best;
    };
    auto offer = [&](int32_t k, int32_t j) {
        const double value = d[triangleIndex(static_cast<size_t>(k), static_cast<size_t>(j))];
        const size_t sk = static_cast<size_t>(k);
        if (value < nearestDistance[sk] || (value == nearestDistance[sk] && j < nearest[sk])) {
            nearest[sk] = j;
            nearestDistance[sk] = value;
        }
    };
    // Columns changedA < changedB (or changedB < 0 for none) of row k changed.
    auto refresh = [&](int32_t k, int32_t changedA, int32_t changedB) {
        const size_t sk = static_cast<size_t>(k);
        const int32_t current = nearest[sk];
        if (current == changedA || current == changedB) {
            const double value = d[triangleIndex(sk, static_cast<size_t>(current))];
            if (!(value <= nearestDistance[sk])) {
                rescan(k);
                return;
            }
            nearestDistance[sk] = value;
        }
        offer(k, changedA);
        if (changedB >= 0)
            offer(k, changedB);
    };

    for (int32_t i = 1; i < n; ++i)
        rescan(i);

    for (int32_t s = 0; s < n - 1; ++s) {
        const int32_t m = n - s;
        showStep(progress, n, s);
        int32_t bestI = 1;
        double best = nearestDistance[1];
        for (int32_t i = 2; i < m; ++i) {
            if (nearestDistance[static_cast<size_t>(i)] < best) {
                best = nearestDistance[static_cast<size_t>(i)];
                bestI = i;
            }
        }
        const int32_t bestJ = nearest[static_cast<size_t>(bestI)];
        joinPair(d, clusters, s, m, bestI, bestJ, best);

        const int32_t active = m - 1;
        if (bestJ >= 1)
            rescan(bestJ);
        if (bestI < active)
            rescan(bestI);
        for (int32_t k = bestJ + 1; k < active; ++k) {
            if (k < bestI)
                refresh(k, bestJ, -1);
            else if (k > bestI)
                refresh(k, bestJ, bestI);
        }
    }
    showStep(progress, n, n);
    return std::move(clusters.tree);
}

std::optional<std::vector<Node>> averageLinkageTree(const TableStore& table, ProgressBar& progress)
{
    std::optional<std::vector<double>> distances = cityBlockDistances(
        table.rows(), table.columns(), table.values().data(), table.mask().data(), table.columnWeights().data());
    if (!distances)
        return std::nullopt;
    try {
        return averageLinkage(table.rows(), *distances, &progress);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::vector<int32_t> cutTree(int32_t nelements, const std::vector<Node>& tree, int32_t nclusters)
{
    if (nelements < 1 || nclusters < 1 || nclusters > nelements
        || tree.size() != static_cast<size_t>(nelements - 1))
        return {};
    std::vector<int32_t> clusterid(static_cast<size_t>(nelements), -1);
    std::vector<int32_t> nodeid(tree.size(), -1);
    // A child is a row or a node made before its parent; anything else is not a tree.
    auto valid = [&](int32_t child, int32_t parent) {
        return child >= 0 ? child < nelements : -child - 1 < parent;
    };
    for (int32_t node = 0; node < nelements - 1; ++node) {
        const Node& n = tree[static_cast<size_t>(node)];
        if (!valid(n.left, node) || !valid(n.right, node))
            return {};
    }

    const int32_t k = nelements - nclusters;
    int32_t next = 0;
    for (int32_t node = nelements - 2; node >= k; --node) {
        const Node& n = tree[static_cast<size_t>(node)];
        if (n.left >= 0)
            clusterid[static_cast<size_t>(n.left)] = next++;
        if (n.right >= 0)
            clusterid[static_cast<size_t>(n.right)] = next++;
    }
    for (int32_t node = k - 1; node >= 0; --node) {
        const size_t sn = static_cast<size_t>(node);
        if (nodeid[sn] < 0)
            nodeid[sn] = next++;
        for (int32_t child : {tree[sn].left, tree[sn].right}) {
            if (child >= 0)
                clusterid[static_cast<size_t>(child)] = nodeid[sn];
            else
                nodeid[static_cast<size_t>(-child - 1)] = nodeid[sn];
        }
    }
    if (nelements == 1)
        clusterid[0] = 0;
    return clusterid;
}

int HierarchicalClusterCutTree(const TableStore& table, const std::string& jobname, char dist, char method,
                               int nclusters)
{
    const int32_t nrows = table.rows();
    if (dist != 'b') {
        std::printf("Distance code '%c' is not supported: only 'b' (city-block) is available\n", dist);
        return 1;
    }
    if (method != 'a') {
        std::printf("Linkage code '%c' is not supported: only 'a' (pairwise average linkage) is available\n",
                    method);
        return 1;
    }
    if (nclusters < 1) {
        std::printf("The number of clusters must be at least 1 (%d given)\n", nclusters);
        return 1;
    }
    if (nrows < 2) {
        std::printf("Clustering needs at least two rows; %s has %d\n", jobname.c_str(), nrows);
        return 1;
    }

    ProgressBar progress;
    std::optional<std::vector<Node>> tree = averageLinkageTree(table, progress);
    if (!tree) {
        std::printf("treecluster routine failed due to insufficient memory\n");
        return 1;
    }
    if (nclusters > nrows) {
        std::printf("\nOnly %d rows to cluster: each row is its own cluster (%d clusters were asked for)\n", nrows,
                    nclusters);
        nclusters = nrows;
    }
    const std::vector<int32_t> clusterid = cutTree(nrows, *tree, nclusters);

    std::string filename;
    try {
        filename = jobname + ".clusters";
    } catch (const std::bad_alloc&) {
        std::printf("ERROR: Failed to allocate memory for file name\n");
        return 1;
    }
    std::FILE* out = std::fopen(filename.c_str(), "w");
    if (!out) {
        std::printf("Failed opening output file %s\n", filename.c_str());
        return 1;
    }
    const std::vector<std::string>& ids = table.rowIds();
    for (size_t row = 0; row < clusterid.size(); ++row)
        std::fprintf(out, "%s\t%d\n", ids[row].c_str(), clusterid[row]);
    const bool writeFailed = std::ferror(out) != 0;
    if (std::fclose(out) != 0 || writeFailed) {
        std::printf("Failed writing output file %s\n", filename.c_str());
        return 1;
    }
    return 0;
}
