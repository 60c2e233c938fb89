// Conformance checks: small programs written once against the Win32 API that
// run both on the simulated platform (one GoogleTest case per Windows version
// and check, see sim_runner_test.cpp) and on Windows or under Wine
// (conformance.exe, see win_main.cpp).  Where the two disagree, one of the two
// models is wrong.
//
//   CONFORMANCE_TEST(name) { ... }                  runs on both
//   CONFORMANCE_SIM_ONLY(name, "why") { ... }       simulator only, the reason is printed elsewhere
//
// Inside a check:
//   CHECK(cond);  CHECK_MSG(cond, "fmt", ...);  CHECK_EQ(actual, expected);  CHECK_STR(actual, expected);
//   REQUIRE(cond);   like CHECK, but leaves the check on failure
//   conformance::os_name()   "win95", "win98", "winme", "nt40", "win2k" or "winxp"
//   conformance::on_simulator(), conformance::is_9x(), conformance::is_nt()
//   conformance::Cleanup undo([&] { ... });   runs on every way out of the check
//
// A check must leave the machine as it found it: whatever it creates (keys,
// files, services) it removes again, also when a REQUIRE leaves early.
// Integers compare by value whatever their signedness (a DWORD error code
// against a LONG constant is fine); compare pointers with nullptr, not NULL;
// strings with CHECK_STR.
#ifndef QUVA_CONFORMANCE_H
#define QUVA_CONFORMANCE_H

#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace conformance {

struct Check {
    const char *name;
    void (*run)();
    const char *file;
    int line;
    const char *sim_only_reason; // nullptr: the check runs on both platforms
};

// Every registered check, in registration order.
inline std::vector<Check> &checks() {
    static std::vector<Check> all;
    return all;
}

// Receives each failure; the runners install their own.
using FailureSink = void (*)(const char *file, int line, const std::string &message);

namespace detail {

struct State {
    std::string os = "winxp";
    FailureSink sink = nullptr;
    int failures = 0; // in the check running now
};

inline State &state() {
    static State s;
    return s;
}

struct Registrar {
    Registrar(const char *name, void (*run)(), const char *file, int line, const char *reason) {
        checks().push_back(Check{name, run, file, line, reason});
    }
};

inline const char *base_name(const char *path) {
    const char *b = path;
    for (const char *p = path; *p; ++p)
        if (*p == '/' || *p == '\\') b = p + 1;
    return b;
}

#if defined(__GNUC__)
__attribute__((format(gnu_printf, 1, 0)))
#endif
inline std::string vformat(const char *fmt, va_list ap) {
    char small[256];
    va_list again;
    va_copy(again, ap);
    int n = std::vsnprintf(small, sizeof small, fmt, ap);
    std::string out;
    if (n < 0) {
        out = fmt;
    } else if (static_cast<size_t>(n) < sizeof small) {
        out.assign(small, static_cast<size_t>(n));
    } else {
        out.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(&out[0], out.size(), fmt, again);
        out.resize(static_cast<size_t>(n));
    }
    va_end(again);
    return out;
}

#if defined(__GNUC__)
__attribute__((format(gnu_printf, 1, 2)))
#endif
inline std::string format(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = vformat(fmt, ap);
    va_end(ap);
    return s;
}

inline void fail(const char *file, int line, const std::string &message) {
    State &s = state();
    ++s.failures;
    if (s.sink)
        s.sink(file, line, message);
    else
        std::printf("  %s:%d: %s\n", base_name(file), line, message.c_str());
}

inline std::string quote(const char *s) {
    if (!s) return "(null)";
    std::string out = "\"";
    for (; *s; ++s) {
        unsigned char c = static_cast<unsigned char>(*s);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            out += format("\\x%02X", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

template <class T>
constexpr bool is_char_pointer_v =
    std::is_same_v<std::decay_t<T>, char *> || std::is_same_v<std::decay_t<T>, const char *>;

template <class T>
constexpr bool is_integer_like_v = std::is_integral_v<std::decay_t<T>> || std::is_enum_v<std::decay_t<T>>;

// Enums as their underlying integer, bool as int.
template <class T> auto as_integer(const T &v) {
    using D = std::decay_t<T>;
    if constexpr (std::is_enum_v<D>)
        return as_integer(static_cast<std::underlying_type_t<D>>(v));
    else if constexpr (std::is_same_v<D, bool>)
        return static_cast<int>(v);
    else
        return v;
}

template <class T> std::string show(const T &v) {
    using D = std::decay_t<T>;
    if constexpr (std::is_same_v<D, bool>) {
        return v ? "true" : "false";
    } else if constexpr (is_integer_like_v<D>) {
        auto i = as_integer(v);
        using I = decltype(i);
        auto bits = static_cast<unsigned long long>(static_cast<std::make_unsigned_t<I>>(i));
        if constexpr (std::is_signed_v<I>)
            return format("0x%llX (%lld)", bits, static_cast<long long>(i));
        else
            return format("0x%llX (%llu)", bits, bits);
    } else if constexpr (is_char_pointer_v<D>) {
        return quote(v);
    } else if constexpr (std::is_same_v<D, std::string>) {
        return quote(v.c_str());
    } else if constexpr (std::is_null_pointer_v<D>) {
        return "nullptr";
    } else if constexpr (std::is_pointer_v<D>) {
        return format("0x%llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(v)));
    } else {
        return "(value not printable)";
    }
}

// Integer equality by value, as C++20's std::cmp_equal.
template <class X, class Y> bool integers_equal(X x, Y y) {
    if constexpr (std::is_signed_v<X> == std::is_signed_v<Y>)
        return x == y;
    else if constexpr (std::is_signed_v<X>)
        return x >= 0 && static_cast<std::make_unsigned_t<X>>(x) == y;
    else
        return y >= 0 && x == static_cast<std::make_unsigned_t<Y>>(y);
}

template <class A, class B> bool equal(const A &a, const B &b) {
    static_assert(!(is_char_pointer_v<A> && is_char_pointer_v<B>), "compare strings with CHECK_STR");
    if constexpr (is_integer_like_v<A> && is_integer_like_v<B>)
        return integers_equal(as_integer(a), as_integer(b));
    else
        return a == b;
}

template <class A, class B>
void check_eq(const A &a, const B &b, const char *a_text, const char *b_text, const char *file, int line) {
    if (equal(a, b)) return;
    fail(file, line,
         format("CHECK_EQ(%s, %s) failed: %s is %s, %s is %s", a_text, b_text, a_text, show(a).c_str(), b_text,
                show(b).c_str()));
}

inline const char *c_str(const char *s) { return s; }
inline const char *c_str(const std::string &s) { return s.c_str(); }

template <class A, class B>
void check_str(const A &a_in, const B &b_in, const char *a_text, const char *b_text, const char *file, int line) {
    const char *a = c_str(a_in);
    const char *b = c_str(b_in);
    if (a == b || (a && b && std::strcmp(a, b) == 0)) return;
    fail(file, line,
         format("CHECK_STR(%s, %s) failed: %s is %s, %s is %s", a_text, b_text, a_text, quote(a).c_str(), b_text,
                quote(b).c_str()));
}

#if defined(__GNUC__)
__attribute__((format(gnu_printf, 5, 6)))
#endif
inline void check_msg(bool ok, const char *cond_text, const char *file, int line, const char *fmt, ...) {
    if (ok) return;
    va_list ap;
    va_start(ap, fmt);
    std::string detail = vformat(fmt, ap);
    va_end(ap);
    fail(file, line, format("CHECK(%s) failed: %s", cond_text, detail.c_str()));
}

} // namespace detail

// The Windows version under test.
inline const char *os_name() { return detail::state().os.c_str(); }

inline bool on_simulator() {
#if defined(_WIN32)
    return false;
#else
    return true;
#endif
}

inline bool is_9x() {
    const std::string &os = detail::state().os;
    return os == "win95" || os == "win98" || os == "winme";
}

inline bool is_nt() { return !is_9x(); }

// The six versions a check can be run for, oldest first.
inline const std::vector<const char *> &os_names() {
    static const std::vector<const char *> names = {"win95", "win98", "winme", "nt40", "win2k", "winxp"};
    return names;
}

// Runs `f` when the scope ends, also when a REQUIRE leaves the check early.
template <class F> class Cleanup {
public:
    explicit Cleanup(F f) : f_(std::move(f)) {}
    ~Cleanup() { f_(); }
    Cleanup(const Cleanup &) = delete;
    Cleanup &operator=(const Cleanup &) = delete;

private:
    F f_;
};

// ----------------------------------------------------------- runner side

inline void set_os(const std::string &os) { detail::state().os = os; }
inline void set_failure_sink(FailureSink sink) { detail::state().sink = sink; }

// Runs one check; the number of failures it reported.  An escaping exception
// counts as one failure.
inline int run_check(const Check &check) {
    detail::State &s = detail::state();
    s.failures = 0;
    try {
        check.run();
    } catch (const std::exception &e) {
        detail::fail(check.file, check.line, detail::format("threw an exception: %s", e.what()));
    } catch (...) {
        detail::fail(check.file, check.line, "threw an exception");
    }
    return s.failures;
}

} // namespace conformance

#define CONFORMANCE_REGISTER_(name, reason)                                                                     \
    static void conformance_check_##name();                                                                     \
    static const ::conformance::detail::Registrar conformance_registrar_##name(#name, &conformance_check_##name, \
                                                                               __FILE__, __LINE__, reason);      \
    static void conformance_check_##name()

#define CONFORMANCE_TEST(name) CONFORMANCE_REGISTER_(name, nullptr)
#define CONFORMANCE_SIM_ONLY(name, reason) CONFORMANCE_REGISTER_(name, reason)

#define CHECK(cond)                                                                                             \
    do {                                                                                                        \
        if (!(cond)) ::conformance::detail::fail(__FILE__, __LINE__, "CHECK(" #cond ") failed");                \
    } while (0)

#define CHECK_MSG(cond, ...) ::conformance::detail::check_msg(static_cast<bool>(cond), #cond, __FILE__, __LINE__, __VA_ARGS__)

#define REQUIRE(cond)                                                                                           \
    do {                                                                                                        \
        if (!(cond)) {                                                                                          \
            ::conformance::detail::fail(__FILE__, __LINE__, "REQUIRE(" #cond ") failed; check stopped");        \
            return;                                                                                             \
        }                                                                                                       \
    } while (0)

#define CHECK_EQ(a, b) ::conformance::detail::check_eq((a), (b), #a, #b, __FILE__, __LINE__)
#define CHECK_STR(a, b) ::conformance::detail::check_str((a), (b), #a, #b, __FILE__, __LINE__)

#endif
