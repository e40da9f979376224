// Index of the listed devices' MAC addresses, for the lease searches: a
// lease event must not read every device's MAC address.
//
// The index holds, in list order, each listed device's id and MacAddress.
// It is built by a walk (the device list and every MAC, on the caller's
// handle) when it is missing, and dropped whenever the device set may have
// changed: a record created or deleted, a MacAddress written, start-up
// (the change handling and md_remove say so). A record the daemon deletes
// itself leaves the index at once, before its deletion comes back. What
// the index finds is checked before it is used: the found device's
// MacAddress is read again on the caller's handle, and when it no longer
// matches, the index is built again and searched once more.
//
// Threads: the lease searches run on the message thread; md_remove runs
// on both threads. index_mtx guards the index; no database call is made
// while holding it. A walk started before a change is not kept: each
// change bumps the generation, and a walk installs its result only when
// the generation is still the one it started from.
#include "registry/md.h"

#include "db/tr111_db.h"
#include "main/tr111.h"
#include "platform/rt.h"

#include <cstdio>
#include <cstring>

static constexpr char TR111_MODULE[] = "TR111_md";

namespace {

constexpr size_t MAC_TEXT = 17; // six two-digit groups and five colons

enum : uint8_t { MAC_NONE, MAC_HELD, MAC_LONG };

struct Entry {
    int32_t id;
    uint8_t state; // MAC_NONE: absent or empty; MAC_LONG: longer than the slot, read when searched
    char mac[MAC_TEXT + 1];
};
static_assert(sizeof(Entry) == 24);

struct Index {
    int count;
    Entry e[MD_MAX_NBR];
};

rt::Mutex index_mtx;
Index index_held;          // guarded by index_mtx
bool index_valid = false;  // guarded by index_mtx
uint32_t index_generation; // guarded by index_mtx

// Drops the index; the generation from then on.
uint32_t drop() {
    rt::Lock lock(index_mtx);
    index_valid = false;
    return ++index_generation;
}

// Copies the index into out; false when there is none. *gen is the
// generation seen.
bool take(Index* out, uint32_t* gen) {
    rt::Lock lock(index_mtx);
    *gen = index_generation;
    if (!index_valid) return false;
    out->count = index_held.count;
    memcpy(out->e, index_held.e, sizeof(Entry) * static_cast<size_t>(index_held.count));
    return true;
}

// Keeps a walk's index unless the device set changed since gen.
void install(const Index& walked, uint32_t gen) {
    rt::Lock lock(index_mtx);
    if (gen != index_generation) return;
    index_held = walked;
    index_valid = true;
}

// The device list and every listed device's MAC on h, the MACs read in
// pipelined batches. False when the list or the connection failed.
bool walk(KX_DB_handle* h, Index* out) {
    int32_t ids[MD_MAX_NBR];
    int count = md_get_list(ids, h);
    if (count < 0) return false;
    out->count = 0;
    tr111::DbBatch batch;
    char path[64];
    static_assert(sizeof(DB_MANAGEABLE_DEVICE_MAC_PATH) + 11 <= sizeof path);
    for (int done = 0; done < count;) {
        KX_DB_Batch_Clear(batch.get());
        int k = 0;
        for (; done + k < count && k < static_cast<int>(KX_DB_BATCH_MAX); ++k) {
            snprintf(path, sizeof path, DB_MANAGEABLE_DEVICE_MAC_PATH,
                     static_cast<int>(ids[done + k]));
            KX_DB_Batch_Get(batch.get(), path);
        }
        if (KX_DB_Batch_Run(h, batch.get()) != 0) return false;
        for (int i = 0; i < k; ++i) {
            Entry& e = out->e[out->count++];
            const char* mac = batch.get()->req[i].text;
            size_t len = mac ? strlen(mac) : 0;
            e.id = ids[done + i];
            e.state = len == 0 ? MAC_NONE : len > MAC_TEXT ? MAC_LONG : MAC_HELD;
            memset(e.mac, 0, sizeof e.mac);
            if (e.state == MAC_HELD) memcpy(e.mac, mac, len);
            // Such a device holds no lease; the devices after it are searched on.
            if (e.state == MAC_NONE) TR111_ERR("Mac address empty in device ");
        }
        done += k;
    }
    return true;
}

// The device's MacAddress read on h holds a text that the lease's MAC
// contains. *failed tells a broken connection from a mismatch.
bool mac_matches(KX_DB_handle* h, int32_t id, const char* lease_mac, bool* failed) {
    char path[64];
    snprintf(path, sizeof path, DB_MANAGEABLE_DEVICE_MAC_PATH, static_cast<int>(id));
    tr111::DbString mac(TR111_KX_DB_Get(h, path));
    *failed = h->ipc_err != 0;
    return mac && mac.get()[0] != '\0' && strstr(lease_mac, mac.get());
}

// The first entry whose MAC the lease's MAC contains: its position, -1 for
// none, -2 when the connection broke (reading a MAC too long for its slot).
int search(KX_DB_handle* h, const Index& idx, const char* lease_mac) {
    for (int i = 0; i < idx.count; ++i) {
        const Entry& e = idx.e[i];
        if (e.state == MAC_HELD && strstr(lease_mac, e.mac)) return i;
        if (e.state != MAC_LONG) continue;
        bool failed = false;
        if (mac_matches(h, e.id, lease_mac, &failed)) return i;
        if (failed) return -2;
    }
    return -1;
}

} // namespace

int32_t md_index_find(KX_DB_handle* h, const char* lease_mac) {
    Index idx;
    uint32_t gen = 0;
    bool walked = false;
    for (int round = 0; round < 2; ++round) {
        if (round > 0 || !take(&idx, &gen)) {
            if (!walk(h, &idx)) return -1;
            install(idx, gen);
            walked = true;
        }
        int i = search(h, idx, lease_mac);
        if (i < 0) return -1;
        // A walk just read the MAC on this handle; the index's is checked.
        if (walked || idx.e[i].state == MAC_LONG) return idx.e[i].id;
        bool failed = false;
        if (mac_matches(h, idx.e[i].id, lease_mac, &failed)) return idx.e[i].id;
        if (failed) return -1;
        TR111_INFOF("MAC address of device %d changed: device index built again\n",
                    static_cast<int>(idx.e[i].id));
        gen = drop();
    }
    return -1;
}

void md_index_drop() {
    drop();
}

void md_index_forget(int32_t id) {
    rt::Lock lock(index_mtx);
    ++index_generation;
    if (!index_valid) return;
    // With the list full, the deletion lets a device that was left out in.
    if (index_held.count >= MD_MAX_NBR) {
        index_valid = false;
        return;
    }
    int n = 0;
    for (int i = 0; i < index_held.count; ++i)
        if (index_held.e[i].id != id) index_held.e[n++] = index_held.e[i];
    index_held.count = n;
}
