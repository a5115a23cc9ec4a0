#include "platform/Platform.h"
#include "service/CommandLine.h"

int main(int argc, char** argv) {
    ProcessCommandLine(argc, argv);
    // At once, rather than through the runtime's teardown of module state: a service thread
    // that outlived its grace may still be using that state.
    plat::ExitProcess(0);
}
