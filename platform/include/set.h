// Serialized sets: the text form in which the configuration server answers
// a read, and in which it keeps its persistent stores.
//
//     set := '(' str [ '=' str ] { set } ')'
//     str := '"' { byte other than '"' and '\' | '\"' | '\\' } '"'
//
// A set is a node: its key, its value (optional) and its sons, in order.
// White space (blank, tab, newline, carriage return) may stand between
// tokens. A read of the path P is answered with P's parent holding one son,
// P's node with its value and without sons:
//     ("loc_srv"("3"="3"))        for a read of /fw/rule/loc_srv/3/
//     ("0"("enabled"="1"))        for a read of /fw/rule/loc_srv/0/enabled
// and with an empty text when P does not exist.
//
// The parser never trusts its input: nesting deeper than SET_DEPTH_MAX,
// an unterminated string, an unknown escape or bytes after the set make
// set_read fail, and it never reads past the terminating zero byte.
#pragma once

#include <cstddef>

constexpr int SET_DEPTH_MAX = 64;

struct set_t {
    char* key;    // heap text, never null
    char* value;  // heap text, null when the node has no value
    set_t* son;   // first son, or null
    set_t* next;  // next sibling, or null
};

// Parses text into a new set stored through out (null before the call).
// Returns 0, or -1 with *out left null.
int set_read(const char* text, set_t** out);
// Like set_read, over len bytes that need not be terminated.
int set_read_n(const char* text, size_t len, set_t** out);
// The value of the set's first son, or null (no set, no son, no value).
const char* set_son_get_str(const set_t* set);
// Frees the set and its sons and stores null through s.
void set_free(set_t** s);

// Appends the quoted form of len bytes of text (for writers of sets).
// out must have room for 2 + 2 * len bytes. Returns the bytes written.
size_t set_quote(char* out, const char* text, size_t len);
