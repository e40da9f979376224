// Connection-request URLs of a manageable device: the device's own URL on
// the LAN (DeviceConnectionRequestURL, written by the ACS, served through a
// pass-through rule) and the URL under which the ACS reaches it from the WAN
// (ConnectionRequestURL, read-only).
//
// A URL is "http://" host ":" port "/" path, with a numeric IPv4 host, kept
// as dotted decimal whatever numeric form the ACS wrote. A host that is not
// a LAN device (loopback, unspecified, multicast, broadcast, the gateway's
// WAN address) is refused: a rule towards it would open the gateway's own
// services to the WAN. The device address and LAN port live in the
// device's rule, the path in its record; both URLs are composed from them
// when read.
#include "datamodel/datamodel.h"

#include "crpt/crpt.h"
#include "datamodel/dm_util.h"
#include "db/tr111_db.h"
#include "main/tr111.h"
#include "registry/md.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>

static constexpr char TR111_MODULE[] = "TR111_url";

using tr111dm::device_id;
using tr111dm::write_empty;

// Fields the URL check fills.
static constexpr size_t HOST_SIZE = 16; // at most 15 characters
static constexpr size_t PORT_SIZE = 8;  // at most 7 digits
static constexpr size_t PATH_SIZE = 256;

static constexpr char URL_SCHEME[] = "http://";
static constexpr size_t URL_SCHEME_LEN = sizeof URL_SCHEME - 1;
// Longest path accepted: "http://" + 15-character address + ":" + 5-digit
// port + "/" + path must fit the 255 characters of the value buffer, so that
// a URL composed later from the stored parts is never cut.
static constexpr size_t PATH_MAX_LEN = (TR111_VALUE_SIZE - 1) - URL_SCHEME_LEN - 15 - 1 - 5 - 1;
static_assert(PATH_MAX_LEN == 226);
static_assert(PATH_MAX_LEN < PATH_SIZE);

#define WAN_IF_NAME "ppp0"
#define WAN_IP_PATH_FMT "/dev/%s/ip"

int TR111_check_URL_validity(const char* url, char* path, char* port, char* host) {
    TR111_INFOF("url=%s\n", url ? url : "");
    if (!url || url[0] == '\0') {
        TR111_ERR("Invalid ipAddress:empty ");
        return -1;
    }
    if (strncmp(url, URL_SCHEME, URL_SCHEME_LEN) != 0) {
        TR111_ERR("Invalid address: 'http://' not found");
        return -1;
    }
    const char* p = url + URL_SCHEME_LEN;

    // Host: up to the first ':' or the end.
    size_t n = 0;
    for (; *p != '\0' && *p != ':'; ++p) {
        if (n >= HOST_SIZE - 1) {
            TR111_ERR("Invalid ip address length");
            return -1;
        }
        host[n++] = *p;
    }
    host[n] = '\0';
    // Only the characters of the numeric forms: inet_aton stops at a blank
    // and would take "192.0.2.10 x;id" as 192.0.2.10.
    in_addr addr;
    if (n == 0 || strspn(host, "0123456789.xXabcdefABCDEF") != n || inet_aton(host, &addr) == 0) {
        TR111_ERRF("Invalid address ip:host=%s\n", host);
        return -1;
    }
    // The rule and the lease searches work on dotted decimal.
    inet_ntop(AF_INET, &addr, host, HOST_SIZE);
    if (*p != ':') return -1;
    ++p;

    // Port: decimal digits up to the next '/'.
    if (*p == '\0' || *p == '/') {
        TR111_ERR("Invalid URL: port invalid value  ");
        return -1;
    }
    n = 0;
    bool port_too_long = false;
    for (; *p != '\0' && *p != '/'; ++p) {
        if (*p < '0' || *p > '9') {
            TR111_ERR("Invalid port value");
            return -1;
        }
        if (n < PORT_SIZE - 1)
            port[n++] = *p;
        else
            port_too_long = true;
    }
    port[n] = '\0';
    if (*p != '/') {
        TR111_ERR("Invalid URL: port invalid value  ");
        return -1;
    }
    ++p;
    // A port of more than 7 digits does not fit its field: out of range.
    int32_t port_nbr = 0;
    if (port_too_long || s_str_to_int(port, &port_nbr) != 0 || port_nbr < 1 || port_nbr > 65535)
        return -1;

    // Path: the rest, without its leading '/'.
    size_t path_len = strlen(p);
    if (path_len > PATH_MAX_LEN) {
        TR111_ERRF("Invalid URL: path of %zu characters, at most %zu\n", path_len, PATH_MAX_LEN);
        return -1;
    }
    memcpy(path, p, path_len + 1);
    TR111_INFOF("path=%s, port=%s, host=%s  \n", path, port, host);
    return 0;
}

int get_wan_ip(char* out) {
    char key[64];
    snprintf(key, sizeof key, WAN_IP_PATH_FMT, WAN_IF_NAME);
    tr111::DbHandle db(KX_DB_RAM);
    if (!db) {
        TR111_ERR("Unable to open RAM database");
        return -1;
    }
    tr111::DbString ip(TR111_KX_DB_Get(db.get(), key));
    db.close_get();
    if (!ip) return -1;
    size_t len = strlen(ip.get());
    if (len > HOST_SIZE - 1) {
        // Not an IPv4 address: never hand out a cut one.
        TR111_ERRF("WAN address too long: %zu characters\n", len);
        return -1;
    }
    memcpy(out, ip.get(), len + 1);
    return 0;
}

// Why a device URL cannot have this host (dotted decimal), or null when it
// can.
static const char* not_a_device(const char* host) {
    in_addr a;
    if (inet_pton(AF_INET, host, &a) != 1) return "not an address";
    uint32_t v = ntohl(a.s_addr);
    if (v >> 24 == 127) return "loopback";
    if (v == 0) return "unspecified address";
    if (v >> 28 == 0xE) return "multicast";
    if (v == 0xFFFFFFFFu) return "limited broadcast";
    char wan[HOST_SIZE];
    memset(wan, 0, sizeof wan);
    in_addr w;
    // Without a WAN address no host can be it.
    if (get_wan_ip(wan) == 0 && inet_aton(wan, &w) != 0 && w.s_addr == a.s_addr)
        return "the gateway's WAN address";
    return nullptr;
}

// Composes "http://<address>:<port>/<path>" into the value buffer; false
// (and the empty text) when it would not fit.
static bool compose_url(char* value_out, const char* address, int port, const char* path) {
    int n = snprintf(value_out, TR111_VALUE_SIZE, "http://%s:%d/%s", address, port, path);
    if (n < 0 || static_cast<size_t>(n) >= TR111_VALUE_SIZE) {
        write_empty(value_out);
        return false;
    }
    return true;
}

int32_t get_val_MGTDEVICE_DEVICE_CON_REQ_URL(const char*, const uint32_t* instances, uint32_t,
                                             const char*, char* value_out) {
    int32_t id = device_id(instances);
    write_empty(value_out);
    if (md_get_type(id) == MD_TYPE_TR111) {
        TR111_INFO("get connection request url value for TR111 device ");
        return 0;
    }
    int rule = md_get_crpt_id(id);
    if (rule == -2) {
        TR111_INFOF("crpt of device %d not created, error code = %d\n", id, rule);
        return 0;
    }
    if (rule < 0) {
        TR111_ERRF("get crpt id failed, error code = %d\n", rule);
        return TR111_FAULT_9002;
    }
    // crpt_get_dev_ip fills 16 bytes; the 17th keeps the text ended.
    char dev_ip[HOST_SIZE + 1];
    memset(dev_ip, 0, sizeof dev_ip);
    int ret = crpt_get_dev_ip(rule, dev_ip);
    if (ret < 0) {
        TR111_ERRF("crpt_get_dev_ip failed, error code = %d\n", ret);
        return TR111_FAULT_9002;
    }
    int lan_port = crpt_get_lan_port(rule);
    if (lan_port < 0) {
        TR111_ERRF("crpt_get_lan_port failed, error code = %d\n", lan_port);
        return TR111_FAULT_9002;
    }
    char path[PATH_SIZE + 1];
    memset(path, 0, sizeof path);
    ret = md_get_path(id, path);
    if (ret < 0) {
        TR111_ERRF(" md get path failed, error code = %d\n", ret);
        return TR111_FAULT_9002;
    }
    if (!compose_url(value_out, dev_ip, lan_port, path)) {
        TR111_ERRF("device connection request URL of device %d does not fit\n", id);
        return TR111_FAULT_9002;
    }
    return 0;
}

int32_t get_val_MGTDEVICE_CON_REQ_URL(const char*, const uint32_t* instances, uint32_t, const char*,
                                      char* value_out) {
    int32_t id = device_id(instances);
    write_empty(value_out);
    if (md_get_type(id) == MD_TYPE_TR111) {
        TR111_INFO("get connection request URL for a TR111 device ");
        return 0;
    }
    int rule = md_get_crpt_id(id);
    if (rule == -2) {
        TR111_INFOF("crpt of device %d not created, error code = %d\n", id, rule);
        return 0;
    }
    if (rule < 0) {
        TR111_ERRF("md get crpt id failed, error code = %d\n", rule);
        return TR111_FAULT_9002;
    }
    char wan_ip[HOST_SIZE];
    memset(wan_ip, 0, sizeof wan_ip);
    int ret = get_wan_ip(wan_ip);
    if (ret < 0) {
        TR111_ERRF("get wan ip failed, error code = %d\n", ret);
        return TR111_FAULT_9002;
    }
    int wan_port = crpt_get_wan_port(rule);
    if (wan_port < 0) {
        TR111_ERRF("crpt_get_wan_port failed, error code = %d\n", wan_port);
        return TR111_FAULT_9002;
    }
    char path[PATH_SIZE + 1];
    memset(path, 0, sizeof path);
    ret = md_get_path(id, path);
    if (ret < 0) {
        TR111_ERRF("md get path failed, error code = %d\n", ret);
        return TR111_FAULT_9002;
    }
    if (!compose_url(value_out, wan_ip, wan_port, path)) {
        TR111_ERRF("connection request URL of device %d does not fit\n", id);
        return TR111_FAULT_9002;
    }
    TR111_INFOF("Connection request URL: %s\n", value_out);
    return 0;
}

int32_t set_val_MGTDEVICE_DEVICE_CON_REQ_URL(const char*, const uint32_t* instances, uint32_t,
                                             const char* value_in, char*) {
    int32_t id = device_id(instances);
    if (md_is_exist(id) != 1) {
        TR111_ERRF("manageable device %d not listed: nothing set\n", id);
        return TR111_FAULT_9002;
    }
    if (md_get_type(id) == MD_TYPE_TR111) {
        TR111_ERR("Invalid request : set connection request url to TR111 DEVICE ");
        md_set_type(id, MD_TYPE_WT111R2);
    }
    char host[HOST_SIZE];
    char port[PORT_SIZE];
    char path[PATH_SIZE];
    memset(host, 0, sizeof host);
    memset(port, 0, sizeof port);
    memset(path, 0, sizeof path);
    const char* url = tr111dm::input_is_text(value_in) ? value_in : nullptr;
    int valid = TR111_check_URL_validity(url, path, port, host);
    TR111_INFOF("URL =%s, URL validity result = %d\n", url ? url : "", valid);
    if (valid != 0) {
        TR111_ERR("Invalid IP address");
        return TR111_FAULT_9002;
    }
    if (const char* why = not_a_device(host)) {
        TR111_ERRF("URL host %s is no LAN device (%s): refused\n", host, why);
        return TR111_FAULT_9002;
    }
    TR111_INFO("url connection request valid");
    int32_t port_nbr = 0;
    s_str_to_int(port, &port_nbr); // checked by the URL check

    int ret = md_set_path(id, path);
    if (ret < 0) {
        TR111_ERRF("md set path failed, error code = %d\n", ret);
        return TR111_FAULT_9002;
    }

    int rule = md_get_crpt_id(id);
    if (rule >= 0) {
        // The rule exists: it follows the device to its address; its LAN port
        // stays as the rule was created. A rule removed behind the device's
        // back is made anew, as for a device without one.
        ret = crpt_set_dev_ip(rule, host);
        if (ret == CRPT_ERR_ABSENT) {
            TR111_ERRF("rule %d of device %d no longer exists: a new one is made\n", rule, id);
            rule = -1;
        } else if (ret < 0) {
            TR111_ERRF(" crpt set dev ip failed, error code = %d\n", ret);
            return TR111_FAULT_9002;
        }
    }
    if (rule < 0) {
        rule = crpt_create(static_cast<uint32_t>(port_nbr), host);
        if (rule < 0) {
            TR111_INFO("CRPT fail creation ");
            return TR111_FAULT_9002;
        }
        ret = md_set_crpt_id(id, rule);
        if (ret < 0) {
            TR111_ERRF("md set crpt id failed, error code = %d\n", ret);
            return TR111_FAULT_9002;
        }
    }
    int enable = md_get_crpt_enable(id);
    if (enable < 0) {
        TR111_ERRF("md_get_crpt_enable, code error : %d\n", enable);
        return TR111_FAULT_9002;
    }
    if (enable == 1) {
        ret = crpt_enable(rule);
        if (ret < 0) {
            TR111_ERRF("crpt_enable failed, code error: %d\n ", ret);
            return TR111_FAULT_9002;
        }
    }
    return 0;
}
