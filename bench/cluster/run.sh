#!/usr/bin/env bash
# Clustering benchmark: times kestrove-cluster on random profiles and on a
# generated transcript summary, and compares the nearest-neighbour linkage with
# the full scan. Usage: bench/cluster/run.sh [BUILD_DIR] [SIZES...]
# BUILD_DIR must hold a Release build of kestrove_core and kestrove-cluster.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
shift || true
sizes=("${@:-2000 5000}")
sizes=(${sizes[@]})

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
g++ -std=c++20 -O2 -o "$work/generate" "$root/bench/cluster/generate.cpp"
g++ -std=c++20 -O2 -I "$root/include" -o "$work/linkage" "$root/bench/cluster/linkage.cpp" "$build/libkestrove_core.a"

echo "nproc: $(nproc), load average: $(cut -d' ' -f1-3 /proc/loadavg)"
measure() {  # label, command...
    local label="$1"
    shift
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" >"$work/out" 2>"$work/err" || { cat "$work/err"; return 1; }
    read -r wall user sys rss <"$work/time"
    printf '%-46s wall %7.2f s  CPU %7.2f s  peak RSS %7.1f MB\n' "$label" "$wall" \
        "$(awk "BEGIN { print $user + $sys }")" "$(awk "BEGIN { print $rss / 1024 }")"
}

for n in "${sizes[@]}"; do
    dir="$work/profiles-$n"
    mkdir -p "$dir"
    "$work/generate" profiles "$n" "$dir"
    measure "kestrove-cluster, $n random profiles" "$build/kestrove-cluster" "$dir"
    wc -l <"$dir/norm_pdfs.clusters" | xargs echo "  rows clustered:"
    # The full scan is cubic: compared only up to 5,000 rows.
    scan=()
    if [ "$n" -gt 5000 ]; then scan=(--no-scan); fi
    measure "linkage steps, $n random profiles" "$work/linkage" "$dir/norm_pdfs" "${scan[@]}"
    sed 's/^/  /' "$work/out"

    dir="$work/summary-$n"
    mkdir -p "$dir"
    "$work/generate" summary "$n" "$dir"
    measure "kestrove-cluster, summary of $n transcripts" "$build/kestrove-cluster" "$dir"
    wc -l <"$dir/norm_pdfs.clusters" | xargs echo "  rows clustered:"
done
