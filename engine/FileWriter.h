// The service's file work (the history's rows, the metrics file) runs on one thread of its
// own, so that a slow, full or hung disk never holds up the loop: the loop only hands jobs
// over, under a lock that the writer never holds during a file operation.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

// A job that only its latest version is worth doing: one handed over under a slot replaces
// the one still waiting under it, so a writer that fell behind drops what is stale.
enum class FileSlot : std::uint8_t { None, Metrics };

// Hands a job to the writer, starting the writer if none runs. False when the job is dropped:
// no writer thread could be started in this run, or no memory.
bool PostFileJob(std::function<void()> job, FileSlot slot = FileSlot::None);

// The writer ends once its jobs are done; the wait for that is bounded, and a writer hung in
// a file operation past it ends on its own when the disk lets it. The next job starts a new
// writer. False when the bound passed first.
bool StopFileWriter(std::chrono::milliseconds bound);
