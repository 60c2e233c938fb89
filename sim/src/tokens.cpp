// The token driver: the control device "\\\\.\\QUVADRVR", its four controls,
// the tokens plugged into the machine, and their keeping in tokens.ini.
#include "tokens.h"

#include <winscard.h>

#include "disk.h"
#include "threads.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

namespace fs = std::filesystem;

namespace winsim {
namespace {

const size_t k_log_limit = 4096;

std::string hex(const BYTE *p, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

bool unhex(const std::string &s, std::vector<BYTE> *out) {
    out->clear();
    if (s.size() % 2) return false;
    for (size_t i = 0; i < s.size(); i += 2) {
        unsigned v = 0;
        if (std::sscanf(s.substr(i, 2).c_str(), "%2x", &v) != 1) return false;
        out->push_back((BYTE)v);
    }
    return true;
}

fs::path ini_path(const Machine::Impl &m) { return m.dir / "tokens.ini"; }

// ------------------------------------------------------------ tokens.ini

void configure(PluggedToken &t, const tokens::TokenSpec &spec) {
    BYTE serial[8] = {0x51, 0x56, 0, 0, (BYTE)(t.id >> 24), (BYTE)(t.id >> 16), (BYTE)(t.id >> 8), (BYTE)t.id};
    if (spec.serial.size() == 8) std::memcpy(serial, spec.serial.data(), 8);
    t.token.set_serial(serial);
    t.token.set_name(spec.name.data(), spec.name.size());
    if (!spec.atr.empty())
        t.token.set_atr(spec.atr.data(), spec.atr.size());
    else if (spec.short_atr)
        t.token.set_atr(tokenmodel::k_short_atr, sizeof tokenmodel::k_short_atr);
    if (!spec.descriptor.empty()) t.token.set_descriptor(spec.descriptor.data(), spec.descriptor.size());
    t.token.set_smart_card(spec.smart_card);
}

void load(TokenStack &s, const fs::path &file) {
    std::ifstream in(file);
    if (!in) return;
    std::string line, section;
    PluggedToken *tok = nullptr;
    PhysicalReader *rdr = nullptr;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            tok = nullptr;
            rdr = nullptr;
            if (section.rfind("token ", 0) == 0) {
                auto t = std::make_unique<PluggedToken>();
                t->id = (DWORD)std::strtoul(section.c_str() + 6, nullptr, 10);
                tokens::TokenSpec none;
                configure(*t, none);
                tok = t.get();
                s.tokens[t->id] = std::move(t);
            } else if (section.rfind("reader ", 0) == 0) {
                auto r = std::make_unique<PhysicalReader>();
                r->name = section.substr(7);
                rdr = r.get();
                s.readers.push_back(std::move(r));
            }
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string k = line.substr(0, eq), v = line.substr(eq + 1);
        long n = std::strtol(v.c_str(), nullptr, 0);
        std::vector<BYTE> bytes;
        if (section == "driver") {
            if (k == "present") s.driver_present = n != 0;
            if (k == "version" && unhex(v, &bytes)) s.version = bytes;
            if (k == "next_id") s.next_id = (DWORD)n;
            if (k == "exchange_ms") s.exchange_ms = (DWORD)n;
        } else if (section == "scard") {
            if (k == "service") s.service_running = n != 0;
            if (k == "virtual_readers") s.virtual_count = (int)n;
            if (k == "unavailable") s.unavailable.insert(upper(v));
            if (k == "mute") s.mute.insert(upper(v));
        } else if (tok) {
            if (k == "slot") tok->slot = (int)n;
            if (k == "serial" && unhex(v, &bytes) && bytes.size() == 8) tok->token.set_serial(bytes.data());
            if (k == "name") tok->token.set_name(v.data(), v.size());
            if (k == "atr" && unhex(v, &bytes)) tok->token.set_atr(bytes.data(), bytes.size());
            if (k == "descriptor" && unhex(v, &bytes)) tok->token.set_descriptor(bytes.data(), bytes.size());
            if (k == "smart_card") tok->token.set_smart_card(n != 0);
            if (k == "led") tok->token.set_led((uint16_t)n);
            if (k == "held_elsewhere") tok->held_elsewhere = n != 0;
        } else if (rdr) {
            if (k == "atr" && unhex(v, &bytes)) {
                rdr->atr = bytes;
                rdr->card = !bytes.empty();
            }
            if (k == "protocols") rdr->protocols = (DWORD)n;
        }
    }
    for (auto &kv : s.tokens)
        if (kv.first >= s.next_id) s.next_id = kv.first + 1;
}

void save(const TokenStack &s, const fs::path &file) {
    std::ofstream out(file, std::ios::trunc);
    out << "; tokens and smart-card readers of the simulated machine\n[driver]\n";
    out << "present=" << (s.driver_present ? 1 : 0) << "\n";
    out << "version=" << hex(s.version.data(), s.version.size()) << "\n";
    out << "next_id=" << s.next_id << "\n";
    out << "exchange_ms=" << s.exchange_ms << "\n";
    out << "\n[scard]\nservice=" << (s.service_running ? 1 : 0) << "\n";
    out << "virtual_readers=" << s.virtual_count << "\n";
    for (auto &n : s.unavailable) out << "unavailable=" << n << "\n";
    for (auto &n : s.mute) out << "mute=" << n << "\n";
    for (auto &kv : s.tokens) {
        const PluggedToken &t = *kv.second;
        const tokenmodel::Token &tk = t.token;
        out << "\n[token " << t.id << "]\n";
        out << "slot=" << t.slot << "\n";
        out << "serial=" << hex(tk.serial(), 8) << "\n";
        out << "name=" << std::string(tk.name(), tk.name_length()) << "\n";
        out << "atr=" << hex(tk.atr(), tk.atr_length()) << "\n";
        out << "descriptor=" << hex(tk.descriptor(), tokenmodel::Token::kDescriptorSize) << "\n";
        out << "smart_card=" << (tk.smart_card() ? 1 : 0) << "\n";
        out << "led=" << tk.led() << "\n";
        out << "held_elsewhere=" << (t.held_elsewhere ? 1 : 0) << "\n";
    }
    for (auto &r : s.readers) {
        out << "\n[reader " << r->name << "]\n";
        out << "atr=" << (r->card ? hex(r->atr.data(), r->atr.size()) : std::string()) << "\n";
        out << "protocols=" << r->protocols << "\n";
    }
}

// The driver's view of the machine's tokens.
tokenmodel::TokenSet plugged_set(TokenStack &s) {
    tokenmodel::TokenSet set;
    set.owner = &s;
    set.find = [](void *owner, uint32_t id) -> tokenmodel::DriverToken * {
        auto &tokens = static_cast<TokenStack *>(owner)->tokens;
        auto it = tokens.find(id);
        return it == tokens.end() ? nullptr : it->second.get();
    };
    set.next_above = [](void *owner, uint32_t id) -> tokenmodel::DriverToken * {
        auto &tokens = static_cast<TokenStack *>(owner)->tokens;
        auto it = tokens.upper_bound(id);
        return it == tokens.end() ? nullptr : it->second.get();
    };
    return set;
}

// ------------------------------------------------------------ the device

// One open handle of "\\\\.\\QUVADRVR": the driver's notion of a context.
struct DriverHandle : FileObject {
    std::weak_ptr<TokenStack> stack;
    ~DriverHandle() override {
        auto s = stack.lock();
        if (!s) return;
        WINSIM_LOCK();
        tokenmodel::driver_release(plugged_set(*s), this);
    }
    DWORD ioctl(DWORD code, const void *in, DWORD in_size, void *out, DWORD out_size, DWORD *returned) override {
        {
            WINSIM_LOCK();
            auto s = stack.lock();
            if (!s || !s->driver_present) return ERROR_INVALID_HANDLE;
        }
        DWORD e = run_control(this, 0, false, code, in, in_size, out, out_size, returned);
        return e == k_token_gone ? (DWORD)ERROR_INVALID_HANDLE : e;
    }
};

DWORD open_driver(const std::string &, DWORD, DWORD, DWORD, std::shared_ptr<FileObject> *object) {
    WINSIM_LOCK();
    if (!TS().driver_present) return ERROR_FILE_NOT_FOUND;
    auto h = std::make_shared<DriverHandle>();
    h->stack = TS_shared();
    *object = h;
    return 0;
}

void machine_started(bool loaded) {
    Machine::Impl &m = M();
    m.disk->add_device("QUVADRVR", open_driver);
    // A new machine starts without tokens, whatever an old tokens.ini says.
    if (!loaded) {
        WINSIM_LOCK();
        m.tokens = std::make_shared<TokenStack>();
    }
    // The resource manager's library comes with Windows 2000 and later.
    if (!loaded && m.profile->nt() && m.profile->major >= 5) scard::install_library(true);
}

const bool k_registered = add_life_cycle({machine_started, nullptr});

} // namespace

// ------------------------------------------------------------ the stack

std::shared_ptr<TokenStack> TS_shared() {
    WINSIM_LOCK();
    Machine::Impl &m = M();
    if (!m.tokens) {
        m.tokens = std::make_shared<TokenStack>();
        load(*m.tokens, ini_path(m));
    }
    return m.tokens;
}

TokenStack &TS() { return *TS_shared(); }

void save_token_stack(Machine::Impl &m) {
    WINSIM_LOCK();
    (void)k_registered;
    if (m.tokens) save(*m.tokens, ini_path(m));
}

void stack_changed() { TS().changes++; }

PluggedToken *find_token(DWORD id) {
    auto &t = TS().tokens;
    auto it = t.find(id);
    return it == t.end() ? nullptr : it->second.get();
}

PluggedToken *token_in_slot(int slot) {
    for (auto &kv : TS().tokens)
        if (kv.second->slot == slot) return kv.second.get();
    return nullptr;
}

DWORD driver_code(DWORD code) {
    switch (code) {
    case QUVA_CTL_VERSION:
    case QUVA_RDR_VERSION: return QUVA_CTL_VERSION;
    case QUVA_CTL_OPEN:
    case QUVA_RDR_OPEN: return QUVA_CTL_OPEN;
    case QUVA_CTL_CLOSE:
    case QUVA_RDR_CLOSE: return QUVA_CTL_CLOSE;
    case QUVA_CTL_EXCHANGE:
    case QUVA_RDR_EXCHANGE: return QUVA_CTL_EXCHANGE;
    default: return 0;
    }
}

namespace {

// The instance ID of a token's USB node: a USB device with a serial number
// is named by it.  "" where there is no Plug and Play tree (NT 4.0) or no
// hardware ID.
std::string usb_node(const std::string &hardware_id, const PluggedToken &t) {
    const Profile &p = *M().profile;
    if (hardware_id.empty() || hardware_id.find('\\') == std::string::npos || (p.nt() && p.major < 5)) return "";
    return upper(hardware_id) + "\\" + hex(t.token.serial(), 8);
}

void unplug_locked(DWORD id) {
    TokenStack &s = TS();
    auto it = s.tokens.find(id);
    if (it == s.tokens.end()) return;
    std::string serial = hex(it->second->token.serial(), 8);
    s.tokens.erase(it);
    s.changes++;
    // Its USB node, named by the serial number, goes with it.
    for (auto &d : devices::list())
        if (d.present && d.instance_id.size() > 13 && iequals(d.instance_id.substr(0, 13), "USB\\VID_1F3C&") &&
            iequals(d.instance_id.substr(d.instance_id.rfind('\\') + 1), serial)) {
            devices::unplug(d.instance_id);
            break;
        }
}

} // namespace

DWORD run_control(const void *holder, DWORD fixed, bool smartcard, DWORD code, const void *in_v, DWORD in_size,
                  void *out_v, DWORD out_size, DWORD *returned) {
    const BYTE *in = (const BYTE *)in_v;
    BYTE *out = (BYTE *)out_v;
    std::unique_lock<std::recursive_mutex> lock(big_lock());
    auto keep = TS_shared();
    TokenStack &s = *keep;
    DWORD dcode = driver_code(code);
    tokens::Control entry;
    entry.smartcard = smartcard;
    entry.code = dcode ? dcode : code;
    if (in && in_size) entry.request.assign(in, in + in_size);
    entry.answer_size = out_size;
    auto finish = [&](DWORD e) {
        entry.error = e != k_token_gone ? e : smartcard ? (DWORD)SCARD_W_REMOVED_CARD : (DWORD)ERROR_INVALID_HANDLE;
        if (*returned) entry.answer.assign(out, out + *returned);
        s.log.push_back(std::move(entry));
        while (s.log.size() > k_log_limit) s.log.pop_front();
        return e;
    };
    *returned = 0;

    auto f = s.control_faults.find(dcode);
    if (dcode && f != s.control_faults.end()) {
        TokenStack::Fault &fault = f->second;
        if (fault.skip > 0) {
            fault.skip--;
        } else if (fault.times != 0) {
            if (fault.times > 0) fault.times--;
            return finish(fault.error);
        }
    }

    tokenmodel::DriverToken *checked = nullptr;
    DWORD e = tokenmodel::driver_control(plugged_set(s), {s.version.data(), (uint32_t)s.version.size()}, holder, fixed, dcode,
                                         in, in_size, out, out_size, returned, &checked);
    if (e || !checked) return finish(e);
    PluggedToken *t = static_cast<PluggedToken *>(checked);

    // One token command.
    DWORD id = t->id;
    if (t->remove_next) {
        unplug_locked(id);
        return finish(k_token_gone);
    }
    if (s.exchange_ms) {
        uint64_t deadline = sched::now() + s.exchange_ms;
        uint64_t seen = s.changes.load();
        std::atomic<uint64_t> *changes = &s.changes;
        lock.unlock();
        // Woken early by any change; only the token's going matters.
        for (;;) {
            sched::wait_until([changes, seen] { return changes->load() != seen; }, deadline, "token exchange");
            lock.lock();
            t = find_token(id);
            if (!t) return finish(k_token_gone);
            if (sched::now() >= deadline) break;
            seen = s.changes.load();
            lock.unlock();
        }
        if (t->holder != holder) return finish(ERROR_ACCESS_DENIED);
    }
    return finish(tokenmodel::driver_exchange(*t, in, out, out_size, returned));
}

// ------------------------------------------------------------ control API

namespace tokens {

DWORD plug(const TokenSpec &spec) {
    DWORD id;
    std::string node;
    {
        WINSIM_LOCK();
        TokenStack &s = TS();
        if (!spec.serial.empty() && spec.serial.size() != 8) return 0;
        if (spec.atr.size() > tokenmodel::Token::kMaxAtr) return 0;
        if (spec.descriptor.size() > tokenmodel::Token::kDescriptorSize) return 0;
        int slot = spec.slot;
        if (slot >= 0 && token_in_slot(slot)) return 0;
        if (slot < 0)
            for (slot = 0; token_in_slot(slot);) slot++;
        auto t = std::make_unique<PluggedToken>();
        t->id = s.next_id++;
        t->slot = slot;
        configure(*t, spec);
        id = t->id;
        node = usb_node(spec.hardware_id, *t);
        s.tokens[id] = std::move(t);
        s.changes++;
    }
    // The USB device shows in the device tree, outside the lock: Plug and
    // Play may install its driver.
    if (!node.empty()) devices::plug(spec.hardware_id, node);
    return id;
}

bool unplug(DWORD id) {
    WINSIM_LOCK();
    if (!find_token(id)) return false;
    unplug_locked(id);
    return true;
}

std::vector<DWORD> plugged() {
    WINSIM_LOCK();
    std::vector<DWORD> ids;
    for (auto &kv : TS().tokens) ids.push_back(kv.first);
    return ids;
}

tokenmodel::Token *token(DWORD id) {
    WINSIM_LOCK();
    PluggedToken *t = find_token(id);
    return t ? &t->token : nullptr;
}

int slot(DWORD id) {
    WINSIM_LOCK();
    PluggedToken *t = find_token(id);
    return t ? t->slot : -1;
}

void set_driver_present(bool present) {
    WINSIM_LOCK();
    TS().driver_present = present;
    stack_changed();
}

bool driver_present() {
    WINSIM_LOCK();
    return TS().driver_present;
}

void set_version_answer(const std::vector<BYTE> &answer) {
    WINSIM_LOCK();
    TS().version = answer;
}

void fail_control(DWORD code, DWORD error, int times, int skip) {
    WINSIM_LOCK();
    DWORD d = driver_code(code);
    TS().control_faults[d ? d : code] = TokenStack::Fault{error, times, skip};
}

void hold_elsewhere(DWORD id, bool held) {
    WINSIM_LOCK();
    if (PluggedToken *t = find_token(id)) t->held_elsewhere = held;
    stack_changed();
}

void remove_during_next_exchange(DWORD id) {
    WINSIM_LOCK();
    if (PluggedToken *t = find_token(id)) t->remove_next = true;
}

void set_exchange_time(DWORD ms) {
    WINSIM_LOCK();
    TS().exchange_ms = ms;
}

std::vector<Control> log() {
    WINSIM_LOCK();
    return std::vector<Control>(TS().log.begin(), TS().log.end());
}

void clear_log() {
    WINSIM_LOCK();
    TS().log.clear();
}

} // namespace tokens
} // namespace winsim
