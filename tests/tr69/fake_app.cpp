#include "tests/tr69/fake_app.h"

#include <cstdio>
#include <cstring>

namespace tr69test {

Journal journal;

void Journal::clear() {
    std::lock_guard<std::mutex> l(mu);
    requests.clear();
    calls.clear();
    attribute = 1;
    multi_left = 2;
}

std::vector<Received> Journal::received() {
    std::lock_guard<std::mutex> l(mu);
    return requests;
}

std::vector<std::string> Journal::called() {
    std::lock_guard<std::mutex> l(mu);
    return calls;
}

namespace {

void call(const std::string& what) {
    std::lock_guard<std::mutex> l(journal.mu);
    journal.calls.push_back(what);
}

void put(char* out, const std::string& text) {
    snprintf(out, TR111_VALUE_SIZE, "%s", text.c_str());
}

int32_t h_broken(const char* name, const uint32_t*, uint32_t, const char*, char*) {
    call(std::string("broken ") + name);
    return TR111_FAULT_9002;
}

int32_t h_multi(const char*, const uint32_t*, uint32_t, const char*, char* out) {
    std::lock_guard<std::mutex> l(journal.mu);
    journal.calls.push_back("multi");
    if (journal.multi_left > 0) {
        put(out, "part" + std::to_string(3 - journal.multi_left));
        --journal.multi_left;
        return TR111_CALL_AGAIN;
    }
    journal.multi_left = 2;
    put(out, "done");
    return 0;
}

int32_t h_silent(const char*, const uint32_t*, uint32_t, const char*, char*) {
    return SWALLOW;
}

int32_t h_stray(const char*, const uint32_t*, uint32_t, const char*, char* out) {
    put(out, "right");
    return STRAY_FIRST;
}

constexpr uint32_t END = TR69_END_MARK;

uint32_t R(dm_handler* h) {
    return tr69_ref_fn(h);
}

dm_entry value_row(uint32_t id, uint32_t flags, uint32_t type, dm_handler* get, dm_handler* set) {
    return dm_entry{id, 0, flags, 0, type, R(get), R(set), 0, 0, 0, R(h_attr_get), R(h_attr_set),
                    0,  0, END,   0};
}

} // namespace

int32_t h_get_counter(const char* name, const uint32_t*, uint32_t, const char*, char* out) {
    call(std::string("get ") + name);
    put(out, "42");
    return 0;
}

int32_t h_get_name(const char* name, const uint32_t* inst, uint32_t, const char*, char* out) {
    call(std::string("get ") + name);
    std::string v = "name";
    for (int i = 0; i < 5 && inst[i] != 0; ++i)
        v += "-" + std::to_string(inst[i]);
    put(out, v);
    return 0;
}

int32_t h_set_name(const char* name, const uint32_t*, uint32_t, const char* in, char*) {
    call(std::string("set ") + name + "=" + in);
    return 0;
}

int32_t h_lister(const char*, const uint32_t*, uint32_t, const char*, char* out) {
    call("list");
    const char bytes[] = {1, 3, 5, 0};
    std::memcpy(out, bytes, sizeof bytes);
    return 0;
}

int32_t h_attr_get(const char* name, const uint32_t*, uint32_t, const char*, char* out) {
    std::lock_guard<std::mutex> l(journal.mu);
    journal.calls.push_back(std::string("getattr ") + name);
    out[0] = static_cast<char>(journal.attribute);
    out[1] = 0;
    return 0;
}

int32_t h_attr_set(const char* name, const uint32_t*, uint32_t, const char* in, char*) {
    std::lock_guard<std::mutex> l(journal.mu);
    journal.attribute = static_cast<uint8_t>(in[0]);
    journal.calls.push_back(std::string("setattr ") + name + " " +
                            std::to_string(journal.attribute));
    return 0;
}

int32_t h_start(uint32_t id) {
    call("start " + std::to_string(id));
    return 0;
}
int32_t h_commit(uint32_t id) {
    call("commit " + std::to_string(id));
    return 0;
}
int32_t h_rollback(uint32_t id) {
    call("rollback " + std::to_string(id));
    return 0;
}

const std::vector<Row>& test_rows() {
    static const std::vector<Row> rows = [] {
        dm_entry object{
            0, 0, TR111_FLAG_OBJECT, 0, TR111_TYPE_OBJECT, 0, 0, R(h_lister), END, 0, 0, 0, 0, 0,
            0, 0};
        return std::vector<Row>{
            {"Test.Counter", value_row(1, 0, TR111_TYPE_UINT, h_get_counter, nullptr)},
            {"Test.Obj.", object},
            {"Test.Obj.Name",
             value_row(3, TR111_FLAG_IDENTITY, TR111_TYPE_STRING, h_get_name, h_set_name)},
            {"Test.Obj.Broken", value_row(4, 0, TR111_TYPE_STRING, h_broken, h_broken)},
            {"Test.Multi", value_row(5, 0, TR111_TYPE_STRING, h_multi, nullptr)},
            {"Test.Silent", value_row(6, 0, TR111_TYPE_STRING, h_silent, nullptr)},
            {"Test.Stray", value_row(7, 0, TR111_TYPE_STRING, h_stray, nullptr)},
            {"Test.Obj.Sub.Leaf", value_row(8, 0, TR111_TYPE_STRING, h_get_name, nullptr)},
        };
    }();
    return rows;
}

const tr69_atomicity_row test_atomicity[4] = {
    {tr69_ref("XX.StartSequence.TR111"), 0x100000, 1, 0x0D, tr69_ref_fn(h_start), END, {}},
    {tr69_ref("XX.Commit.TR111"), 0x100000, 2, 0x0D, tr69_ref_fn(h_commit), END, {}},
    {tr69_ref("XX.Rollback.TR111"), 0x100000, 3, 0x0D, tr69_ref_fn(h_rollback), END, {}},
    {0, 0, 0, 0, 0, 0, {}},
};

FakeApp::~FakeApp() {
    if (thread.joinable()) thread.join();
}

int FakeApp::register_rows() {
    for (const Row& r : test_rows()) {
        int rc = tr69_register_entry(r.name, r.entry.flags, r.entry.id, r.entry.type,
                                     &r.entry.getter, &chan);
        if (rc != 0) return rc;
    }
    return 0;
}

int FakeApp::register_atomicity(const tr69_atomicity_row** failed) {
    const tr69_atomicity_row* ignored = nullptr;
    return tr69_register_entries(test_atomicity, &chan, failed ? failed : &ignored);
}

void FakeApp::serve() {
    thread = std::thread([this] { loop(); });
}

void FakeApp::loop() {
    for (;;) {
        tr69_request req{};
        int rc = tr69_rx_msg(&req, &chan, 1);
        if (rc != 0) {
            end_code = rc;
            return;
        }
        Received got;
        got.name = req.name;
        got.handler = req.handler;
        got.id = req.id;
        got.echo = req.echo;
        got.status = req.status;
        std::memcpy(got.instances, req.instances, sizeof got.instances);
        got.value_in = req.value_in;
        {
            std::lock_guard<std::mutex> l(journal.mu);
            journal.requests.push_back(got);
        }
        if (req.status == TR69_STATUS_NO_DISPATCH) continue;
        auto* atomic = tr69_fn<atomicity_handler>(req.handler);
        if (atomic == h_start || atomic == h_commit || atomic == h_rollback) {
            atomic(req.id);
            continue;
        }
        auto* fn = tr69_fn<dm_handler>(req.handler);
        char value[TR111_VALUE_SIZE] = {};
        for (;;) {
            int32_t res =
                fn ? fn(req.name, req.instances, req.id, req.value_in, value) : TR111_FAULT_9002;
            if (res == SWALLOW) break;
            tr69_reply rep{};
            std::memcpy(rep.name, req.name, sizeof rep.name);
            rep.id = req.id;
            if (res == STRAY_FIRST) {
                rep.echo = req.echo + 1000;
                snprintf(rep.value, sizeof rep.value, "stray");
                if (tr69_tx_msg(&rep, &chan) != 0) break;
                res = 0;
            }
            rep.echo = req.echo;
            rep.result = res;
            std::memcpy(rep.value, value, sizeof rep.value);
            if (tr69_tx_msg(&rep, &chan) != 0 || res != TR111_CALL_AGAIN) break;
        }
    }
}

} // namespace tr69test
