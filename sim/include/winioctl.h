/* The SDK's header name for device control codes (simulated platform). */
#ifndef WINSIM_WINIOCTL_H
#define WINSIM_WINIOCTL_H
#include "win/ioctl.h"
#endif
