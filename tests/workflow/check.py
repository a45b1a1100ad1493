"""check.py EXPERIMENT_DIR: the merged matrices against every sample's own
summaries, and the genes simulated up-regulated ranked above the others."""
import csv
import glob
import os
import sys

exp = sys.argv[1]
results = os.path.join(exp, "results")
samples = [r["sample"] for r in csv.DictReader(open(os.path.join(exp, "samples.tsv")), delimiter="\t")]


def table(path):
    with open(path) as f:
        return [line.rstrip("\n").split("\t") for line in f]


def summary(sample, kind):
    (path,) = glob.glob(os.path.join(results, sample, f"{kind}_summary_*.dat"))
    return table(path)[1:]


def matrix(name, keys):
    rows = table(os.path.join(results, "merged", name))
    assert rows[0] == keys + samples, f"{name}: header {rows[0]}"
    return rows[1:]


failures = []
for s, sample in enumerate(samples):
    col = 3 + s
    tr = summary(sample, "transcripts")
    chn_sum = sum(float(r[12]) for r in tr)
    expected = {
        "transcripts.FPKM_THN.tsv": [r[9] for r in tr],
        "transcripts.FPKM_CHN.tsv": [r[12] for r in tr],
        "transcripts.TPM.tsv": ["%.5f" % (float(r[12]) / chn_sum * 1e6) for r in tr],
        "transcripts.counts.tsv": ["%.5f" % (float(r[6]) * float(r[10])) for r in tr],
    }
    for name, values in expected.items():
        m = matrix(name, ["tracking_ID", "gene_ID", "length"])
        if [r[:3] for r in m] != [[r[0], r[1], r[4]] for r in tr] or [r[col] for r in m] != values:
            failures.append(f"{name}, sample {sample}")
    genes = summary(sample, "genes")
    for name, field in (("genes.FPKM_THN.tsv", 5), ("genes.FPKM_CHN.tsv", 8), ("genes.counts.tsv", 6),
                        ("genes.status.tsv", 9)):
        m = matrix(name, ["gene_ID", "gene_name", "locus"])
        if [r[:2] for r in m] != [r[:2] for r in genes] or [r[col] for r in m] != [r[field] for r in genes]:
            failures.append(f"{name}, sample {sample}")

up = {line.split("\t")[0] for line in open(os.path.join(exp, "up_genes.tsv"))}
treated = [3 + i for i, s in enumerate(samples) if s.startswith("treated")]
control = [3 + i for i, s in enumerate(samples) if s.startswith("control")]
ratio = {}
for r in matrix("genes.FPKM_CHN.tsv", ["gene_ID", "gene_name", "locus"]):
    mean = lambda cols: sum(float(r[c]) for c in cols) / len(cols)
    ratio[r[0]] = mean(treated) / max(mean(control), 1e-9)
lowest_up = min(ratio[g] for g in up)
highest_other = max(v for g, v in ratio.items() if g not in up)
if not lowest_up > highest_other:
    failures.append(f"up-regulated genes not ranked first: lowest up {lowest_up:.3f}, highest other {highest_other:.3f}")
print(f"fold change FPKM_CHN: up genes from {lowest_up:.2f}, others at most {highest_other:.2f}")
if failures:
    sys.exit("mismatch: " + "; ".join(failures))
