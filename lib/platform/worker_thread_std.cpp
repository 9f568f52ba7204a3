#include <system_error>
#include <thread>

#include "lib/platform/worker_thread.h"

namespace palaver::platform {

struct WorkerThread::Impl {
    std::thread thread;
};

WorkerThread::WorkerThread() : impl_(std::make_unique<Impl>()) {}

WorkerThread::~WorkerThread() {
    join();
}

bool WorkerThread::start(Entry entry, void* context) {
    join();
    try {
        impl_->thread = std::thread(entry, context);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void WorkerThread::join() {
    if (impl_->thread.joinable()) {
        impl_->thread.join();
    }
}

void WorkerThread::release() {
    join();
}

bool WorkerThread::running() const {
    return impl_->thread.joinable();
}

}  // namespace palaver::platform
