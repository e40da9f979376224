// The event record of tests/support is compiled in here: the test programs
// built from this file need nothing else than the link-time wraps, of
// tr69_notify_event, and of set_get_attribute, passed on to the store.
#include "tests/support/notify_rec.cpp"

extern "C" int __real__Z17set_get_attributejPKjiPi(uint32_t, const uint32_t*, int, int32_t*);
extern "C" int __wrap__Z17set_get_attributejPKjiPi(uint32_t id, const uint32_t* instances, int mode,
                                                   int32_t* value) {
    return __real__Z17set_get_attributejPKjiPi(id, instances, mode, value);
}
