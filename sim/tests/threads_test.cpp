// Simulated threads, events, waits and the virtual clock.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsim/sim.h>

#include "../src/threads.h"

#include <chrono>
#include <string>
#include <vector>

namespace {

using winsim::Machine;
using winsim::Os;

struct ThreadsTest : ::testing::Test {
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

DWORD ticks_since(DWORD start) { return GetTickCount() - start; }

// ------------------------------------------------------------ virtual time

TEST_F(ThreadsTest, VirtualTimeStartsFixedAndLongWaitsCostNoRealTime) {
    auto m = Machine::temporary(Os::WinXp);
    EXPECT_EQ(GetTickCount(), 0x10000u);
    EXPECT_EQ(winsim::clock::now_ms(), 0x10000u);
    auto real = std::chrono::steady_clock::now();
    Sleep(30000);
    EXPECT_EQ(GetTickCount(), 0x10000u + 30000);
    HANDLE e = CreateEventA(NULL, TRUE, FALSE, NULL);
    EXPECT_EQ(WaitForSingleObject(e, 30000), (DWORD)WAIT_TIMEOUT);
    winsim::clock::advance(40000);
    EXPECT_EQ(winsim::clock::now_ms(), 0x10000u + 100000);
    EXPECT_LT(std::chrono::steady_clock::now() - real, std::chrono::seconds(2));

    // A wait that is already satisfied lets no time pass.
    ASSERT_TRUE(SetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(winsim::clock::now_ms(), 0x10000u + 100000);
    EXPECT_TRUE(CloseHandle(e));
}

TEST_F(ThreadsTest, EachMachineRestartsTheClockAndThreadIds) {
    DWORD first_id = 0;
    for (int round = 0; round < 2; round++) {
        auto m = Machine::temporary(Os::Win2000);
        EXPECT_EQ(GetTickCount(), 0x10000u) << "round " << round;
        Sleep(500);
        DWORD id = 0;
        HANDLE t = CreateThread(NULL, 0, [](LPVOID) -> DWORD { return 0; }, NULL, 0, &id);
        ASSERT_NE(t, (HANDLE)NULL);
        EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
        CloseHandle(t);
        if (round == 0) first_id = id;
        EXPECT_EQ(id, first_id);
    }
}

// Three threads that log and sleep for different periods interleave the same
// way every run: FIFO among threads woken at the same instant.
struct Logger {
    std::vector<std::string> log;
    DWORD start;
};
struct Worker {
    Logger *logger;
    const char *name;
    DWORD period;
};

DWORD WINAPI log_and_sleep(LPVOID p) {
    auto *w = static_cast<Worker *>(p);
    for (int i = 0; i < 3; i++) {
        w->logger->log.push_back(std::string(w->name) + std::to_string(ticks_since(w->logger->start)));
        Sleep(w->period);
    }
    return w->period;
}

std::vector<std::string> run_interleaving() {
    auto m = Machine::temporary(Os::WinXp);
    Logger logger{{}, GetTickCount()};
    Worker workers[] = {{&logger, "A", 10}, {&logger, "B", 20}, {&logger, "C", 30}};
    HANDLE h[3];
    for (int i = 0; i < 3; i++) {
        DWORD id;
        h[i] = CreateThread(NULL, 0, log_and_sleep, &workers[i], 0, &id);
    }
    EXPECT_TRUE(logger.log.empty()) << "a new thread ran before its creator blocked";
    EXPECT_EQ(WaitForMultipleObjects(3, h, TRUE, INFINITE), WAIT_OBJECT_0);
    logger.log.push_back("main" + std::to_string(ticks_since(logger.start)));
    for (int i = 0; i < 3; i++) {
        DWORD code;
        EXPECT_TRUE(GetExitCodeThread(h[i], &code));
        EXPECT_EQ(code, workers[i].period);
        CloseHandle(h[i]);
    }
    return logger.log;
}

TEST_F(ThreadsTest, InterleavingIsDeterministic) {
    std::vector<std::string> expected = {"A0", "B0", "C0", "A10", "B20", "A20", "C30", "B40", "C60", "main90"};
    EXPECT_EQ(run_interleaving(), expected);
    EXPECT_EQ(run_interleaving(), expected);
}

TEST_F(ThreadsTest, SleepZeroYieldsWithoutTime) {
    auto m = Machine::temporary(Os::WinXp);
    static std::vector<std::string> log;
    log.clear();
    DWORD id;
    HANDLE t = CreateThread(NULL, 0, [](LPVOID) -> DWORD { log.push_back("T"); return 0; }, NULL, 0, &id);
    log.push_back("M1");
    DWORD before = GetTickCount();
    Sleep(0);
    log.push_back("M2");
    EXPECT_EQ(log, (std::vector<std::string>{"M1", "T", "M2"}));
    EXPECT_EQ(GetTickCount(), before);
    // Nothing else to run: Sleep(0) returns at once.
    Sleep(0);
    EXPECT_EQ(GetTickCount(), before);
    CloseHandle(t);
}

// ------------------------------------------------------------------ events

struct Waiter {
    HANDLE event;
    DWORD timeout;
    DWORD result = 0xDEAD;
    DWORD at = 0;
};
DWORD WINAPI wait_on_event(LPVOID p) {
    auto *w = static_cast<Waiter *>(p);
    w->result = WaitForSingleObject(w->event, w->timeout);
    w->at = GetTickCount();
    return 0;
}

TEST_F(ThreadsTest, AutoResetReleasesOneWaiterManualReleasesAll) {
    auto m = Machine::temporary(Os::WinXp);
    for (BOOL manual : {FALSE, TRUE}) {
        HANDLE e = CreateEventA(NULL, manual, FALSE, NULL);
        ASSERT_NE(e, (HANDLE)NULL);
        DWORD start = GetTickCount();
        Waiter w1{e, 1000}, w2{e, 1000};
        DWORD id;
        HANDLE t[2] = {CreateThread(NULL, 0, wait_on_event, &w1, 0, &id),
                       CreateThread(NULL, 0, wait_on_event, &w2, 0, &id)};
        Sleep(10); // both are waiting now
        ASSERT_TRUE(SetEvent(e));
        ASSERT_EQ(WaitForMultipleObjects(2, t, TRUE, INFINITE), WAIT_OBJECT_0);
        EXPECT_EQ(w1.result, WAIT_OBJECT_0) << "the first waiter is served first";
        EXPECT_EQ(w1.at - start, 10u);
        if (manual) {
            EXPECT_EQ(w2.result, WAIT_OBJECT_0);
            EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0) << "manual reset stays signaled";
            ASSERT_TRUE(ResetEvent(e));
            EXPECT_EQ(WaitForSingleObject(e, 0), (DWORD)WAIT_TIMEOUT);
        } else {
            EXPECT_EQ(w2.result, (DWORD)WAIT_TIMEOUT);
            EXPECT_EQ(w2.at - start, 1000u);
            EXPECT_EQ(WaitForSingleObject(e, 0), (DWORD)WAIT_TIMEOUT) << "the wait reset it";
        }
        for (HANDLE h : t) CloseHandle(h);
        CloseHandle(e);
    }
    // Initial state, and an auto-reset event consumed by a wait.
    HANDLE on = CreateEventA(NULL, FALSE, TRUE, NULL);
    EXPECT_EQ(WaitForSingleObject(on, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(on, 0), (DWORD)WAIT_TIMEOUT);
    CloseHandle(on);
}

TEST_F(ThreadsTest, NamedEventsAreSharedAndBadHandlesFail) {
    auto m = Machine::temporary(Os::WinXp);
    HANDLE a = CreateEventA(NULL, TRUE, FALSE, "QuvaReady");
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    HANDLE b = CreateEventA(NULL, FALSE, TRUE, "QuvaReady");
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    ASSERT_NE(a, b);
    SetEvent(b);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0) << "the first creation's manual reset holds";
    CloseHandle(a);
    CloseHandle(b);

    EXPECT_FALSE(SetEvent((HANDLE)0x1234));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject((HANDLE)0x1234, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    winsim::faults::fail("CreateEventA", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(CreateEventA(NULL, TRUE, FALSE, NULL), (HANDLE)NULL);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
}

struct Setter {
    HANDLE event;
    DWORD after;
};
DWORD WINAPI set_later(LPVOID p) {
    auto *s = static_cast<Setter *>(p);
    Sleep(s->after);
    SetEvent(s->event);
    return 0;
}

TEST_F(ThreadsTest, WaitForMultipleObjectsAnyAndAll) {
    auto m = Machine::temporary(Os::WinXp);
    auto before = winsim::handles::open();
    HANDLE e[3];
    for (auto &h : e) h = CreateEventA(NULL, FALSE, FALSE, NULL);
    DWORD start = GetTickCount(), id;

    // Wait-any: the object that is signaled, at the moment it is.
    Setter s2{e[2], 25};
    HANDLE t = CreateThread(NULL, 0, set_later, &s2, 0, &id);
    EXPECT_EQ(WaitForMultipleObjects(3, e, FALSE, INFINITE), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(ticks_since(start), 25u);
    EXPECT_EQ(WaitForSingleObject(e[2], 0), (DWORD)WAIT_TIMEOUT) << "wait-any acquires what it returns";
    CloseHandle(t);

    // Several signaled: the lowest index wins and only it is acquired.
    SetEvent(e[1]);
    SetEvent(e[2]);
    EXPECT_EQ(WaitForMultipleObjects(3, e, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForSingleObject(e[2], 0), WAIT_OBJECT_0);

    // Wait-all: times out while one is missing, without taking the others.
    SetEvent(e[0]);
    SetEvent(e[1]);
    start = GetTickCount();
    EXPECT_EQ(WaitForMultipleObjects(3, e, TRUE, 100), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(ticks_since(start), 100u);
    Setter s3{e[2], 50};
    t = CreateThread(NULL, 0, set_later, &s3, 0, &id);
    EXPECT_EQ(WaitForMultipleObjects(3, e, TRUE, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(ticks_since(start), 150u);
    for (HANDLE h : e) EXPECT_EQ(WaitForSingleObject(h, 0), (DWORD)WAIT_TIMEOUT) << "wait-all acquires all";
    CloseHandle(t);

    // Parameter checks.
    HANDLE dup[2] = {e[0], e[0]};
    EXPECT_EQ(WaitForMultipleObjects(2, dup, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(0, e, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, e[0]);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many.data(), FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    HANDLE bad[2] = {e[0], (HANDLE)0x777};
    EXPECT_EQ(WaitForMultipleObjects(2, bad, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    for (HANDLE h : e) CloseHandle(h);
    EXPECT_EQ(winsim::handles::leaks_since(before), "");
}

// ------------------------------------------------------------------ threads

struct Noisy {
    bool *destroyed;
    ~Noisy() { *destroyed = true; }
};
bool g_unwound;
void deep_exit() {
    Noisy n{&g_unwound};
    ExitThread(7);
}

TEST_F(ThreadsTest, ThreadLifecycleExitCodesAndIds) {
    auto m = Machine::temporary(Os::WinXp);
    EXPECT_EQ(winsim::clock::live_threads(), 1);
    static DWORD seen_id, seen_pid;
    DWORD id = 0, code = 0;
    HANDLE t = CreateThread(
        NULL, 0,
        [](LPVOID) -> DWORD {
            seen_id = GetCurrentThreadId();
            seen_pid = GetCurrentProcessId();
            return 42;
        },
        NULL, 0, &id);
    ASSERT_NE(t, (HANDLE)NULL);
    EXPECT_EQ(winsim::clock::live_threads(), 2);
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, (DWORD)STILL_ACTIVE) << "it has not run yet: the creator holds on";
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(seen_id, id);
    EXPECT_NE(seen_id, GetCurrentThreadId());
    EXPECT_EQ(seen_pid, GetCurrentProcessId());
    EXPECT_EQ(winsim::clock::live_threads(), 1);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0) << "an ended thread stays signaled";
    CloseHandle(t);

    // ExitThread unwinds the thread's stack.
    g_unwound = false;
    t = CreateThread(NULL, 0, [](LPVOID) -> DWORD { deep_exit(); return 1; }, NULL, 0, &id);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_TRUE(g_unwound);
    CloseHandle(t);

    // Created suspended: does not run until resumed.
    static int runs;
    runs = 0;
    t = CreateThread(NULL, 0, [](LPVOID) -> DWORD { runs++; return 0; }, NULL, CREATE_SUSPENDED, &id);
    Sleep(100);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(ResumeThread(t), 1u);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(ResumeThread(t), 0u);
    CloseHandle(t);
    EXPECT_EQ(ResumeThread(t), (DWORD)-1);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(GetExitCodeThread(t, &code));
}

TEST_F(ThreadsTest, CreateThreadFailures) {
    auto m = Machine::temporary(Os::Win98);
    auto body = [](LPVOID) -> DWORD { return 0; };
    winsim::faults::fail("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
    DWORD id;
    EXPECT_EQ(CreateThread(NULL, 0, body, NULL, 0, &id), (HANDLE)NULL);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(winsim::faults::fired("CreateThread"), 1);
    EXPECT_EQ(winsim::clock::live_threads(), 1);
    // Windows 9x needs somewhere to store the thread id; NT does not.
    EXPECT_EQ(CreateThread(NULL, 0, body, NULL, 0, NULL), (HANDLE)NULL);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    HANDLE t = CreateThread(NULL, 0, body, NULL, 0, &id);
    ASSERT_NE(t, (HANDLE)NULL);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
}

TEST_F(ThreadsTest, CreateThreadWithoutIdOnNt) {
    auto m = Machine::temporary(Os::Nt4);
    HANDLE t = CreateThread(NULL, 0, [](LPVOID) -> DWORD { return 3; }, NULL, 0, NULL);
    ASSERT_NE(t, (HANDLE)NULL);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    CloseHandle(t);
}

// -------------------------------------------------------- critical sections

struct Shared {
    CRITICAL_SECTION cs;
    int inside = 0, max_inside = 0, total = 0;
};
DWORD WINAPI locked_work(LPVOID p) {
    auto *s = static_cast<Shared *>(p);
    for (int i = 0; i < 3; i++) {
        EnterCriticalSection(&s->cs);
        EnterCriticalSection(&s->cs); // recursion
        s->inside++;
        s->max_inside = std::max(s->max_inside, s->inside);
        Sleep(5); // others pile up on the lock meanwhile
        s->total++;
        s->inside--;
        LeaveCriticalSection(&s->cs);
        LeaveCriticalSection(&s->cs);
    }
    return 0;
}

TEST_F(ThreadsTest, CriticalSectionExcludesAndBlocksInVirtualTime) {
    auto m = Machine::temporary(Os::WinXp);
    Shared s;
    InitializeCriticalSection(&s.cs);
    HANDLE t[3];
    DWORD id, start = GetTickCount();
    for (auto &h : t) h = CreateThread(NULL, 0, locked_work, &s, 0, &id);
    EXPECT_EQ(WaitForMultipleObjects(3, t, TRUE, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(s.total, 9);
    EXPECT_EQ(s.max_inside, 1);
    EXPECT_EQ(ticks_since(start), 45u) << "nine 5 ms holds, one after another";
    for (HANDLE h : t) CloseHandle(h);
    DeleteCriticalSection(&s.cs);
}

// ------------------------------------------------------------- scheduler API

TEST_F(ThreadsTest, TimersAndPredicateWaits) {
    auto m = Machine::temporary(Os::WinXp);
    namespace sched = winsim::sched;
    std::vector<uint64_t> fired;
    bool flag = false;
    uint64_t t0 = sched::now();
    sched::at(t0 + 30, [&] { fired.push_back(sched::now() - t0); });
    sched::TimerId gone = sched::at(t0 + 10, [&] { fired.push_back(999); });
    sched::at(t0 + 20, [&] {
        fired.push_back(sched::now() - t0);
        flag = true;
    });
    EXPECT_TRUE(sched::cancel(gone));
    EXPECT_FALSE(sched::cancel(gone));
    // The timer at +20 makes the predicate true; the wait ends then.
    EXPECT_TRUE(sched::wait_until([&] { return flag; }, t0 + 1000, "test flag"));
    EXPECT_EQ(sched::now() - t0, 20u);
    EXPECT_EQ(fired, (std::vector<uint64_t>{20}));
    EXPECT_FALSE(sched::wait_until([] { return false; }, t0 + 25, "nothing"));
    EXPECT_EQ(sched::now() - t0, 25u);
    Sleep(10);
    EXPECT_EQ(fired, (std::vector<uint64_t>{20, 30}));
}

// ------------------------------------------------------------------ misuse

TEST_F(ThreadsTest, DeadlockIsReportedNotHung) {
    EXPECT_DEATH(
        {
            auto m = Machine::temporary(Os::WinXp);
            HANDLE e = CreateEventA(NULL, TRUE, FALSE, NULL);
            DWORD id;
            CreateThread(NULL, 0, [](LPVOID p) -> DWORD { return WaitForSingleObject((HANDLE)p, INFINITE); }, e, 0,
                         &id);
            WaitForSingleObject(e, INFINITE);
        },
        "deadlock of simulated threads.*\n.*WaitForSingleObject\\(event 0x[0-9a-f]+, INFINITE\\)");
    EXPECT_DEATH(
        {
            auto m = Machine::temporary(Os::WinXp);
            CRITICAL_SECTION cs;
            InitializeCriticalSection(&cs);
            EnterCriticalSection(&cs);
            DWORD id;
            HANDLE t = CreateThread(
                NULL, 0, [](LPVOID p) -> DWORD { EnterCriticalSection((LPCRITICAL_SECTION)p); return 0; }, &cs, 0,
                &id);
            WaitForSingleObject(t, INFINITE);
        },
        "deadlock.*\n.*EnterCriticalSection.*held by thread 0x");
    EXPECT_DEATH(
        {
            auto m = Machine::temporary(Os::WinXp);
            DWORD id;
            CreateThread(NULL, 0, [](LPVOID) -> DWORD { return 0; }, NULL, CREATE_SUSPENDED, &id);
            Sleep(INFINITE);
        },
        "deadlock.*\n.*created suspended");
}

TEST_F(ThreadsTest, MisuseIsReported) {
    // A machine that goes away under a living thread.
    EXPECT_DEATH(
        {
            auto m = Machine::temporary(Os::WinXp);
            HANDLE e = CreateEventA(NULL, TRUE, FALSE, NULL);
            DWORD id;
            CreateThread(NULL, 0, [](LPVOID p) -> DWORD { return WaitForSingleObject((HANDLE)p, INFINITE); }, e, 0,
                         &id);
            Sleep(1);
            m.reset();
        },
        "destroyed while simulated threads were still alive.*\n.*thread 0x[0-9a-f]+: WaitForSingleObject");
    EXPECT_DEATH(
        {
            auto m = Machine::temporary(Os::WinXp);
            DWORD t0 = GetTickCount();
            while (GetTickCount() == t0) {
            }
        },
        "busy wait");
    EXPECT_DEATH(
        {
            auto m = Machine::temporary(Os::WinXp);
            CRITICAL_SECTION cs;
            InitializeCriticalSection(&cs);
            EnterCriticalSection(&cs);
            DWORD id;
            HANDLE t = CreateThread(
                NULL, 0, [](LPVOID p) -> DWORD { LeaveCriticalSection((LPCRITICAL_SECTION)p); return 0; }, &cs, 0,
                &id);
            WaitForSingleObject(t, INFINITE);
        },
        "does not own");
    EXPECT_DEATH(
        {
            auto m = Machine::temporary(Os::WinXp);
            CRITICAL_SECTION cs{};
            EnterCriticalSection(&cs);
        },
        "not initialised");
}

} // namespace
