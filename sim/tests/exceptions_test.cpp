// RaiseException without structured exception handling: a simulated process
// ends with the code as its exit code, the kit's own process stops with a
// message naming the code (and what a lazy binding could not find).
#include <delayimp.h>
#include <windows.h>
#include <winsim/sim.h>

#include <gtest/gtest.h>

namespace {

const DWORD kModuleNotFound = VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND);

void raise_binding_failure(const char *dll, const char *function) {
    DelayLoadInfo info = {};
    info.cb = sizeof info;
    info.szDll = dll;
    info.dlp.fImportByName = TRUE;
    info.dlp.szProcName = function;
    ULONG_PTR argument = (ULONG_PTR)&info;
    RaiseException(kModuleNotFound, 0, 1, &argument);
}

} // namespace

TEST(Exceptions, AnUnhandledOneEndsASimulatedProcessWithItsCode) {
    auto m = winsim::Machine::temporary(winsim::Os::WinXp);
    EXPECT_EQ(kModuleNotFound, 0xC06D007Eu);
    winsim::processes::register_program("raiser", [](const std::string &) -> DWORD {
        raise_binding_failure("MISSING.DLL", "Fn");
        return 0; // not reached
    });
    winsim::processes::install_program("C:\\APP\\RAISE.EXE", "raiser");
    EXPECT_EQ(winsim::processes::run("C:\\APP\\RAISE.EXE"), kModuleNotFound);
    winsim::processes::unregister_program("raiser");
}

TEST(Exceptions, InTheKitsOwnProcessTheSimulationStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto m = winsim::Machine::temporary(winsim::Os::WinXp);
            raise_binding_failure("QuvaAPI.dll", "quva_SetProperty");
        },
        "unhandled exception 0xC06D007E \\(lazy binding: module QuvaAPI.dll not found, binding quva_SetProperty\\)");
    EXPECT_DEATH(
        {
            auto m = winsim::Machine::temporary(winsim::Os::WinXp);
            RaiseException(0xE0001234, EXCEPTION_NONCONTINUABLE, 0, nullptr);
        },
        "unhandled exception 0xE0001234 in thread");
}
