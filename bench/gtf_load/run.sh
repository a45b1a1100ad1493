#!/usr/bin/env bash
# Times loading a GENCODE-sized GTF (2.5 million exon lines by default):
# plain, with merging of overlapping genes, and gzip-compressed.
#   bench/gtf_load/run.sh            BUILD_DIR, DATA_DIR, EXONS override the defaults
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
data=${DATA_DIR:-${TMPDIR:-/tmp}/kestrove-gtf-load}
exons=${EXONS:-2500000}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTROVE_BUILD_BENCH=OFF -DKESTROVE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target gtf_load_bench >/dev/null

mkdir -p "$data"
gtf="$data/gencode_like_${exons}.gtf"
if [ ! -s "$gtf" ]; then
    python3 "$here/make_gtf.py" "$gtf" --exons "$exons"
fi
if [ ! -s "$gtf.gz" ]; then
    gzip -c "$gtf" > "$gtf.gz"
fi

echo "file: $gtf ($(du -h "$gtf" | cut -f1), $(wc -l < "$gtf") lines, $(grep -c $'\texon\t' "$gtf") exon lines)"
echo "nproc: $(nproc), load average: $(cut -d' ' -f1-3 /proc/loadavg)"

measure() {
    local label=$1
    shift
    # Warm the page cache so that the figure is the parse, not the disk.
    cat "$1" > /dev/null
    local log
    log=$(mktemp)
    /usr/bin/time -v "$build/gtf_load_bench" "$@" 2> "$log"
    echo "$label: wall $(grep 'Elapsed (wall clock)' "$log" | awk '{print $NF}')," \
         "user $(grep 'User time' "$log" | awk '{print $NF}') s," \
         "sys $(grep 'System time' "$log" | awk '{print $NF}') s," \
         "peak RSS $(grep 'Maximum resident' "$log" | awk '{print $NF}') kB"
    rm -f "$log"
}

measure "plain" "$gtf"
measure "plain, --merge" "$gtf" --merge
measure "gzip" "$gtf.gz"
