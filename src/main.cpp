#include "kestrove.h"

int main(int argc, char** argv)
{
#ifdef KESTROVE_DEVELOPMENT_PHASE
    conf.developmentPhase = true;
#endif
    return runKestrove(argc, argv);
}
