// REGEDIT4 text: how a machine's registry is saved, seeded and inspected.
#include "registry.h"

#include <cstdio>

namespace winsim {

using Key = Registry::Impl::Key;
using Value = Registry::Impl::Value;

// ----------------------------------------------------------------- export

namespace {

std::string quote(const std::string &s) {
    std::string o = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') o += '\\';
        o += c;
    }
    return o + "\"";
}

// A REG_SZ is written as a string only when that gives its bytes back
// exactly: one terminating zero, no other zero, nothing that breaks a line.
bool plain_string(const Value &v) {
    if (v.type != REG_SZ || v.data.empty() || v.data.back() != 0) return false;
    for (size_t i = 0; i + 1 < v.data.size(); i++)
        if (v.data[i] == 0 || v.data[i] == '\r' || v.data[i] == '\n') return false;
    return true;
}

void write_value(std::string &out, const Value &v) {
    std::string line = v.name.empty() ? "@=" : quote(v.name) + "=";
    char buf[32];
    if (plain_string(v)) {
        out += line + quote(std::string(v.data.begin(), v.data.end() - 1)) + "\n";
        return;
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        DWORD d = DWORD(v.data[0]) | DWORD(v.data[1]) << 8 | DWORD(v.data[2]) << 16 | DWORD(v.data[3]) << 24;
        std::snprintf(buf, sizeof buf, "dword:%08x", (unsigned)d);
        out += line + buf + "\n";
        return;
    }
    if (v.type == REG_BINARY) {
        line += "hex:";
    } else {
        std::snprintf(buf, sizeof buf, "hex(%x):", (unsigned)v.type);
        line += buf;
    }
    // Lines stay within 80 columns, continued with a backslash.
    for (size_t i = 0; i < v.data.size(); i++) {
        std::snprintf(buf, sizeof buf, "%02x", (unsigned)v.data[i]);
        line += buf;
        if (i + 1 < v.data.size()) {
            line += ",";
            if (line.size() > 76) {
                out += line + "\\\n";
                line = "  ";
            }
        }
    }
    out += line + "\n";
}

void write_key(std::string &out, const Key &k, const std::string &path) {
    out += "[" + path + "]\n";
    for (auto &v : k.values) write_value(out, v);
    out += "\n";
    for (auto &kv : k.subkeys) write_key(out, *kv.second, path + "\\" + kv.second->name);
}

} // namespace

std::string Registry::export_text(const std::string &key) const {
    WINSIM_LOCK();
    std::string out = "REGEDIT4\n\n";
    if (key.empty()) {
        // HKEY_CLASSES_ROOT is left out: it is part of HKEY_LOCAL_MACHINE.
        for (int h = 0; h < Impl::HiveCount; h++) write_key(out, *impl_->hives[h], impl_->hives[h]->name);
        return out;
    }
    Impl::Path p;
    if (!Impl::parse_path(key, &p)) return out;
    // Name the key as it is spelt in the registry, under the hive asked for.
    std::shared_ptr<Key> k = impl_->hives[p.hive];
    std::string path = p.classes_root ? "HKEY_CLASSES_ROOT" : k->name;
    for (size_t i = 0; i < p.parts.size(); i++) {
        k = k->child(p.parts[i]);
        if (!k) return out;
        if (!p.classes_root || i >= 2) path += "\\" + k->name;
    }
    write_key(out, *k, path);
    return out;
}

// ----------------------------------------------------------------- import

namespace {

struct Op {
    enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
    Registry::Impl::Path path;
    std::string name;
    DWORD type = 0;
    std::vector<BYTE> data;
};

std::string trim(const std::string &s) {
    size_t a = s.find_first_not_of(" \t\r");
    size_t b = s.find_last_not_of(" \t\r");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

bool starts_with_ci(const std::string &s, size_t pos, const char *prefix) {
    size_t n = std::char_traits<char>::length(prefix);
    return s.size() >= pos + n && iequals(s.substr(pos, n), prefix);
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Parses a quoted string starting at s[pos] == '"'; on success `pos` is
// just past the closing quote.
bool parse_quoted(const std::string &s, size_t &pos, std::string *out) {
    out->clear();
    for (size_t i = pos + 1; i < s.size(); i++) {
        char c = s[i];
        if (c == '"') {
            pos = i + 1;
            return true;
        }
        if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) c = s[++i];
        *out += c;
    }
    return false;
}

// "00,01,ff" (spaces allowed around items); an empty list is no bytes.
bool parse_hex_list(const std::string &s, std::vector<BYTE> *out) {
    out->clear();
    std::string list = trim(s);
    if (list.empty()) return true;
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        std::string item = trim(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (item.empty() || item.size() > 2) return false;
        int v = 0;
        for (char c : item) {
            int d = hex_digit(c);
            if (d < 0) return false;
            v = v * 16 + d;
        }
        out->push_back(BYTE(v));
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

class Parser {
public:
    explicit Parser(const std::string &text) {
        size_t start = 0;
        // A byte-order mark from an editor is not part of the header.
        if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) start = 3;
        while (start <= text.size()) {
            size_t nl = text.find('\n', start);
            if (nl == std::string::npos) {
                if (start < text.size()) lines_.push_back(text.substr(start));
                break;
            }
            lines_.push_back(text.substr(start, nl - start));
            start = nl + 1;
        }
    }

    bool run(std::vector<Op> *ops, std::string *error) {
        size_t i = 0;
        while (i < lines_.size() && trim(lines_[i]).empty()) i++;
        if (i == lines_.size() || !iequals(trim(lines_[i]), "REGEDIT4")) {
            return fail(i < lines_.size() ? i : 0, "REGEDIT4 header expected", error);
        }
        for (i++; i < lines_.size(); i++) {
            std::string t = trim(lines_[i]);
            if (t.empty() || t[0] == ';') continue;
            if (t[0] == '[') {
                if (!section(t, i, ops, error)) return false;
            } else if (t[0] == '"' || t[0] == '@') {
                if (!value(t, i, ops, error)) return false;
            } else {
                return fail(i, "not a key or a value", error);
            }
        }
        return true;
    }

private:
    bool fail(size_t line, const std::string &what, std::string *error) {
        if (error) *error = "line " + std::to_string(line + 1) + ": " + what;
        return false;
    }

    bool section(const std::string &t, size_t line, std::vector<Op> *ops, std::string *error) {
        if (t.back() != ']') return fail(line, "']' missing", error);
        std::string inner = t.substr(1, t.size() - 2);
        bool remove = !inner.empty() && inner[0] == '-';
        if (remove) inner.erase(0, 1);
        Op op{remove ? Op::DeleteKey : Op::CreateKey, {}, {}, 0, {}};
        if (!Registry::Impl::parse_path(inner, &op.path)) return fail(line, "bad key name '" + inner + "'", error);
        if (remove && op.path.parts.empty()) return fail(line, "a root key cannot be deleted", error);
        have_key_ = !remove;
        in_deleted_key_ = remove;
        key_ = op.path;
        ops->push_back(std::move(op));
        return true;
    }

    bool value(const std::string &t, size_t &line, std::vector<Op> *ops, std::string *error) {
        if (in_deleted_key_) return fail(line, "value under a deleted key", error);
        if (!have_key_) return fail(line, "value before any key", error);
        Op op{Op::SetValue, key_, {}, 0, {}};
        size_t pos = 0;
        if (t[0] == '@')
            pos = 1;
        else if (!parse_quoted(t, pos, &op.name))
            return fail(line, "unterminated name", error);
        while (pos < t.size() && (t[pos] == ' ' || t[pos] == '\t')) pos++;
        if (pos >= t.size() || t[pos] != '=') return fail(line, "'=' expected", error);
        std::string data = trim(t.substr(pos + 1));
        if (data == "-") {
            op.kind = Op::DeleteValue;
        } else if (!data.empty() && data[0] == '"') {
            size_t p = 0;
            std::string s;
            if (!parse_quoted(data, p, &s) || p != data.size()) return fail(line, "bad string", error);
            op.type = REG_SZ;
            op.data.assign(s.begin(), s.end());
            op.data.push_back(0);
        } else if (starts_with_ci(data, 0, "dword:")) {
            std::string digits = data.substr(6);
            if (digits.empty() || digits.size() > 8) return fail(line, "bad dword", error);
            DWORD d = 0;
            for (char c : digits) {
                int x = hex_digit(c);
                if (x < 0) return fail(line, "bad dword", error);
                d = d * 16 + (DWORD)x;
            }
            op.type = REG_DWORD;
            op.data = {BYTE(d), BYTE(d >> 8), BYTE(d >> 16), BYTE(d >> 24)};
        } else if (starts_with_ci(data, 0, "hex")) {
            size_t p = 3;
            op.type = REG_BINARY;
            if (p < data.size() && data[p] == '(') {
                size_t close = data.find(')', p);
                std::string digits = close == std::string::npos ? "" : data.substr(p + 1, close - p - 1);
                if (digits.empty() || digits.size() > 8) return fail(line, "bad value type", error);
                op.type = 0;
                for (char c : digits) {
                    int x = hex_digit(c);
                    if (x < 0) return fail(line, "bad value type", error);
                    op.type = op.type * 16 + (DWORD)x;
                }
                p = close + 1;
            }
            if (p >= data.size() || data[p] != ':') return fail(line, "':' expected", error);
            size_t first = line;
            std::string list = data.substr(p + 1);
            // A trailing backslash continues the list on the next line.
            while (!list.empty() && list.back() == '\\') {
                list.pop_back();
                if (++line >= lines_.size()) return fail(first, "continuation line missing", error);
                list += trim(lines_[line]);
            }
            if (!parse_hex_list(list, &op.data)) return fail(first, "bad hex data", error);
        } else {
            return fail(line, "bad value data", error);
        }
        ops->push_back(std::move(op));
        return true;
    }

    std::vector<std::string> lines_;
    bool have_key_ = false, in_deleted_key_ = false;
    Registry::Impl::Path key_;
};

} // namespace

bool Registry::import_text(const std::string &text, std::string *error) {
    std::vector<Op> ops;
    if (!Parser(text).run(&ops, error)) return false;
    WINSIM_LOCK();
    for (auto &op : ops) {
        switch (op.kind) {
        case Op::CreateKey: impl_->make(op.path); break;
        case Op::DeleteKey:
            if (auto k = impl_->find(op.path)) impl_->erase(k);
            break;
        case Op::SetValue: impl_->make(op.path)->set_value(op.name, op.type, std::move(op.data)); break;
        case Op::DeleteValue:
            if (auto k = impl_->find(op.path)) k->delete_value(op.name);
            break;
        }
    }
    return true;
}

// ------------------------------------------------------------ control API

namespace reg {
std::string export_text(const std::string &key) { return M().registry->export_text(key); }
bool import_text(const std::string &text, std::string *error) { return M().registry->import_text(text, error); }
bool key_exists(const std::string &path) { return M().registry->key_exists(path); }
bool value(const std::string &path, const std::string &name, DWORD *type, std::vector<BYTE> *data) {
    return M().registry->get_value(path, name, type, data);
}
void deny_write(const std::string &path, bool deny) { M().registry->deny_write(path, deny); }
} // namespace reg

} // namespace winsim
