/* Win32 API of the simulated Windows machine.
 *
 * Declares the subset of the Win32 SDK that the kit uses, with the real
 * names, types, sizes and constant values.  DWORD is 32 bits here too.
 * Everything is implemented by libwinsim against the current simulated
 * machine (see winsim/sim.h for the control side used by tests and tools).
 */
#ifndef WINSIM_WINDOWS_H
#define WINSIM_WINDOWS_H

#include <stddef.h>
#include <stdint.h>

#include "win/base.h"
#include "win/error.h"
#include "win/kernel.h"
#include "win/file.h"
#include "win/reg.h"
#include "win/ver.h"
#include "win/thread.h"
#include "win/process.h"
#include "win/svc.h"
#include "win/user.h"
#include "win/ioctl.h"

#endif
