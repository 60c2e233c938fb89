/* drive_pin: shows the real enter-PIN dialog of QUVAUI.DLL and answers it the
 * way a person would, for the Wine lane.
 *
 * The dialog runs on a second thread (quvaUI_DlgGetPINA, no context, numeric
 * class, PIN_BINARY, minimum 4, an 8-byte buffer).  A hook on that thread
 * reports the end of WM_INITDIALOG; this thread then finds the dialog by its
 * caption, checks its texts, types "1234" into edit 3104 one character at a
 * time, checks that OK became enabled and clicks it, and checks the result
 * (0) and the bytes (12 34).
 *
 *   drive_pin [--pause]   --pause: after typing, print "ready" and wait for a
 *                         line on stdin before clicking OK (for a screenshot)
 *
 * Prints one "ok ..." or "FAIL ..." line per check and exits with 0 when all
 * passed. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

typedef DWORD(WINAPI *GetPinFn)(void *, DWORD, LPCSTR, LPCSTR, DWORD, LPBYTE, LPDWORD);

#define PIN_CLASS_NUMERIC 0x01000000u
#define PIN_BINARY 0x40000000u
#define WAIT_MS 20000

static GetPinFn get_pin;
static HANDLE initialised;
static HHOOK hook;
static DWORD result = 0xFFFFFFFFu;
static BYTE pin[8 + 1];
static DWORD pin_length = 8;
static int failures;

static void check(int good, const char *what) {
    printf("%s %s\n", good ? "ok" : "FAIL", what);
    fflush(stdout);
    if (!good) failures++;
}

/* Runs after each message the dialog thread's windows handled. */
static LRESULT CALLBACK after_message(int code, WPARAM wparam, LPARAM lparam) {
    const CWPRETSTRUCT *m = (const CWPRETSTRUCT *)lparam;
    if (code == HC_ACTION && m->message == WM_INITDIALOG) SetEvent(initialised);
    return CallNextHookEx(hook, code, wparam, lparam);
}

static DWORD WINAPI dialog_thread(LPVOID unused) {
    (void)unused;
    hook = SetWindowsHookExA(WH_CALLWNDPROCRET, after_message, NULL, GetCurrentThreadId());
    result = get_pin(NULL, PIN_CLASS_NUMERIC | PIN_BINARY, NULL, NULL, 4, pin, &pin_length);
    if (hook) UnhookWindowsHookEx(hook);
    SetEvent(initialised); /* a dialog that never came up must not hold the driver */
    return 0;
}

static int item_text(HWND dialog, int id, const char *want) {
    char text[256] = "";
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return strcmp(text, want) == 0;
}

int main(int argc, char **argv) {
    int pause = argc > 1 && strcmp(argv[1], "--pause") == 0;
    HMODULE ui = LoadLibraryA("QUVAUI.dll");
    get_pin = ui ? (GetPinFn)(void *)GetProcAddress(ui, "quvaUI_DlgGetPINA") : NULL;
    check(get_pin != NULL, "QUVAUI.dll loads and exports quvaUI_DlgGetPINA");
    if (!get_pin) return 1;

    initialised = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE thread = CreateThread(NULL, 0, dialog_thread, NULL, 0, NULL);
    check(WaitForSingleObject(initialised, WAIT_MS) == WAIT_OBJECT_0, "the dialog starts");
    HWND dialog = FindWindowA(NULL, "Quva - Enter PIN");
    check(dialog != NULL, "the dialog is found by its caption \"Quva - Enter PIN\"");
    if (dialog) {
        HWND edit = GetDlgItem(dialog, 3104), ok = GetDlgItem(dialog, IDOK);
        check(item_text(dialog, 3100, "Enter the PIN.") && item_text(dialog, 3101, "PIN:") &&
                  item_text(dialog, IDOK, "OK") && item_text(dialog, IDCANCEL, "Cancel"),
              "prompt, label and buttons come from the string table");
        check(ok && !IsWindowEnabled(ok), "OK starts disabled");
        check((char)SendMessageA(edit, EM_GETPASSWORDCHAR, 0, 0) == '*', "the entry is masked with *");
        const char *typed = "1234";
        for (const char *p = typed; *p; p++) SendMessageA(edit, WM_CHAR, (WPARAM)(BYTE)*p, 1);
        check(IsWindowEnabled(ok), "OK is enabled after four digits");
        if (pause) {
            printf("ready\n");
            fflush(stdout);
            char line[16];
            if (!fgets(line, sizeof line, stdin)) line[0] = '\0';
        }
        SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)ok);
    }
    check(WaitForSingleObject(thread, WAIT_MS) == WAIT_OBJECT_0, "the dialog ends");
    CloseHandle(thread);
    CloseHandle(initialised);
    char what[96];
    sprintf(what, "result 0 and the bytes 12 34 (got %lu, %lu bytes: %02X %02X)", (unsigned long)result,
            (unsigned long)pin_length, pin[0], pin[1]);
    check(result == 0 && pin_length == 2 && pin[0] == 0x12 && pin[1] == 0x34 && pin[2] == 0, what);
    FreeLibrary(ui);
    printf("%d failed\n", failures);
    return failures ? 1 : 0;
}
