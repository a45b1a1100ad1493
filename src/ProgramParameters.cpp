#include "ProgramParameters.h"

bool ProgramParameters::validateParameters(int, char**, t_directories&, t_configuration&) { return false; }
