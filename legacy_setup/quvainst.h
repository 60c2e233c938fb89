/* quvainst: installs and removes the Windows NT 4.0 USB driver stack of the
 * Quva token (usbhub, usbqvtkn and usbdrv) as kernel-driver services.
 *
 * The setup program copies the driver files and calls QuvaSetup, which it
 * binds by ordinal; an uninstaller calls UninstInitialize.  Every message goes
 * to a message box captioned "Vornel Quva" unless the quiet flag is set. */
#ifndef QUVAINST_H
#define QUVAINST_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Result of QuvaSetup, and exit code of the setup program. */
#define QUVASETUP_DONE 0    /* done */
#define QUVASETUP_RESTART 1 /* done, but the system must be restarted */
#define QUVASETUP_FAILED 2  /* failed */

/* Ordinal 1.  Runs only on Windows NT 4.0 ("failure: Only for Win NT 4.0\n",
 * QUVASETUP_FAILED elsewhere); needs the rights to control services.
 * `uninstall` and `quiet` are flags, nonzero meaning set.
 *
 * Install (uninstall == 0) stops the three services where they run, then
 * creates each one that does not exist (one that exists counts as created):
 *   QUVASETUP_DONE     "Drivers successfully installed."
 *   QUVASETUP_RESTART  "Drivers successfully installed, Restart your system."
 *                      A driver of an earlier installation was running and
 *                      could not be stopped: the files copied for it take
 *                      effect at the next start of the system.
 *   QUVASETUP_FAILED   "Installation failed." (a service could not be created;
 *                      this wins over the restart)
 *
 * Uninstall stops and deletes usbdrv, usbhub and usbqvtkn in that order:
 *   QUVASETUP_DONE     "Drivers successfully removed."
 *   QUVASETUP_RESTART  "Drivers successfully removed, Restart your system."
 *                      usbdrv could not be stopped; its service goes away
 *                      when the system restarts.
 *   QUVASETUP_FAILED   "Uninstallation failed." A service exists that could
 *                      not be opened or deleted (this wins over the restart).
 *                      A service that is already marked for deletion counts
 *                      as deleted. */
int WINAPI QuvaSetup(DWORD uninstall, DWORD quiet);

/* Ordinal 2.  For an uninstaller: a quiet uninstall; always returns 0. */
int WINAPI UninstInitialize(DWORD reserved1, DWORD reserved2, DWORD reserved3);

/* Ordinal 3.  Does nothing; returns 0. */
int WINAPI UninstUnInitialize(DWORD reserved1, DWORD reserved2, DWORD reserved3);

#ifdef __cplusplus
}
#endif

#endif
