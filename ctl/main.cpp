// chronelctl: the operator's tool for the Chronel service.
#include "ctl/Ctl.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i]);
    }
    try {
        return ctl::Run(args);
    } catch (...) {
        ctl::Err("chronelctl: out of memory");
        return ctl::kUnknown;
    }
}
