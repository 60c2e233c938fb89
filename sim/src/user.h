// USER of the simulated machine: what other pieces of the simulator need.
#ifndef WINSIM_USER_H
#define WINSIM_USER_H

#include "core.h"

namespace winsim {

// Drops what an ended simulated process left: its windows (no messages are
// sent, its threads are gone), its window classes and its threads' queues.
void user_process_ended(DWORD pid);

} // namespace winsim

#endif
