// A stand-in WinScard.dll for the token library's reader-mode checks: it
// answers as a resource manager whose virtual readers are all empty, and
// records what it was asked, so that a check can see which path a token
// context took and how many readers its open scanned.
#include <windows.h>
#include <winscard.h>

#include <cstring>

namespace {
DWORD g_establish, g_release, g_connect;
char g_readers[1024]; // reader names asked for, each followed by '|'
} // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

LONG WINAPI SCardEstablishContext(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
    ++g_establish;
    if (context) *context = 0x5C0;
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardReleaseContext(SCARDCONTEXT) {
    ++g_release;
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardGetStatusChangeA(SCARDCONTEXT, DWORD, LPSCARD_READERSTATEA states, DWORD count) {
    for (DWORD i = 0; i < count; ++i) {
        if (states[i].szReader) {
            size_t used = std::strlen(g_readers), n = std::strlen(states[i].szReader);
            if (used + n + 2 < sizeof g_readers) {
                std::memcpy(g_readers + used, states[i].szReader, n);
                g_readers[used + n] = '|';
                g_readers[used + n + 1] = '\0';
            }
        }
        states[i].dwEventState = SCARD_STATE_EMPTY | SCARD_STATE_CHANGED;
        states[i].cbAtr = 0;
    }
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardConnectA(SCARDCONTEXT, LPCSTR, DWORD, DWORD, LPSCARDHANDLE, LPDWORD) {
    ++g_connect;
    return (LONG)SCARD_E_NO_SMARTCARD;
}

LONG WINAPI SCardDisconnect(SCARDHANDLE, DWORD) { return SCARD_S_SUCCESS; }

LONG WINAPI SCardControl(SCARDHANDLE, DWORD, LPCVOID, DWORD, LPVOID, DWORD, LPDWORD returned) {
    if (returned) *returned = 0;
    return (LONG)SCARD_E_READER_UNAVAILABLE;
}

void WINAPI probe_reset(void) {
    g_establish = g_release = g_connect = 0;
    g_readers[0] = '\0';
}

void WINAPI probe_counts(LPDWORD establish, LPDWORD release, LPDWORD connect) {
    *establish = g_establish;
    *release = g_release;
    *connect = g_connect;
}

DWORD WINAPI probe_readers(LPSTR buffer, DWORD size) {
    DWORD n = (DWORD)std::strlen(g_readers);
    if (size) {
        DWORD copy = n < size ? n : size - 1;
        std::memcpy(buffer, g_readers, copy);
        buffer[copy] = '\0';
    }
    return n;
}

} // extern "C"
