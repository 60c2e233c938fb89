// Simulated threads on a virtual clock.  Only the thread holding the baton
// runs; when it blocks, the baton goes to the next runnable thread in FIFO
// order, and when nothing can run, time jumps to the earliest deadline.  The
// same program therefore gives the same interleaving and times on every run.
#include "threads.h"
#include "user.h"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace winsim {

namespace {

constexpr DWORD kFirstThreadId = 0x400;
// Scheduling rounds in which only timers fired and nobody woke: past this a
// timer is re-arming itself for a thread that will never run again.
constexpr long kMaxIdleRounds = 1L << 20;
// GetTickCount calls without blocking: past this a thread is busy-waiting for
// virtual time, which passes only while every thread waits.
constexpr long kMaxPolls = 1L << 24;

enum class State { Running, Ready, Blocked, Suspended, Exited };

struct SimThread {
    DWORD id = 0;
    DWORD pid = sched::kProcessId;
    uint64_t gen = 0;
    std::string name;
    bool host = false; // joined by calling in, not started by spawn()
    bool terminating = false; // TerminateThread: unwinds when it next runs
    State state = State::Ready;
    std::condition_variable cv;
    // While blocked (the predicate lives on the blocked thread's stack).
    const std::function<bool()> *ready = nullptr;
    uint64_t deadline = sched::kForever;
    std::string what;
    // Started by spawn().
    std::function<DWORD()> body;
    std::shared_ptr<ThreadObject> object;
    DWORD suspend_count = 0;
    DWORD exit_code = 0;
    pthread_t pthread{};
    bool joinable = false;
};

struct Sched {
    std::mutex mu;
    std::atomic<uint64_t> gen{1};
    std::atomic<uint64_t> now{sched::kClockStart};
    DWORD next_id = kFirstThreadId;
    std::map<DWORD, std::shared_ptr<SimThread>> threads; // by id = creation order
    SimThread *current = nullptr;                        // holds the baton
    std::deque<SimThread *> ready;
    std::vector<SimThread *> blocked; // in the order they blocked
    std::map<std::pair<uint64_t, sched::TimerId>, std::function<void()>> timers;
    std::map<sched::TimerId, uint64_t> timer_when;
    sched::TimerId next_timer = 1;
    std::map<std::string, std::weak_ptr<EventObject>> named_events;
};

// Never destroyed: parked threads may outlive static destruction at exit.
Sched &S() {
    static Sched *s = new Sched;
    return *s;
}

void finish(SimThread *me, DWORD code);

struct Tls {
    SimThread *self = nullptr;
    uint64_t gen = 0;
    bool in_schedule = false; // running predicates or timers
    long polls = 0;
    ~Tls() {
        // A host thread that joined the simulation and now ends passes the baton on.
        if (self && gen == S().gen.load() && self->host && M_or_null()) finish(self, 0);
    }
};
thread_local Tls t_tls;

SimThread *self_or_null() { return t_tls.self && t_tls.gen == S().gen.load() ? t_tls.self : nullptr; }

std::string hex(uint64_t v) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%llx", (unsigned long long)v);
    return b;
}

std::string describe(const SimThread &t) {
    std::string s = "thread " + hex(t.id);
    if (!t.name.empty()) s += " (" + t.name + ")";
    switch (t.state) {
    case State::Blocked:
        s += ": " + t.what;
        if (t.deadline != sched::kForever) s += " until " + std::to_string(t.deadline) + " ms";
        break;
    case State::Suspended: s += ": created suspended, never resumed"; break;
    case State::Ready: s += ": runnable"; break;
    case State::Running: s += ": running"; break;
    case State::Exited: s += ": ended"; break;
    }
    return s;
}

// Joins the calling thread to the simulation, waiting for the baton if
// another thread holds it.
SimThread *enter() {
    if (SimThread *me = self_or_null()) return me;
    M(); // a clear message when there is no machine
    Sched &s = S();
    std::unique_lock<std::mutex> lk(s.mu);
    auto t = std::make_shared<SimThread>();
    t->id = s.next_id;
    s.next_id += 4;
    t->gen = s.gen.load();
    t->host = true;
    s.threads[t->id] = t;
    SimThread *me = t.get();
    t_tls.self = me;
    t_tls.gen = me->gen;
    if (!s.current) {
        s.current = me;
        me->state = State::Running;
    } else {
        me->state = State::Ready;
        s.ready.push_back(me);
        me->cv.wait(lk, [&] { return s.current == me; });
    }
    return me;
}

void fire_due_timers() {
    Sched &s = S();
    for (;;) {
        std::function<void()> fire;
        {
            std::lock_guard<std::mutex> lk(s.mu);
            if (s.timers.empty() || s.timers.begin()->first.first > s.now.load()) return;
            auto it = s.timers.begin();
            fire = std::move(it->second);
            s.timer_when.erase(it->first.second);
            s.timers.erase(it);
        }
        fire();
    }
}

// Blocked threads that may run now, in the order they blocked.
std::vector<SimThread *> runnable_blocked() {
    Sched &s = S();
    std::vector<SimThread *> snapshot;
    {
        std::lock_guard<std::mutex> lk(s.mu);
        snapshot = s.blocked;
    }
    // Only the baton holder changes `blocked`, so the snapshot stays valid.
    std::vector<SimThread *> out;
    uint64_t now = s.now.load();
    for (SimThread *t : snapshot)
        if (t->deadline <= now || (*t->ready)()) out.push_back(t);
    return out;
}

std::string deadlock_report(const Sched &s) {
    std::string r = "deadlock of simulated threads: every thread waits and none has a time-out";
    for (auto &kv : s.threads)
        if (kv.second->state == State::Blocked || kv.second->state == State::Suspended)
            r += "\n  " + describe(*kv.second);
    return r;
}

// Passes the baton on from `me`, which has just blocked, is yielding or has
// ended, and (unless it ended) returns once `me` holds the baton again.
void schedule(SimThread *me, bool yielding) {
    Sched &s = S();
    t_tls.in_schedule = true;
    bool queued_self = false;
    long idle_rounds = 0;
    SimThread *next = nullptr;
    std::unique_lock<std::mutex> lk(s.mu, std::defer_lock);
    for (;;) {
        fire_due_timers();
        std::vector<SimThread *> woken = runnable_blocked();
        lk.lock();
        for (SimThread *t : woken) {
            s.blocked.erase(std::find(s.blocked.begin(), s.blocked.end(), t));
            t->ready = nullptr;
            t->state = State::Ready;
            s.ready.push_back(t);
        }
        if (yielding && !queued_self) {
            s.ready.push_back(me);
            queued_self = true;
        }
        if (!s.ready.empty()) {
            next = s.ready.front();
            s.ready.pop_front();
            break;
        }
        uint64_t earliest = sched::kForever;
        for (SimThread *t : s.blocked) earliest = std::min(earliest, t->deadline);
        if (!s.timers.empty()) earliest = std::min(earliest, s.timers.begin()->first.first);
        if (earliest == sched::kForever) {
            bool alive = false;
            for (auto &kv : s.threads) alive = alive || kv.second->state != State::Exited;
            if (alive) fatal(deadlock_report(s));
            // The last thread has ended: nobody holds the baton now.
            s.current = nullptr;
            t_tls.in_schedule = false;
            return;
        }
        if (++idle_rounds > kMaxIdleRounds)
            fatal("virtual time ran on to " + std::to_string(earliest) +
                  " ms through timers that woke no thread; a timer keeps re-arming for nobody\n" +
                  deadlock_report(s));
        if (earliest > s.now.load()) s.now = earliest;
        lk.unlock();
    }
    t_tls.in_schedule = false;
    s.current = next;
    next->state = State::Running;
    if (next == me) return;
    next->cv.notify_one();
    if (me->state == State::Exited) return; // lk releases; `me` is not touched again
    me->cv.wait(lk, [&] { return s.current == me; });
}

void finish(SimThread *me, DWORD code) {
    Sched &s = S();
    if (me->object) {
        me->object->exit_code = code;
        me->object->exited = true;
    }
    {
        std::lock_guard<std::mutex> lk(s.mu);
        me->exit_code = code;
        me->state = State::Exited;
    }
    t_tls.self = nullptr;
    schedule(me, false);
}

void *trampoline(void *arg) {
    SimThread *me = static_cast<SimThread *>(arg);
    Sched &s = S();
    {
        std::unique_lock<std::mutex> lk(s.mu);
        me->cv.wait(lk, [&] { return s.current == me; });
    }
    t_tls.self = me;
    t_tls.gen = me->gen;
    // Runs both on return and when ExitThread unwinds the stack.
    struct Finisher {
        SimThread *me;
        ~Finisher() {
            me->body = nullptr; // captures die on their own thread, baton held
            user_thread_ended(GetCurrentThreadId());
            finish(me, me->exit_code);
        }
    } finisher{me};
    if (me->terminating) return nullptr; // terminated before it first ran
    me->exit_code = me->body();
    return nullptr;
}

// Joins the host threads of ended simulated threads and forgets them.
void reap() {
    Sched &s = S();
    std::vector<std::shared_ptr<SimThread>> done;
    {
        std::lock_guard<std::mutex> lk(s.mu);
        for (auto it = s.threads.begin(); it != s.threads.end();) {
            if (it->second->state == State::Exited && it->second.get() != s.current) {
                done.push_back(it->second);
                it = s.threads.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto &t : done)
        if (t->joinable) pthread_join(t->pthread, nullptr);
}

// Forgets every thread, timer and named object of the machine that ends.
void reset(const char *why) {
    Sched &s = S();
    SimThread *me = self_or_null();
    if (me && !me->host)
        fatal(std::string("the simulated machine was ") + why + " by simulated thread " + hex(me->id) +
              "; do that from the thread that created it");
    std::map<DWORD, std::shared_ptr<SimThread>> gone;
    std::map<std::pair<uint64_t, sched::TimerId>, std::function<void()>> timers;
    std::map<std::string, std::weak_ptr<EventObject>> events;
    {
        std::lock_guard<std::mutex> lk(s.mu);
        std::string alive;
        for (auto &kv : s.threads)
            if (kv.second.get() != me && kv.second->state != State::Exited) alive += "\n  " + describe(*kv.second);
        if (!alive.empty())
            fatal(std::string("the simulated machine was ") + why +
                  " while simulated threads were still alive; let them end first:" + alive);
        gone.swap(s.threads);
        timers.swap(s.timers);
        events.swap(s.named_events);
        s.timer_when.clear();
        s.ready.clear();
        s.blocked.clear();
        s.current = nullptr;
        s.gen++;
        s.now = sched::kClockStart;
        s.next_id = kFirstThreadId;
    }
    t_tls.self = nullptr;
    t_tls.polls = 0;
    for (auto &kv : gone)
        if (kv.second->joinable) pthread_join(kv.second->pthread, nullptr);
}

} // namespace

namespace sched {

void machine_started() { reset("replaced by a new one"); }
void machine_teardown() { reset("destroyed"); }

uint64_t now() { return S().now.load(); }

uint64_t deadline_after(DWORD ms) { return ms == INFINITE ? kForever : now() + ms; }

bool wait_until(const std::function<bool()> &ready, uint64_t deadline, const std::string &what) {
    SimThread *me = enter();
    if (t_tls.in_schedule) fatal("a predicate or timer callback of the scheduler tried to block in " + what);
    t_tls.polls = 0;
    Sched &s = S();
    for (;;) {
        if (ready()) return true;
        if (s.now.load() >= deadline) return false;
        {
            std::lock_guard<std::mutex> lk(s.mu);
            me->state = State::Blocked;
            me->ready = &ready;
            me->deadline = deadline;
            me->what = what;
            s.blocked.push_back(me);
        }
        schedule(me, false);
        if (me->terminating) pthread_exit(nullptr); // unwinds to trampoline()
    }
}

void yield() {
    SimThread *me = enter();
    if (t_tls.in_schedule) fatal("a predicate or timer callback of the scheduler tried to yield");
    t_tls.polls = 0;
    {
        std::lock_guard<std::mutex> lk(S().mu);
        me->state = State::Ready;
    }
    schedule(me, true);
    if (me->terminating) pthread_exit(nullptr);
}

void notify() {}

TimerId at(uint64_t when, std::function<void()> fire) {
    Sched &s = S();
    std::lock_guard<std::mutex> lk(s.mu);
    TimerId id = s.next_timer++;
    s.timers[{when, id}] = std::move(fire);
    s.timer_when[id] = when;
    return id;
}

bool cancel(TimerId id) {
    Sched &s = S();
    std::function<void()> dead; // destroyed outside the lock
    std::lock_guard<std::mutex> lk(s.mu);
    auto it = s.timer_when.find(id);
    if (it == s.timer_when.end()) return false;
    auto t = s.timers.find({it->second, id});
    dead = std::move(t->second);
    s.timers.erase(t);
    s.timer_when.erase(it);
    return true;
}

std::shared_ptr<ThreadObject> spawn(std::function<DWORD()> body, const SpawnOptions &options) {
    SimThread *me = enter();
    reap();
    Sched &s = S();
    auto object = std::make_shared<ThreadObject>();
    auto t = std::make_shared<SimThread>();
    {
        std::lock_guard<std::mutex> lk(s.mu);
        t->id = s.next_id;
        s.next_id += 4;
        t->gen = s.gen.load();
        t->pid = options.process_id ? options.process_id : me->pid;
        t->name = options.name;
        t->body = std::move(body);
        t->object = object;
        object->id = t->id;
        t->suspend_count = options.suspended ? 1 : 0;
        t->state = options.suspended ? State::Suspended : State::Ready;
        s.threads[t->id] = t;
        if (!options.suspended) s.ready.push_back(t.get());
    }
    if (int err = pthread_create(&t->pthread, nullptr, trampoline, t.get()))
        fatal("cannot start a host thread for a simulated thread (error " + std::to_string(err) + ")");
    t->joinable = true;
    return object;
}

DWORD resume(const ThreadObject &thread) {
    Sched &s = S();
    std::lock_guard<std::mutex> lk(s.mu);
    auto it = s.threads.find(thread.id);
    if (it == s.threads.end()) return thread.exited ? 0 : (DWORD)-1;
    SimThread &t = *it->second;
    DWORD prev = t.suspend_count;
    if (prev > 0 && --t.suspend_count == 0 && t.state == State::Suspended) {
        t.state = State::Ready;
        s.ready.push_back(&t);
    }
    return prev;
}

bool terminate(const ThreadObject &thread, DWORD code) {
    enter();
    Sched &s = S();
    {
        std::lock_guard<std::mutex> lk(s.mu);
        auto it = s.threads.find(thread.id);
        if (it == s.threads.end() || it->second->state == State::Exited) return true;
        SimThread &t = *it->second;
        if (t.host) return false;
        if (!t.terminating) t.exit_code = code;
        t.terminating = true;
        if (t.state == State::Blocked) {
            s.blocked.erase(std::find(s.blocked.begin(), s.blocked.end(), &t));
            t.ready = nullptr;
        }
        if (t.state == State::Blocked || t.state == State::Suspended) {
            t.state = State::Ready;
            s.ready.push_back(&t);
        }
    }
    wait_until([&thread] { return thread.exited.load(); }, kForever,
               "TerminateThread(thread " + hex(thread.id) + ")");
    return true;
}

DWORD current_thread_id() { return enter()->id; }

DWORD current_process_id() {
    SimThread *me = self_or_null();
    return me ? me->pid : kProcessId;
}

bool thread_alive(DWORD id) {
    Sched &s = S();
    std::lock_guard<std::mutex> lk(s.mu);
    auto it = s.threads.find(id);
    return it != s.threads.end() && it->second->state != State::Exited;
}

int live_threads() {
    Sched &s = S();
    SimThread *me = self_or_null();
    std::lock_guard<std::mutex> lk(s.mu);
    int n = me ? 0 : 1;
    for (auto &kv : s.threads)
        if (kv.second->state != State::Exited) n++;
    return n;
}

void exit_current(DWORD code) {
    SimThread *me = self_or_null();
    if (!me || me->host)
        fatal("ExitThread was called on a thread that CreateThread did not start; return from it instead");
    me->exit_code = code;
    pthread_exit(nullptr); // unwinds to trampoline(), whose Finisher ends the thread
}

} // namespace sched

// ------------------------------------------------------------------- clock

namespace clock {
uint64_t now_ms() { return sched::now(); }
void advance(DWORD ms) {
    if (ms == 0) {
        sched::yield();
        return;
    }
    sched::wait_until([] { return false; }, sched::now() + ms, "winsim::clock::advance(" + std::to_string(ms) + ")");
}
int live_threads() { return sched::live_threads(); }
} // namespace clock

} // namespace winsim

// ------------------------------------------------------------ Win32 calls

using namespace winsim;

namespace {

std::string handle_text(HANDLE h) {
    auto o = handle_table::get(h);
    std::string kind = o ? handle_kind_name(o->kind) : "handle";
    return kind + " " + hex((uintptr_t)h);
}

std::string timeout_text(DWORD ms) { return ms == INFINITE ? "INFINITE" : std::to_string(ms) + " ms"; }

std::shared_ptr<Waitable> waitable(HANDLE h) { return std::dynamic_pointer_cast<Waitable>(handle_table::get(h)); }

} // namespace

extern "C" HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID param,
                                      DWORD flags, LPDWORD thread_id) {
    if (DWORD e = fault("CreateThread")) {
        SetLastError(e);
        return NULL;
    }
    // Windows 9x insists on somewhere to put the id.
    if (!start || (!thread_id && !M().profile->nt())) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    sched::SpawnOptions o;
    o.suspended = (flags & CREATE_SUSPENDED) != 0;
    auto object = sched::spawn([start, param] { return start(param); }, o);
    HANDLE h = handle_table::add(object);
    if (thread_id) *thread_id = object->id;
    return h;
}

extern "C" void WINAPI ExitThread(DWORD code) { sched::exit_current(code); }

extern "C" BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD code) {
    WINSIM_FAULT_BOOL("GetExitCodeThread");
    auto t = handle_table::get_as<ThreadObject>(thread, HandleKind::Thread);
    if (!t) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!code) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    *code = t->exited ? t->exit_code.load() : STILL_ACTIVE;
    return TRUE;
}

extern "C" BOOL WINAPI TerminateThread(HANDLE thread, DWORD code) {
    WINSIM_FAULT_BOOL("TerminateThread");
    auto t = handle_table::get_as<ThreadObject>(thread, HandleKind::Thread);
    if (!t) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (t->id == sched::current_thread_id()) sched::exit_current(code);
    if (!sched::terminate(*t, code)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return TRUE;
}

extern "C" DWORD WINAPI ResumeThread(HANDLE thread) {
    if (DWORD e = fault("ResumeThread")) {
        SetLastError(e);
        return (DWORD)-1;
    }
    auto t = handle_table::get_as<ThreadObject>(thread, HandleKind::Thread);
    if (!t) {
        SetLastError(ERROR_INVALID_HANDLE);
        return (DWORD)-1;
    }
    return sched::resume(*t);
}

extern "C" DWORD WINAPI GetCurrentThreadId(void) { return sched::current_thread_id(); }

extern "C" DWORD WINAPI GetCurrentProcessId(void) { return sched::current_process_id(); }

extern "C" HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial, LPCSTR name) {
    if (DWORD e = fault("CreateEventA")) {
        SetLastError(e);
        return NULL;
    }
    M();
    std::shared_ptr<EventObject> ev;
    bool existed = false;
    {
        Sched &s = S();
        std::lock_guard<std::mutex> lk(s.mu);
        if (name && *name) {
            auto &slot = s.named_events[name];
            ev = slot.lock();
            existed = ev != nullptr;
            if (!ev) slot = ev = std::make_shared<EventObject>(manual_reset != FALSE, initial != FALSE);
        } else {
            ev = std::make_shared<EventObject>(manual_reset != FALSE, initial != FALSE);
        }
    }
    HANDLE h = handle_table::add(ev);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

extern "C" BOOL WINAPI SetEvent(HANDLE event) {
    WINSIM_FAULT_BOOL("SetEvent");
    auto ev = handle_table::get_as<EventObject>(event, HandleKind::Event);
    if (!ev) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ev->state = true;
    sched::notify();
    return TRUE;
}

extern "C" BOOL WINAPI ResetEvent(HANDLE event) {
    WINSIM_FAULT_BOOL("ResetEvent");
    auto ev = handle_table::get_as<EventObject>(event, HandleKind::Event);
    if (!ev) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ev->state = false;
    return TRUE;
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD ms) {
    if (DWORD e = fault("WaitForSingleObject")) {
        SetLastError(e);
        return WAIT_FAILED;
    }
    auto w = waitable(handle);
    if (!w) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    std::string what = "WaitForSingleObject(" + handle_text(handle) + ", " + timeout_text(ms) + ")";
    if (!sched::wait_until([&] { return w->signaled(); }, sched::deadline_after(ms), what)) return WAIT_TIMEOUT;
    w->acquired();
    return WAIT_OBJECT_0;
}

extern "C" DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL wait_all, DWORD ms) {
    if (DWORD e = fault("WaitForMultipleObjects")) {
        SetLastError(e);
        return WAIT_FAILED;
    }
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<Waitable>> w(count);
    std::string what = std::string("WaitForMultipleObjects(") + (wait_all ? "all of " : "any of ");
    for (DWORD i = 0; i < count; i++) {
        w[i] = waitable(handles[i]);
        if (!w[i]) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        what += (i ? ", " : "") + handle_text(handles[i]);
    }
    what += "; " + timeout_text(ms) + ")";
    if (wait_all) {
        // The same object twice cannot be acquired twice at once.
        for (DWORD i = 0; i < count; i++)
            for (DWORD j = i + 1; j < count; j++)
                if (w[i] == w[j]) {
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return WAIT_FAILED;
                }
        auto all = [&] { return std::all_of(w.begin(), w.end(), [](auto &x) { return x->signaled(); }); };
        if (!sched::wait_until(all, sched::deadline_after(ms), what)) return WAIT_TIMEOUT;
        for (auto &x : w) x->acquired();
        return WAIT_OBJECT_0;
    }
    auto any = [&] { return std::any_of(w.begin(), w.end(), [](auto &x) { return x->signaled(); }); };
    if (!sched::wait_until(any, sched::deadline_after(ms), what)) return WAIT_TIMEOUT;
    for (DWORD i = 0; i < count; i++)
        if (w[i]->signaled()) {
            w[i]->acquired();
            return WAIT_OBJECT_0 + i;
        }
    return WAIT_FAILED; // not reached: the predicate just held
}

extern "C" void WINAPI Sleep(DWORD ms) {
    if (ms == 0) {
        sched::yield();
        return;
    }
    sched::wait_until([] { return false; }, sched::deadline_after(ms), "Sleep(" + timeout_text(ms) + ")");
}

extern "C" DWORD WINAPI GetTickCount(void) {
    M();
    if (++t_tls.polls > kMaxPolls)
        fatal("a thread called GetTickCount " + std::to_string(kMaxPolls) +
              " times without waiting: virtual time passes only while every thread waits, so a busy wait never "
              "ends (Sleep or wait instead)");
    return (DWORD)sched::now();
}

// ------------------------------------------------------- critical sections
//
// The lock state lives in the caller's structure (owner id in OwningThread,
// LockCount -1 when free as on NT), so nothing is allocated; LockSemaphore
// marks an initialised section so that use before initialisation is caught.

namespace {
const HANDLE kCsMagic = (HANDLE)(uintptr_t)0x5EC7105E;

void check_cs(LPCRITICAL_SECTION cs, const char *api) {
    if (!cs || cs->LockSemaphore != kCsMagic)
        fatal(std::string(api) + " on a critical section that is not initialised (" + hex((uintptr_t)cs) + ")");
}
DWORD owner_of(LPCRITICAL_SECTION cs) { return (DWORD)(uintptr_t)cs->OwningThread; }
} // namespace

extern "C" void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    if (!cs) fatal("InitializeCriticalSection(NULL)");
    cs->DebugInfo = nullptr;
    cs->LockCount = -1;
    cs->RecursionCount = 0;
    cs->OwningThread = NULL;
    cs->LockSemaphore = kCsMagic;
    cs->SpinCount = 0;
}

extern "C" void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    check_cs(cs, "DeleteCriticalSection");
    if (cs->LockCount > 0 || (owner_of(cs) && owner_of(cs) != sched::current_thread_id()))
        fatal("DeleteCriticalSection on a critical section that other threads hold or wait for (" +
              hex((uintptr_t)cs) + ")");
    cs->LockSemaphore = NULL;
    cs->OwningThread = NULL;
    cs->RecursionCount = 0;
    cs->LockCount = -1;
}

extern "C" void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) {
    check_cs(cs, "EnterCriticalSection");
    DWORD me = sched::current_thread_id();
    cs->LockCount++;
    if (owner_of(cs) == me) {
        cs->RecursionCount++;
        return;
    }
    if (owner_of(cs)) {
        std::string what = "EnterCriticalSection(" + hex((uintptr_t)cs) + ") held by thread " + hex(owner_of(cs));
        sched::wait_until([cs] { return cs->OwningThread == NULL; }, sched::kForever, what);
    }
    cs->OwningThread = (HANDLE)(uintptr_t)me;
    cs->RecursionCount = 1;
}

extern "C" void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    check_cs(cs, "LeaveCriticalSection");
    if (owner_of(cs) != sched::current_thread_id())
        fatal("LeaveCriticalSection by thread " + hex(sched::current_thread_id()) +
              ", which does not own the section " + hex((uintptr_t)cs));
    cs->LockCount--;
    if (--cs->RecursionCount == 0) {
        cs->OwningThread = NULL;
        sched::notify();
    }
}
