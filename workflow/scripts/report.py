#!/usr/bin/env python3
"""A first look at an experiment, in one self-contained HTML file:

  report.py --merged MERGED_DIR --out REPORT_HTML [--samples SHEET] NAME=SAMPLE_FOLDER...

Reads the matrices written by kestrove-merge, every sample's gene summary and
provenance record, and the samples sheet (its optional column "condition"
colours the plots). The plots are embedded as PNG data, so the file can be
mailed or archived alone and opens without any network access.
"""

import argparse
import base64
import csv
import html
import io
import os
import shlex
import sys

import matplotlib

matplotlib.use("Agg")  # no display on a cluster node
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.patches import Patch  # noqa: E402
from scipy.cluster import hierarchy  # noqa: E402
from scipy.spatial.distance import squareform  # noqa: E402

from sample_qc import parse_sample_folders, sample_figures, shown_reasons, write_atomically  # noqa: E402

# A transcript counts as expressed in a sample from this TPM on.
EXPRESSED_TPM = 1.0
# Genes with this many expressed transcripts or more share the last bin.
ISOFORM_BINS = 10
# The PCA uses the genes whose logged expression varies most across samples.
PCA_GENES = 500
# More samples than this: no legend per sample, no numbers in the heat map.
LEGEND_SAMPLES = 12
# More samples than this: the PCA points are not labelled.
LABELLED_POINTS = 30
# Inches; beyond this a figure grows no further and its labels shrink instead.
MAX_WIDTH = 40
# Legends beside the plot, where they hide no bar.
OUTSIDE = {"loc": "upper left", "bbox_to_anchor": (1.0, 1.0)}
FAIL_COLOURS = {"no fragments": "tab:gray", "too few": "tab:orange", "too many": "tab:purple",
                "not converged": "tab:red"}


def read_matrix(path, key_columns):
    """Sample names, the rows' key fields and the values as a rows x samples array."""
    with open(path, newline="") as f:
        reader = csv.reader(f, delimiter="\t")
        header = next(reader)
        keys, values = [], []
        for row in reader:
            keys.append(row[:key_columns])
            values.append(row[key_columns:])
    samples = header[key_columns:]
    return samples, keys, np.array(values, dtype=float).reshape(len(values), len(samples))


def read_conditions(sheet):
    """Sample -> condition from the samples sheet, or {} without a condition column."""
    if not sheet:
        return {}
    with open(sheet, newline="") as f:
        rows = list(csv.DictReader(f, delimiter="\t"))
    if not rows or "condition" not in rows[0]:
        return {}
    return {(r["sample"] or "").strip(): (r["condition"] or "").strip() or "(none)" for r in rows}


class Colours:
    """One colour per condition, shared by every plot; without conditions one colour."""

    def __init__(self, samples, conditions):
        self.conditions = [conditions.get(s, "(none)") for s in samples] if conditions else None
        levels = list(dict.fromkeys(self.conditions or []))
        cycle = plt.get_cmap("tab10" if len(levels) <= 10 else "tab20").colors
        self.by_level = {c: cycle[i % len(cycle)] for i, c in enumerate(levels)}

    def of_samples(self):
        if not self.conditions:
            return None
        return [self.by_level[c] for c in self.conditions]

    def legend(self, ax, **kwargs):
        if self.conditions:
            ax.legend(handles=[Patch(color=c, label=level) for level, c in self.by_level.items()],
                      title="condition", **kwargs)


def label_size(samples):
    return max(4, min(10, 400 // max(1, len(samples))))


def png(fig, tight=True):
    """The figure as a data URI."""
    if tight:
        fig.tight_layout()
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=100, bbox_inches="tight")
    plt.close(fig)
    return "data:image/png;base64," + base64.b64encode(buffer.getvalue()).decode("ascii")


def sample_axis(ax, names):
    ax.set_xticks(np.arange(len(names)), names, rotation=90, fontsize=label_size(names))
    ax.set_xlabel("sample")


def plot_fragments(table, colours):
    names = [s["sample"] for s in table]
    x = np.arange(len(names))
    bar_colours = colours.of_samples() or "tab:blue"
    fig, axes = plt.subplots(3, 1, figsize=(min(MAX_WIDTH, max(8, 0.3 * len(names) + 2)), 11))
    axes[0].bar(x, [s["fragments"] for s in table], color=bar_colours)
    axes[0].set_title("Fragments in the sample")
    axes[0].set_ylabel("fragments")
    colours.legend(axes[0], **OUTSIDE)
    axes[1].bar(x, [100 * s["compatible_fraction"] for s in table], color=bar_colours)
    axes[1].set_title("Fragments compatible with the annotation")
    axes[1].set_ylabel("% of fragments")
    # Fragments compatible with overlapping genes count once per gene, so the share can pass 100%.
    axes[1].set_ylim(0, max([100.0] + [105 * s["compatible_fraction"] for s in table]))
    bottom = np.array([s["genes_OK"] for s in table])
    axes[2].bar(x, bottom, color="tab:green", label="OK")
    for reason in shown_reasons(table):
        heights = np.array([s[reason] for s in table])
        axes[2].bar(x, heights, bottom=bottom, color=FAIL_COLOURS[reason], label=f"FAIL: {reason}")
        bottom = bottom + heights
    axes[2].set_title("Genes estimated (OK) or not (FAIL, by reason)")
    axes[2].set_ylabel("genes")
    axes[2].legend(**OUTSIDE)
    for ax in axes:
        sample_axis(ax, names)
    return png(fig)


def plot_log_tpm(samples, tpm, colours):
    """One box per sample of log10 TPM over the transcripts expressed in it."""
    data = [np.log10(tpm[tpm[:, s] > 0, s]) for s in range(len(samples))]
    fig, ax = plt.subplots(figsize=(min(MAX_WIDTH, max(8, 0.3 * len(samples) + 2)), 5))
    # An empty sample still gets its place on the axis.
    boxes = ax.boxplot([d if d.size else [np.nan] for d in data], positions=np.arange(len(samples)),
                       patch_artist=True, showfliers=False, widths=0.6)
    for box, colour in zip(boxes["boxes"], colours.of_samples() or ["tab:blue"] * len(samples)):
        box.set_facecolor(colour)
        box.set_alpha(0.8)
    sample_axis(ax, samples)
    ax.set_ylabel("log10 TPM")
    ax.set_title("Transcript TPM per sample (transcripts with TPM > 0; whiskers at 1.5 IQR)")
    colours.legend(ax, **OUTSIDE)
    return png(fig)


def log_expression(merged_dir):
    """Sample names and log2(gene FPKM_CHN + 1) of the genes expressed in some sample."""
    samples, _, fpkm = read_matrix(os.path.join(merged_dir, "genes.FPKM_CHN.tsv"), 3)
    return samples, np.log2(fpkm[(fpkm > 0).any(axis=1)] + 1.0)


def correlation(logs, n):
    # A constant column (no expressed gene) has no correlation; shown as 0.
    if logs.shape[0] < 2:
        return np.eye(n)
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.nan_to_num(np.atleast_2d(np.corrcoef(logs, rowvar=False)))


def cluster_order(corr, ax=None):
    """Samples in the order of the leaves of their average-linkage tree on
    1 - correlation, the tree drawn on ax when given."""
    if len(corr) < 2:
        return list(range(len(corr)))
    distance = np.clip(1.0 - corr, 0.0, None)
    np.fill_diagonal(distance, 0.0)
    links = hierarchy.linkage(squareform((distance + distance.T) / 2, checks=False), method="average")
    return hierarchy.dendrogram(links, ax=ax, no_plot=ax is None, no_labels=True, color_threshold=0,
                                above_threshold_color="black")["leaves"]


def plot_correlation(samples, logs, colours):
    corr = correlation(logs, len(samples))
    side = min(MAX_WIDTH, max(6, 0.3 * len(samples) + 4))
    fig = plt.figure(figsize=(side + 1.5, side + 1.5))
    grid = fig.add_gridspec(3, 2, width_ratios=[20, 1], height_ratios=[4, 1, 20], hspace=0.02, wspace=0.03)
    tree, strip, heat, bar = (fig.add_subplot(grid[0, 0]), fig.add_subplot(grid[1, 0]),
                              fig.add_subplot(grid[2, 0]), fig.add_subplot(grid[2, 1]))
    order = cluster_order(corr, tree)
    tree.axis("off")
    corr = corr[np.ix_(order, order)]
    names = [samples[i] for i in order]
    sample_colours = colours.of_samples()
    if sample_colours:
        strip.imshow([[matplotlib.colors.to_rgb(sample_colours[i]) for i in order]], aspect="auto")
    strip.axis("off")
    low = corr.min() if corr.min() < 1.0 else 0.0
    image = heat.imshow(corr, vmin=low, vmax=1.0, cmap="viridis", aspect="auto")
    heat.set_xticks(range(len(names)), names, rotation=90, fontsize=label_size(names))
    heat.set_yticks(range(len(names)), names, fontsize=label_size(names))
    if len(samples) <= LEGEND_SAMPLES:
        for i in range(len(names)):
            for j in range(len(names)):
                heat.text(j, i, f"{corr[i, j]:.2f}", ha="center", va="center", fontsize=8,
                          color="white" if corr[i, j] < (low + 1.0) / 2 else "black")
    fig.colorbar(image, cax=bar, label="Pearson correlation")
    tree.set_title(f"Correlation of log2(gene FPKM_CHN + 1), {logs.shape[0]} genes expressed in a sample;\n"
                   "samples ordered by average-linkage clustering on 1 - correlation")
    colours.legend(tree, fontsize=8, **OUTSIDE)
    # tight_layout cannot place the colour bar's own axes.
    return png(fig, tight=False)


def principal_components(logs):
    """Sample coordinates on the first two components and the share of variance of each."""
    if logs.shape[0] > PCA_GENES:
        logs = logs[np.argsort(logs.var(axis=1))[-PCA_GENES:]]
    centred = logs.T - logs.T.mean(axis=0)
    u, s, _ = np.linalg.svd(centred, full_matrices=False)
    coordinates = np.zeros((centred.shape[0], 2))
    explained = np.zeros(2)
    k = min(2, s.size)
    coordinates[:, :k] = u[:, :k] * s[:k]
    total = (s ** 2).sum()
    if total > 0:
        explained[:k] = s[:k] ** 2 / total
    return coordinates, explained


def plot_pca(samples, logs, colours):
    coordinates, explained = principal_components(logs)
    fig, ax = plt.subplots(figsize=(8, 6.5))
    ax.scatter(coordinates[:, 0], coordinates[:, 1], s=60, c=colours.of_samples() or "tab:blue",
               edgecolors="black", linewidths=0.5)
    if len(samples) <= LABELLED_POINTS:
        for (x, y), name in zip(coordinates, samples):
            ax.annotate(name, (x, y), textcoords="offset points", xytext=(5, 5), fontsize=8)
    ax.set_xlabel(f"PC1 ({100 * explained[0]:.1f}% of variance)")
    ax.set_ylabel(f"PC2 ({100 * explained[1]:.1f}% of variance)")
    ax.set_title(f"PCA of log2(gene FPKM_CHN + 1), the {min(PCA_GENES, logs.shape[0])} most variable genes")
    ax.axhline(0, color="0.85", zorder=0)
    ax.axvline(0, color="0.85", zorder=0)
    colours.legend(ax, loc="best")
    return png(fig)


def isoform_bins(counts):
    """Genes per number of transcripts: 0, 1, ..., ISOFORM_BINS - 1, then ISOFORM_BINS or more."""
    return np.bincount(np.minimum(np.asarray(counts, dtype=int), ISOFORM_BINS), minlength=ISOFORM_BINS + 1)


def plot_isoforms(merged_dir, colours):
    samples, keys, tpm = read_matrix(os.path.join(merged_dir, "transcripts.TPM.tsv"), 3)
    # A gene's transcripts are consecutive rows; an id repeated on another
    # reference is another block and so another gene.
    starts = [i for i in range(len(keys)) if i == 0 or keys[i][1] != keys[i - 1][1]]
    expressed = tpm >= EXPRESSED_TPM
    per_gene = np.add.reduceat(expressed.astype(int), starts, axis=0) if starts else np.zeros((0, len(samples)))
    annotated = np.diff(starts + [len(keys)])
    bins = np.arange(ISOFORM_BINS + 1)
    # The bins stay readable at any sample count: the bars thin out instead.
    fig, ax = plt.subplots(figsize=(12, 5))
    width = 0.8 / (len(samples) + 1)
    ax.bar(bins - 0.4 + width / 2, isoform_bins(annotated), width=width, color="0.6", label="annotated")
    sample_colours = colours.of_samples() or list(plt.get_cmap("tab20").colors)
    for s, name in enumerate(samples):
        ax.bar(bins - 0.4 + (s + 1.5) * width, isoform_bins(per_gene[:, s]), width=width,
               color=sample_colours[s % len(sample_colours)], label=name)
    ax.set_xticks(bins, [str(b) for b in bins[:-1]] + [f"{ISOFORM_BINS}+"])
    ax.set_xlabel(f"transcripts in the gene: annotated (grey), then expressed (TPM >= {EXPRESSED_TPM:g}) per sample")
    ax.set_ylabel("genes")
    ax.yaxis.get_major_locator().set_params(integer=True)
    ax.set_title("Transcripts per gene")
    if colours.conditions:
        handles = [Patch(color="0.6", label="annotated")] + [Patch(color=c, label=level)
                                                             for level, c in colours.by_level.items()]
        ax.legend(handles=handles)
    elif len(samples) <= LEGEND_SAMPLES:
        ax.legend(title="sample")
    return png(fig)


def cell(value, numeric=False):
    return f'<td class="n">{value:,}</td>' if numeric else f"<td>{html.escape(str(value))}</td>"


def samples_table(table, conditions):
    head = ["sample"] + (["condition"] if conditions else []) + \
           ["fragments", "compatible fragments", "genes OK"] + [f"FAIL: {r}" for r in shown_reasons(table)]
    rows = []
    for s in table:
        cells = [cell(s["sample"])] + ([cell(conditions.get(s["sample"], "(none)"))] if conditions else [])
        cells += [cell(s["fragments"], True), f'<td class="n">{100 * s["compatible_fraction"]:.1f}%</td>',
                  cell(s["genes_OK"], True)] + [cell(s[r], True) for r in shown_reasons(table)]
        rows.append(f'<tr id="sample-{html.escape(s["sample"])}">' + "".join(cells) + "</tr>")
    header = "".join(f"<th>{html.escape(h)}</th>" for h in head)
    return f'<table id="samples"><tr>{header}</tr>\n' + "\n".join(rows) + "\n</table>"


def rows(items, fields):
    return "".join("<tr>" + "".join(cell(item.get(f, "")) for f in fields) + "</tr>" for item in items)


def provenance_row(s):
    """The sample's row of the provenance table: version, times, command line and
    inputs, and the options and outputs folded away."""
    record = s["provenance"]
    if record is None:
        return (f"<tr>{cell(s['sample'])}<td class=\"missing\" colspan=\"4\">no provenance record in "
                f"{html.escape(s['folder'])}</td></tr>")
    inputs = rows(record.get("inputs", []), ("role", "path", "size", "mtime"))
    options = "".join(f"<tr>{cell(k)}{cell(v)}</tr>" for k, v in record.get("options", {}).items())
    outputs = rows(record.get("outputs", []), ("file", "size", "md5"))
    command = shlex.join(str(a) for a in record.get("command_line", []))
    return f"""<tr>{cell(s["sample"])}<td class="version">{html.escape(f'{record.get("program", "")} {record.get("version", "?")}')}</td>
{cell(f'{record.get("start", "?")} to {record.get("end", "?")}')}
<td><pre class="command">{html.escape(command)}</pre><details><summary>options and outputs</summary>
<table class="options"><tr><th>option</th><th>value</th></tr>{options}</table>
<table class="outputs"><tr><th>file</th><th>bytes</th><th>md5</th></tr>{outputs}</table></details></td>
<td><table class="inputs"><tr><th>role</th><th>path</th><th>bytes</th><th>modified</th></tr>{inputs}</table></td></tr>"""


def provenance_table(table):
    head = "".join(f"<th>{h}</th>" for h in ("sample", "program", "run", "command line", "inputs"))
    return f'<table id="provenance"><tr>{head}</tr>\n' + "\n".join(provenance_row(s) for s in table) + "\n</table>"


STYLE = """body{font-family:sans-serif;max-width:1200px;margin:2em auto;padding:0 1em;color:#222}
img{max-width:100%;border:1px solid #eee}table{border-collapse:collapse;margin:.5em 0}
td,th{border:1px solid #ccc;padding:2px 8px;text-align:left;vertical-align:top}td.n{text-align:right}
pre{background:#f6f6f6;margin:0;padding:.5em;white-space:pre-wrap;word-break:break-all}
.missing{color:#a00}td table{margin:0;font-size:90%}"""


def write_report(path, merged_dir, table, conditions):
    names = [s["sample"] for s in table]
    samples, _, tpm = read_matrix(os.path.join(merged_dir, "transcripts.TPM.tsv"), 3)
    if samples != names:
        raise SystemExit(f"{merged_dir}: the matrices' samples {samples} are not the samples given {names}")
    colours = Colours(samples, conditions)
    gene_samples, logs = log_expression(merged_dir)
    figures = [
        ("Fragments and genes per sample", plot_fragments(table, colours),
         "Per sample: all fragments, the share compatible with the annotation, and the genes estimated (OK) or "
         "not (FAIL) by reason. A sample far below the others had fewer reads or a poorer alignment."),
        ("Expression per sample", plot_log_tpm(samples, tpm, colours),
         "Distribution of transcript TPM in each sample. Samples of one experiment should have similar boxes."),
        ("Sample correlation", plot_correlation(gene_samples, logs, colours),
         "Replicates of one condition should correlate more closely with each other than with other "
         "conditions, and so cluster together."),
        ("Principal components", plot_pca(gene_samples, logs, colours),
         "Samples close together have similar expression profiles; conditions should separate."),
        ("Transcripts per gene", plot_isoforms(merged_dir, colours),
         "How many genes have 0, 1, 2, ... annotated and expressed transcripts."),
    ]
    body = "\n".join(f'<h2>{html.escape(title)}</h2>\n<p>{html.escape(text)}</p>\n'
                     f'<img class="plot" src="{uri}" alt="{html.escape(title)}">' for title, uri, text in figures)
    minimum = sorted({s["min_comp_frags"] for s in table})
    levels = ", ".join(dict.fromkeys(conditions.get(n, "(none)") for n in names))
    condition_text = f", conditions: {html.escape(levels)}" if conditions else ""
    page = f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>kestrove experiment report</title>
<style>{STYLE}</style></head>
<body><h1>kestrove experiment report</h1>
<p>{len(table)} samples{condition_text}. Matrices (tab-separated, a column per sample):
{html.escape(os.path.abspath(merged_dir))}</p>
<h2>Samples</h2>
{samples_table(table, conditions)}
<p>FAIL reasons, as the run recorded them in its provenance record: <i>no fragments</i>, no compatible
fragment; <i>too few</i>, fewer than min-comp-frags ({", ".join(map(str, minimum))}); <i>too many</i>
(shown when a sample has some), more than max-total-frags or max-comp-frags; <i>not converged</i>, enough
fragments but no estimate. For a folder whose record lacks these counts they come from the gene summary,
which writes 0 compatible fragments for every gene outside the limits, so those count as <i>no
fragments</i> and a count below min-comp-frags as <i>too few</i>.</p>
{body}
<h2>Provenance</h2>
{provenance_table(table)}
</body></html>
"""
    write_atomically(path, page)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--merged", required=True, help="folder of kestrove-merge's matrices")
    parser.add_argument("--out", required=True, help="the HTML file to write")
    parser.add_argument("--samples", help="samples sheet; its column 'condition', if any, colours the plots")
    parser.add_argument("folders", nargs="+", metavar="NAME=SAMPLE_FOLDER")
    args = parser.parse_args(argv[1:])
    table = [sample_figures(name, folder) for name, folder in parse_sample_folders(args.folders)]
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    write_report(args.out, args.merged, table, read_conditions(args.samples))


if __name__ == "__main__":
    main(sys.argv)
