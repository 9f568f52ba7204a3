// A joinable background thread that runs one library routine. Kept behind
// this seam so that a platform can tie the thread's life to the module's.
#ifndef PALAVER_LIB_PLATFORM_WORKER_THREAD_H
#define PALAVER_LIB_PLATFORM_WORKER_THREAD_H

#include <memory>

namespace palaver::platform {

class WorkerThread {
  public:
    using Entry = void (*)(void* context);

    WorkerThread();
    ~WorkerThread();  // joins
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // False when the OS could not start a thread; nothing runs then.
    bool start(Entry entry, void* context);
    // Waits for the thread to end; returns at once when none runs.
    void join();
    // For the module's unload: waits until the thread has run its last
    // instruction of the library and lets the OS retire it afterwards. The
    // Windows loader holds a lock there that every thread's exit needs, so a
    // join would never return. Elsewhere the same as join().
    void release();
    bool running() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace palaver::platform

#endif
