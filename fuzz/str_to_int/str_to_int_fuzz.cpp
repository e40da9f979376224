// s_str_to_int against a conversion of its own written from the rule: the
// whole text (up to its zero byte) is optional white space, an optional
// sign and at least one decimal digit, and the value fits 32 bits signed.
// On refusal the output must stay as it was.
#include "db/kx_db.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool reference(const char* s, int32_t* out) {
    const char* p = s;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r')
        ++p;
    bool neg = false;
    if (*p == '+' || *p == '-') neg = *p++ == '-';
    if (*p < '0' || *p > '9') return false;
    int64_t v = 0;
    bool big = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (!big) v = v * 10 + (*p - '0');
        if (v > 2147483648LL) big = true;
    }
    if (*p != '\0' || big) return false;
    if (neg) v = -v;
    if (v < INT32_MIN || v > INT32_MAX) return false;
    *out = static_cast<int32_t>(v);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    const int32_t untouched = 0x5A5A5A5A;
    int32_t got = untouched;
    int rc = s_str_to_int(text.c_str(), &got);
    int32_t want = untouched;
    bool ok = reference(text.c_str(), &want);
    if (rc != (ok ? 0 : -1)) abort();
    if (got != want) abort();
    return 0;
}
