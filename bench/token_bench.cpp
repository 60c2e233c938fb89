// Commands and APDUs per second through the token library, the simulated
// driver or resource manager, and the token model, on both paths; plus the
// pieces that make up their cost.
#include "quvab2.h"

#include <winsim/sim.h>

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

namespace {

enum Path { Direct, ResourceManager };

// One machine per benchmark run with a token plugged and a context open on it.
class Stack {
public:
    explicit Stack(Path path) : machine_(winsim::Machine::temporary(winsim::Os::WinXp)) {
        machine_->set_process_image("C:\\APP\\APP.EXE");
        winsim::disk::install_library("C:\\APP\\QUVAB2.DLL", "QUVAB2");
        if (path == ResourceManager) {
            winsim::reg::import_text(
                "REGEDIT4\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\qvatoken\\Parameters]\r\n"
                "\"UseRM\"=dword:00000001\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\qvatoken]\r\n"
                "\"NumberOfDevices\"=dword:00000002\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\Software\\Vornel Technologies\\Quva\\Quva Components\\Quva Application "
                "Interfaces\\Quva B2 Token Library]\r\n"
                "\"EnablePCSC\"=dword:00000001\r\n");
        }
        winsim::tokens::plug();
        lib_ = LoadLibraryA("QUVAB2.DLL");
        bind(create_, "quva_CreateContext");
        bind(delete_, "quva_DeleteContext");
        bind(open_, "quva_OpenDevice");
        bind(close_, "quva_CloseDevice");
        bind(command_, "quva_Command");
        bind(get_property_, "quva_GetProperty");
        bind(power_up_, "quva_ScardPowerUp");
        bind(exchange_, "quva_ScardExchange");
        create_(&ctx_, 0, 0);
        ok_ = open_(ctx_, QUVA_OPEN_FIRST, nullptr) == QUVA_OK;
        QUVA_ATR atr;
        ok_ = ok_ && power_up_(ctx_, 0, &atr) == QUVA_OK;
    }
    ~Stack() {
        if (ctx_) delete_(ctx_);
        if (lib_) FreeLibrary(lib_);
    }
    bool ok() const { return ok_; }

    DWORD led() { return command_(ctx_, QUVA_CMD_LED, 2, k_led, 1, nullptr); }
    DWORD capabilities() {
        DWORD caps = 0;
        return get_property_(ctx_, QUVA_PROP_CAPABILITIES, 0, &caps, sizeof caps);
    }
    WORD select_mf() {
        BYTE response[4];
        DWORD count = 0;
        return exchange_(ctx_, 0x00, 0xA4, 0x00, 0x00, k_mf, 2, response, 0, &count);
    }
    WORD get_challenge() {
        BYTE response[32];
        DWORD count = 0;
        return exchange_(ctx_, 0x00, 0x84, 0x00, 0x00, nullptr, 0, response, 32, &count);
    }
    DWORD reopen() {
        close_(ctx_);
        return open_(ctx_, QUVA_OPEN_FIRST, nullptr);
    }

private:
    template <class F> void bind(F &f, const char *name) {
        f = lib_ ? reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(lib_, name))) : nullptr;
        if (!f) ok_ = false;
    }
    static constexpr BYTE k_led[2] = {1, 0};
    static constexpr BYTE k_mf[2] = {0x3F, 0x00};

    std::unique_ptr<winsim::Machine> machine_;
    HMODULE lib_ = nullptr;
    bool ok_ = true;
    QUVA_CONTEXT ctx_ = nullptr;
    decltype(&quva_CreateContext) create_ = nullptr;
    decltype(&quva_DeleteContext) delete_ = nullptr;
    decltype(&quva_OpenDevice) open_ = nullptr;
    decltype(&quva_CloseDevice) close_ = nullptr;
    decltype(&quva_Command) command_ = nullptr;
    decltype(&quva_GetProperty) get_property_ = nullptr;
    decltype(&quva_ScardPowerUp) power_up_ = nullptr;
    decltype(&quva_ScardExchange) exchange_ = nullptr;
};

template <class F> void run(benchmark::State &state, F step) {
    Stack stack(static_cast<Path>(state.range(0)));
    if (!stack.ok()) {
        state.SkipWithError("the stack did not come up");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(step(stack));
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(state.range(0) == Direct ? "direct" : "resource manager");
}

// A token command answered by a status byte: one exchange control.
void BM_Command(benchmark::State &state) {
    run(state, [](Stack &s) { return s.led(); });
}
// An APDU without data: one T=1 block out, its answer in two exchanges.
void BM_ApduSelect(benchmark::State &state) {
    run(state, [](Stack &s) { return s.select_mf(); });
}
void BM_ApduGetChallenge(benchmark::State &state) {
    run(state, [](Stack &s) { return s.get_challenge(); });
}
// No traffic at all: the context check and a copy.
void BM_PropertyOnly(benchmark::State &state) {
    run(state, [](Stack &s) { return s.capabilities(); });
}
// Close and open again: the connect, version and open controls (and on the
// resource-manager path the PC/SC context, reader query and card connection).
void BM_Reopen(benchmark::State &state) {
    run(state, [](Stack &s) { return s.reopen(); });
}

// The simulated platform's pointer check alone, which every export makes.
void BM_PointerCheck(benchmark::State &state) {
    auto machine = winsim::Machine::temporary(winsim::Os::WinXp);
    void *p = VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE);
    for (auto _ : state) benchmark::DoNotOptimize(IsBadWritePtr(p, 64));
    VirtualFree(p, 0, MEM_RELEASE);
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_Command)->Arg(Direct)->Arg(ResourceManager);
BENCHMARK(BM_ApduSelect)->Arg(Direct)->Arg(ResourceManager);
BENCHMARK(BM_ApduGetChallenge)->Arg(Direct)->Arg(ResourceManager);
BENCHMARK(BM_PropertyOnly)->Arg(Direct)->Arg(ResourceManager);
BENCHMARK(BM_Reopen)->Arg(Direct)->Arg(ResourceManager);
BENCHMARK(BM_PointerCheck);

} // namespace

BENCHMARK_MAIN();
