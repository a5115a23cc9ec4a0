#pragma once

#include <string>

// The program's main routine: help, install, remove, or the service dispatcher.
void ProcessCommandLine(int argc, char** argv);
void InstallService();
void RemoveService();
std::string SystemErrorText();
