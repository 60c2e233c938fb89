// The smart-card resource manager (WinSCard): contexts, readers, card
// connections with share modes, status waits on the virtual clock, and
// SCardControl routed to the token driver for its virtual readers.
//
// Readers listed, in this order: the driver's virtual readers
// "Vornel Technologies QuvaVirtualReader N" (N from 0 below the count, each
// holding the token plugged into slot N, if any), the physical readers, then
// readers still introduced under the Calais key but not attached (unavailable).
#include <winscard.h>

#include "registry.h"
#include "threads.h"
#include "tokens.h"

#include <cstdio>
#include <cstring>

namespace winsim {
namespace {

const char k_calais[] = "HKLM\\Software\\Microsoft\\Cryptography\\Calais\\Readers";
const char k_virtual_prefix[] = "Vornel Technologies QuvaVirtualReader ";
const char k_pnp_notification[] = "\\\\?PnP?\\Notification";
const int k_max_virtual = 32;

struct ReaderView {
    enum Kind { Virtual, Physical, Introduced } kind = Virtual;
    std::string name;
    int index = -1;                 // virtual readers
    PhysicalReader *phys = nullptr; // physical readers
    PluggedToken *token = nullptr;  // a virtual reader's token
    bool card = false;
    std::vector<BYTE> atr;
    DWORD protocols = 0;
    bool unavailable = false;
    bool mute = false;
    bool held_elsewhere = false;
};

bool read_count(const std::string &key, const char *value, DWORD *count) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!M().registry->get_value(key, value, &type, &data) || data.empty() || data.size() > 4) return false;
    *count = 0;
    for (size_t i = 0; i < data.size(); i++) *count |= (DWORD)data[i] << (8 * i);
    return true;
}

// The virtual readers the enumerator makes, as the driver parameters say.
int count_from_parameters() {
    const Profile &p = *M().profile;
    const std::string services = "HKLM\\System\\CurrentControlSet\\Services\\";
    DWORD n = 0;
    if (p.nt() && p.major >= 5) {
        std::string key = M().registry->key_exists(services + "quvaenum") ? services + "quvaenum" : services + "qvatoken";
        if (!read_count(key, "NumberOfDevices", &n)) n = 0;
    } else if (p.nt() && p.major == 4) {
        if (!read_count(services + "usbqvtkn\\Parameters", "NumberOfDevices", &n)) n = 0;
    } else if (!p.nt() && (p.major > 4 || p.minor > 0)) {
        if (!read_count(services + "VXD\\QUVAVR9X", "NumberOfReaders", &n)) n = 0;
    }
    return n > (DWORD)k_max_virtual ? k_max_virtual : (int)n;
}

std::vector<ReaderView> list_readers() {
    TokenStack &s = TS();
    std::vector<ReaderView> out;
    int count = virtual_reader_count();
    for (int i = 0; i < count; i++) {
        ReaderView r;
        r.kind = ReaderView::Virtual;
        r.name = k_virtual_prefix + std::to_string(i);
        r.index = i;
        r.token = token_in_slot(i);
        if (r.token) {
            r.card = true;
            r.atr.assign(r.token->token.atr(), r.token->token.atr() + r.token->token.atr_length());
            r.protocols = SCARD_PROTOCOL_T1;
            r.held_elsewhere = r.token->held_elsewhere;
        }
        out.push_back(std::move(r));
    }
    for (auto &p : s.readers) {
        ReaderView r;
        r.kind = ReaderView::Physical;
        r.name = p->name;
        r.phys = p.get();
        r.card = p->card;
        r.atr = p->atr;
        r.protocols = p->protocols;
        out.push_back(std::move(r));
    }
    for (auto &n : M().registry->subkeys(k_calais)) {
        bool known = false;
        for (auto &r : out) known = known || iequals(r.name, n);
        if (known) continue;
        ReaderView r;
        r.kind = ReaderView::Introduced;
        r.name = n;
        r.unavailable = true;
        out.push_back(std::move(r));
    }
    for (auto &r : out) {
        std::string key = upper(r.name);
        r.unavailable = r.unavailable || s.unavailable.count(key);
        r.mute = r.card && s.mute.count(key);
    }
    return out;
}

bool find_reader(const std::string &name, ReaderView *view) {
    for (auto &r : list_readers())
        if (iequals(r.name, name)) {
            *view = r;
            return true;
        }
    return false;
}

DWORD reader_bits(const ReaderView &r) {
    if (r.unavailable) return SCARD_STATE_UNAVAILABLE;
    if (!r.card) return SCARD_STATE_EMPTY;
    DWORD b = SCARD_STATE_PRESENT;
    if (r.mute) b |= SCARD_STATE_MUTE;
    auto &use = TS().use;
    auto it = use.find(upper(r.name));
    bool shared = it != use.end() && it->second.shared;
    bool exclusive = it != use.end() && it->second.exclusive;
    if (shared || exclusive || r.held_elsewhere) b |= SCARD_STATE_INUSE;
    if (exclusive) b |= SCARD_STATE_EXCLUSIVE;
    return b;
}

// ------------------------------------------------------------ objects

struct Context : Object {
    Context() : Object(HandleKind::ScardContext) {}
    DWORD scope = 0;
    std::atomic<uint64_t> cancels{0};
    std::vector<HANDLE> cards;
};

struct Card : Object {
    Card() : Object(HandleKind::ScardHandle) {}
    ~Card() override {
        auto s = stack.lock();
        if (!s) return;
        WINSIM_LOCK();
        auto it = s->use.find(key);
        if (it != s->use.end()) {
            if (share == SCARD_SHARE_SHARED) it->second.shared--;
            else it->second.exclusive = false;
            if (it->second.transaction == this) it->second.transaction = nullptr;
            if (!it->second.shared && !it->second.exclusive && !it->second.transaction) s->use.erase(it);
        }
        for (auto &kv : s->tokens)
            if (kv.second->holder == this) kv.second->holder = nullptr;
        s->changes++;
    }
    std::weak_ptr<TokenStack> stack;
    ULONG_PTR context = 0;
    std::string reader, key;
    bool is_virtual = false;
    int index = -1;
    DWORD token_id = 0;        // the token connected to (virtual readers)
    bool had_card = false;
    uint32_t card_serial = 0;  // physical readers
    DWORD share = 0, protocol = 0;
};

std::shared_ptr<Context> get_context(SCARDCONTEXT c) {
    return handle_table::get_as<Context>((HANDLE)c, HandleKind::ScardContext);
}
std::shared_ptr<Card> get_card(SCARDHANDLE h) { return handle_table::get_as<Card>((HANDLE)h, HandleKind::ScardHandle); }

LONG check_context(SCARDCONTEXT c, std::shared_ptr<Context> *out = nullptr) {
    auto ctx = get_context(c);
    if (!ctx) return SCARD_E_INVALID_HANDLE;
    if (!TS().service_running) return SCARD_E_SERVICE_STOPPED;
    if (out) *out = ctx;
    return SCARD_S_SUCCESS;
}

PhysicalReader *physical(const std::string &name) {
    for (auto &p : TS().readers)
        if (iequals(p->name, name)) return p.get();
    return nullptr;
}

// Whether the card a connection was made to is still there.
LONG check_card(SCARDHANDLE h, std::shared_ptr<Card> *out) {
    auto c = get_card(h);
    if (!c) return SCARD_E_INVALID_HANDLE;
    if (!TS().service_running) return SCARD_E_SERVICE_STOPPED;
    *out = c;
    ReaderView r;
    if (!find_reader(c->reader, &r) || r.kind == ReaderView::Introduced) return SCARD_E_READER_UNAVAILABLE;
    if (!c->had_card) return SCARD_S_SUCCESS;
    if (c->is_virtual) {
        if (!r.token || r.token->id != c->token_id) return SCARD_W_REMOVED_CARD;
    } else if (!r.card || r.phys->card_serial != c->card_serial) {
        return SCARD_W_REMOVED_CARD;
    }
    return SCARD_S_SUCCESS;
}

// Power cycles or powers down what a disposition asks for.
void dispose(const Card &c, DWORD disposition) {
    if (disposition != SCARD_RESET_CARD && disposition != SCARD_UNPOWER_CARD) return;
    if (c.is_virtual) {
        PluggedToken *t = find_token(c.token_id);
        if (!t) return;
        if (disposition == SCARD_RESET_CARD) t->token.power_up();
        else t->token.power_down();
    } else if (PhysicalReader *p = physical(c.reader)) {
        p->iso.reset();
    }
}

// Multi-string or byte output with the usual PC/SC size rules.
LONG put_bytes(const void *data, DWORD size, void *buffer, LPDWORD len, ULONG_PTR context) {
    if (!len) return SCARD_S_SUCCESS;
    if (*len == SCARD_AUTOALLOCATE) {
        if (!buffer) return SCARD_E_INVALID_PARAMETER;
        BYTE *block = new BYTE[size ? size : 1];
        std::memcpy(block, data, size);
        TS().allocations[block] = context;
        *(BYTE **)buffer = block;
        *len = size;
        return SCARD_S_SUCCESS;
    }
    if (!buffer) {
        *len = size;
        return SCARD_S_SUCCESS;
    }
    if (*len < size) {
        *len = size;
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    std::memcpy(buffer, data, size);
    *len = size;
    return SCARD_S_SUCCESS;
}

std::string multi_string(const std::vector<std::string> &names) {
    std::string m;
    for (auto &n : names) {
        m += n;
        m += '\0';
    }
    m += '\0';
    return m;
}

bool all_groups(LPCSTR groups) {
    if (!groups) return true;
    static const char *const standard[] = {"SCard$AllReaders", "SCard$DefaultReaders", "SCard$LocalReaders",
                                           "SCard$SystemReaders"};
    for (const char *g = groups; *g; g += std::strlen(g) + 1)
        for (const char *s : standard)
            if (iequals(g, s)) return true;
    return false;
}

std::string library_path() {
    const Profile &p = *M().profile;
    return std::string(p.system_dir) + (p.nt() ? "\\winscard.dll" : "\\WINSCARD.DLL");
}

LONG fault_of(const char *api) { return (LONG)fault(api); }

} // namespace

int virtual_reader_count() {
    TokenStack &s = TS();
    if (!s.driver_present) return 0;
    int n = s.virtual_count >= 0 ? s.virtual_count : count_from_parameters();
    return n > k_max_virtual ? k_max_virtual : n;
}

// ------------------------------------------------------------ control API

namespace scard {

void install_library(bool present) {
    WINSIM_LOCK();
    if (present)
        disk::write_text(library_path(), "WINSIM-IMAGE\r\nbuiltin=winscard\r\n");
    else
        disk::remove(library_path());
}

bool library_installed() {
    WINSIM_LOCK();
    return disk::exists(library_path());
}

void set_service_running(bool running) {
    WINSIM_LOCK();
    TS().service_running = running;
    stack_changed();
}

bool service_running() {
    WINSIM_LOCK();
    return TS().service_running;
}

void set_virtual_readers(int count) {
    WINSIM_LOCK();
    TS().virtual_count = count < 0 ? -1 : count;
    stack_changed();
}

int virtual_readers() {
    WINSIM_LOCK();
    return virtual_reader_count();
}

bool add_reader(const ReaderSpec &spec) {
    WINSIM_LOCK();
    if (spec.name.empty() || physical(spec.name) || spec.atr.size() > 32) return false;
    auto r = std::make_unique<PhysicalReader>();
    r->name = spec.name;
    r->card = !spec.atr.empty();
    r->atr = spec.atr;
    r->protocols = spec.protocols;
    BYTE serial[8] = {0x46, 0x43};
    uint32_t h = 2166136261u;
    for (char c : spec.name) h = (h ^ (BYTE)c) * 16777619u;
    std::memcpy(serial + 4, &h, 4);
    r->iso.set_serial(serial);
    if (spec.introduce) {
        std::string key = std::string(k_calais) + "\\" + spec.name;
        M().registry->set_string(key, "Device", "\\\\.\\SCReader" + std::to_string(TS().readers.size()));
        std::string groups("SCard$DefaultReaders\0\0", 22);
        M().registry->set_value(key, "Groups", REG_MULTI_SZ, std::vector<BYTE>(groups.begin(), groups.end()));
    }
    TS().readers.push_back(std::move(r));
    stack_changed();
    return true;
}

bool remove_reader(const std::string &name) {
    WINSIM_LOCK();
    auto &v = TS().readers;
    for (auto it = v.begin(); it != v.end(); ++it)
        if (iequals((*it)->name, name)) {
            v.erase(it);
            stack_changed();
            return true;
        }
    return false;
}

bool insert_card(const std::string &reader, const std::vector<BYTE> &atr) {
    WINSIM_LOCK();
    PhysicalReader *p = physical(reader);
    if (!p || atr.empty() || atr.size() > 32) return false;
    p->card = true;
    p->atr = atr;
    p->card_serial++;
    p->iso.reset();
    stack_changed();
    return true;
}

bool remove_card(const std::string &reader) {
    WINSIM_LOCK();
    PhysicalReader *p = physical(reader);
    if (!p) return false;
    p->card = false;
    p->atr.clear();
    p->card_serial++;
    stack_changed();
    return true;
}

bool set_unavailable(const std::string &reader, bool unavailable) {
    WINSIM_LOCK();
    ReaderView r;
    if (!find_reader(reader, &r) && unavailable) return false;
    if (unavailable) TS().unavailable.insert(upper(reader));
    else TS().unavailable.erase(upper(reader));
    stack_changed();
    return true;
}

bool set_mute(const std::string &reader, bool mute) {
    WINSIM_LOCK();
    ReaderView r;
    if (!find_reader(reader, &r) && mute) return false;
    if (mute) TS().mute.insert(upper(reader));
    else TS().mute.erase(upper(reader));
    stack_changed();
    return true;
}

std::vector<std::string> reader_names() {
    WINSIM_LOCK();
    std::vector<std::string> names;
    for (auto &r : list_readers()) names.push_back(r.name);
    return names;
}

long outstanding_memory() {
    WINSIM_LOCK();
    return (long)TS().allocations.size();
}

} // namespace scard
} // namespace winsim

using namespace winsim;

// ------------------------------------------------------------ WinSCard

extern "C" {

const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

LONG WINAPI SCardEstablishContext(DWORD scope, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
    if (LONG e = fault_of("SCardEstablishContext")) return e;
    if (!context) return SCARD_E_INVALID_PARAMETER;
    if (scope > SCARD_SCOPE_SYSTEM) return SCARD_E_INVALID_VALUE;
    WINSIM_LOCK();
    if (!TS().service_running) return SCARD_E_NO_SERVICE;
    auto c = std::make_shared<Context>();
    c->scope = scope;
    *context = (SCARDCONTEXT)handle_table::add(c);
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardReleaseContext(SCARDCONTEXT context) {
    if (LONG e = fault_of("SCardReleaseContext")) return e;
    WINSIM_LOCK();
    auto c = get_context(context);
    if (!c) return SCARD_E_INVALID_HANDLE;
    // Connections and buffers of the context go with it.
    for (HANDLE h : c->cards) handle_table::remove(h);
    auto &alloc = TS().allocations;
    for (auto it = alloc.begin(); it != alloc.end();) {
        if (it->second == context) {
            delete[] (BYTE *)it->first;
            it = alloc.erase(it);
        } else {
            ++it;
        }
    }
    c->cancels++;
    handle_table::remove((HANDLE)context);
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardIsValidContext(SCARDCONTEXT context) {
    if (LONG e = fault_of("SCardIsValidContext")) return e;
    WINSIM_LOCK();
    return get_context(context) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG WINAPI SCardFreeMemory(SCARDCONTEXT, LPCVOID memory) {
    if (LONG e = fault_of("SCardFreeMemory")) return e;
    WINSIM_LOCK();
    auto &alloc = TS().allocations;
    auto it = alloc.find(const_cast<void *>(memory));
    if (it == alloc.end()) return SCARD_E_INVALID_PARAMETER;
    delete[] (BYTE *)it->first;
    alloc.erase(it);
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardCancel(SCARDCONTEXT context) {
    if (LONG e = fault_of("SCardCancel")) return e;
    WINSIM_LOCK();
    std::shared_ptr<Context> c;
    if (LONG e = check_context(context, &c)) return e;
    c->cancels++;
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardListReadersA(SCARDCONTEXT context, LPCSTR groups, LPSTR readers, LPDWORD len) {
    if (LONG e = fault_of("SCardListReadersA")) return e;
    WINSIM_LOCK();
    if (context) {
        if (LONG e = check_context(context)) return e;
    } else if (!TS().service_running) {
        return SCARD_E_NO_SERVICE;
    }
    if (!len) return SCARD_E_INVALID_PARAMETER;
    std::vector<std::string> names;
    if (all_groups(groups))
        for (auto &r : list_readers()) names.push_back(r.name);
    if (names.empty()) return SCARD_E_NO_READERS_AVAILABLE;
    std::string m = multi_string(names);
    return put_bytes(m.data(), (DWORD)m.size(), readers, len, context);
}

LONG WINAPI SCardForgetReaderA(SCARDCONTEXT context, LPCSTR name) {
    if (LONG e = fault_of("SCardForgetReaderA")) return e;
    WINSIM_LOCK();
    if (LONG e = check_context(context)) return e;
    if (!name || !*name) return SCARD_E_INVALID_PARAMETER;
    std::string key = std::string(k_calais) + "\\" + name;
    bool introduced = M().registry->key_exists(key);
    ReaderView r;
    if (!introduced && !find_reader(name, &r)) return SCARD_E_UNKNOWN_READER;
    if (introduced && !M().admin) return SCARD_E_NO_ACCESS;
    if (introduced) M().registry->delete_tree(key);
    stack_changed();
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardGetStatusChangeA(SCARDCONTEXT context, DWORD timeout, LPSCARD_READERSTATEA states, DWORD count) {
    if (LONG e = fault_of("SCardGetStatusChangeA")) return e;
    std::shared_ptr<Context> c;
    std::shared_ptr<TokenStack> stack;
    uint64_t cancels;
    {
        WINSIM_LOCK();
        if (LONG e = check_context(context, &c)) return e;
        if (count && !states) return SCARD_E_INVALID_PARAMETER;
        stack = TS_shared();
        cancels = c->cancels.load();
    }
    uint64_t deadline = sched::deadline_after(timeout);
    for (;;) {
        uint64_t seen;
        {
            WINSIM_LOCK();
            if (!stack->service_running) return SCARD_E_SERVICE_STOPPED;
            auto readers = list_readers();
            std::vector<DWORD> bits(count);
            bool any = false;
            for (DWORD i = 0; i < count; i++) {
                SCARD_READERSTATEA &st = states[i];
                if (st.dwCurrentState & SCARD_STATE_IGNORE) continue;
                if (st.szReader && iequals(st.szReader, k_pnp_notification)) {
                    bits[i] = (DWORD)readers.size() << 16;
                    any = any || (st.dwCurrentState >> 16) != readers.size();
                    continue;
                }
                const ReaderView *r = nullptr;
                for (auto &v : readers)
                    if (st.szReader && iequals(v.name, st.szReader)) r = &v;
                if (!r) {
                    st.dwEventState = SCARD_STATE_UNKNOWN | SCARD_STATE_CHANGED;
                    st.cbAtr = 0;
                    return SCARD_E_UNKNOWN_READER;
                }
                bits[i] = reader_bits(*r);
                any = any || (st.dwCurrentState & 0xFFFF & ~(DWORD)SCARD_STATE_CHANGED) != bits[i];
            }
            if (any || count == 0) {
                for (DWORD i = 0; i < count; i++) {
                    SCARD_READERSTATEA &st = states[i];
                    if (st.dwCurrentState & SCARD_STATE_IGNORE) continue;
                    DWORD was = st.dwCurrentState & ~(DWORD)SCARD_STATE_CHANGED;
                    st.dwEventState = bits[i] | (was != bits[i] ? SCARD_STATE_CHANGED : 0);
                    st.cbAtr = 0;
                    for (auto &v : readers)
                        if (st.szReader && iequals(v.name, st.szReader) && v.card) {
                            st.cbAtr = (DWORD)v.atr.size();
                            std::memcpy(st.rgbAtr, v.atr.data(), v.atr.size());
                        }
                }
                return SCARD_S_SUCCESS;
            }
            seen = stack->changes.load();
        }
        if (sched::now() >= deadline) return SCARD_E_TIMEOUT;
        std::atomic<uint64_t> *changes = &stack->changes;
        std::atomic<uint64_t> *cancel = &c->cancels;
        sched::wait_until([=] { return changes->load() != seen || cancel->load() != cancels; }, deadline,
                          "SCardGetStatusChangeA");
        if (c->cancels.load() != cancels) return SCARD_E_CANCELLED;
    }
}

LONG WINAPI SCardConnectA(SCARDCONTEXT context, LPCSTR reader, DWORD share, DWORD preferred, LPSCARDHANDLE card,
                          LPDWORD active) {
    if (LONG e = fault_of("SCardConnectA")) return e;
    WINSIM_LOCK();
    std::shared_ptr<Context> c;
    if (LONG e = check_context(context, &c)) return e;
    if (!reader || !card) return SCARD_E_INVALID_PARAMETER;
    if (share < SCARD_SHARE_EXCLUSIVE || share > SCARD_SHARE_DIRECT) return SCARD_E_INVALID_VALUE;
    ReaderView r;
    if (!find_reader(reader, &r)) return SCARD_E_UNKNOWN_READER;
    if (r.unavailable) return SCARD_E_READER_UNAVAILABLE;
    DWORD protocol = 0;
    if (share != SCARD_SHARE_DIRECT) {
        if (!r.card) return SCARD_E_NO_SMARTCARD;
        if (r.mute) return SCARD_W_UNRESPONSIVE_CARD;
        DWORD both = preferred & r.protocols;
        if (!both) return SCARD_E_PROTO_MISMATCH;
        protocol = (both & SCARD_PROTOCOL_T1) ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    }
    std::string key = upper(r.name);
    ReaderUse &use = TS().use[key];
    bool busy = use.exclusive || (share != SCARD_SHARE_SHARED && (use.shared || r.held_elsewhere));
    if (busy) {
        if (!use.shared && !use.exclusive && !use.transaction) TS().use.erase(key);
        return SCARD_E_SHARING_VIOLATION;
    }
    // The first connection powers the card up.
    if (r.token && !use.shared && !use.exclusive) r.token->token.power_up();
    if (r.phys && r.card && !use.shared && !use.exclusive) r.phys->iso.reset();
    if (share == SCARD_SHARE_SHARED) use.shared++;
    else use.exclusive = true;
    auto k = std::make_shared<Card>();
    k->stack = TS_shared();
    k->context = context;
    k->reader = r.name;
    k->key = key;
    k->is_virtual = r.kind == ReaderView::Virtual;
    k->index = r.index;
    k->token_id = r.token ? r.token->id : 0;
    k->had_card = r.card;
    k->card_serial = r.phys ? r.phys->card_serial : 0;
    k->share = share;
    k->protocol = protocol;
    HANDLE h = handle_table::add(k);
    c->cards.push_back(h);
    *card = (SCARDHANDLE)h;
    if (active) *active = protocol;
    stack_changed();
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardReconnect(SCARDHANDLE card, DWORD share, DWORD preferred, DWORD init, LPDWORD active) {
    if (LONG e = fault_of("SCardReconnect")) return e;
    WINSIM_LOCK();
    std::shared_ptr<Card> k;
    if (LONG e = check_card(card, &k)) return e;
    if (share < SCARD_SHARE_EXCLUSIVE || share > SCARD_SHARE_DIRECT || init > SCARD_EJECT_CARD)
        return SCARD_E_INVALID_VALUE;
    ReaderUse &use = TS().use[k->key];
    bool mine_exclusive = k->share != SCARD_SHARE_SHARED;
    int others_shared = use.shared - (mine_exclusive ? 0 : 1);
    bool others_exclusive = use.exclusive && !mine_exclusive;
    if (others_exclusive || (share != SCARD_SHARE_SHARED && others_shared)) return SCARD_E_SHARING_VIOLATION;
    ReaderView r;
    find_reader(k->reader, &r);
    DWORD protocol = k->protocol;
    if (share != SCARD_SHARE_DIRECT && k->had_card) {
        DWORD both = preferred & r.protocols;
        if (!both) return SCARD_E_PROTO_MISMATCH;
        protocol = (both & SCARD_PROTOCOL_T1) ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    }
    if (mine_exclusive) use.exclusive = false;
    else use.shared--;
    if (share == SCARD_SHARE_SHARED) use.shared++;
    else use.exclusive = true;
    k->share = share;
    k->protocol = protocol;
    dispose(*k, init);
    if (active) *active = protocol;
    stack_changed();
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardDisconnect(SCARDHANDLE card, DWORD disposition) {
    if (LONG e = fault_of("SCardDisconnect")) return e;
    WINSIM_LOCK();
    auto k = get_card(card);
    if (!k) return SCARD_E_INVALID_HANDLE;
    if (disposition > SCARD_EJECT_CARD) return SCARD_E_INVALID_VALUE;
    std::shared_ptr<Card> same;
    if (check_card(card, &same) == SCARD_S_SUCCESS && k->had_card) dispose(*k, disposition);
    if (auto c = get_context(k->context)) {
        auto &v = c->cards;
        for (auto it = v.begin(); it != v.end(); ++it)
            if (*it == (HANDLE)card) {
                v.erase(it);
                break;
            }
    }
    handle_table::remove((HANDLE)card);
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardBeginTransaction(SCARDHANDLE card) {
    if (LONG e = fault_of("SCardBeginTransaction")) return e;
    for (;;) {
        uint64_t seen;
        std::shared_ptr<TokenStack> stack;
        {
            WINSIM_LOCK();
            std::shared_ptr<Card> k;
            if (LONG e = check_card(card, &k)) return e;
            ReaderUse &use = TS().use[k->key];
            if (!use.transaction || use.transaction == k.get()) {
                use.transaction = k.get();
                return SCARD_S_SUCCESS;
            }
            stack = TS_shared();
            seen = stack->changes.load();
        }
        std::atomic<uint64_t> *changes = &stack->changes;
        sched::wait_until([=] { return changes->load() != seen; }, sched::kForever, "SCardBeginTransaction");
    }
}

LONG WINAPI SCardEndTransaction(SCARDHANDLE card, DWORD disposition) {
    if (LONG e = fault_of("SCardEndTransaction")) return e;
    WINSIM_LOCK();
    std::shared_ptr<Card> k;
    if (LONG e = check_card(card, &k)) return e;
    if (disposition > SCARD_EJECT_CARD) return SCARD_E_INVALID_VALUE;
    ReaderUse &use = TS().use[k->key];
    if (use.transaction != k.get()) return SCARD_E_NOT_TRANSACTED;
    use.transaction = nullptr;
    dispose(*k, disposition);
    stack_changed();
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardStatusA(SCARDHANDLE card, LPSTR names, LPDWORD names_len, LPDWORD state, LPDWORD protocol,
                         LPBYTE atr, LPDWORD atr_len) {
    if (LONG e = fault_of("SCardStatusA")) return e;
    WINSIM_LOCK();
    std::shared_ptr<Card> k;
    LONG e = check_card(card, &k);
    if (e == SCARD_W_REMOVED_CARD && state) *state = SCARD_ABSENT;
    if (e) return e;
    ReaderView r;
    find_reader(k->reader, &r);
    if (state) *state = !r.card ? SCARD_ABSENT : (k->share == SCARD_SHARE_DIRECT ? SCARD_PRESENT : SCARD_SPECIFIC);
    if (protocol) *protocol = k->protocol;
    std::string m = multi_string({k->reader});
    // Both sizes are reported even when one of the buffers is too small.
    LONG e1 = put_bytes(m.data(), (DWORD)m.size(), names, names_len, k->context);
    LONG e2 = put_bytes(r.atr.data(), (DWORD)r.atr.size(), atr, atr_len, k->context);
    return e1 ? e1 : e2;
}

LONG WINAPI SCardTransmit(SCARDHANDLE card, LPCSCARD_IO_REQUEST send_pci, LPCBYTE send, DWORD send_len,
                          LPSCARD_IO_REQUEST, LPBYTE recv, LPDWORD recv_len) {
    if (LONG e = fault_of("SCardTransmit")) return e;
    WINSIM_LOCK();
    std::shared_ptr<Card> k;
    if (LONG e = check_card(card, &k)) return e;
    if (!send_pci || !send || !recv_len || (!recv && *recv_len)) return SCARD_E_INVALID_PARAMETER;
    if (!k->had_card || k->share == SCARD_SHARE_DIRECT) return SCARD_E_NOT_READY;
    if (send_pci->dwProtocol != k->protocol) return SCARD_E_PROTO_MISMATCH;
    BYTE response[tokenmodel::IsoCard::kMaxResponse];
    size_t n;
    if (k->is_virtual) {
        PluggedToken *t = find_token(k->token_id);
        n = t->token.card().process(send, send_len, response);
    } else {
        n = physical(k->reader)->iso.process(send, send_len, response);
    }
    if (*recv_len < n) {
        *recv_len = (DWORD)n;
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    std::memcpy(recv, response, n);
    *recv_len = (DWORD)n;
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardControl(SCARDHANDLE card, DWORD code, LPCVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                         LPDWORD returned) {
    if (LONG e = fault_of("SCardControl")) return e;
    std::shared_ptr<Card> k;
    DWORD fixed = 0;
    {
        WINSIM_LOCK();
        if (LONG e = check_card(card, &k)) return e;
        if (!returned || (!in && in_size) || (!out && out_size)) return SCARD_E_INVALID_PARAMETER;
        *returned = 0;
        // The driver's codes are its virtual readers' business only.
        if (!k->is_virtual) return ERROR_INVALID_FUNCTION;
        DWORD d = driver_code(code);
        if (!d || code == d) return ERROR_INVALID_FUNCTION;
        fixed = k->token_id;
        if (!fixed && d != QUVA_CTL_VERSION) return SCARD_E_NO_SMARTCARD;
    }
    DWORD e = run_control(k.get(), fixed, true, code, in, in_size, out, out_size, returned);
    return e == k_token_gone ? SCARD_W_REMOVED_CARD : (LONG)e;
}

} // extern "C"
