# cmake -DOUT=FILE -DBIN=DIR -DVERSION=V -P UsageText.cmake: the installed usage
# text, a manual page in plain text whose options are the programs' own --help.
function(help_of program result)
  execute_process(COMMAND ${BIN}/${program} --help OUTPUT_VARIABLE text ERROR_QUIET)
  if(text STREQUAL "")
    message(FATAL_ERROR "${program} --help printed nothing")
  endif()
  set(${result} "${text}" PARENT_SCOPE)
endfunction()

help_of(kestrove kestrove_help)
help_of(kestrove-merge merge_help)
help_of(kestrove-cluster cluster_help)
help_of(simulate simulate_help)

file(WRITE ${OUT} "KESTROVE(1)                      kestrove ${VERSION}

NAME
       kestrove - transcript abundances of an RNA-seq experiment from a gene
       annotation and aligned reads

SYNOPSIS
       kestrove -G annotation.gtf -B reads.bam [-o outdir] [options]
       kestrove-merge -o OUTDIR [NAME=]RESULT_DIR...
       kestrove-cluster RESULTS_DIR
       kestrove-simulate [options]

DESCRIPTION
       kestrove estimates the abundance of every transcript of every gene by
       expectation maximisation and writes transcripts_summary_<sample>.dat and
       genes_summary_<sample>.dat to outdir (default ./output). Exit status 0
       after a completed run, 1 after any error, --help or --EULA.

       The many-sample workflow is installed under share/kestrove/workflow:
           snakemake -s PREFIX/share/kestrove/workflow/Snakefile --cores N --configfile CONFIG
       README.md beside this file describes it, the outputs and the cluster
       profile.

OPTIONS
${kestrove_help}
KESTROVE-MERGE
${merge_help}
KESTROVE-CLUSTER
${cluster_help}
KESTROVE-SIMULATE (built as simulate)
${simulate_help}")
