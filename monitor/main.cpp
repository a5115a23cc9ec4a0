// chronelmon: the Chronel service in the tray.
#include "monitor/MonitorApp.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i]);
    }
    try {
        return mon::RunMonitor(args);
    } catch (...) {
        return 1;
    }
}
