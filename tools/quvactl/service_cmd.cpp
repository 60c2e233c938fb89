// quvactl service list|start|stop|delete: the machine's services through the
// driver installer library's service operations.
#include "installer_lib.h"

#include <vector>

using namespace quvactl;

namespace {

const char *state_name(DWORD s) {
    switch (s) {
    case 0: return "gone";
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "starting";
    case SERVICE_STOP_PENDING: return "stopping";
    case SERVICE_RUNNING: return "running";
    case SERVICE_CONTINUE_PENDING: return "continuing";
    case SERVICE_PAUSE_PENDING: return "pausing";
    case SERVICE_PAUSED: return "paused";
    default: return "?";
    }
}

const char *type_name(DWORD t) {
    switch (t & ~(DWORD)SERVICE_INTERACTIVE_PROCESS) {
    case SERVICE_KERNEL_DRIVER: return "kernel driver";
    case SERVICE_FILE_SYSTEM_DRIVER: return "file system";
    case SERVICE_WIN32_OWN_PROCESS: return "own process";
    case SERVICE_WIN32_SHARE_PROCESS: return "shared process";
    default: return "other";
    }
}

int service_list(const Args &args) {
    if (args.size() != 1) return usage_error("service list needs a machine directory");
    auto m = load_machine(args[0]);
    if (!m) return 1;
    if (!m->profile().nt()) {
        std::printf("%s has no service control manager\n", m->profile().title);
        return 0;
    }
    Installer lib;
    auto marked = lib.fn<BOOL(WINAPI *)(LPCSTR)>("quvaDI_IsServiceMarkedForDeletionA");
    auto list = winsim::services::list();
    if (list.empty()) std::printf("no services\n");
    else std::printf("%-12s %-9s %-7s %-15s %s\n", "SERVICE", "STATE", "START", "TYPE", "IMAGE");
    static const char *const starts[] = {"boot", "system", "auto", "demand", "disabled"};
    for (auto &s : list) {
        std::printf("%-12s %-9s %-7s %-15s %s%s\n", s.name.c_str(), state_name(s.state),
                    s.start < 5 ? starts[s.start] : "?", type_name(s.type), s.image_path.c_str(),
                    marked && marked(s.name.c_str()) ? "  (marked for deletion)" : "");
    }
    return 0;
}

// Shared by start, stop and delete: DIR NAME [--pending MS] [ARGS...].
struct Request {
    std::string dir, name;
    DWORD pending_ms = 0;
    bool pending = false;
    std::vector<std::string> arguments;
};

bool parse_request(const Args &args, const char *verb, bool takes_pending, bool takes_arguments, Request *r) {
    for (size_t i = 0; i < args.size(); i++) {
        if (takes_pending && args[i] == "--pending") {
            if (i + 1 >= args.size() || !parse_dword(args[++i], &r->pending_ms)) {
                usage_error("--pending needs a number of milliseconds");
                return false;
            }
            r->pending = true;
        } else if (args[i].rfind("--", 0) == 0 && r->arguments.empty()) {
            usage_error("unknown option " + args[i]);
            return false;
        } else if (r->dir.empty()) {
            r->dir = args[i];
        } else if (r->name.empty()) {
            r->name = args[i];
        } else if (takes_arguments) {
            r->arguments.push_back(args[i]);
        } else {
            usage_error(std::string("service ") + verb + " takes a machine directory and one service name");
            return false;
        }
    }
    if (r->name.empty()) {
        usage_error(std::string("service ") + verb + " needs a machine directory and a service name");
        return false;
    }
    return true;
}

// Runs one of the three operations and tells what came of it.
template <class Call>
int operate(const Request &r, const char *export_name, const char *flag_meaning, Call call) {
    auto m = load_machine(r.dir);
    if (!m) return 1;
    if (r.pending && m->profile().nt()) {
        // Scenario only: this run's service manager, nothing the machine keeps.
        winsim::services::Behaviour b;
        if (std::string(export_name) == "quvaDI_StartServiceA")
            b.start_pending_ms = r.pending_ms;
        else
            b.stop_pending_ms = r.pending_ms;
        winsim::services::set_behaviour(r.name, b);
    }
    int rc;
    {
        Installer lib;
        if (!lib.ok()) return 1;
        DWORD flag = 0xFFFFFFFF;
        SetLastError(0xDEADBEEF);
        BOOL ok = call(lib, &flag);
        DWORD error = GetLastError();
        std::printf("%s(\"%s\"): %s, last error %s\n", export_name, r.name.c_str(), ok ? "TRUE" : "FALSE",
                    lib.error(error).c_str());
        std::printf("%s: %s\n", flag_meaning, flag == 1 ? "yes" : flag == 0 ? "no" : "(not set)");
        if (m->profile().nt()) std::printf("%s is now %s\n", r.name.c_str(), state_name(winsim::services::state(r.name)));
        rc = ok ? 0 : 1;
    }
    m->save();
    return rc;
}

int service_start(const Args &args) {
    Request r;
    if (!parse_request(args, "start", true, true, &r)) return 2;
    return operate(r, "quvaDI_StartServiceA", "restart needed", [&](Installer &lib, DWORD *flag) {
        auto start = lib.fn<BOOL(WINAPI *)(LPCSTR, DWORD, LPCSTR *, LPDWORD)>("quvaDI_StartServiceA");
        std::vector<LPCSTR> argv;
        for (auto &a : r.arguments) argv.push_back(a.c_str());
        return start && start(r.name.c_str(), (DWORD)argv.size(), argv.empty() ? nullptr : argv.data(), flag);
    });
}

int service_stop(const Args &args) {
    Request r;
    if (!parse_request(args, "stop", true, false, &r)) return 2;
    return operate(r, "quvaDI_StopServiceA", "restart needed", [&](Installer &lib, DWORD *flag) {
        auto stop = lib.fn<BOOL(WINAPI *)(LPCSTR, LPDWORD)>("quvaDI_StopServiceA");
        return stop && stop(r.name.c_str(), flag);
    });
}

int service_delete(const Args &args) {
    Request r;
    if (!parse_request(args, "delete", false, false, &r)) return 2;
    return operate(r, "quvaDI_DeleteServiceA", "was already marked for deletion", [&](Installer &lib, DWORD *flag) {
        auto del = lib.fn<BOOL(WINAPI *)(LPCSTR, LPDWORD)>("quvaDI_DeleteServiceA");
        return del && del(r.name.c_str(), flag);
    });
}

const char k_pending_help[] =
    "--pending MS keeps the service pending that long (virtual time) after the request,\n"
    "for this run only; the library polls five times a second apart and asks for a\n"
    "restart when the service has not settled by then.\n";

Register r1({"service list", "service list DIR", "list the machine's services, their states and deletion marks",
             "A machine loaded from its directory has just booted: boot, system and automatic\n"
             "services run.  The deletion mark is what quvaDI_IsServiceMarkedForDeletionA says.\n",
             service_list});
Register r2({"service start", "service start DIR NAME [--pending MS] [ARGS...]",
             "start a service with quvaDI_StartServiceA", k_pending_help, service_start});
Register r3({"service stop", "service stop DIR NAME [--pending MS]", "stop a service with quvaDI_StopServiceA",
             k_pending_help, service_stop});
Register r4({"service delete", "service delete DIR NAME", "delete a service with quvaDI_DeleteServiceA",
             "A service that does not exist counts as deleted.  Windows 9x has no services:\n"
             "the operations answer 1633 there.\n",
             service_delete});

} // namespace
