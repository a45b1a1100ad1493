"""report_check.py EXPERIMENT_DIR: the workflow's report and MultiQC files on a
finished run of the simulated experiment; the report on hand-made sample
folders (FAIL reasons, provenance); the report drawn by headless Chromium and
the MultiQC section, each skipped (and said so) where the program is absent."""
import base64
import csv
import glob
import html.parser
import io
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

import matplotlib.image
import numpy as np

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
SCRIPTS = os.path.join(ROOT, "workflow", "scripts")
sys.path.insert(0, SCRIPTS)
sys.dont_write_bytecode = True  # nothing left beside the workflow's scripts
import report  # noqa: E402

exp = os.path.abspath(sys.argv[1])
results = os.path.join(exp, "results")
sheet = list(csv.DictReader(open(os.path.join(exp, "samples.tsv")), delimiter="\t"))
samples = [r["sample"] for r in sheet]
failures = []
PLOTS = 5


def check(condition, message):
    if not condition:
        failures.append(message)


class Page(html.parser.HTMLParser):
    """The links, images and table rows (by table id) of a page."""

    def __init__(self, text):
        super().__init__()
        self.links, self.images, self.tables, self.stack = [], [], {}, []
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.links += [v for k, v in attrs.items() if k in ("src", "href") and v is not None]
        if tag == "img":
            self.images.append(attrs.get("src", ""))
        elif tag == "table":
            self.stack.append(attrs.get("id"))
            self.tables.setdefault(attrs.get("id"), [])
        elif tag in ("tr", "td", "th") and self.stack:
            rows = self.tables[self.stack[-1]]
            (rows if tag == "tr" else rows[-1]).append([] if tag == "tr" else "")

    def handle_endtag(self, tag):
        self.stack = self.stack[:-1] if tag == "table" else self.stack

    def handle_data(self, data):
        rows = self.tables.get(self.stack[-1]) if self.stack else None
        if rows and rows[-1]:
            rows[-1][-1] += data


def read_page(path):
    return open(path, encoding="utf-8").read()


def run(args, **kwargs):
    return subprocess.run([sys.executable, "-B"] + args, capture_output=True, text=True, **kwargs)


def summary_counts(folder):
    """OK and FAIL genes of a sample's gene summary: what its table row must show."""
    rows = list(csv.DictReader(open(glob.glob(os.path.join(folder, "genes_summary_*.dat"))[0]), delimiter="\t"))
    ok = sum(r["status"] == "OK" for r in rows)
    return rows[0]["frags_expt"], ok, len(rows) - ok


# The workflow's own report: whole, self-contained, every plot a decodable,
# non-blank picture, a row per sample with its summary's counts and condition.
page_path = os.path.join(results, "report", "report.html")
page = Page(read_page(page_path))
check(not [link for link in page.links if not link.startswith(("data:", "#"))], f"links out of the page: {page.links}")
check(not re.search(r"url\(\s*['\"]?(?!data:)", read_page(page_path)), "a style loads a file")
check(len(page.images) == PLOTS, f"{len(page.images)} images, expected {PLOTS}")
for i, src in enumerate(page.images):
    picture = matplotlib.image.imread(io.BytesIO(base64.b64decode(src.split(",", 1)[1])), format="png") \
        if src.startswith("data:image/png;base64,") else np.zeros((1, 1))
    check(picture.shape[0] > 100 and picture.std() > 0.01, f"image {i} is not an inline picture or is empty")
table = page.tables.get("samples", [])
check([r[0] for r in table[1:]] == samples, f"samples table rows {[r[0] for r in table[1:]]}")
check(table and "FAIL: too many" not in table[0], f"a column of no gene in any sample: {table[:1]}")
for row, entry in zip(table[1:], sheet):
    fragments, ok, fail = summary_counts(os.path.join(results, entry["sample"]))
    shown = [int(v.replace(",", "")) for v in row[4:]]
    check(row[1] == entry["condition"] and row[2].replace(",", "") == fragments and shown[0] == ok
          and sum(shown[1:]) == fail, f"samples table row {row}")

# Replicates of a condition must end up next to each other in the heat map even
# when the sheet interleaves them, and the first component must separate the
# conditions of the simulated experiment.
gene_samples, logs = report.log_expression(os.path.join(results, "merged"))
condition = {r["sample"]: r["condition"] for r in sheet}
mixed = sorted(range(len(gene_samples)), key=lambda i: (i % 2, i))
order = [condition[gene_samples[mixed[i]]]
         for i in report.cluster_order(report.correlation(logs[:, mixed], len(gene_samples)))]
check(sum(a != b for a, b in zip(order, order[1:])) == len(set(order)) - 1, f"clustered order {order}")
pc1 = report.principal_components(logs)[0][:, 0]
sides = {c: {np.sign(x) for x, s in zip(pc1, gene_samples) if condition[s] == c} for c in set(order)}
check(all(len(v) == 1 for v in sides.values()) and len(set.union(*sides.values())) == 2, f"PC1 {pc1}")

# Genes per number of transcripts, with the last bin open-ended.
for counts, expected in (([0, 1, 1, 9], [1, 2, 0, 0, 0, 0, 0, 0, 0, 1, 0]),
                         ([10, 11, 40, 2], [0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 3]),
                         ([], [0] * 11)):
    check(report.isoform_bins(counts).tolist() == expected, f"isoform bins of {counts}")

# Hand-made sample folders: one gene summary row per (status, comp_frags_locus),
# a provenance record or none, and the table row and provenance the report must show.
# The run's own FAIL counts, where its record has them, win over what the summary suggests.
HEADER = "gene_ID\tgene_name\tlocus\tfrags_locus\tfrags_expt\tFPKM_THN\tcomp_frags_locus\tcomp_frags_expt\tFPKM_CHN\tstatus\n"
RECORDED = {"genes_fail_no_fragments": 1, "genes_fail_too_few": 0, "genes_fail_too_many": 1,
            "genes_fail_not_converged": 1}
CASES = [  # genes, min-comp-frags in the record (None: no record), its FAIL counts, expected OK and FAIL by reason
    ([("OK", 50), ("FAIL", 0), ("FAIL", 0), ("FAIL", 30)], "5", RECORDED, [1, 1, 0, 1, 1]),
    ([("OK", 50), ("OK", 2), ("FAIL", 3), ("FAIL", 0), ("FAIL", 0)], None, {}, [2, 2, 0, 0, 1]),
    ([("FAIL", 4), ("FAIL", 9), ("FAIL", 10)], "10", {}, [0, 0, 2, 0, 1]),
    ([], "1", {}, [0, 0, 0, 0, 0]),
]
with tempfile.TemporaryDirectory() as tmp:
    folders = []
    for case, (name, (genes, minimum, recorded, _)) in enumerate(zip(samples, CASES)):
        folder = os.path.join(tmp, name)
        os.makedirs(folder)
        folders.append(f"{name}={folder}")
        with open(os.path.join(folder, f"genes_summary_{name}.dat"), "w") as f:
            f.write(HEADER + "".join(f"G{i}\tg\t1:1-9\t{c}\t1000\t0\t{c}\t{800 + case}\t0\t{status}\n"
                                     for i, (status, c) in enumerate(genes)))
        if minimum is not None:
            json.dump({"program": "kestrove", "version": f"9.{case}.0", "command_line": ["kestrove", "-m", minimum,
                       "-B", f"/data/{name} <b>.bam"], "options": {"min-comp-frags": minimum},
                       "inputs": [{"role": "BAM", "path": f"/data/{name} <b>.bam", "size": 77, "mtime": "t"}],
                       "statistics": {"fragments": 1000 + case, "compatible_fragments": 900, **recorded}},
                      open(os.path.join(folder, f"provenance_{name}.json"), "w"))
    out = os.path.join(tmp, "report.html")
    done = run([os.path.join(SCRIPTS, "report.py"), "--merged", os.path.join(results, "merged"), "--out", out, *folders])
    check(done.returncode == 0, f"report on hand-made folders: {done.stderr}")
    made = Page(read_page(out)) if done.returncode == 0 else Page("")
    rows = made.tables.get("samples", [None])[1:]
    provenance = made.tables.get("provenance", [None])[1:]
    for name, (genes, minimum, _, expected), row, record in zip(samples, CASES, rows, provenance):
        fragments = "1000" if genes else (f"{1000 + samples.index(name)}" if minimum else "0")
        check(row[1].replace(",", "") == fragments and [int(v) for v in row[3:]] == expected,
              f"{name}: row {row}, expected {expected}")
        shown = " ".join(record)
        check("no provenance record" in shown if minimum is None else
              f"9.{samples.index(name)}.0" in record[1] and f"'/data/{name} <b>.bam'" in shown, f"{name}: provenance {record}")
    check(len(rows) == len(CASES) and len(provenance) == len(CASES), "hand-made report: rows missing")
    done = run([os.path.join(SCRIPTS, "multiqc_content.py"), tmp, *folders])
    with open(os.path.join(tmp, "kestrove_fail_reasons_mqc.tsv")) as f:
        mqc = [line.rstrip("\n").split("\t") for line in f if not line.startswith("#")][1:]
    check([[int(v) for v in r[1:]] for r in mqc] == [c[3] for c in CASES], f"MultiQC FAIL reasons {mqc}")

# Headless Chromium: every picture decoded and drawn, no request that is not
# the page itself or its inline data, with every name resolving nowhere.
chromium = shutil.which("chromium")
if chromium:
    probe = """<script>
let failed = 0;
window.addEventListener("error", () => failed++, true);
window.addEventListener("load", () => {
  const images = [...document.images];
  const drawn = images.filter(i => i.complete && i.naturalWidth > 0).length;
  const requests = performance.getEntriesByType("resource").filter(e => !e.name.startsWith("data:")).length;
  const line = document.body.appendChild(document.createElement("p"));
  line.id = "probe";
  line.textContent = `images=${images.length} drawn=${drawn} requests=${requests} failed=${failed}`;
});
</script>"""
    with tempfile.TemporaryDirectory() as tmp:
        probed = os.path.join(tmp, "report.html")
        with open(probed, "w", encoding="utf-8") as f:
            f.write(read_page(page_path).replace("<head>", "<head>" + probe, 1))
        dom = subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu", f"--user-data-dir={tmp}/p",
                              "--host-resolver-rules=MAP * ~NOTFOUND", "--virtual-time-budget=10000", "--dump-dom",
                              "file://" + probed], capture_output=True, text=True, timeout=300).stdout
    found = re.search(r'id="probe">([^<]*)<', dom)
    drawn = found.group(1) if found else "no probe in the page it drew"
    check(drawn == f"images={PLOTS} drawn={PLOTS} requests=0 failed=0", f"Chromium: {drawn}")
    print(f"report in Chromium: {drawn}")
else:
    print("report in Chromium: skipped (no chromium; apt-get install chromium)")

# MultiQC over the results folder: a kestrove section and the general
# statistics of every sample.
if shutil.which("multiqc"):
    with tempfile.TemporaryDirectory() as tmp:
        done = subprocess.run(["multiqc", "--quiet", "--outdir", tmp, results], capture_output=True, text=True)
        stats_path = os.path.join(tmp, "multiqc_data", "multiqc_general_stats.txt")
        check(done.returncode == 0 and os.path.exists(stats_path), f"multiqc failed: {done.stderr[-500:]}")
        if os.path.exists(stats_path):
            section = 'id="kestrove"' in read_page(os.path.join(tmp, "multiqc_report.html"))
            stats = {r["Sample"]: r for r in csv.DictReader(open(stats_path), delimiter="\t")}
            for name in samples:
                fragments, ok, fail = summary_counts(os.path.join(results, name))
                values = [float(v) for k, v in stats.get(name, {}).items() if "kestrove" in k]
                check(section and len(values) == 4 and values[0] == float(fragments) and values[2:] == [ok, fail],
                      f"MultiQC general statistics of {name}: {values}")
    print("MultiQC section: checked")
else:
    print("MultiQC section: skipped (no multiqc; apt-get install multiqc)")

if failures:
    sys.exit("report check: " + "; ".join(failures))
print("report check: passed")
