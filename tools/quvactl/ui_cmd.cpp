// quvactl ui pin|newpin|changepin|name|select|wait|message: the dialogs
// library's exports on a machine, answered by a scripted user (--answer) or
// by the person at the terminal.
#include "cli.h"
#include "installer_lib.h"
#include "operations.h"

#include "../../token/quvab2.h"

#include <tokenmodel/token.h>
#include <winsim/sim.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace quvactl;

namespace {

using Bytes = std::vector<BYTE>;

// ------------------------------------------------------------ libraries

// Loads a library by file name as an application would, first copying it
// into the system directory when the machine does not have it.
HMODULE load_or_install(const char *file, const char *image) {
    HMODULE h = LoadLibraryA(file);
    if (h) return h;
    char dir[MAX_PATH] = "";
    GetSystemDirectoryA(dir, sizeof dir);
    winsim::disk::install_library(std::string(dir) + "\\" + file + ".DLL", image);
    return LoadLibraryA(file);
}

template <class F> F proc(HMODULE h, const char *name) { return h ? (F)(void *)GetProcAddress(h, name) : nullptr; }

// The token library under the file name the dialogs library binds, so that
// contexts made here are the ones it works on.
struct TokenApi {
    HMODULE h = nullptr;
    decltype(&quva_CreateContext) create = nullptr;
    decltype(&quva_DeleteContext) destroy = nullptr;
    decltype(&quva_OpenDevice) open = nullptr;
    decltype(&quva_CloseDevice) close = nullptr;
    decltype(&quva_GetProperty) get = nullptr;
    TokenApi() {
        h = load_or_install("QuvaAPI", "QUVAB2");
        create = proc<decltype(create)>(h, "quva_CreateContext");
        destroy = proc<decltype(destroy)>(h, "quva_DeleteContext");
        open = proc<decltype(open)>(h, "quva_OpenDevice");
        close = proc<decltype(close)>(h, "quva_CloseDevice");
        get = proc<decltype(get)>(h, "quva_GetProperty");
    }
    ~TokenApi() {
        if (h) FreeLibrary(h);
    }
    bool ok() const { return create && destroy && open && close && get; }
};

struct UiLib {
    HMODULE h = nullptr;
    UiLib() { h = load_or_install("QUVAUI", "QUVAUI"); }
    ~UiLib() {
        if (h) FreeLibrary(h);
    }
    std::string message(DWORD code) const {
        auto get = proc<DWORD(WINAPI *)(DWORD, LPSTR, DWORD)>(h, "quvaUI_GetErrorMsgA");
        char buf[256] = "";
        return get && get(code, buf, sizeof buf) ? buf : "";
    }
};

// ------------------------------------------------------------ the user

struct Action {
    std::string verb, arg;
};

// "type:3104=1234" -> {type, 3104=1234}; "ok" -> {ok, ""}.
Action parse_action(const std::string &text) {
    size_t colon = text.find(':');
    if (colon == std::string::npos) return {text, ""};
    return {text.substr(0, colon), text.substr(colon + 1)};
}

struct Session {
    std::vector<Action> answers; // empty: interactive
    bool interactive = false;
    bool plain = false;          // typed entries shown as typed
    std::string error;           // a bad answer, reported after the dialog
};

std::string shown_entry(const Session &s, const std::string &text) {
    return s.plain ? text : std::string(text.size(), '*');
}

void print_leds() {
    auto ids = winsim::tokens::plugged();
    if (ids.empty()) std::printf("  (no tokens plugged in)\n");
    for (DWORD id : ids) {
        tokenmodel::Token *t = winsim::tokens::token(id);
        if (!t) continue;
        std::string name(t->name(), t->name_length());
        name = name.empty() ? "(no name)" : "\"" + name + "\"";
        std::printf("  token %lu  %-20s LED state %u, changed %lu times\n", (unsigned long)id, name.c_str(),
                    (unsigned)t->led(), (unsigned long)t->led_changes());
    }
}

// Performs one action on the dialog; false when it was not understood.
bool perform(winsim::user::DialogUser &u, const Action &a, Session &s) {
    const std::string &v = a.verb;
    if (v == "type") {
        size_t eq = a.arg.find('=');
        DWORD id = 0;
        if (eq == std::string::npos || !parse_number(a.arg.substr(0, eq), &id)) return false;
        std::string text = a.arg.substr(eq + 1);
        std::printf("> type %lu %s\n", (unsigned long)id, shown_entry(s, text).c_str());
        u.type((int)id, text);
    } else if (v == "clear") {
        DWORD id = 0;
        if (!parse_number(a.arg, &id)) return false;
        std::printf("> clear %lu\n", (unsigned long)id);
        u.clear((int)id);
    } else if (v == "click" || v == "ok" || v == "cancel") {
        DWORD id = v == "ok" ? IDOK : v == "cancel" ? IDCANCEL : 0;
        if (v == "click" && !parse_number(a.arg, &id)) return false;
        std::printf("> click %s\n", id == IDOK ? "OK" : id == IDCANCEL ? "Cancel" : a.arg.c_str());
        if (!u.click((int)id)) std::printf("  (button %lu is not there or not enabled)\n", (unsigned long)id);
    } else if (v == "close") {
        std::printf("> close\n");
        u.close();
    } else if (v == "select" || v == "double") {
        std::printf("> %s \"%s\"\n", v == "select" ? "select" : "double-click", a.arg.c_str());
        bool done;
        if (!a.arg.empty() && a.arg[0] == '#')
            done = v == "select" ? u.select_row(3107, std::atoi(a.arg.c_str() + 1))
                                 : u.double_click_row(3107, std::atoi(a.arg.c_str() + 1));
        else if (v == "select")
            done = u.select_row(3107, a.arg);
        else {
            // A double click on the first row holding the text.
            int row = -1;
            auto info = u.info();
            if (auto *list = info.control(3107))
                for (size_t i = 0; i < list->rows.size() && row < 0; i++)
                    if (list->rows[i].find(a.arg) != std::string::npos) row = (int)i;
            done = row >= 0 && u.double_click_row(3107, row);
        }
        if (!done) std::printf("  (no such row)\n");
    } else if (v == "wait") {
        double seconds = std::atof(a.arg.c_str());
        if (seconds <= 0) return false;
        std::printf("> wait %s s\n", a.arg.c_str());
        u.wait_ms((DWORD)(seconds * 1000 + 0.5));
    } else if (v == "show") {
        std::printf("%s", u.render().c_str());
    } else if (v == "leds") {
        print_leds();
    } else if (v == "unplug") {
        DWORD id = 0;
        if (!parse_number(a.arg, &id)) return false;
        std::printf("> unplug token %lu\n", (unsigned long)id);
        if (!winsim::tokens::unplug(id)) std::printf("  (no token %lu is plugged in)\n", (unsigned long)id);
    } else if (v == "plug") {
        winsim::tokens::TokenSpec spec;
        spec.name = a.arg.substr(0, 32);
        DWORD id = winsim::tokens::plug(spec);
        std::printf("> plug \"%s\": token %lu\n", spec.name.c_str(), (unsigned long)id);
    } else {
        return false;
    }
    return true;
}

const char k_interactive_help[] =
    "commands: type ID TEXT | clear ID | click ID | ok | cancel | close | select TEXT | select #ROW |\n"
    "          double TEXT | wait SECONDS | show | leds | plug NAME | unplug ID | help\n"
    "(end of input cancels the dialog)\n";

// "type 3104 1234" -> {type, 3104=1234}; "select Quva A1" -> {select, Quva A1}.
Action parse_command(const std::string &line) {
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    std::string rest;
    std::getline(in, rest);
    size_t start = rest.find_first_not_of(' ');
    rest = start == std::string::npos ? "" : rest.substr(start);
    if (verb == "type") {
        size_t sp = rest.find(' ');
        if (sp != std::string::npos) rest = rest.substr(0, sp) + "=" + rest.substr(sp + 1);
    }
    return {verb, rest};
}

// The script every dialog of the call gets.
void run_user(winsim::user::DialogUser &u, Session &s) {
    std::printf("%s", u.render().c_str());
    if (s.interactive) {
        std::printf("%s", k_interactive_help);
        std::string line;
        while (u.alive()) {
            std::printf("ui> ");
            std::fflush(stdout);
            if (!std::getline(std::cin, line)) {
                std::printf("\n> cancel (end of input)\n");
                if (!u.click(IDCANCEL)) u.close();
                break;
            }
            if (line.find_first_not_of(' ') == std::string::npos) continue;
            Action a = parse_command(line);
            if (a.verb == "help") {
                std::printf("%s", k_interactive_help);
                continue;
            }
            if (!perform(u, a, s)) {
                std::printf("  (not understood; try help)\n");
                continue;
            }
            if (u.alive() && a.verb != "show" && a.verb != "leds") std::printf("%s", u.render().c_str());
        }
        return;
    }
    for (const Action &a : s.answers) {
        if (!u.alive()) break;
        if (!perform(u, a, s)) {
            s.error = "answer not understood: " + a.verb + (a.arg.empty() ? "" : ":" + a.arg);
            break;
        }
    }
    if (!u.alive()) return;
    // Out of answers: give timers a minute to end the dialog, then cancel it.
    if (u.wait_until([](const winsim::user::DialogInfo &) { return false; }, 60000)) return;
    if (u.alive()) {
        std::printf("> cancel (no more answers)\n");
        if (!u.click(IDCANCEL)) u.close();
    }
}

// ------------------------------------------------------------ options

struct Options {
    Args positional;
    std::map<std::string, std::string> values;
    std::vector<std::string> answers;
    bool has(const std::string &o) const { return values.count(o) != 0; }
    std::string get(const std::string &o, const std::string &def = "") const {
        auto it = values.find(o);
        return it == values.end() ? def : it->second;
    }
};

const std::vector<std::string> k_value_options = {"--kind",  "--class", "--min",    "--len",    "--title",
                                                  "--prompt", "--count", "--serial", "--flags", "--min-current",
                                                  "--len-current", "--current-flags", "--initial", "--token"};
const std::vector<std::string> k_flag_options = {"--binary", "--words", "--plain", "--serial-shown", "--insert",
                                                 "--remove"};

bool parse_options(const Args &args, Options *o, std::string *error) {
    for (size_t i = 0; i < args.size(); i++) {
        const std::string &a = args[i];
        if (a.rfind("--", 0) != 0) {
            o->positional.push_back(a);
            continue;
        }
        bool takes = a == "--answer";
        for (auto &n : k_value_options) takes = takes || n == a;
        bool flag = false;
        for (auto &n : k_flag_options) flag = flag || n == a;
        if (takes) {
            if (i + 1 >= args.size()) {
                *error = a + " needs a value";
                return false;
            }
            if (a == "--answer")
                o->answers.push_back(args[++i]);
            else
                o->values[a] = args[++i];
        } else if (flag) {
            o->values[a] = "1";
        } else {
            *error = "unknown option " + a;
            return false;
        }
    }
    return true;
}

// The PIN dialogs' flags word from --kind, --class, --binary, --words, --plain, --flags.
bool pin_flags(const Options &o, DWORD *flags, std::string *error) {
    static const std::map<std::string, DWORD> kinds = {{"generic", 0},          {"password", 0x00100000},
                                                       {"unblock", 0x00200000}, {"so", 0x00400000},
                                                       {"user", 0x00800000}};
    static const std::map<std::string, DWORD> classes = {{"any", 0},          {"numeric", 0x01000000},
                                                         {"alpha", 0x02000000}, {"alnum", 0x03000000},
                                                         {"hex", 0x04000000},   {"packed", 0x08000000}};
    DWORD f = 0;
    std::string kind = o.get("--kind", "generic"), cls = o.get("--class", "any");
    if (!kinds.count(kind)) {
        *error = "--kind takes generic, password, unblock, so or user";
        return false;
    }
    if (!classes.count(cls)) {
        *error = "--class takes any, numeric, alpha, alnum, hex or packed";
        return false;
    }
    f |= kinds.at(kind) | classes.at(cls);
    if (o.has("--words")) f |= 0x20000000;
    if (o.has("--binary")) f |= 0x40000000;
    if (o.has("--plain")) f |= 0x80000000;
    if (o.has("--flags")) {
        DWORD extra = 0;
        if (!parse_number(o.get("--flags"), &extra)) {
            *error = "--flags takes a number";
            return false;
        }
        f |= extra;
    }
    *flags = f;
    return true;
}

bool number_option(const Options &o, const char *name, DWORD def, DWORD *out, std::string *error) {
    *out = def;
    if (!o.has(name)) return true;
    if (parse_number(o.get(name), out)) return true;
    *error = std::string(name) + " takes a number";
    return false;
}

const char *opt_text(const Options &o, const char *name) {
    auto it = o.values.find(name);
    return it == o.values.end() ? nullptr : it->second.c_str();
}

// What the dialogs library answered, in words.
void print_result(const UiLib &ui, DWORD result) {
    std::string text = ui.message(result);
    std::printf("result: %lu (%s)\n", (unsigned long)result, text.empty() ? "no message" : text.c_str());
}

void print_entry(const char *what, const BYTE *buf, DWORD length, DWORD flags, bool binary) {
    if (binary) {
        std::printf("%s: %lu byte(s): %s\n", what, (unsigned long)length, hex(buf, length).c_str());
        return;
    }
    std::string text((const char *)buf, strnlen((const char *)buf, length));
    std::printf("%s: %lu character(s) \"%s\": %s\n", what, (unsigned long)length,
                (flags & 0x80000000) ? text.c_str() : std::string(text.size(), '*').c_str(),
                hex(buf, text.size()).c_str());
}

// The token a context is open on, as the selection dialog would list it.
void print_open_token(const TokenApi &api, QUVA_CONTEXT c) {
    BYTE serial[8] = {};
    char name[33] = {};
    if (api.get(c, QUVA_PROP_SERIAL, 0, serial, sizeof serial) != QUVA_OK) {
        std::printf("the context has no token open\n");
        return;
    }
    api.get(c, QUVA_PROP_NAME, 0, name, 32);
    std::printf("the context is open on the token with serial %s%s%s%s\n", hex(serial, 8, "").c_str(),
                name[0] ? " (\"" : "", name, name[0] ? "\")" : "");
}

// ------------------------------------------------------------ commands

using Kind = DialogKind;

// `here`: on the machine already loaded, with no DIR among the arguments.
int run_dialog(Kind kind, const Args &args, bool here = false) {
    Options o;
    std::string error;
    if (!parse_options(args, &o, &error)) return usage_error(error);
    if (o.positional.size() != (here ? 0 : 1)) return usage_error("ui needs a machine directory");
    Session session;
    session.interactive = o.answers.empty();
    for (auto &a : o.answers) session.answers.push_back(parse_action(a));

    DWORD flags = 0, min = 0, len = 8, min_current = 0, len_current = 0, current_flags = 0, count = 0xFFFFFFFF;
    if (kind == Kind::Pin || kind == Kind::NewPin || kind == Kind::ChangePin) {
        if (!pin_flags(o, &flags, &error)) return usage_error(error);
        session.plain = (flags & 0x80000000) != 0;
    }
    if (kind == Kind::Name) {
        session.plain = true;
        len = 33;
        if (o.has("--flags") && !parse_number(o.get("--flags"), &flags)) return usage_error("--flags takes a number");
    }
    if (!number_option(o, "--min", 0, &min, &error) || !number_option(o, "--len", len, &len, &error) ||
        !number_option(o, "--min-current", min, &min_current, &error) ||
        !number_option(o, "--len-current", len, &len_current, &error) ||
        !number_option(o, "--current-flags", flags, &current_flags, &error))
        return usage_error(error);
    if (o.has("--count")) {
        std::string c = o.get("--count");
        if (c == "none" || c == "-1")
            count = 0xFFFFFFFF;
        else if (!parse_number(c, &count))
            return usage_error("--count takes a number of seconds, or none");
    }
    Bytes serial;
    if (o.has("--serial") && !parse_serial(o.get("--serial"), &serial))
        return usage_error("--serial takes 16 hex digits or the shown form 0807-0605-0403-0201");
    if (kind == Kind::Select) {
        if (o.has("--flags") && !parse_number(o.get("--flags"), &flags)) return usage_error("--flags takes a number");
        if (o.has("--serial-shown")) flags |= 0x80000000;
    }
    if (kind == Kind::Wait) {
        if (o.has("--flags")) {
            if (!parse_number(o.get("--flags"), &flags)) return usage_error("--flags takes a number");
        } else {
            if (!o.has("--insert") && !o.has("--remove")) return usage_error("ui wait needs --insert or --remove");
            if (o.has("--insert")) flags |= 0x40000000;
            if (o.has("--remove")) flags |= 0x80000000;
            if (!serial.empty()) flags |= QUVA_OPEN_LAST; // one particular token
        }
    }

    std::unique_ptr<winsim::Machine> m;
    if (!here && !(m = load_machine(o.positional[0]))) return 1;
    int rc = 0;
    {
        UiLib ui;
        TokenApi api;
        if (!ui.h || !api.ok()) {
            std::cerr << "quvactl: the dialogs or token library does not load on this machine\n";
            return 1;
        }
        winsim::user::clear_dialog_rules();
        winsim::user::on_dialog(0, [&session](winsim::user::DialogUser &u) { run_user(u, session); });
        winsim::user::on_message_box_shown([](const winsim::user::ShownBox &box) {
            std::printf("%s", winsim::user::render(box).c_str());
            return 0; // the box's default button
        });

        // A context when the dialog needs one (select, wait) or --token asks for one.
        QUVA_CONTEXT context = nullptr;
        bool want_context = kind == Kind::Select || kind == Kind::Wait || o.has("--token");
        if (want_context && api.create(&context, 0, 512) != QUVA_OK) {
            std::cerr << "quvactl: no token context\n";
            return 1;
        }
        if (o.has("--token")) {
            std::string t = o.get("--token");
            Bytes s;
            DWORD r = t == "first" ? api.open(context, QUVA_OPEN_FIRST, nullptr)
                      : parse_serial(t, &s) ? api.open(context, QUVA_OPEN_BY_ID, s.data())
                                            : QUVA_ERR_INVALID_PARAMETER;
            std::printf("opened the token for the dialog: %s\n", r == QUVA_OK ? "yes" : ui.message(r).c_str());
        } else if (kind == Kind::Wait && (flags & 0x80000000) && !serial.empty()) {
            // A removal wait for one token watches the token last opened.
            DWORD r = api.open(context, QUVA_OPEN_BY_ID, serial.data());
            std::printf("opened token %s for the wait: %s\n", hex(serial.data(), 8, "").c_str(),
                        r == QUVA_OK ? "yes" : ui.message(r).c_str());
        }

        const char *title = opt_text(o, "--title"), *prompt = opt_text(o, "--prompt");
        DWORD result = 0;
        switch (kind) {
        case Kind::Pin:
        case Kind::NewPin: {
            auto fn = proc<DWORD(WINAPI *)(QUVA_CONTEXT, DWORD, LPCSTR, LPCSTR, DWORD, LPBYTE, LPDWORD)>(
                ui.h, kind == Kind::Pin ? "quvaUI_DlgGetPINA" : "quvaUI_DlgNewPINA");
            if (!fn) {
                std::cerr << "quvactl: the dialogs library has no such dialog\n";
                rc = 1;
                break;
            }
            std::vector<BYTE> buf(len + 8, 0);
            DWORD length = len;
            result = fn(context, flags, title, prompt, min, buf.data(), &length);
            print_result(ui, result);
            if (result == QUVA_OK) print_entry("returned", buf.data(), length, flags, (flags & 0x40000000) != 0);
            break;
        }
        case Kind::ChangePin: {
            auto fn = proc<DWORD(WINAPI *)(QUVA_CONTEXT, DWORD, DWORD, LPCSTR, LPCSTR, DWORD, LPBYTE, LPDWORD, DWORD,
                                           LPBYTE, LPDWORD)>(ui.h, "quvaUI_DlgChangePINA");
            if (!fn) {
                std::cerr << "quvactl: the dialogs library has no change-PIN dialog\n";
                rc = 1;
                break;
            }
            std::vector<BYTE> cur(len_current + 8, 0), neu(len + 8, 0);
            DWORD cur_len = len_current, new_len = len;
            result = fn(context, current_flags, flags, title, prompt, min_current, cur.data(), &cur_len, min, neu.data(),
                        &new_len);
            print_result(ui, result);
            if (result == QUVA_OK) {
                print_entry("current", cur.data(), cur_len, current_flags | (flags & 0x80000000),
                            (current_flags & 0x40000000) != 0);
                print_entry("new", neu.data(), new_len, flags, (flags & 0x40000000) != 0);
            }
            break;
        }
        case Kind::Name: {
            auto fn = proc<DWORD(WINAPI *)(QUVA_CONTEXT, DWORD, LPCSTR, LPCSTR, LPSTR, DWORD)>(
                ui.h, "quvaUI_DlgGetTokenNameA");
            if (!fn) {
                std::cerr << "quvactl: the dialogs library has no name dialog\n";
                rc = 1;
                break;
            }
            std::vector<char> buf(len + 8, 0);
            std::string initial = o.get("--initial");
            std::strncpy(buf.data(), initial.c_str(), len ? len - 1 : 0);
            result = fn(context, flags, title, prompt, buf.data(), len);
            print_result(ui, result);
            if (result == QUVA_OK) std::printf("name: \"%s\"\n", buf.data());
            break;
        }
        case Kind::Select: {
            auto fn = proc<DWORD(WINAPI *)(QUVA_CONTEXT, DWORD, LPCSTR, LPCSTR, LPVOID)>(ui.h,
                                                                                        "quvaUI_DlgSelectDeviceA");
            result = fn ? fn(context, flags, title, prompt, nullptr) : QUVA_ERR_LIBRARY_VERSION;
            print_result(ui, result);
            if (result == QUVA_OK) print_open_token(api, context);
            break;
        }
        case Kind::Wait: {
            auto fn = proc<DWORD(WINAPI *)(QUVA_CONTEXT, DWORD, LPCSTR, LPCSTR, LPVOID, DWORD)>(
                ui.h, "quvaUI_DlgWaitForDeviceA");
            result = fn ? fn(context, flags, title, prompt, serial.empty() ? nullptr : serial.data(), count)
                        : QUVA_ERR_LIBRARY_VERSION;
            print_result(ui, result);
            if (result == QUVA_OK && (flags & 0xC0000000) == 0x40000000) print_open_token(api, context);
            break;
        }
        }
        if (context) api.destroy(context);
        winsim::user::clear_dialog_rules();
        winsim::user::on_message_box_shown(nullptr);
        if (!session.error.empty()) {
            std::cerr << "quvactl: " << session.error << "\n";
            rc = 2;
        }
        if (rc == 0 && result != QUVA_OK) rc = 1;
    }
    if (m) m->save();
    return rc;
}

} // namespace

int quvactl::show_dialog(DialogKind kind, const Args &options) { return run_dialog(kind, options, true); }

namespace {

int ui_message(const Args &args) {
    if (args.size() != 2) return usage_error("ui message needs a machine directory and a status code");
    DWORD code = 0;
    if (!parse_number(args[1], &code)) return usage_error("the status code must be a number");
    auto m = winsim::Machine::load(args[0]);
    UiLib ui;
    std::string text = ui.message(code);
    std::printf("%lu: %s\n", (unsigned long)code, text.empty() ? "(no message)" : text.c_str());
    return 0;
}

const char k_answers_help[] =
    "Without --answer the dialog is drawn here and commands are read from the\n"
    "terminal (type 'help').  Each --answer is one action, done in order:\n"
    "  type:ID=TEXT   type into edit ID (3104, 3105, 3106)     clear:ID\n"
    "  click:ID  ok  cancel  close                             wait:SECONDS\n"
    "  select:TEXT  select:#ROW  double:TEXT  (list 3107)      show  leds\n"
    "  plug:NAME  unplug:ID   (a token comes or goes meanwhile)\n"
    "When the answers run out the dialog gets a virtual minute to end by itself,\n"
    "then Cancel.  Message boxes are answered with their default button.\n";

const char k_pin_help[] =
    "  --kind generic|password|unblock|so|user   --class any|numeric|alpha|alnum|hex|packed\n"
    "  --binary --words --plain   (PIN_BINARY, PIN_WORDS, PIN_PLAIN)   --flags N (ORed in)\n"
    "  --min N   --len L (the buffer's size, default 8)   --title T   --prompt P\n"
    "  --token first|SERIAL   open a token in a context, so that its LED blinks\n";

std::string help(const char *specific) { return std::string(specific) + "\n" + k_answers_help; }

Register r1({"ui pin", "ui pin DIR [OPTIONS] [--answer ACTION...]", "show the enter-PIN dialog (quvaUI_DlgGetPINA)",
             help(k_pin_help), [](const Args &a) { return run_dialog(Kind::Pin, a); }});
Register r2({"ui newpin", "ui newpin DIR [OPTIONS] [--answer ACTION...]", "show the new-PIN dialog (quvaUI_DlgNewPINA)",
             help(k_pin_help), [](const Args &a) { return run_dialog(Kind::NewPin, a); }});
Register r3({"ui changepin", "ui changepin DIR [OPTIONS] [--answer ACTION...]",
             "show the change-PIN dialog (quvaUI_DlgChangePINA)",
             help((std::string(k_pin_help) +
                   "  --min-current N --len-current L --current-flags N   the current entry (default as the new)\n")
                      .c_str()),
             [](const Args &a) { return run_dialog(Kind::ChangePin, a); }});
Register r4({"ui name", "ui name DIR [--initial NAME] [--len SIZE] [--answer ACTION...]",
             "show the token-name dialog (quvaUI_DlgGetTokenNameA)",
             help("  --initial NAME  the current name   --len SIZE  the buffer's size (default 33)\n"
                  "  --title T --prompt P --token first|SERIAL --flags N\n"),
             [](const Args &a) { return run_dialog(Kind::Name, a); }});
Register r5({"ui select", "ui select DIR [--serial-shown] [--answer ACTION...]",
             "choose a token (quvaUI_DlgSelectDeviceA)",
             help("  --serial-shown  rows show the serial (SELECT_SHOW_SERIAL)   --flags N   --title T --prompt P\n"
                  "With one token present it is opened without a dialog.\n"),
             [](const Args &a) { return run_dialog(Kind::Select, a); }});
Register r6({"ui wait", "ui wait DIR --insert|--remove [--serial S] [--count N] [--answer ACTION...]",
             "wait for a token to be inserted or removed (quvaUI_DlgWaitForDeviceA)",
             help("  --serial S  one particular token (wait mode 2); removal: it is opened first\n"
                  "  --count N   time limit in seconds (default none)   --flags N (instead of the above)\n"
                  "  --title T --prompt P\n"),
             [](const Args &a) { return run_dialog(Kind::Wait, a); }});
Register r7({"ui message", "ui message DIR CODE", "print a token status code's message (quvaUI_GetErrorMsgA)", "",
             ui_message});

} // namespace
