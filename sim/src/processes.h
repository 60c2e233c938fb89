// Simulated processes: what the rest of the simulator asks about the process
// the calling thread belongs to.  The kit's own process (the test or tool that
// made the machine) keeps its image, command line and environment in
// Machine::Impl; processes started with CreateProcessA have their own.
#ifndef WINSIM_PROCESSES_H
#define WINSIM_PROCESSES_H

#include "core.h"

#include <map>
#include <string>

namespace winsim {

// The calling process's environment, upper-cased names.  Hold big_lock().
std::map<std::string, std::string> &process_environment();
// The calling process's command line as GetCommandLineA hands it out; nullptr
// for the kit's own process.
LPSTR process_command_line();
// The calling process's image path (GetModuleFileNameA(NULL)).
std::string process_image();
// Id of the process a simulated thread belongs to (the kit's own: sched::kProcessId).
DWORD process_id();

} // namespace winsim

#endif
