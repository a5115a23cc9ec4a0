#include "service/CommandLine.h"

int main(int argc, char** argv) {
    ProcessCommandLine(argc, argv);
    return 0;
}
