// The INF parser and the parsed file's lookups; kept apart from the
// installer so that the fuzz harness can take it alone.
#include "inf.h"

#include <setupapi.h>

namespace winsim {
namespace inf {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t'; }
bool is_eol(char c) { return c == '\r' || c == '\n'; }

// Walks INF text one logical line at a time.
class Scanner {
public:
    Scanner(const std::string &text, File *out) : t_(text), out_(out) {
        if (t_.size() >= 3 && (unsigned char)t_[0] == 0xEF && (unsigned char)t_[1] == 0xBB &&
            (unsigned char)t_[2] == 0xBF)
            i_ = 3;
    }

    DWORD run(unsigned *error_line) {
        while (i_ < t_.size()) {
            start_ = line_;
            DWORD e = logical_line();
            if (!e && line_ > kMaxLines) e = ERROR_GENERAL_SYNTAX;
            if (e) {
                if (error_line) *error_line = start_;
                return e;
            }
        }
        return 0;
    }

private:
    // Consumes a line end if one is here.
    void eat_eol() {
        if (i_ < t_.size() && t_[i_] == '\r') i_++;
        if (i_ < t_.size() && t_[i_] == '\n') i_++;
        line_++;
    }
    void skip_to_eol() {
        while (i_ < t_.size() && !is_eol(t_[i_])) i_++;
    }
    // A backslash followed only by blanks (or a comment) up to the line end.
    bool continuation_at(size_t at) const {
        size_t j = at + 1;
        while (j < t_.size() && is_space(t_[j])) j++;
        return j >= t_.size() || is_eol(t_[j]) || t_[j] == ';';
    }

    DWORD section_line() {
        i_++; // '['
        size_t close = i_;
        while (close < t_.size() && !is_eol(t_[close]) && t_[close] != ']') close++;
        if (close >= t_.size() || t_[close] != ']') return ERROR_BAD_SECTION_NAME_LINE;
        std::string name = t_.substr(i_, close - i_);
        size_t a = name.find_first_not_of(" \t"), b = name.find_last_not_of(" \t");
        name = a == std::string::npos ? "" : name.substr(a, b - a + 1);
        if (name.size() > kMaxSectionName) return ERROR_SECTION_NAME_TOO_LONG;
        i_ = close + 1;
        skip_to_eol();
        if (i_ < t_.size()) eat_eol();
        std::string k = upper(name);
        auto it = index_.find(k);
        if (it == index_.end()) {
            index_[k] = out_->sections.size();
            Section s;
            s.name = name;
            s.number = start_;
            out_->sections.push_back(std::move(s));
            current_ = out_->sections.size() - 1;
        } else {
            current_ = it->second;
        }
        return 0;
    }

    DWORD logical_line() {
        while (i_ < t_.size() && is_space(t_[i_])) i_++;
        if (i_ >= t_.size()) return 0;
        char c0 = t_[i_];
        if (is_eol(c0)) {
            eat_eol();
            return 0;
        }
        if (c0 == ';') {
            skip_to_eol();
            if (i_ < t_.size()) eat_eol();
            return 0;
        }
        if (c0 == '[') return section_line();

        Line line;
        line.number = start_;
        std::string cur, pending; // pending: blanks not yet known to be inside the field
        bool started = false, any = false, after_key = false;
        std::vector<std::string> fields;
        auto finish = [&] {
            fields.push_back(cur);
            cur.clear();
            pending.clear();
            started = false;
        };
        bool done = false;
        while (!done) {
            if (i_ >= t_.size()) break;
            char c = t_[i_];
            if (is_eol(c)) {
                eat_eol();
                break;
            }
            if (c == ';') {
                skip_to_eol();
                if (i_ < t_.size()) eat_eol();
                break;
            }
            if (c == '"') {
                if (started) cur += pending;
                pending.clear();
                started = any = true;
                i_++;
                for (;;) {
                    if (i_ >= t_.size() || is_eol(t_[i_])) return ERROR_GENERAL_SYNTAX; // unterminated quote
                    if (t_[i_] == '"') {
                        if (i_ + 1 < t_.size() && t_[i_ + 1] == '"') {
                            cur += '"';
                            i_ += 2;
                            continue;
                        }
                        i_++;
                        break;
                    }
                    cur += t_[i_++];
                    if (cur.size() > kMaxField) return ERROR_GENERAL_SYNTAX;
                }
                continue;
            }
            if (c == ',') {
                any = true;
                finish();
                i_++;
                if (line.has_key) after_key = true;
                continue;
            }
            if (c == '=' && !line.has_key && fields.empty()) {
                line.has_key = true;
                line.key = cur;
                cur.clear();
                pending.clear();
                started = false;
                any = true;
                i_++;
                continue;
            }
            if (c == '\\' && continuation_at(i_)) {
                i_++;
                skip_to_eol();
                if (i_ < t_.size()) eat_eol();
                if (line_ > kMaxLines) return ERROR_GENERAL_SYNTAX;
                while (i_ < t_.size() && is_space(t_[i_])) i_++;
                continue;
            }
            if (is_space(c)) {
                if (started) pending += c;
                i_++;
                continue;
            }
            if (started) cur += pending;
            pending.clear();
            cur += c;
            started = any = true;
            if (line.has_key) after_key = true;
            if (cur.size() > kMaxField) return ERROR_GENERAL_SYNTAX;
            i_++;
        }
        if (!any) return 0;
        if (current_ == (size_t)-1) return ERROR_EXPECTED_SECTION_NAME;
        // "key =" with nothing after it has no values.
        if (!line.has_key || after_key || started || !fields.empty()) finish();
        line.raw = std::move(fields);
        out_->sections[current_].lines.push_back(std::move(line));
        return 0;
    }

    const std::string &t_;
    File *out_;
    size_t i_ = 0;
    unsigned line_ = 1, start_ = 1;
    size_t current_ = (size_t)-1;
    std::map<std::string, size_t> index_;
};

} // namespace

bool parse_number(const std::string &s, long long *v) {
    size_t i = 0;
    bool neg = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
    int base = 10;
    if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= s.size()) return false;
    unsigned long long r = 0;
    for (; i < s.size(); i++) {
        int d;
        char c = s[i];
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return false;
        r = r * base + d;
        if (r > 0xFFFFFFFFull) return false;
    }
    *v = neg ? -(long long)r : (long long)r;
    return true;
}

namespace {
std::string join(const std::vector<std::string> &v, const char *sep) {
    std::string r;
    for (size_t i = 0; i < v.size(); i++) r += (i ? sep : "") + v[i];
    return r;
}

} // namespace

// ------------------------------------------------------------------ model

bool Line::field(size_t index, std::string *out) const {
    if (index == 0) {
        if (has_key) *out = key;
        else if (!fields.empty()) *out = fields[0];
        else return false;
        return true;
    }
    if (index > fields.size()) return false;
    *out = fields[index - 1];
    return true;
}

const Section *File::section(const std::string &name) const {
    for (auto &s : sections)
        if (iequals(s.name, name)) return &s;
    return nullptr;
}

bool File::has_version(const std::string &key) const {
    const Section *v = section("Version");
    if (!v) return false;
    for (auto &l : v->lines)
        if (l.has_key && iequals(l.key, key)) return true;
    return false;
}

std::string File::version(const std::string &key) const {
    const Section *v = section("Version");
    if (!v) return "";
    for (auto &l : v->lines)
        if (l.has_key && iequals(l.key, key)) return join(l.fields, ",");
    return "";
}

DWORD File::style() const {
    std::string sig = version("Signature");
    if (iequals(sig, "$Windows NT$") || iequals(sig, "$Chicago$") || iequals(sig, "$Windows 95$"))
        return INF_STYLE_WIN4;
    return INF_STYLE_OLDNT;
}

std::string File::dir() const { return path.empty() ? "" : dir_part(path); }

std::string File::substitute(const std::string &s) const {
    if (s.find('%') == std::string::npos) return s;
    bool machine = M_or_null() != nullptr;
    std::string r;
    size_t i = 0;
    while (i < s.size()) {
        size_t a = s.find('%', i);
        if (a == std::string::npos) {
            r.append(s, i, std::string::npos);
            break;
        }
        r.append(s, i, a - i);
        size_t b = s.find('%', a + 1);
        if (b == std::string::npos) {
            r.append(s, a, std::string::npos);
            break;
        }
        std::string key = s.substr(a + 1, b - a - 1);
        i = b + 1;
        if (key.empty()) {
            r += '%';
            continue;
        }
        auto it = strings.find(upper(key));
        long long n;
        std::string dir;
        if (it != strings.end()) r += it->second;
        else if (machine && parse_number(key, &n) && !(dir = dirid_path((long)n)).empty()) r += dir;
        else r.append(s, a, b - a + 1); // undefined: left as written
        if (r.size() > 16 * kMaxField) break; // cannot grow without bound
    }
    return r;
}

DWORD parse(const std::string &text, File *out, unsigned *error_line) {
    *out = File();
    if (text.size() > kMaxFileBytes) {
        if (error_line) *error_line = 0;
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    out->text = text;
    // A Unicode INF (UTF-16LE with its mark) is read as ANSI text.
    std::string narrow;
    if (text.size() >= 2 && (unsigned char)text[0] == 0xFF && (unsigned char)text[1] == 0xFE) {
        for (size_t i = 2; i + 1 < text.size(); i += 2)
            narrow += text[i + 1] ? '?' : text[i];
    }
    Scanner sc(narrow.empty() ? text : narrow, out);
    if (DWORD e = sc.run(error_line)) {
        out->sections.clear();
        return e;
    }
    // [Strings] values are taken literally; every other line is substituted.
    for (auto &s : out->sections)
        if (iequals(s.name, "Strings"))
            for (auto &l : s.lines)
                if (l.has_key) out->strings[upper(l.key)] = join(l.raw, ",");
    for (auto &s : out->sections) {
        bool strings = iequals(s.name, "Strings");
        for (auto &l : s.lines) {
            l.fields.reserve(l.raw.size());
            for (auto &f : l.raw) {
                l.fields.push_back(strings ? f : out->substitute(f));
                if (l.fields.back().size() > kMaxField) {
                    if (error_line) *error_line = l.number;
                    out->sections.clear();
                    return ERROR_GENERAL_SYNTAX;
                }
            }
            if (!strings) l.key = out->substitute(l.key);
        }
    }
    return 0;
}

} // namespace inf
} // namespace winsim
