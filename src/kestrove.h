#pragma once

// The library as the programs of tools/ use it: reading and sorting alignments, the
// annotation, the clustering of a run's profiles, a run's provenance record, and the
// helpers for files written under a working name. The program itself goes through
// cli/main.cpp and run/ instead.

#include "alignments/BamIO.h"
#include "alignments/BamSort.h"
#include "annotation/Annotations.h"
#include "clustering/ProfileTable.h"
#include "config/Configuration.h"
#include "output/FolderReplacement.h"
#include "output/Provenance.h"
#include "util/Errors.h"
#include "util/ProgressBar.h"
#include "util/Units.h"
#include "util/WorkingFiles.h"
