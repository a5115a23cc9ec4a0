#include "engine/FileWriter.h"

#include "platform/Platform.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

namespace {

struct Job {
    FileSlot Slot = FileSlot::None;
    std::function<void()> Work;
};

// What the posting threads and the writer share. The waits are on the real clock: they are
// between two threads of this process, not on the system's time.
struct WriterShared {
    std::mutex Lock;
    std::condition_variable Wake;     // a job or the quit is there
    std::condition_variable Finished; // the writer has ended
    std::deque<Job> Pending;
    bool Quit = false;
    bool Ended = false;
};

// The writer of this run. A writer past its stop's bound is forgotten here and keeps its
// shared state alive itself until the disk lets it end. Both written under ModuleLock by the
// loop's thread (PostFileJob, and StopFileWriter at the loop's end).
std::mutex ModuleLock;
std::shared_ptr<WriterShared> Writer;
bool StartFailed = false; // once a run: a thread that cannot start is not retried each job

void RunWriter(void* context) {
    const std::unique_ptr<std::shared_ptr<WriterShared>> owner(
        static_cast<std::shared_ptr<WriterShared>*>(context));
    WriterShared& w = **owner;
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(w.Lock);
            w.Wake.wait(lock, [&w] { return !w.Pending.empty() || w.Quit; });
            if (w.Pending.empty()) {
                w.Ended = true;
                w.Finished.notify_all();
                return;
            }
            job = std::move(w.Pending.front());
            w.Pending.pop_front();
        }
        try {
            job.Work();
        } catch (...) {
            // Out of memory in a job: that write is lost, the next one tries again.
        }
    }
}

std::shared_ptr<WriterShared> StartedWriter() {
    if (Writer || StartFailed) {
        return Writer;
    }
    auto shared = std::make_shared<WriterShared>();
    auto context = std::make_unique<std::shared_ptr<WriterShared>>(shared);
    if (plat::StartDetachedThread(&RunWriter, context.get())) {
        static_cast<void>(context.release()); // the thread owns it now
        Writer = std::move(shared);
    } else {
        StartFailed = true;
    }
    return Writer;
}

} // namespace

bool PostFileJob(std::function<void()> job, FileSlot slot) {
    try {
        std::shared_ptr<WriterShared> w;
        {
            const std::lock_guard<std::mutex> lock(ModuleLock);
            w = StartedWriter();
        }
        if (!w) {
            return false;
        }
        {
            const std::lock_guard<std::mutex> lock(w->Lock);
            bool replaced = false;
            if (slot != FileSlot::None) {
                for (Job& waiting : w->Pending) {
                    if (waiting.Slot == slot) {
                        waiting.Work.swap(job); // the stale one goes when `job` does
                        replaced = true;
                        break;
                    }
                }
            }
            if (!replaced) {
                w->Pending.push_back(Job{slot, std::move(job)});
            }
        }
        w->Wake.notify_one();
        return true;
    } catch (...) {
        return false; // out of memory: this job is lost
    }
}

bool StopFileWriter(std::chrono::milliseconds bound) {
    std::shared_ptr<WriterShared> w;
    {
        const std::lock_guard<std::mutex> lock(ModuleLock);
        w = std::move(Writer);
        StartFailed = false;
    }
    if (!w) {
        return true;
    }
    std::unique_lock<std::mutex> lock(w->Lock);
    w->Quit = true;
    w->Wake.notify_one();
    return w->Finished.wait_for(lock, bound, [&w] { return w->Ended; });
}
