#include "service/CommandLine.h"

// Placeholder until the command line is built.
void ProcessCommandLine(int /*argc*/, char** /*argv*/) {}
