// The program's module state, all of it back to what a new process starts with: the one reset
// that the tests, the fuzzers and the simulator use between runs in one process. The machine
// around the program (the emulated world) is reset apart, and first: the clock's nominal rate
// is read from it here, as a process does at its start.
//
// Every global of TimeFunc/, card/, engine/ and service/ is reset here, except the file
// writer's thread: it ends on its own once its jobs are done (StopFileWriter, at each stop).
// A global added to one of these folders is added here too.
#pragma once

// Not while a service thread of the last run still runs (emu::JoinServiceThreads first).
void ResetModuleState();
