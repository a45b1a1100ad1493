"""Deep loci over a real annotation: N read pairs (2 x 63, fragments of N(200, 80)) drawn
from the transcripts of GTF with log-normal weights, written as coordinate-sorted SAM.
A few real genes then hold hundreds of thousands of fragments, as in a deep sample.

    python3 bench/peer/deep_loci.py GTF N OUT.sam
    samtools view -b -o OUT.bam OUT.sam && samtools index OUT.bam
"""
import sys, random, math, re, collections
gtf, n, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
random.seed(5)
tx = collections.defaultdict(list); chrom = {}
for line in open(gtf):
    if line.startswith('#'): continue
    f = line.rstrip('\n').split('\t')
    if len(f) < 9 or f[2] != 'exon': continue
    t = re.search('transcript_id "([^"]+)"', f[8]).group(1)
    tx[t].append((int(f[3]), int(f[4]))); chrom[t] = f[0]
names = [t for t in tx if sum(e - s + 1 for s, e in tx[t]) >= 300]
weights = [math.exp(random.gauss(0, 1.5)) for _ in names]
RL = 63
def blocks(exons, a, b):  # transcript coords [a, b) -> list of (gstart, len) in genome order
    res = []; off = 0
    for s, e in exons:
        L = e - s + 1
        lo, hi = max(a, off), min(b, off + L)
        if lo < hi: res.append((s + lo - off, hi - lo))
        off += L
    return res
def cigar(bl):
    c = []; prev = None
    for g, l in bl:
        if prev is not None: c.append('%dN' % (g - prev))
        c.append('%dM' % l); prev = g + l
    return ''.join(c)
recs = []
for i in range(n):
    t = random.choices(names, weights)[0]
    ex = sorted(tx[t]); L = sum(e - s + 1 for s, e in ex)
    fl = int(min(max(random.gauss(200, 80), RL + 10), L))
    st = random.randint(0, L - fl)
    b1 = blocks(ex, st, st + RL); b2 = blocks(ex, st + fl - RL, st + fl)
    p1, p2 = b1[0][0], b2[0][0]
    tl = (b2[-1][0] + b2[-1][1]) - p1
    name = 'f%d' % i
    recs.append((chrom[t], p1, '%s\t99\t%s\t%d\t60\t%s\t=\t%d\t%d\t*\t*' % (name, chrom[t], p1, cigar(b1), p2, tl)))
    recs.append((chrom[t], p2, '%s\t147\t%s\t%d\t60\t%s\t=\t%d\t%d\t*\t*' % (name, chrom[t], p2, cigar(b2), p1, -tl)))
refs = sorted(set(chrom.values()))
ends = {r: max(e for t in tx if chrom[t] == r for _, e in tx[t]) + 10000 for r in refs}
recs.sort(key=lambda r: (refs.index(r[0]), r[1]))
with open(out, 'w') as o:
    o.write('@HD\tVN:1.6\tSO:coordinate\n')
    for r in refs: o.write('@SQ\tSN:%s\tLN:%d\n' % (r, ends[r]))
    for _, _, l in recs: o.write(l + '\n')
