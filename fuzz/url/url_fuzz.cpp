// The connection-request URL check: any text, into fields of exactly the
// sizes the setter gives (heap blocks, so a byte written past one is
// caught). An accepted URL must be exactly "http://" host ":" port "/" path
// as the check split it, with a host inet_aton takes (given back in dotted
// decimal) and a port from 1 to 65535.
#include "datamodel/datamodel.h"
#include "fuzz/common/fuzz_support.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tr111fuzz::debug_to_null();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The setter hands the check a text: up to the first zero byte.
    std::string url(reinterpret_cast<const char*>(data), size);
    url.resize(strlen(url.c_str()));

    auto path = std::make_unique<char[]>(256);
    auto port = std::make_unique<char[]>(8);
    auto host = std::make_unique<char[]>(16);
    int rc = TR111_check_URL_validity(url.c_str(), path.get(), port.get(), host.get());
    if (rc != 0) {
        if (rc != -1) abort();
        return 0;
    }
    if (memchr(host.get(), 0, 16) == nullptr || memchr(port.get(), 0, 8) == nullptr ||
        memchr(path.get(), 0, 256) == nullptr)
        abort();
    // The host comes back as the dotted decimal text of the numeric form
    // written, made of digits, dots, 'x' and hexadecimal letters only.
    const std::string written = url.substr(7, url.find(':', 7) - 7);
    in_addr a;
    if (written.find_first_not_of("0123456789.xXabcdefABCDEF") != std::string::npos ||
        inet_aton(written.c_str(), &a) == 0 || std::string(inet_ntoa(a)) != host.get())
        abort();
    std::string rebuilt = "http://" + written + ":" + port.get() + "/" + path.get();
    if (rebuilt != url) abort();
    long p = strtol(port.get(), nullptr, 10);
    if (p < 1 || p > 65535) abort();
    return 0;
}
