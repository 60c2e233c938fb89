// The module loader's hooks for machine set-up and teardown.
#ifndef WINSIM_MODULES_H
#define WINSIM_MODULES_H

#include "core.h"

namespace winsim {
// Places the images of the system DLLs the simulator provides in the system directory.
void install_system_images(const Profile &p);
// Drops every LoadLibraryA reference (machine teardown).
void forget_loaded_modules();
} // namespace winsim

#endif
