// The .rc reader behind LoadStringA, the dialog templates and icons: a small
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

#define C(n) {#n, (long)(n)}
const std::map<std::string, long> &constants() {
    static const std::map<std::string, long> table = {
        C(WS_OVERLAPPED), C(WS_POPUP), C(WS_CHILD), C(WS_MINIMIZE), C(WS_VISIBLE), C(WS_DISABLED),
        C(WS_CLIPSIBLINGS), C(WS_CLIPCHILDREN), C(WS_MAXIMIZE), C(WS_CAPTION), C(WS_BORDER), C(WS_DLGFRAME),
        C(WS_VSCROLL), C(WS_HSCROLL), C(WS_SYSMENU), C(WS_THICKFRAME), C(WS_GROUP), C(WS_TABSTOP),
        C(WS_MINIMIZEBOX), C(WS_MAXIMIZEBOX), C(WS_OVERLAPPEDWINDOW), C(WS_POPUPWINDOW), C(WS_CHILDWINDOW),
        C(WS_EX_DLGMODALFRAME), C(WS_EX_NOPARENTNOTIFY), C(WS_EX_TOPMOST), C(WS_EX_ACCEPTFILES),
        C(WS_EX_TRANSPARENT), C(WS_EX_TOOLWINDOW), C(WS_EX_WINDOWEDGE), C(WS_EX_CLIENTEDGE),
        C(WS_EX_CONTEXTHELP), C(WS_EX_CONTROLPARENT), C(WS_EX_STATICEDGE), C(WS_EX_APPWINDOW),
        C(DS_ABSALIGN), C(DS_SYSMODAL), C(DS_3DLOOK), C(DS_FIXEDSYS), C(DS_NOFAILCREATE), C(DS_LOCALEDIT),
        C(DS_SETFONT), C(DS_MODALFRAME), C(DS_NOIDLEMSG), C(DS_SETFOREGROUND), C(DS_CONTROL), C(DS_CENTER),
        C(DS_CENTERMOUSE), C(DS_CONTEXTHELP), C(DS_SHELLFONT),
        C(ES_LEFT), C(ES_CENTER), C(ES_RIGHT), C(ES_MULTILINE), C(ES_UPPERCASE), C(ES_LOWERCASE),
        C(ES_PASSWORD), C(ES_AUTOVSCROLL), C(ES_AUTOHSCROLL), C(ES_NOHIDESEL), C(ES_OEMCONVERT),
        C(ES_READONLY), C(ES_WANTRETURN), C(ES_NUMBER),
        C(SS_LEFT), C(SS_CENTER), C(SS_RIGHT), C(SS_ICON), C(SS_BLACKRECT), C(SS_GRAYRECT), C(SS_WHITERECT),
        C(SS_BLACKFRAME), C(SS_GRAYFRAME), C(SS_WHITEFRAME), C(SS_SIMPLE), C(SS_LEFTNOWORDWRAP), C(SS_BITMAP),
        C(SS_ETCHEDHORZ), C(SS_ETCHEDVERT), C(SS_ETCHEDFRAME), C(SS_NOPREFIX), C(SS_NOTIFY),
        C(SS_CENTERIMAGE), C(SS_RIGHTJUST), C(SS_REALSIZEIMAGE), C(SS_SUNKEN),
        C(BS_PUSHBUTTON), C(BS_DEFPUSHBUTTON), C(BS_CHECKBOX), C(BS_AUTOCHECKBOX), C(BS_RADIOBUTTON),
        C(BS_3STATE), C(BS_AUTO3STATE), C(BS_GROUPBOX), C(BS_USERBUTTON), C(BS_AUTORADIOBUTTON),
        C(BS_OWNERDRAW), C(BS_LEFTTEXT), C(BS_TEXT), C(BS_ICON), C(BS_BITMAP), C(BS_LEFT), C(BS_RIGHT),
        C(BS_CENTER), C(BS_TOP), C(BS_BOTTOM), C(BS_VCENTER), C(BS_PUSHLIKE), C(BS_MULTILINE), C(BS_NOTIFY),
        C(BS_FLAT),
        C(LBS_NOTIFY), C(LBS_SORT), C(LBS_NOREDRAW), C(LBS_MULTIPLESEL), C(LBS_OWNERDRAWFIXED),
        C(LBS_OWNERDRAWVARIABLE), C(LBS_HASSTRINGS), C(LBS_USETABSTOPS), C(LBS_NOINTEGRALHEIGHT),
        C(LBS_MULTICOLUMN), C(LBS_WANTKEYBOARDINPUT), C(LBS_EXTENDEDSEL), C(LBS_DISABLENOSCROLL),
        C(LBS_NODATA), C(LBS_NOSEL), C(LBS_STANDARD),
        C(IDOK), C(IDCANCEL), C(IDABORT), C(IDRETRY), C(IDIGNORE), C(IDYES), C(IDNO),
        {"IDC_STATIC", -1}, // winres.h's name for controls without an id
    };
    return table;
}
#undef C

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
                std::string key = key_of(head);
                i_++;
                std::string type = i_ < t_.size() ? upper(t_[i_].text) : std::string();
                if (i_ < t_.size() && t_[i_].kind == Token::Word && (type == "DIALOG" || type == "DIALOGEX")) {
                    i_++;
                    DialogTemplate d;
                    d.ex = type == "DIALOGEX";
                    if (dialog(d)) f.dialogs[key] = std::move(d);
                    continue;
                }
                if (i_ < t_.size() && t_[i_].kind == Token::Word && type == "ICON") {
                    i_++;
                    skip_memory_options();
                    if (i_ < t_.size() && t_[i_].kind == Token::String) f.icons[key] = t_[i_].text;
                    if (i_ < t_.size()) skip_line();
                    continue;
                }
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
    bool at(const char *punct) const { return i_ < t_.size() && t_[i_].kind == Token::Punct && t_[i_].text == punct; }
    bool at_word(const char *word) const {
        return i_ < t_.size() && t_[i_].kind == Token::Word && upper(t_[i_].text) == word;
    }
    void comma() {
        if (at(",")) i_++;
    }
    std::string key_of(const Token &t) {
        long v;
        if (t.kind == Token::Number) return "#" + std::to_string(t.value & 0xFFFF);
        if (t.kind == Token::Word && id_of(t, &v)) return "#" + std::to_string(v & 0xFFFF);
        return upper(t.text);
    }
    void skip_memory_options() {
        static const char *const opts[] = {"DISCARDABLE", "MOVEABLE", "FIXED", "PURE", "IMPURE", "PRELOAD", "LOADONCALL"};
        for (bool again = true; again;) {
            again = false;
            for (const char *o : opts)
                if (at_word(o)) i_++, again = true;
        }
    }
    // A number or a name of a number; false (nothing consumed) otherwise.
    bool value(long *out) {
        if (i_ >= t_.size()) return false;
        const Token &t = t_[i_];
        if (t.kind == Token::Number) return *out = t.value, i_++, true;
        if (t.kind != Token::Word) return false;
        if (id_of(t, out) || constant(t.text, out)) return i_++, true;
        return false;
    }
    // A style expression over `acc`: "A | B", "NOT C" clears bits, "(...)".
    // Unknown names count as 0, as an undefined symbol would break windres.
    void expr(long *acc) {
        for (;;) {
            bool negate = false;
            while (at_word("NOT")) negate = !negate, i_++;
            long v = 0;
            if (at("(")) {
                i_++;
                expr(&v);
                if (at(")")) i_++;
            } else if (!value(&v)) {
                if (i_ < t_.size() && t_[i_].kind == Token::Word) i_++;
            }
            if (negate)
                *acc &= ~v;
            else
                *acc |= v;
            if (at("|") || at("+")) {
                i_++;
                continue;
            }
            return;
        }
    }
    long number() {
        long v = 0;
        if (at("(")) {
            i_++;
            expr(&v);
            if (at(")")) i_++;
            return v;
        }
        if (!value(&v) && i_ < t_.size() && !at(",")) i_++;
        return v;
    }
    std::string text() {
        if (i_ < t_.size() && t_[i_].kind == Token::String) {
            std::string s = t_[i_++].text;
            while (i_ < t_.size() && t_[i_].kind == Token::String) s += t_[i_++].text;
            return s;
        }
        long v = 0;
        if (value(&v)) return "#" + std::to_string(v & 0xFFFF); // an ordinal, e.g. an ICON's resource
        if (i_ < t_.size()) return t_[i_++].text;
        return std::string();
    }
    // After "ID DIALOG[EX]": the rectangle, the option lines and the controls.
    bool dialog(DialogTemplate &d) {
        skip_memory_options();
        long v[5] = {0, 0, 0, 0, 0};
        for (int k = 0; k < 4; k++) {
            v[k] = number();
            comma();
        }
        if (d.ex && !opens(t_[std::min(i_, t_.size() - 1)]) && value(&v[4])) comma(); // help id
        d.x = (int)v[0], d.y = (int)v[1], d.cx = (int)v[2], d.cy = (int)v[3];
        long style = WS_POPUP | WS_BORDER | WS_SYSMENU, ex_style = 0;
        bool caption = false, font = false;
        while (i_ < t_.size() && !opens(t_[i_])) {
            std::string w = upper(t_[i_].text);
            i_++;
            if (w == "STYLE") {
                style = 0;
                expr(&style);
            } else if (w == "EXSTYLE") {
                ex_style = 0;
                expr(&ex_style);
            } else if (w == "CAPTION") {
                d.caption = text();
                caption = true;
            } else if (w == "FONT") {
                d.font_size = (int)number();
                comma();
                d.font_face = text();
                font = true;
                while (at(",")) comma(), number(); // weight, italic, charset
            } else {
                // CLASS, MENU, LANGUAGE, CHARACTERISTICS, VERSION: the rest of the line.
                if (i_ > 0) i_--;
                skip_line();
            }
        }
        if (caption) style |= WS_CAPTION;
        if (font) style |= DS_SETFONT;
        d.style = (DWORD)style;
        d.ex_style = (DWORD)ex_style;
        if (i_ >= t_.size()) return false;
        i_++;
        while (i_ < t_.size() && !closes(t_[i_])) {
            if (t_[i_].kind != Token::Word) {
                i_++;
                continue;
            }
            DialogItem item;
            if (!control(item, d.ex)) continue;
            d.items.push_back(std::move(item));
        }
        if (i_ < t_.size()) i_++;
        return true;
    }
    // One control statement; false when the statement is unknown (skipped).
    bool control(DialogItem &c, bool ex) {
        struct Kind {
            const char *statement, *cls;
            long style;
            bool has_text;
        };
        static const Kind kinds[] = {
            {"LTEXT", "Static", SS_LEFT | WS_GROUP, true},
            {"CTEXT", "Static", SS_CENTER | WS_GROUP, true},
            {"RTEXT", "Static", SS_RIGHT | WS_GROUP, true},
            {"ICON", "Static", SS_ICON, true},
            {"PUSHBUTTON", "Button", BS_PUSHBUTTON | WS_TABSTOP, true},
            {"DEFPUSHBUTTON", "Button", BS_DEFPUSHBUTTON | WS_TABSTOP, true},
            {"GROUPBOX", "Button", BS_GROUPBOX, true},
            {"CHECKBOX", "Button", BS_CHECKBOX | WS_TABSTOP, true},
            {"AUTOCHECKBOX", "Button", BS_AUTOCHECKBOX | WS_TABSTOP, true},
            {"RADIOBUTTON", "Button", BS_RADIOBUTTON | WS_TABSTOP, true},
            {"AUTORADIOBUTTON", "Button", BS_AUTORADIOBUTTON | WS_TABSTOP, true},
            {"EDITTEXT", "Edit", ES_LEFT | WS_BORDER | WS_TABSTOP, false},
            {"LISTBOX", "ListBox", LBS_NOTIFY | WS_BORDER, false},
            {"CONTROL", "", 0, true},
        };
        std::string w = upper(t_[i_].text);
        const Kind *k = nullptr;
        for (const Kind &x : kinds)
            if (w == x.statement) k = &x;
        if (!k) {
            skip_line();
            return false;
        }
        int line = t_[i_].line;
        i_++;
        c.statement = k->statement;
        long style = WS_CHILD | WS_VISIBLE | k->style, ex_style = 0;
        if (k->has_text) {
            c.text = text();
            comma();
        }
        c.id = number();
        comma();
        long r[4] = {0, 0, 0, 0};
        bool is_control = w == "CONTROL", is_icon = w == "ICON";
        if (is_control) {
            if (i_ < t_.size() && t_[i_].kind == Token::String) {
                c.class_name = text();
            } else if (i_ < t_.size()) {
                static const std::map<std::string, std::string> names = {
                    {"BUTTON", "Button"}, {"EDIT", "Edit"}, {"STATIC", "Static"},
                    {"LISTBOX", "ListBox"}, {"SCROLLBAR", "ScrollBar"}, {"COMBOBOX", "ComboBox"}};
                auto it = names.find(upper(t_[i_].text));
                c.class_name = it != names.end() ? it->second : t_[i_].text;
                i_++;
            }
            comma();
            expr(&style);
            comma();
        } else {
            c.class_name = k->cls;
        }
        int count = 0;
        for (int n = 0; n < 4; n++) {
            // An ICON may stop after x, y: its size then comes from the icon.
            if (is_icon && n == 2 && (i_ >= t_.size() || t_[i_].line != line || !at(","))) break;
            if (n > 0) {
                if (!at(",")) break;
                comma();
            }
            r[n] = number();
            count++;
        }
        if (!is_control && at(",")) {
            comma();
            expr(&style);
        }
        if (at(",")) {
            comma();
            expr(&ex_style);
        }
        if (ex && at(",")) comma(), number(); // help id
        if (ex && i_ < t_.size() && opens(t_[i_])) skip_block(); // control data
        (void)count;
        c.x = (int)r[0], c.y = (int)r[1], c.cx = (int)r[2], c.cy = (int)r[3];
        c.style = (DWORD)style;
        c.ex_style = (DWORD)ex_style;
        return true;
    }
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

std::string resource_key(LPCSTR name) {
    if (!name) return std::string();
    if (IS_INTRESOURCE(name)) return "#" + std::to_string((uintptr_t)name & 0xFFFF);
    if (name[0] == '#') return "#" + std::to_string(std::strtoul(name + 1, nullptr, 10) & 0xFFFF);
    return upper(name);
}

bool constant(const std::string &name, long *value) {
    auto it = constants().find(name);
    if (it == constants().end()) return false;
    *value = it->second;
    return true;
}

File parse(const std::string &text) {
    std::map<std::string, long> defines;
    std::vector<Token> tokens = tokenize(text, defines);
    return Parser(std::move(tokens), std::move(defines)).run();
}

namespace {
std::mutex &cache_lock() {
    static std::mutex *m = new std::mutex;
    return *m;
}
std::map<HMODULE, std::unique_ptr<File>> &overrides() {
    static auto *m = new std::map<HMODULE, std::unique_ptr<File>>; // kept for the process's life
    return *m;
}
} // namespace

void set_module_text(HMODULE module, const std::string *text) {
    std::lock_guard<std::mutex> g(cache_lock());
    if (text)
        overrides()[module] = std::make_unique<File>(parse(*text));
    else
        overrides().erase(module);
}

const File *of_module(HMODULE module) {
    {
        std::lock_guard<std::mutex> g(cache_lock());
        auto o = overrides().find(module);
        if (o != overrides().end()) return o->second.get();
    }
    Dl_info info{};
    if (!module || !dladdr((const void *)module, &info) || !info.dli_fname) return nullptr;
    std::string so = info.dli_fname;
    size_t dot = so.rfind('.'), slash = so.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return nullptr;
    std::string path = so.substr(0, dot) + ".rc";

    static auto *cache = new std::map<std::string, std::unique_ptr<File>>; // kept for the process's life
    std::lock_guard<std::mutex> g(cache_lock());
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
