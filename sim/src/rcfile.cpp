// The .rc reader behind LoadStringA (and, later, dialog templates): a small
// tokenizer for resource-compiler text and the statements our libraries use.
#include "rcfile.h"

#include <dlfcn.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

namespace winsim {
namespace rc {
namespace {

struct Token {
    enum Kind { Word, Number, String, Punct } kind;
    std::string text; // words and punctuation as written, strings unescaped
    long value = 0;   // numbers
    int line = 0;
};

// One escape of a C-style string literal; `p` points after the backslash.
void unescape(const std::string &s, size_t &p, std::string &out) {
    if (p >= s.size()) return;
    char c = s[p++];
    switch (c) {
    case 'n': out += '\n'; return;
    case 't': out += '\t'; return;
    case 'r': out += '\r'; return;
    case 'a': out += '\a'; return;
    case 'b': out += '\b'; return;
    case 'f': out += '\f'; return;
    case 'v': out += '\v'; return;
    case 'x': {
        int v = 0, n = 0;
        while (p < s.size() && n < 2 && std::isxdigit((unsigned char)s[p])) {
            char d = s[p++];
            v = v * 16 + (std::isdigit((unsigned char)d) ? d - '0' : (std::tolower((unsigned char)d) - 'a' + 10));
            n++;
        }
        out += (char)v;
        return;
    }
    default:
        if (c >= '0' && c <= '7') {
            int v = c - '0', n = 1;
            while (p < s.size() && n < 3 && s[p] >= '0' && s[p] <= '7') v = v * 8 + (s[p++] - '0'), n++;
            out += (char)v;
            return;
        }
        out += c; // \\ \" \' and anything unknown stand for themselves
    }
}

std::vector<Token> tokenize(const std::string &s, std::map<std::string, long> &defines) {
    std::vector<Token> out;
    size_t p = 0;
    int line = 1;
    bool line_start = true;
    while (p < s.size()) {
        char c = s[p];
        if (c == '\n') {
            line++, p++, line_start = true;
            continue;
        }
        if (std::isspace((unsigned char)c)) {
            p++;
            continue;
        }
        if (c == '/' && p + 1 < s.size() && s[p + 1] == '/') {
            while (p < s.size() && s[p] != '\n') p++;
            continue;
        }
        if (c == '/' && p + 1 < s.size() && s[p + 1] == '*') {
            size_t e = s.find("*/", p + 2);
            for (size_t i = p; i < (e == std::string::npos ? s.size() : e); i++) line += s[i] == '\n';
            p = e == std::string::npos ? s.size() : e + 2;
            continue;
        }
        if (c == '#' && line_start) {
            // Preprocessor lines: only "#define NAME number" matters, for symbolic ids.
            size_t e = s.find('\n', p);
            std::istringstream in(s.substr(p + 1, e == std::string::npos ? std::string::npos : e - p - 1));
            std::string kw, name, value;
            if (in >> kw >> name >> value && kw == "define") {
                char *end = nullptr;
                long v = std::strtol(value.c_str(), &end, 0);
                if (end && !*end) defines[name] = v;
            }
            p = e == std::string::npos ? s.size() : e;
            continue;
        }
        line_start = false;
        Token t;
        t.line = line;
        if (c == '"') {
            t.kind = Token::String;
            p++;
            for (;;) {
                if (p >= s.size()) break;
                char d = s[p++];
                if (d == '"') {
                    if (p < s.size() && s[p] == '"') { // "" is a quote inside the string
                        t.text += '"';
                        p++;
                        continue;
                    }
                    break;
                }
                if (d == '\\') {
                    unescape(s, p, t.text);
                    continue;
                }
                if (d == '\n') line++;
                t.text += d;
            }
        } else if (std::isdigit((unsigned char)c) || (c == '-' && p + 1 < s.size() && std::isdigit((unsigned char)s[p + 1]))) {
            t.kind = Token::Number;
            size_t b = p++;
            while (p < s.size() && (std::isalnum((unsigned char)s[p]))) p++;
            t.text = s.substr(b, p - b);
            std::string digits = t.text;
            while (!digits.empty() && (digits.back() == 'L' || digits.back() == 'l' || digits.back() == 'U' || digits.back() == 'u'))
                digits.pop_back();
            t.value = std::strtol(digits.c_str(), nullptr, 0);
        } else if (std::isalpha((unsigned char)c) || c == '_') {
            t.kind = Token::Word;
            size_t b = p;
            while (p < s.size() && (std::isalnum((unsigned char)s[p]) || s[p] == '_')) p++;
            t.text = s.substr(b, p - b);
        } else {
            t.kind = Token::Punct;
            t.text = std::string(1, c);
            p++;
        }
        out.push_back(t);
    }
    return out;
}

bool opens(const Token &t) { return t.text == "{" || (t.kind == Token::Word && upper(t.text) == "BEGIN"); }
bool closes(const Token &t) { return t.text == "}" || (t.kind == Token::Word && upper(t.text) == "END"); }

class Parser {
public:
    Parser(std::vector<Token> t, std::map<std::string, long> d) : t_(std::move(t)), defines_(std::move(d)) {}

    File run() {
        File f;
        while (i_ < t_.size()) {
            const Token &head = t_[i_];
            std::string word = head.kind == Token::Word ? upper(head.text) : std::string();
            if (word == "STRINGTABLE") {
                string_table(f);
            } else if (word == "LANGUAGE") {
                skip_line();
            } else {
                // "name TYPE ...": block types may have header lines before their block.
                i_++;
                std::string type = i_ < t_.size() ? upper(t_[i_].text) : std::string();
                static const char *const blocky[] = {"VERSIONINFO", "DIALOG", "DIALOGEX", "MENU", "MENUEX", "ACCELERATORS"};
                bool block = false;
                for (const char *b : blocky) block |= type == b;
                if (block) {
                    while (i_ < t_.size() && !opens(t_[i_])) i_++;
                    skip_block();
                } else {
                    skip_line();
                    if (i_ < t_.size() && opens(t_[i_])) skip_block();
                }
            }
        }
        return f;
    }

private:
    void skip_line() {
        int line = t_[i_].line;
        while (i_ < t_.size() && t_[i_].line == line) i_++;
    }
    // From an opening token past its matching close.
    void skip_block() {
        int depth = 0;
        while (i_ < t_.size()) {
            if (opens(t_[i_])) depth++;
            if (closes(t_[i_]) && --depth == 0) {
                i_++;
                return;
            }
            i_++;
        }
    }
    bool id_of(const Token &t, long *id) {
        if (t.kind == Token::Number) return *id = t.value, true;
        auto it = defines_.find(t.text);
        return it != defines_.end() && (*id = it->second, true);
    }
    void string_table(File &f) {
        i_++;
        while (i_ < t_.size() && !opens(t_[i_])) i_++; // options: LANGUAGE, DISCARDABLE...
        if (i_ >= t_.size()) return;
        i_++;
        while (i_ < t_.size() && !closes(t_[i_])) {
            long id;
            bool have = id_of(t_[i_], &id);
            i_++;
            if (i_ < t_.size() && t_[i_].text == ",") i_++;
            if (i_ < t_.size() && t_[i_].kind == Token::String) {
                std::string text = t_[i_++].text;
                while (i_ < t_.size() && t_[i_].kind == Token::String) text += t_[i_++].text;
                if (have) f.strings[(unsigned)id & 0xFFFF] = text;
            }
        }
        if (i_ < t_.size()) i_++;
    }

    std::vector<Token> t_;
    std::map<std::string, long> defines_;
    size_t i_ = 0;
};

} // namespace

File parse(const std::string &text) {
    std::map<std::string, long> defines;
    std::vector<Token> tokens = tokenize(text, defines);
    return Parser(std::move(tokens), std::move(defines)).run();
}

const File *of_module(HMODULE module) {
    Dl_info info{};
    if (!module || !dladdr((const void *)module, &info) || !info.dli_fname) return nullptr;
    std::string so = info.dli_fname;
    size_t dot = so.rfind('.'), slash = so.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return nullptr;
    std::string path = so.substr(0, dot) + ".rc";

    static std::mutex lock;
    static auto *cache = new std::map<std::string, std::unique_ptr<File>>; // kept for the process's life
    std::lock_guard<std::mutex> g(lock);
    auto it = cache->find(path);
    if (it != cache->end()) return it->second.get();
    std::unique_ptr<File> f;
    std::ifstream in(path, std::ios::binary);
    if (in) {
        std::stringstream ss;
        ss << in.rdbuf();
        f = std::make_unique<File>(parse(ss.str()));
    }
    return (*cache)[path] = std::move(f), (*cache)[path].get();
}

} // namespace rc
} // namespace winsim

using namespace winsim;

extern "C" int WINAPI LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int size) {
    if (DWORD e = fault("LoadStringA")) {
        SetLastError(e);
        return 0;
    }
    if (!buffer || size <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    *buffer = '\0';
    const rc::File *f = rc::of_module(instance ? (HMODULE)instance : GetModuleHandleA(nullptr));
    if (!f) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return 0;
    }
    // Strings live in blocks of 16 named by a 16-bit number: only the low word counts.
    auto it = f->strings.find(id & 0xFFFF);
    if (it == f->strings.end()) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    size_t n = std::min(it->second.size(), (size_t)size - 1);
    std::memcpy(buffer, it->second.data(), n);
    buffer[n] = '\0';
    return (int)n;
}
