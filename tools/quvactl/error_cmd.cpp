// quvactl error CODE...: an error code as the driver installer library words it.
#include "installer_lib.h"

#include <vector>

using namespace quvactl;

namespace {

int error_cmd(const Args &args) {
    if (args.empty()) return usage_error("error needs one or more error codes");
    std::vector<DWORD> codes;
    for (const std::string &a : args) {
        DWORD code;
        if (!parse_dword(a, &code, true)) return usage_error("not an error code: '" + a + "' (decimal or 0x hex)");
        codes.push_back(code);
    }
    // The texts need no particular machine: any will do, and none is kept.
    auto m = winsim::Machine::temporary(winsim::Os::WinXp);
    Installer lib;
    auto get = lib.fn<DWORD(WINAPI *)(DWORD, LPSTR, DWORD)>("quvaDI_GetErrorStrA");
    if (!get) return 1;
    for (DWORD code : codes) {
        bool setupapi = (code & 0xE0000000) == 0xE0000000;
        char text[512] = "";
        DWORD n = get(code, text, sizeof text);
        std::string t = text;
        while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
        std::printf("%lu (0x%08lX) %s: %s  [%lu characters]\n", (unsigned long)code, (unsigned long)code,
                    setupapi ? "SetupAPI" : "system", t.empty() ? "(no text)" : t.c_str(), (unsigned long)n);
    }
    return 0;
}

Register r({"error", "error CODE...", "show the text of Win32 and SetupAPI error codes",
            "Each CODE in decimal or 0x hex (a negative number stands for its 32-bit pattern).\n"
            "Codes with the top three bits set (0xE0000000 up) are SetupAPI's and get the\n"
            "installer library's own text; the rest get the system's message text.  The count\n"
            "is what quvaDI_GetErrorStrA returned.\n",
            error_cmd});

} // namespace
