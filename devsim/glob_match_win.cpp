// Windows has no fnmatch: the same glob over '*', '?' and '[...]' ('!' or '^' negates, a-z
// ranges), enough for a fault's pattern over a command text.
#include <cstddef>
#include <string_view>

#include "devsim/glob_match.h"

namespace devsim {

namespace {

// Where the bracket expression at p[0] == '[' ends (the index after ']'), and whether c is in it;
// npos when it never closes, and '[' is then an ordinary character.
size_t bracket(std::string_view p, char c, bool& in) {
    size_t i = 1;
    const bool negate = i < p.size() && (p[i] == '!' || p[i] == '^');
    if (negate) ++i;
    bool found = false;
    for (bool first = true; i < p.size() && (first || p[i] != ']'); first = false) {
        char lo = p[i];
        char hi = lo;
        if (i + 2 < p.size() && p[i + 1] == '-' && p[i + 2] != ']') {
            hi = p[i + 2];
            i += 3;
        } else {
            ++i;
        }
        if (c >= lo && c <= hi) found = true;
    }
    if (i >= p.size()) return std::string_view::npos;
    in = found != negate;
    return i + 1;
}

bool match(std::string_view p, std::string_view t) {
    while (!p.empty()) {
        if (p[0] == '*') {
            for (size_t skip = 0; skip <= t.size(); ++skip)
                if (match(p.substr(1), t.substr(skip))) return true;
            return false;
        }
        if (t.empty()) return false;
        size_t used = 1;
        bool ok = p[0] == '?' || p[0] == t[0];
        if (p[0] == '[') {
            bool in = false;
            const size_t end = bracket(p, t[0], in);
            if (end != std::string_view::npos) {
                used = end;
                ok = in;
            }
        }
        if (!ok) return false;
        p.remove_prefix(used);
        t.remove_prefix(1);
    }
    return t.empty();
}

}  // namespace

bool glob_match(const std::string& pattern, const std::string& text) {
    return match(pattern, text);
}

}  // namespace devsim
