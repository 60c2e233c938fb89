/* Code shared by the kit's libraries: the platform-class tests, the packed
 * file version, the module handle and the component self-registration.
 * Internal: compiled into each library, never exported. */
#ifndef QUVA_COMMON_H
#define QUVA_COMMON_H

#include <windows.h>

/* ---- platform class ----
 * Every test fills an OSVERSIONINFOA of size 148 and asks GetVersionExA
 * afresh; a failing call makes the test false. */
BOOL quva_get_os_version(OSVERSIONINFOA *info);
BOOL quva_is_9x(void);        /* platform id 1, any version */
BOOL quva_is_win98me(void);   /* platform id 1, above 4.0 */
BOOL quva_is_win95(void);     /* platform id 1, 4.0 or below */
BOOL quva_is_nt4(void);       /* platform id 2, major 4 */
BOOL quva_is_nt5(void);       /* platform id 2, major 5 or more */
BOOL quva_is_nt_family(void); /* platform id 2, any version */

/* ---- packed file version ----
 * Major in bits 31-24, minor in 23-16, the fourth field in 15-0; the third
 * field is dropped. */
DWORD quva_pack_version(DWORD major, DWORD minor, DWORD fourth);
DWORD quva_pack_file_version(DWORD file_version_ms, DWORD file_version_ls);
/* Packed file version of a file's version resource; 0 when there is none. */
DWORD quva_read_file_version(LPCSTR path);

/* The driver package's version from its uninstall entry: FALSE when the
 * entry does not open; otherwise TRUE with the fields read up to the first
 * one missing (0 without "VersionMajor"). */
BOOL quva_uninstall_entry_version(DWORD *version);
/* The version of the platform's token driver file: 0 when it cannot be read,
 * 0xFFFFFFFF when the platform or the Windows directory is unknown. */
DWORD quva_driver_file_version(void);

/* ---- module handle ----
 * Recorded by each library's DllMain when the process attaches it. */
void quva_set_module(HMODULE module);
HMODULE quva_module(void);

/* ---- dialog placement ----
 * Centres the dialog over the reference window (null: the desktop window),
 * keeps it inside the screen (the dialog's device context's resolution) and
 * moves it without changing its size or z-order.  FALSE when a window
 * rectangle or the device context cannot be had. */
BOOL centre_dialog(HWND reference, HWND dialog);

/* ---- self-registration ---- */
#define QUVA_COMPONENTS_PARENT \
    "Software\\Vornel Technologies\\Quva\\Quva Components\\Quva Application Interfaces"

typedef struct QuvaComponent {
    const char *name;      /* subkey under QUVA_COMPONENTS_PARENT */
    const char *file_name; /* written after the library's directory in "Path" */
    DWORD version;         /* "Version" */
    BOOL enable_pcsc;      /* write "EnablePCSC" = 0 when the key is new */
} QuvaComponent;

/* The component of the library being built; each library defines it. */
extern const QuvaComponent quva_this_component;

/* Writes the component key; FALSE with the cause in the last-error value. */
BOOL quva_register_component(HMODULE module, const QuvaComponent *component);
/* Deletes the component key and every parent left without subkeys. */
void quva_unregister_component(const QuvaComponent *component);
/* DllInstall's body: register (install != 0) or unregister, and build the
 * HRESULT from the thread's last-error value. */
HRESULT quva_dll_install(HMODULE module, const QuvaComponent *component, BOOL install);

#endif
