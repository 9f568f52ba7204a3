// Whether the process is ending with the module still loaded. Windows stops
// every other thread of the process before it runs the modules' teardown at
// exit, perhaps while one of them held a library lock or the heap's; the
// module's entry point notes it so that teardown then touches nothing. Never
// set on POSIX, where static destructors run while the other threads live.
#ifndef PALAVER_LIB_PLATFORM_PROCESS_EXIT_H
#define PALAVER_LIB_PLATFORM_PROCESS_EXIT_H

namespace palaver::platform {

void note_process_exit();
bool process_exiting();

}  // namespace palaver::platform

#endif
