"""Per-sample figures shared by the report and the MultiQC files: read from a
sample's result folder (its gene summary and, when present, its provenance record),
so that they also hold for folders written before provenance records existed."""

import csv
import glob
import json
import os

# Why a gene was not estimated, in the order the tables show them.
FAIL_REASONS = ("no fragments", "too few", "too many", "not converged")
# The provenance record's count of each reason; records of earlier versions lack them.
RECORDED_REASONS = {"no fragments": "genes_fail_no_fragments", "too few": "genes_fail_too_few",
                    "too many": "genes_fail_too_many", "not converged": "genes_fail_not_converged"}
# kestrove's default for min-comp-frags; used when a folder has no provenance record.
DEFAULT_MIN_COMP_FRAGS = 1


def read_provenance(folder, run_sample):
    """The record of the run of run_sample in folder, or None when there is none."""
    try:
        with open(os.path.join(folder, f"provenance_{run_sample}.json"), encoding="utf-8") as f:
            return json.load(f)
    except FileNotFoundError:
        return None


def min_comp_frags(provenance):
    try:
        return int(provenance["options"]["min-comp-frags"])
    except (TypeError, KeyError, ValueError):
        return DEFAULT_MIN_COMP_FRAGS


def recorded_reasons(provenance):
    """The run's own FAIL counts by reason, or None when its record has none."""
    statistics = (provenance or {}).get("statistics", {})
    if not all(key in statistics for key in RECORDED_REASONS.values()):
        return None
    return {reason: int(statistics[key]) for reason, key in RECORDED_REASONS.items()}


def shown_reasons(table):
    """The reasons the tables show: "too many" only when a sample has some, as
    summaries without a record cannot tell them from "no fragments"."""
    return tuple(r for r in FAIL_REASONS if r != "too many" or any(s[r] for s in table))


def fail_reason(comp_frags_locus, minimum):
    if comp_frags_locus == 0:
        return "no fragments"
    if comp_frags_locus < minimum:
        return "too few"
    return "not converged"


def sample_figures(sample, folder):
    """A dict of the sample's fragments, compatible fraction, genes OK and FAIL
    by reason, and its provenance record (None when absent)."""
    summaries = glob.glob(os.path.join(glob.escape(folder), "genes_summary_*.dat"))
    if len(summaries) != 1:
        raise RuntimeError(f"{folder}: expected one genes_summary_*.dat, found {len(summaries)}")
    run_sample = os.path.basename(summaries[0])[len("genes_summary_"):-len(".dat")]
    provenance = read_provenance(folder, run_sample)
    minimum = min_comp_frags(provenance)
    figures = {"sample": sample, "folder": folder, "provenance": provenance, "min_comp_frags": minimum,
               "fragments": 0, "compatible": 0, "genes_OK": 0}
    figures.update({reason: 0 for reason in FAIL_REASONS})
    with open(summaries[0], newline="") as f:
        for row in csv.DictReader(f, delimiter="\t"):
            # Every row carries the experiment's counts.
            figures["fragments"] = int(row["frags_expt"])
            figures["compatible"] = int(row["comp_frags_expt"])
            if row["status"] == "OK":
                figures["genes_OK"] += 1
            else:
                figures[fail_reason(int(row["comp_frags_locus"]), minimum)] += 1
    recorded = recorded_reasons(provenance)
    if recorded is not None:
        figures.update(recorded)
    if provenance and figures["fragments"] == 0:
        # No gene rows (an empty annotation): the run's own counts still say something.
        statistics = provenance.get("statistics", {})
        figures["fragments"] = int(statistics.get("fragments", 0))
        figures["compatible"] = int(statistics.get("compatible_fragments", 0))
    figures["genes_FAIL"] = sum(figures[reason] for reason in FAIL_REASONS)
    figures["compatible_fraction"] = figures["compatible"] / figures["fragments"] if figures["fragments"] else 0.0
    return figures


def parse_sample_folders(arguments):
    """NAME=FOLDER arguments, in order."""
    pairs = []
    for argument in arguments:
        name, sep, folder = argument.partition("=")
        if not sep or not name or not folder:
            raise SystemExit(f"expected NAME=FOLDER, got '{argument}'")
        pairs.append((name, folder))
    return pairs


def write_atomically(path, text):
    temporary = os.path.join(os.path.dirname(path) or ".", "." + os.path.basename(path) + ".tmp")
    with open(temporary, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(temporary, path)
