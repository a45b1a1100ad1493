#!/usr/bin/env python3
"""Writes a synthetic GENCODE-style GTF for the annotation load benchmark.

Gene, transcript, exon, CDS, UTR and start/stop codon lines with the usual
attribute set, laid out over the human chromosomes; a few percent of
neighbouring genes overlap so that merging has work to do.

usage: make_gtf.py OUTPUT [--exons N] [--seed S]
"""
import argparse
import random

CHROMOSOMES = [(f"chr{i}", size) for i, size in enumerate(
    [248, 242, 198, 190, 181, 171, 159, 145, 138, 134, 135, 133, 114, 107, 102, 90, 83, 80, 59, 64, 47, 51], 1)]
CHROMOSOMES += [("chrX", 156), ("chrY", 57), ("chrM", 1)]
GENE_TYPES = ["protein_coding"] * 5 + ["lncRNA"] * 3 + ["processed_pseudogene", "misc_RNA"]
TAGS = ["basic", "Ensembl_canonical", "CCDS", "MANE_Select", "appris_principal_1", "mRNA_start_NF"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("output")
    parser.add_argument("--exons", type=int, default=2_500_000)
    parser.add_argument("--seed", type=int, default=20150127)
    args = parser.parse_args()
    rng = random.Random(args.seed)

    total_mb = sum(size for _, size in CHROMOSOMES)
    # About ten exons per transcript and three to four transcripts per gene, as in GENCODE.
    nr_genes = max(1, args.exons // 33)
    exons_written = 0
    gene_number = 0
    exon_number_global = 0

    with open(args.output, "w", buffering=1 << 22) as out:
        out.write("##description: synthetic annotation for the load benchmark\n")
        out.write("##provider: kestrove bench\n##format: gtf\n")
        # Further passes continue each chromosome where the last one stopped.
        positions = {}
        while exons_written < args.exons:
            for chrom, size_mb in CHROMOSOMES:
                genes_here = max(1, round(nr_genes * size_mb / total_mb))
                spacing = size_mb * 1_000_000 // genes_here
                position = positions.get(chrom, 10_000)
                for _ in range(genes_here):
                    if exons_written >= args.exons:
                        break
                    gene_number += 1
                    gene_id = f"ENSG{gene_number:011d}.{rng.randint(1, 20)}"
                    gene_name = f"GENE{gene_number}"
                    gene_type = rng.choice(GENE_TYPES)
                    strand = rng.choice("+-")
                    # Candidate exons of the gene, ascending.
                    slots = []
                    cursor = position
                    for _ in range(rng.randint(8, 30)):
                        cursor += rng.randint(200, 4000)
                        length = rng.randint(50, 400)
                        slots.append((cursor, cursor + length - 1))
                        cursor += length
                    gene_start, gene_end = slots[0][0], slots[-1][1]
                    gene_attrs = (f'gene_id "{gene_id}"; gene_type "{gene_type}"; gene_name "{gene_name}"; '
                                  f'level 2; hgnc_id "HGNC:{gene_number}"; havana_gene "OTTHUMG{gene_number:011d}.1";')
                    out.write(f"{chrom}\tHAVANA\tgene\t{gene_start}\t{gene_end}\t.\t{strand}\t.\t{gene_attrs}\n")

                    for t in range(int(rng.expovariate(1 / 3.5)) + 1):
                        if exons_written >= args.exons:
                            break
                        wanted = min(len(slots), max(1, round(rng.gauss(10, 5))), args.exons - exons_written)
                        exons = sorted(rng.sample(slots, wanted))
                        transcript_id = f"ENST{gene_number * 100 + t:011d}.{rng.randint(1, 5)}"
                        transcript_type = gene_type
                        tag = " ".join(f'tag "{rng.choice(TAGS)}";' for _ in range(rng.randint(1, 3)))
                        attrs = (f'gene_id "{gene_id}"; transcript_id "{transcript_id}"; gene_type "{gene_type}"; '
                                 f'gene_name "{gene_name}"; transcript_type "{transcript_type}"; '
                                 f'transcript_name "{gene_name}-{201 + t}"; level 2; '
                                 f'transcript_support_level "{rng.randint(1, 5)}"; hgnc_id "HGNC:{gene_number}"; {tag} '
                                 f'havana_gene "OTTHUMG{gene_number:011d}.1"; '
                                 f'havana_transcript "OTTHUMT{gene_number * 100 + t:011d}.1";')
                        out.write(f"{chrom}\tHAVANA\ttranscript\t{exons[0][0]}\t{exons[-1][1]}\t.\t{strand}\t.\t{attrs}\n")
                        coding = transcript_type == "protein_coding" and len(exons) > 2
                        ordered = exons if strand == "+" else list(reversed(exons))
                        for number, (start, end) in enumerate(ordered, 1):
                            exon_number_global += 1
                            exon_attrs = f'{attrs[:-1]}; exon_number {number}; exon_id "ENSE{exon_number_global:011d}.1";'
                            out.write(f"{chrom}\tHAVANA\texon\t{start}\t{end}\t.\t{strand}\t.\t{exon_attrs}\n")
                            if coding and 1 < number < len(ordered):
                                out.write(f"{chrom}\tHAVANA\tCDS\t{start}\t{end}\t.\t{strand}\t{number % 3}\t{exon_attrs}\n")
                            elif coding:
                                out.write(f"{chrom}\tHAVANA\tUTR\t{start}\t{end}\t.\t{strand}\t.\t{exon_attrs}\n")
                        exons_written += len(exons)
                        if coding:
                            codon = ordered[1][0] if strand == "+" else ordered[1][1] - 2
                            out.write(f"{chrom}\tHAVANA\tstart_codon\t{codon}\t{codon + 2}\t.\t{strand}\t0\t{attrs}\n")
                            codon = ordered[-2][1] - 2 if strand == "+" else ordered[-2][0]
                            out.write(f"{chrom}\tHAVANA\tstop_codon\t{codon}\t{codon + 2}\t.\t{strand}\t0\t{attrs}\n")
                    # Occasionally start the next gene inside this one.
                    overlap = rng.random() < 0.05
                    position = (gene_start + (gene_end - gene_start) // 2) if overlap else max(position + spacing, gene_end)
                positions[chrom] = position

    print(f"{args.output}: {gene_number} genes, {exons_written} exon lines")


if __name__ == "__main__":
    main()
