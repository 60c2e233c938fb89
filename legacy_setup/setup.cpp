// setup: copies the NT 4.0 USB driver files into the system's driver
// directory, or deletes them, and has quvainst install or remove their
// services.
//
//   setup [/q][/u][/?]
#include "quvainst.h"

#include <cstring>

namespace {

const char k_caption[] = "Vornel Quva";
const char k_usage[] = "Usage : setup [/q][/u][/?]\n\n      /q : quiet mode\n      /u : uninstall\n      /? : display this "
                       "message\n";

// Paths are composed from a directory of at most MAX_PATH characters and a
// short suffix, so this never overflows; an over-long result fails later in
// the file call itself.
const size_t k_path = 2 * MAX_PATH;

// setup's own copy; quvainst keeps another.
bool g_quiet = false;

void message(const char *text) {
    if (!g_quiet) MessageBoxA(nullptr, text, k_caption, MB_OK | MB_ICONEXCLAMATION);
}

// "<windir>\system32\drivers\<name>.sys"; false (and the message) without "windir".
bool driver_file(const char *name, char *path) {
    char windir[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("windir", windir, sizeof windir);
    if (n == 0 || n >= sizeof windir) {
        message("Cannot get the system root path\n");
        return false;
    }
    lstrcpyA(path, windir);
    lstrcatA(path, "\\");
    lstrcatA(path, "system32\\drivers\\");
    lstrcatA(path, name);
    lstrcatA(path, ".sys");
    return true;
}

bool copy_driver(const char *from_dir, const char *name) {
    char target[k_path], source[k_path];
    if (!driver_file(name, target)) return false;
    lstrcpyA(source, from_dir);
    lstrcatA(source, "\\");
    lstrcatA(source, name);
    lstrcatA(source, ".sys");
    SetFileAttributesA(target, FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(target);
    if (!CopyFileA(source, target, FALSE)) {
        DWORD error = GetLastError();
        char text[k_path + 64];
        wsprintfA(text, "failure: Cannot copy driver file: %s (0x%02x)\n", source, error);
        message(text);
        return false;
    }
    SetFileAttributesA(target, FILE_ATTRIBUTE_NORMAL);
    return true;
}

void delete_driver(const char *name) {
    char target[k_path];
    if (!driver_file(name, target)) return;
    SetFileAttributesA(target, FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(target);
}

// Without the backslash a root directory ends in, as the file name is added with one.
void current_directory(char *dir) {
    DWORD n = GetCurrentDirectoryA(MAX_PATH, dir);
    if (n == 0 || n >= MAX_PATH) {
        lstrcpyA(dir, ".");
        return;
    }
    if (dir[n - 1] == '\\') dir[n - 1] = '\0';
}

// The directory setup was started from.
void program_directory(char *dir) {
    char module[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, module, MAX_PATH);
    // A full buffer means a cut name, unterminated before Vista: not a name.
    if (n == 0 || n >= MAX_PATH) {
        DWORD error = n ? ERROR_INSUFFICIENT_BUFFER : GetLastError();
        char text[64];
        wsprintfA(text, "failure: GetModuleFileName (0x%02x)", error);
        message(text);
        current_directory(dir);
        return;
    }
    char *slash = std::strrchr(module, '\\');
    if (!slash) {
        current_directory(dir);
        return;
    }
    *slash = '\0';
    lstrcpyA(dir, module);
}

// The options anywhere in the command line, program name included: '/' or
// '-', then the option letter; the character after the letter is skipped.
// Reads the line where it is, so any length is fine.  False when "/?" asked
// for the usage text.
bool scan_options(const char *line, bool *quiet, bool *uninstall) {
    for (const char *p = line; *p;) {
        if (*p != '/' && *p != '-') {
            p++;
            continue;
        }
        char letter = p[1];
        if (!letter) break;
        if (letter == 'q' || letter == 'Q') *quiet = true;
        if (letter == 'u' || letter == 'U') *uninstall = true;
        if (letter == '?') return false;
        p += 2;
        if (*p) p++;
    }
    return true;
}

LRESULT CALLBACK window_proc(HWND window, UINT msg, WPARAM wparam, LPARAM lparam) {
    return DefWindowProcA(window, msg, wparam, lparam);
}

} // namespace

extern "C" int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR, int) {
    bool quiet = false, uninstall = false;
    if (!scan_options(GetCommandLineA(), &quiet, &uninstall)) {
        MessageBoxA(nullptr, k_usage, "Vornel Quva Setup", MB_OK);
        return 0;
    }
    g_quiet = quiet;

    if (!previous) {
        WNDCLASSA wc;
        std::memset(&wc, 0, sizeof wc);
        wc.style = CS_HREDRAW | CS_VREDRAW;
        wc.lpfnWndProc = window_proc;
        wc.hInstance = instance;
        wc.hIcon = LoadIconA(instance, "Setup");
        wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
        wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
        wc.lpszMenuName = "Setup";
        wc.lpszClassName = "Setup";
        if (!RegisterClassA(&wc)) return QUVASETUP_FAILED;
    }
    HWND window = CreateWindowA("Setup", "Vornel Technologies Quva", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
    if (!window) {
        message("failure: CreateWindow\n");
        return QUVASETUP_FAILED;
    }
    ShowWindow(window, SW_HIDE);

    static const char *const k_drivers[] = {"usbhub", "usbqvtkn", "usbdrv"};
    int result;
    if (uninstall) {
        result = QuvaSetup(1, quiet);
        // Services first, then their files; a file that stays is left silently.
        delete_driver("usbdrv");
        delete_driver("usbhub");
        delete_driver("usbqvtkn");
    } else {
        char dir[MAX_PATH];
        program_directory(dir);
        result = QUVASETUP_DONE;
        for (const char *d : k_drivers)
            if (!copy_driver(dir, d)) {
                result = QUVASETUP_FAILED;
                break;
            }
        if (result == QUVASETUP_DONE) result = QuvaSetup(0, quiet);
    }

    DestroyWindow(window);
    PostQuitMessage(result);
    MSG msg;
    BOOL got;
    // GetMessageA answers -1 on an error: that ends the loop too.
    while ((got = GetMessageA(&msg, nullptr, 0, 0)) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return got == 0 ? (int)(WORD)msg.wParam : result;
}
