// The scheduler of simulated threads and the virtual clock, for the pieces of
// the simulator that block (waits, message loops, service and reader waits),
// start threads (processes, services) or fire timers (SetTimer).
//
// Simulated threads are real pthreads, but only the thread holding the baton
// runs; the others are parked in the scheduler.  The running thread keeps the
// baton until it blocks in a simulated wait, yields or exits.  Virtual time
// moves only when no thread can run: it jumps to the earliest deadline or timer.
//
// Rules for callers:
//  - never block (wait_until, yield) while holding big_lock() or any mutex;
//  - predicates and timer callbacks run on whichever thread holds the baton at
//    a scheduling point: they must be quick, must not block and must not take
//    a mutex that is held across a call to notify();
//  - a thread that calls into the scheduler for the first time (a test's main
//    thread, say) becomes a simulated thread; if another thread holds the baton
//    it waits for its turn first.
#ifndef WINSIM_THREADS_H
#define WINSIM_THREADS_H

#include "core.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace winsim {

// WaitForSingleObject and WaitForMultipleObjects take any Waitable in the
// handle table, so a process or other object only has to derive from it.

// The kernel object behind a thread handle: signaled once the thread has ended.
struct ThreadObject : Waitable {
    ThreadObject() : Waitable(HandleKind::Thread) {}
    DWORD id = 0;
    std::atomic<bool> exited{false};
    std::atomic<DWORD> exit_code{STILL_ACTIVE};
    bool signaled() const override { return exited.load(); }
};

// The kernel object behind an event handle.
struct EventObject : Waitable {
    EventObject(bool manual_reset, bool initial) : Waitable(HandleKind::Event), manual(manual_reset), state(initial) {}
    const bool manual;
    std::atomic<bool> state;
    bool signaled() const override { return state.load(); }
    void acquired() override {
        if (!manual) state = false;
    }
};

namespace sched {

constexpr uint64_t kForever = UINT64_MAX;
// Virtual time when a machine starts; GetTickCount shows it truncated to 32 bits.
constexpr uint64_t kClockStart = 0x10000;
// Process id of the simulated process the kit runs in.
constexpr DWORD kProcessId = 0x1F4;

// Machine life cycle (called from Machine's constructor and destructor):
// started() resets the clock and thread ids; teardown() aborts with a list of
// the threads still alive, else joins the ended ones and forgets everything.
void machine_started();
void machine_teardown();

// Virtual milliseconds now, and the deadline `ms` from now (INFINITE: kForever).
uint64_t now();
uint64_t deadline_after(DWORD ms);

// Blocks the calling thread until ready() holds or virtual time reaches
// `deadline`; true when ready() held.  ready() is tested first, so a wait that
// is already satisfied returns at once without letting time pass.  When it
// returns true, the caller holds the baton and nothing ran since ready() was
// seen true, so it may consume the state (take the lock, reset the event).
// `what` describes the wait for deadlock reports ("WaitForSingleObject(event 0x104)").
bool wait_until(const std::function<bool()> &ready, uint64_t deadline, const std::string &what);

// Lets every other runnable thread run first (Sleep(0)).
void yield();

// Says that state a waiter may depend on has changed.  Waiters are re-tested
// at every scheduling point (whenever the running thread blocks, yields or
// exits), so a change is seen as soon as its maker blocks; calling this after
// such a change is still expected, and cheap.
void notify();

// Runs `fire` once virtual time reaches `when` (absolute ms), at a scheduling
// point, on the thread holding the baton.  Returns an id for cancel().
using TimerId = uint64_t;
TimerId at(uint64_t when, std::function<void()> fire);
// False when the timer already fired or was cancelled.
bool cancel(TimerId id);

// Starts a simulated thread running `body`; its return value is the exit code.
// The new thread is queued behind the runnable ones and first runs when the
// creator blocks.  The caller becomes a simulated thread if it was not one.
struct SpawnOptions {
    bool suspended = false;  // wait for resume()
    DWORD process_id = 0;    // 0: the creator's
    std::string name;        // shown in deadlock reports
};
std::shared_ptr<ThreadObject> spawn(std::function<DWORD()> body, const SpawnOptions &options = {});
// Decrements the suspend count; returns the previous count ((DWORD)-1 when the
// thread is unknown).
DWORD resume(const ThreadObject &thread);

// The calling thread's simulated id (registers the caller) and process id.
DWORD current_thread_id();
DWORD current_process_id();
bool thread_alive(DWORD id);
// Simulated threads not yet ended, the caller counted even if not registered.
int live_threads();

// Ends another simulated thread with `code` (TerminateThread): it unwinds
// from wherever it waits, and this returns once it has ended.  False for a
// thread that joined from outside (a test's main thread).
bool terminate(const ThreadObject &thread, DWORD code);

// Ends the calling simulated thread now (ExitThread): unwinds its stack and
// never returns.
[[noreturn]] void exit_current(DWORD code);

} // namespace sched
} // namespace winsim

#endif
