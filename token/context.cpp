// Token contexts: creation with the process-wide path decision, the check
// every export starts with, and deletion.
#include "internal.h"

#include <cstring>

namespace quvab2 {

bool g_direct_on = true;
bool g_rm_on = true;
DWORD g_scan_limit = 32;

Context *check(void *context) {
    // A context is always the start of its own page (VirtualAlloc): anything
    // else is not one of ours, whatever bytes it holds.
    if (!context || ((ULONG_PTR)context & (k_page - 1)) != 0) return nullptr;
    if (IsBadWritePtr(context, sizeof(Context))) return nullptr;
    Context *c = static_cast<Context *>(context);
    return c->magic == k_magic ? c : nullptr;
}

void wipe(void *p, size_t n) {
    volatile BYTE *b = static_cast<volatile BYTE *>(p);
    while (n--) *b++ = 0;
}

namespace {

// Stand-ins for a WinScard.dll that did not load or lacks entry points: the
// resource-manager path then fails cleanly instead of calling nothing.
LONG WINAPI no_establish(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT) { return (LONG)SCARD_E_READER_UNAVAILABLE; }
LONG WINAPI no_release(SCARDCONTEXT) { return SCARD_S_SUCCESS; }
LONG WINAPI no_connect(SCARDCONTEXT, LPCSTR, DWORD, DWORD, LPSCARDHANDLE, LPDWORD) {
    return (LONG)SCARD_E_READER_UNAVAILABLE;
}
LONG WINAPI no_disconnect(SCARDHANDLE, DWORD) { return SCARD_S_SUCCESS; }
LONG WINAPI no_control(SCARDHANDLE, DWORD, LPCVOID, DWORD, LPVOID, DWORD, LPDWORD returned) {
    if (returned) *returned = 0;
    return (LONG)SCARD_E_READER_UNAVAILABLE;
}
LONG WINAPI no_status_change(SCARDCONTEXT, DWORD, SCARD_READERSTATEA *, DWORD) {
    return (LONG)SCARD_E_READER_UNAVAILABLE;
}

template <class F> F lookup(HMODULE module, const char *name) {
    return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

void load_winscard(Context *c) {
    c->scard_module = LoadLibraryA("WinScard.dll");
    if (!c->scard_module) return;
    EstablishFn establish = lookup<EstablishFn>(c->scard_module, "SCardEstablishContext");
    ReleaseFn release = lookup<ReleaseFn>(c->scard_module, "SCardReleaseContext");
    ConnectFn connect = lookup<ConnectFn>(c->scard_module, "SCardConnectA");
    DisconnectFn disconnect = lookup<DisconnectFn>(c->scard_module, "SCardDisconnect");
    ControlFn control = lookup<ControlFn>(c->scard_module, "SCardControl");
    StatusChangeFn status_change = lookup<StatusChangeFn>(c->scard_module, "SCardGetStatusChangeA");
    if (release) c->release = release;
    if (connect) c->connect = connect;
    if (disconnect) c->disconnect = disconnect;
    if (control) c->control = control;
    if (status_change) c->status_change = status_change;
    // Without the whole set no resource-manager context is ever made.
    if (establish && release && connect && disconnect && control && status_change) c->establish = establish;
}

} // namespace

void install_placeholders(Context *c) {
    c->establish = no_establish;
    c->release = no_release;
    c->connect = no_connect;
    c->disconnect = no_disconnect;
    c->control = no_control;
    c->status_change = no_status_change;
}

} // namespace quvab2

using namespace quvab2;

extern "C" DWORD WINAPI quva_CreateContext(QUVA_CONTEXT *context, DWORD, DWORD creation_value) {
    if (!context || IsBadWritePtr(context, sizeof *context)) return QUVA_ERR_INVALID_PARAMETER;
    *context = nullptr;

    void *memory = VirtualAlloc(nullptr, sizeof(Context), MEM_COMMIT, PAGE_READWRITE);
    if (!memory) return QUVA_ERR_NOT_ENOUGH_MEMORY;
    std::memset(memory, 0, sizeof(Context));
    Context *c = static_cast<Context *>(memory);
    c->magic = k_magic;
    c->creation_value = creation_value;
    install_placeholders(c);

    ReaderMode mode = reader_mode();
    g_scan_limit = mode.scan_limit;
    *context = reinterpret_cast<QUVA_CONTEXT>(c);

    if (mode.file_present) {
        load_winscard(c);
        if (mode.rm) {
            g_rm_on = true;
            g_direct_on = false;
            return QUVA_OK;
        }
    }
    g_rm_on = false;
    g_direct_on = true;
    return QUVA_OK;
}

extern "C" DWORD WINAPI quva_DeleteContext(QUVA_CONTEXT context) {
    Context *c = check(context);
    if (!c) return QUVA_ERR_INVALID_PARAMETER;
    quva_CloseDevice(context);
    if (c->scard_module) FreeLibrary(c->scard_module);
    c->magic = 0;
    VirtualFree(c, 0, MEM_RELEASE);
    return QUVA_OK;
}
