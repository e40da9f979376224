// Serialized sets: an iterative parser with a bounded stack of open sets,
// so neither deep nesting nor long son lists can exhaust the call stack.
#include "platform/include/set.h"

#include <cstdlib>
#include <cstring>

namespace {

struct Cursor {
    const char* p;
    const char* end;

    bool at_end() const { return p >= end; }
    void skip_space() {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r'))
            ++p;
    }
};

// Parses a quoted string at the cursor into a heap text. Null on a syntax
// error (missing quote, unknown escape, end of input).
char* parse_str(Cursor& c) {
    if (c.at_end() || *c.p != '"') return nullptr;
    const char* start = ++c.p;
    size_t len = 0;
    // First pass: find the closing quote and the unescaped length.
    for (const char* q = start;; ++q) {
        if (q >= c.end) return nullptr;
        if (*q == '"') break;
        if (*q == '\\') {
            ++q;
            if (q >= c.end || (*q != '"' && *q != '\\')) return nullptr;
        }
        ++len;
    }
    auto* s = static_cast<char*>(malloc(len + 1));
    if (!s) return nullptr;
    size_t i = 0;
    while (*c.p != '"') {
        if (*c.p == '\\') ++c.p;
        s[i++] = *c.p++;
    }
    ++c.p; // closing quote
    s[i] = '\0';
    return s;
}

set_t* new_node(char* key) {
    auto* n = static_cast<set_t*>(calloc(1, sizeof(set_t)));
    if (!n) {
        free(key);
        return nullptr;
    }
    n->key = key;
    return n;
}

void free_node(set_t* s) {
    // Recursion follows nesting only (bounded by SET_DEPTH_MAX for parsed
    // sets); siblings are freed in a loop.
    while (s) {
        set_t* next = s->next;
        free_node(s->son);
        free(s->key);
        free(s->value);
        free(s);
        s = next;
    }
}

} // namespace

int set_read_n(const char* text, size_t len, set_t** out) {
    if (!out) return -1;
    *out = nullptr;
    // Sets hold texts: a zero byte inside the given bytes is never valid.
    if (!text || memchr(text, '\0', len)) return -1;
    Cursor c{text, text + len};
    // Open sets and, for each, its last son so far (sons are appended in order).
    set_t* open[SET_DEPTH_MAX];
    set_t* last[SET_DEPTH_MAX];
    int depth = 0;
    set_t* root = nullptr;
    for (;;) {
        c.skip_space();
        if (c.at_end()) goto fail;
        if (*c.p == '(') {
            if (depth == SET_DEPTH_MAX || (depth == 0 && root)) goto fail;
            ++c.p;
            c.skip_space();
            char* key = parse_str(c);
            if (!key) goto fail;
            set_t* n = new_node(key);
            if (!n) goto fail;
            if (depth == 0) {
                root = n;
            } else if (last[depth - 1]) {
                last[depth - 1]->next = n;
            } else {
                open[depth - 1]->son = n;
            }
            if (depth > 0) last[depth - 1] = n;
            open[depth] = n;
            last[depth] = nullptr;
            ++depth;
            c.skip_space();
            if (!c.at_end() && *c.p == '=') {
                ++c.p;
                c.skip_space();
                n->value = parse_str(c);
                if (!n->value) goto fail;
            }
        } else if (*c.p == ')') {
            if (depth == 0) goto fail;
            ++c.p;
            if (--depth == 0) break;
        } else {
            goto fail;
        }
    }
    c.skip_space();
    if (!c.at_end()) goto fail;
    *out = root;
    return 0;
fail:
    free_node(root);
    return -1;
}

int set_read(const char* text, set_t** out) {
    if (!text) {
        if (out) *out = nullptr;
        return -1;
    }
    return set_read_n(text, strlen(text), out);
}

const char* set_son_get_str(const set_t* set) {
    if (!set || !set->son) return nullptr;
    return set->son->value;
}

void set_free(set_t** s) {
    if (!s) return;
    free_node(*s);
    *s = nullptr;
}

size_t set_quote(char* out, const char* text, size_t len) {
    size_t n = 0;
    out[n++] = '"';
    for (size_t i = 0; i < len; ++i) {
        if (text[i] == '"' || text[i] == '\\') out[n++] = '\\';
        out[n++] = text[i];
    }
    out[n++] = '"';
    return n;
}
