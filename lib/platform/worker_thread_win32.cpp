// Worker threads on Windows. At FreeLibrary the module's teardown runs under
// the loader lock, and a thread cannot finish exiting without that lock, so
// the teardown cannot wait for a worker's end. It waits instead for the
// worker's "finished" event, which the worker sets as its very last act: its
// last instruction in this module is a jump to SetEvent, which returns
// straight to the system's thread start-up code. Once the event is set the
// worker never runs library code again and the module may be unmapped; the
// worker then exits when the loader lets go.
#include <windows.h>

#include <initializer_list>

#include "lib/platform/worker_thread.h"

namespace palaver::platform {

// What the new thread is given.
struct ThreadStart {
    WorkerThread::Entry entry = nullptr;
    void* context = nullptr;
    HANDLE entered = nullptr;   // the thread runs library code
    HANDLE finished = nullptr;  // the thread will run no more library code
};

struct WorkerThread::Impl {
    ThreadStart start;
    HANDLE thread = nullptr;

    void close_handles() {
        for (HANDLE* h : {&thread, &start.entered, &start.finished}) {
            if (*h != nullptr) {
                CloseHandle(*h);
                *h = nullptr;
            }
        }
    }
};

}  // namespace palaver::platform

// Runs the worker's routine and gives the thunk the event to set on leaving.
// Exceptions that escape the routine end the process, as with std::thread.
extern "C" HANDLE palaver_worker_run(void* start) noexcept {
    const auto& s = *static_cast<const palaver::platform::ThreadStart*>(start);
    SetEvent(s.entered);
    s.entry(s.context);
    return s.finished;
}

// DWORD WINAPI palaver_worker_thunk(void* start): calls palaver_worker_run and
// leaves the module by a tail jump to SetEvent(finished), whose result becomes
// the thread's exit code.
extern "C" DWORD WINAPI palaver_worker_thunk(void* start);
asm(R"(
    .text
    .p2align 4
    .def palaver_worker_thunk; .scl 2; .type 32; .endef
    .globl palaver_worker_thunk
palaver_worker_thunk:
    .seh_proc palaver_worker_thunk
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    call palaver_worker_run
    movq %rax, %rcx
    addq $40, %rsp
    rex.W jmp *__imp_SetEvent(%rip)
    .seh_endproc
)");

namespace palaver::platform {

WorkerThread::WorkerThread() : impl_(std::make_unique<Impl>()) {}

WorkerThread::~WorkerThread() {
    join();
}

bool WorkerThread::start(Entry entry, void* context) {
    join();
    ThreadStart& s = impl_->start;
    s.entry = entry;
    s.context = context;
    s.entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    s.finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (s.entered != nullptr && s.finished != nullptr) {
        impl_->thread = CreateThread(nullptr, 0, palaver_worker_thunk, &s, 0, nullptr);
    }
    if (impl_->thread == nullptr) {
        impl_->close_handles();
        return false;
    }
    // A new thread passes through the loader before it runs our code. Until
    // it is in, an unload could neither wait for it (the loader lock holds it
    // back) nor leave it behind (it would start in an unmapped module).
    HANDLE either[] = {s.entered, impl_->thread};
    WaitForMultipleObjects(2, either, FALSE, INFINITE);
    return true;
}

void WorkerThread::join() {
    if (impl_->thread != nullptr) {
        WaitForSingleObject(impl_->thread, INFINITE);
    }
    impl_->close_handles();
}

void WorkerThread::release() {
    if (impl_->thread != nullptr) {
        WaitForSingleObject(impl_->start.finished, INFINITE);
    }
    impl_->close_handles();
}

bool WorkerThread::running() const {
    return impl_->thread != nullptr;
}

}  // namespace palaver::platform
