// quvactl setup|services: the NT 4.0 setup program and the machine's services.
#include "cli.h"
#include "operations.h"

#include <winsim/sim.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>

using namespace quvactl;

namespace {

const char k_package[] = "C:\\QUVA\\NT4";
const char *const k_drivers[] = {"usbhub", "usbqvtkn", "usbdrv"};

// The build puts the driver fixtures in drivers/nt4 beside this program.
std::string fixtures_dir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string exe = n > 0 ? std::string(buf, (size_t)n) : std::string("./quvactl");
    return exe.substr(0, exe.rfind('/')) + "/drivers/nt4";
}

// setup, quvainst and the three driver files in C:\QUVA\NT4, fresh each time.
bool place_package() {
    std::string dir = k_package;
    if (!winsim::processes::install_program(dir + "\\setup.exe", "setup", {"quvainst.dll"}) ||
        !winsim::disk::install_library(dir + "\\quvainst.dll", "quvainst")) {
        std::cerr << "quvactl: cannot write to " << dir << "\n";
        return false;
    }
    for (const char *d : k_drivers) {
        std::string host = fixtures_dir() + "/" + d + ".sys";
        std::ifstream in(host, std::ios::binary);
        std::vector<BYTE> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (bytes.empty()) {
            std::cerr << "quvactl: the driver fixture " << host << " is missing (build the nt4_drivers target)\n";
            return false;
        }
        if (!winsim::disk::write_file(dir + "\\" + d + ".sys", bytes)) {
            std::cerr << "quvactl: cannot write to " << dir << "\n";
            return false;
        }
    }
    return true;
}

const char *meaning(DWORD code) {
    switch (code) {
    case 0: return "done";
    case 1: return "done, the system must be restarted";
    case 2: return "failed";
    case 0xC0000135: return "quvainst.dll not found";
    default: return "unexpected";
    }
}

} // namespace

int quvactl::run_setup(const std::string &options) {
    if (!place_package()) return -1;
    std::printf("driver package in %s: setup.exe, quvainst.dll, usbhub.sys, usbqvtkn.sys, usbdrv.sys\n", k_package);
    std::string command = std::string("\"") + k_package + "\\setup.exe\"" + options;
    winsim::Machine *m = winsim::current_machine();
    std::printf("running %s on %s\n", command.c_str(), m ? m->profile().title : "no machine");
    DWORD error = 0;
    winsim::user::clear_message_boxes();
    DWORD code = winsim::processes::run(command, &error);
    if (code == (DWORD)-1) {
        std::cerr << "quvactl: the program did not start (error " << error << ")\n";
        return -1;
    }
    auto boxes = winsim::user::message_boxes();
    if (boxes.empty()) std::printf("no message box\n");
    for (auto &b : boxes) std::fputs(winsim::user::render(b).c_str(), stdout);
    std::printf("exit code %lu (%s)\n", (unsigned long)code, meaning(code));
    return (int)code;
}

namespace {

int setup(const Args &args) {
    if (args.empty()) return usage_error("setup needs a machine directory");
    std::string options;
    for (size_t i = 1; i < args.size(); i++) options += " " + args[i];
    auto m = winsim::Machine::load(args[0]);
    int code = run_setup(options);
    if (code < 0) return 1;
    m->save();
    return 0;
}

std::string state_name(DWORD s) {
    switch (s) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "starting";
    case SERVICE_STOP_PENDING: return "stopping";
    case SERVICE_RUNNING: return "running";
    default: return std::to_string(s);
    }
}

std::string start_name(DWORD s) {
    static const char *const names[] = {"boot", "system", "auto", "demand", "disabled"};
    return s < 5 ? names[s] : std::to_string(s);
}

std::string type_name(DWORD t) {
    switch (t & ~(DWORD)SERVICE_INTERACTIVE_PROCESS) {
    case SERVICE_KERNEL_DRIVER: return "kernel driver";
    case SERVICE_FILE_SYSTEM_DRIVER: return "file system driver";
    case SERVICE_WIN32_OWN_PROCESS: return "own process";
    case SERVICE_WIN32_SHARE_PROCESS: return "shared process";
    default: return std::to_string(t);
    }
}

int services(const Args &args) {
    if (args.size() != 1) return usage_error("services needs a machine directory");
    auto m = winsim::Machine::load(args[0]);
    if (!m->profile().nt()) {
        std::printf("%s has no service control manager\n", m->profile().title);
        return 0;
    }
    auto list = winsim::services::list();
    if (list.empty()) {
        std::printf("no services\n");
        return 0;
    }
    std::printf("%-12s %-9s %-8s %-14s %-14s %s\n", "SERVICE", "STATE", "START", "TYPE", "GROUP", "IMAGE");
    for (auto &s : list) {
        std::printf("%-12s %-9s %-8s %-14s %-14s %s%s\n", s.name.c_str(), state_name(s.state).c_str(),
                    start_name(s.start).c_str(), type_name(s.type).c_str(), s.group.empty() ? "-" : s.group.c_str(),
                    s.image_path.c_str(), s.marked_for_delete ? "  (marked for deletion)" : "");
    }
    return 0;
}

Register r1({"setup", "setup DIR [/q] [/u] [/?]", "run the NT 4.0 driver setup program on a machine",
             "Places the driver package (setup.exe, quvainst.dll and the three driver files) in\n"
             "C:\\QUVA\\NT4 and runs setup.exe there with the options given, as a simulated\n"
             "process.  Prints every message box it showed (the user presses the default\n"
             "button, OK) and its exit code: 0 done, 1 restart needed, 2 failed.\n",
             setup});
Register r2({"services", "services DIR", "list the machine's services and their states",
             "Services are the keys under HKLM\\SYSTEM\\CurrentControlSet\\Services with a Type.\n"
             "A machine loaded from its directory has just booted: boot, system and automatic\n"
             "services run, and services marked for deletion are gone.\n",
             services});

} // namespace
