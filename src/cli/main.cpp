#include "run/Run.h"

int main(int argc, char** argv)
{
#ifdef KESTROVE_DEVELOPMENT_PHASE
    conf.developmentPhase = true;
#endif
#ifdef KESTROVE_CLUSTER_AFTER_RUN
    conf.clusterPdfs = true;
#endif
    return runKestrove(argc, argv);
}
