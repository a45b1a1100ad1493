#!/usr/bin/env python3
"""A first look at an experiment: report.py MERGED_DIR REPORT_DIR.

Reads the matrices written by kestrove-merge and writes, in REPORT_DIR,
fragments.png, correlation.png, isoforms.png and index.html (written last, so
its presence means the report is whole).
"""

import csv
import html
import os
import sys

import matplotlib

matplotlib.use("Agg")  # no display on a cluster node
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

# A transcript counts as expressed in a sample from this TPM on.
EXPRESSED_TPM = 1.0
# More samples than this: no legend, no numbers in the heat map.
LEGEND_SAMPLES = 12
# Inches; beyond this a figure grows no further and its labels shrink instead.
MAX_WIDTH = 40


def read_matrix(path, key_columns):
    """Sample names, the rows' key fields and the values as a rows x samples array."""
    with open(path, newline="") as f:
        reader = csv.reader(f, delimiter="\t")
        header = next(reader)
        keys, values = [], []
        for row in reader:
            keys.append(row[:key_columns])
            values.append(row[key_columns:])
    return header[key_columns:], keys, values


def numeric(values, samples):
    return np.array(values, dtype=float).reshape(len(values), len(samples))


def label_size(samples):
    return max(4, min(10, 400 // max(1, len(samples))))


def save(fig, report_dir, name):
    fig.tight_layout()
    fig.savefig(os.path.join(report_dir, name), dpi=110)
    plt.close(fig)


def plot_fragments(table, report_dir):
    names = [r["sample"] for r in table]
    x = np.arange(len(names))
    fig, axes = plt.subplots(3, 1, figsize=(min(MAX_WIDTH, max(8, 0.3 * len(names) + 2)), 12))
    panels = [("Fragments in the experiment", "frags_expt", "fragments"),
              ("Fragments compatible with the annotation", "comp_frags_expt", "fragments")]
    for ax, (title, column, unit) in zip(axes, panels):
        ax.bar(x, [int(r[column]) for r in table], color="tab:blue")
        ax.set_title(title)
        ax.set_ylabel(unit)
    ok = np.array([int(r["genes_OK"]) for r in table])
    fail = np.array([int(r["genes_FAIL"]) for r in table])
    axes[2].bar(x, ok, color="tab:green", label="OK")
    axes[2].bar(x, fail, bottom=ok, color="tab:red", label="FAIL")
    axes[2].set_title("Genes estimated (OK) or not (FAIL)")
    axes[2].set_ylabel("genes")
    axes[2].legend()
    for ax in axes:
        ax.set_xticks(x, names, rotation=90, fontsize=label_size(names))
        ax.set_xlabel("sample")
    save(fig, report_dir, "fragments.png")


def plot_correlation(merged_dir, report_dir):
    samples, _, values = read_matrix(os.path.join(merged_dir, "genes.FPKM_CHN.tsv"), 3)
    fpkm = numeric(values, samples)
    logs = np.log2(fpkm[(fpkm > 0).any(axis=1)] + 1.0)
    # A constant column (no expressed gene) has no correlation; shown as 0.
    with np.errstate(invalid="ignore", divide="ignore"):
        corr = np.corrcoef(logs, rowvar=False) if logs.shape[0] > 1 else np.zeros((len(samples),) * 2)
    corr = np.nan_to_num(np.atleast_2d(corr))
    side = min(MAX_WIDTH, max(5, 0.3 * len(samples) + 3))
    fig, ax = plt.subplots(figsize=(side + 1, side))
    # Scaled to the lowest correlation, so that close replicates still differ in colour.
    low = corr.min() if corr.min() < 1.0 else 0.0
    image = ax.imshow(corr, vmin=low, vmax=1.0, cmap="viridis")
    ax.set_xticks(range(len(samples)), samples, rotation=90, fontsize=label_size(samples))
    ax.set_yticks(range(len(samples)), samples, fontsize=label_size(samples))
    ax.set_xlabel("sample")
    ax.set_ylabel("sample")
    ax.set_title(f"Pearson correlation of log2(gene FPKM_CHN + 1)\n({logs.shape[0]} genes expressed in a sample)")
    if len(samples) <= LEGEND_SAMPLES:
        for i in range(len(samples)):
            for j in range(len(samples)):
                ax.text(j, i, f"{corr[i, j]:.2f}", ha="center", va="center", fontsize=8,
                        color="white" if corr[i, j] < (low + 1.0) / 2 else "black")
    fig.colorbar(image, ax=ax, label="correlation", shrink=0.7)
    save(fig, report_dir, "correlation.png")


def plot_isoforms(merged_dir, report_dir):
    samples, keys, values = read_matrix(os.path.join(merged_dir, "transcripts.TPM.tsv"), 3)
    expressed = numeric(values, samples) >= EXPRESSED_TPM
    # A gene's transcripts are consecutive rows; an id repeated on another
    # reference is another block and so another gene.
    starts = [i for i in range(len(keys)) if i == 0 or keys[i][1] != keys[i - 1][1]]
    per_gene = np.add.reduceat(expressed.astype(int), starts, axis=0) if starts else np.zeros((0, len(samples)))
    top = int(per_gene.max()) if per_gene.size else 0
    counts = np.arange(top + 1)
    fig, ax = plt.subplots(figsize=(min(MAX_WIDTH, max(8, 0.15 * len(samples) * (top + 1))), 5))
    width = 0.8 / max(1, len(samples))
    for s, name in enumerate(samples):
        genes = np.bincount(per_gene[:, s].astype(int), minlength=top + 1) if per_gene.size else np.zeros(1)
        ax.bar(counts - 0.4 + (s + 0.5) * width, genes, width=width, label=name)
    ax.set_xticks(counts)
    ax.set_xlabel(f"expressed transcripts in the gene (TPM >= {EXPRESSED_TPM:g})")
    ax.set_ylabel("genes")
    ax.yaxis.get_major_locator().set_params(integer=True)
    ax.set_title("Expressed transcripts per gene, one bar per sample")
    if len(samples) <= LEGEND_SAMPLES:
        ax.legend(title="sample")
    save(fig, report_dir, "isoforms.png")


def write_index(merged_dir, report_dir, table):
    rows = "\n".join(
        "<tr>" + "".join(f"<td>{html.escape(r[c])}</td>" for c in
                         ("sample", "frags_expt", "comp_frags_expt", "genes_OK", "genes_FAIL", "directory")) + "</tr>"
        for r in table)
    figures = [
        ("fragments.png", "Fragments and genes per sample", "Per sample: all fragments of the experiment, the fragments compatible with the "
                          "annotation, and the genes estimated (OK) or skipped (FAIL). A sample far below the "
                          "others had fewer reads or a poorer alignment."),
        ("correlation.png", "Sample correlation", "Correlation between samples of the logged gene FPKM_CHN. Replicates of one "
                            "condition should correlate more closely with each other than with other conditions."),
        ("isoforms.png", "Expressed transcripts per gene", "How many genes have 0, 1, 2, ... expressed transcripts, per sample."),
    ]
    body = "\n".join(f'<h2>{html.escape(title)}</h2>\n<p>{html.escape(text)}</p>\n<img src="{name}" alt="{title}">'
                     for name, title, text in figures)
    page = f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>kestrove experiment report</title>
<style>body{{font-family:sans-serif;max-width:1200px;margin:2em auto}}img{{max-width:100%}}
table{{border-collapse:collapse}}td,th{{border:1px solid #ccc;padding:2px 8px;text-align:right}}</style></head>
<body><h1>kestrove experiment report</h1>
<p>{len(table)} samples. Matrices (tab-separated, a column per sample): {html.escape(os.path.abspath(merged_dir))}</p>
<table><tr><th>sample</th><th>fragments</th><th>compatible fragments</th><th>genes OK</th><th>genes FAIL</th>
<th>results</th></tr>
{rows}
</table>
{body}
</body></html>
"""
    temporary = os.path.join(report_dir, ".index.html.tmp")
    with open(temporary, "w") as f:
        f.write(page)
    os.replace(temporary, os.path.join(report_dir, "index.html"))


def main(argv):
    if len(argv) != 3:
        sys.exit("usage: report.py MERGED_DIR REPORT_DIR")
    merged_dir, report_dir = argv[1], argv[2]
    os.makedirs(report_dir, exist_ok=True)
    with open(os.path.join(merged_dir, "samples.tsv"), newline="") as f:
        table = list(csv.DictReader(f, delimiter="\t"))
    plot_fragments(table, report_dir)
    plot_correlation(merged_dir, report_dir)
    plot_isoforms(merged_dir, report_dir)
    write_index(merged_dir, report_dir, table)


if __name__ == "__main__":
    main(sys.argv)
