#!/usr/bin/env python3
"""MultiQC custom content for an experiment:
multiqc_content.py OUT_DIR NAME=SAMPLE_FOLDER...

Writes OUT_DIR/kestrove_general_stats_mqc.tsv (columns of MultiQC's general
statistics table) and OUT_DIR/kestrove_fail_reasons_mqc.tsv (a table in a
"kestrove" section), so that `multiqc` run over the results folder shows them.
"""

import os
import sys

from sample_qc import parse_sample_folders, sample_figures, shown_reasons, write_atomically

GENERAL_STATS = """# id: 'kestrove_general_stats'
# plot_type: 'generalstats'
# namespace: 'kestrove'
# pconfig:
#     - fragments:
#         title: 'Fragments'
#         description: 'Fragments in the sample'
#         format: '{:,.0f}'
#         scale: 'Blues'
#     - compatible_percent:
#         title: '% Compatible'
#         description: 'Fragments compatible with the annotation, percent of all'
#         min: 0
#         suffix: '%'
#         format: '{:,.1f}'
#         scale: 'RdYlGn'
#     - genes_OK:
#         title: 'Genes OK'
#         description: 'Genes estimated'
#         format: '{:,.0f}'
#         scale: 'Greens'
#     - genes_FAIL:
#         title: 'Genes FAIL'
#         description: 'Genes not estimated (reasons in the kestrove section)'
#         format: '{:,.0f}'
#         scale: 'Reds'
"""

FAIL_TABLE = """# id: 'kestrove_fail_reasons'
# parent_id: 'kestrove'
# parent_name: 'kestrove'
# parent_description: 'Abundance estimation by kestrove, one run per sample.'
# section_name: 'Genes not estimated'
# description: 'Genes with status FAIL, by reason: no compatible fragments; fewer than min-comp-frags; more than max-total-frags or max-comp-frags (when any); estimated but not converged.'
# plot_type: 'table'
# pconfig:
#     id: 'kestrove_fail_reasons_table'
#     namespace: 'kestrove'
#     format: '{:,.0f}'
"""


def tsv(header, rows):
    return "\t".join(header) + "\n" + "".join("\t".join(str(v) for v in row) + "\n" for row in rows)


def main(argv):
    if len(argv) < 3:
        sys.exit("usage: multiqc_content.py OUT_DIR NAME=SAMPLE_FOLDER...")
    out_dir = argv[1]
    os.makedirs(out_dir, exist_ok=True)
    table = [sample_figures(name, folder) for name, folder in parse_sample_folders(argv[2:])]
    general = tsv(["Sample", "fragments", "compatible_percent", "genes_OK", "genes_FAIL"],
                  [[s["sample"], s["fragments"], f"{100 * s['compatible_fraction']:.2f}", s["genes_OK"],
                    s["genes_FAIL"]] for s in table])
    shown = shown_reasons(table)
    reasons = tsv(["Sample", "genes OK"] + [f"FAIL: {r}" for r in shown],
                  [[s["sample"], s["genes_OK"]] + [s[r] for r in shown] for s in table])
    write_atomically(os.path.join(out_dir, "kestrove_general_stats_mqc.tsv"), GENERAL_STATS + general)
    write_atomically(os.path.join(out_dir, "kestrove_fail_reasons_mqc.tsv"), FAIL_TABLE + reasons)


if __name__ == "__main__":
    main(sys.argv)
