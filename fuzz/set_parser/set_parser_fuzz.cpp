// The serialized-set parser, as the database client meets a reply: any
// bytes through set_read_n, their text up to the first zero byte through
// set_read, and set_son_get_str on what was parsed. A set that parses is
// written back with set_quote and must parse again into the same tree.
#include "platform/include/set.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void write_set(const set_t* s, std::string& out) {
    for (; s; s = s->next) {
        out += '(';
        std::string q(2 + 2 * strlen(s->key), '\0');
        q.resize(set_quote(q.data(), s->key, strlen(s->key)));
        out += q;
        if (s->value) {
            std::string v(2 + 2 * strlen(s->value), '\0');
            v.resize(set_quote(v.data(), s->value, strlen(s->value)));
            out += '=';
            out += v;
        }
        write_set(s->son, out);
        out += ')';
    }
}

bool same(const set_t* a, const set_t* b) {
    for (; a && b; a = a->next, b = b->next) {
        if (strcmp(a->key, b->key) != 0) return false;
        if ((a->value == nullptr) != (b->value == nullptr)) return false;
        if (a->value && strcmp(a->value, b->value) != 0) return false;
        if (!same(a->son, b->son)) return false;
    }
    return a == nullptr && b == nullptr;
}

void check(const set_t* s) {
    if (!s) return;
    // A parsed set is one node (no siblings at the top).
    if (s->next) abort();
    const char* v = set_son_get_str(s);
    if (v && (!s->son || v != s->son->value)) abort();
    std::string text;
    write_set(s, text);
    set_t* again = nullptr;
    if (set_read(text.c_str(), &again) != 0 || !same(s, again)) abort();
    set_free(&again);
    if (again) abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly size bytes, in a block of their own: a read past them is caught.
    auto* bytes = static_cast<char*>(calloc(size ? size : 1, 1));
    if (size) memcpy(bytes, data, size);
    set_t* s = reinterpret_cast<set_t*>(1);
    int rc = set_read_n(bytes, size, &s);
    // Success gives a set, failure leaves null.
    if ((rc == 0) != (s != nullptr)) abort();
    check(s);
    set_free(&s);
    free(bytes);

    std::string text(reinterpret_cast<const char*>(data), size);
    s = nullptr;
    if (set_read(text.c_str(), &s) == 0)
        check(s);
    else if (s)
        abort();
    set_free(&s);
    return 0;
}
