// Set atomicity over records the test puts in its lists (the daemon's
// setters add none): Rollback through the rows' setters, newest write
// first, against a server played by the test; the request list.
#include "tests/support/capture.h"
#include "tests/support/script_db.h"
#include "tr69/tr69_dm.h"

using namespace tr111test;

namespace {

const char kLimit[] = "InternetGatewayDevice.ManagementServer.ManageableDeviceNotificationLimit";

// A write of row id whose value before was old, the newest of the list.
void wrote(uint32_t id, const char* name, const std::string& old) {
    auto* a = static_cast<set_action*>(calloc(1, sizeof(set_action)));
    *a = {{set_action_list.next, &set_action_list}, strdup(name), strdup(old.c_str()), {}, id};
    set_action_list.next = set_action_list.next->prev = &a->link;
}

std::string lines_of(const std::string& log) { // the messages, without their prefixes
    std::string out;
    for (const auto& l : lines(log))
        if (size_t at = l.find(": "); !l.empty()) out += l.substr(at + 2) + "|";
    return out;
}

} // namespace

TEST(Atomicity, RollbackUndoesNewestFirstUntilARowIsUnknown) {
    ScriptDb server;
    ASSERT_TRUE(server.up());
    DebugSwitches sw(1, 3);
    CaptureStdout cap;
    // The limit was 5, then 7, then a text too long for it (its setter fails).
    wrote(2, kLimit, "5");
    wrote(2, kLimit, "7");
    wrote(2, "Too.Long", std::string(300, 'x'));
    EXPECT_EQ(atomicity_rollback(3), 0);
    EXPECT_EQ(server.get("/KELMO/TR111/MDNotificationLimit"), "5");
    EXPECT_EQ(set_action_list.next, &set_action_list);
    const std::string loop = "atomicity : loop : p_set_action->param_name ";
    EXPECT_EQ(count(lines_of(cap.text()), loop +
                                              "Too.Long|Parameter with index 2, name : " + kLimit +
                                              " was found |Error in set notification limit value|"),
              1u);
    // A row no one has stops the rollback: it and the older writes stay, for Commit.
    wrote(2, kLimit, "9");
    wrote(99, "No.Row", "1");
    CaptureStdout cap2;
    EXPECT_EQ(atomicity_rollback(3), 0);
    EXPECT_EQ(atomicity_commit(2), 0);
    EXPECT_EQ(server.get("/KELMO/TR111/MDNotificationLimit"), "5");
    EXPECT_EQ(set_action_list.next, &set_action_list);
    EXPECT_TRUE(lines_of(cap2.text())
                    .starts_with("atomicity : executed|" + loop +
                                 "No.Row|atomicity: get_dm_by_id failed!\\n|atomicity : executed|"))
        << cap2.text();
}

TEST(Atomicity, RequestListMatchesWholeNamesOnceAndUnlocks) {
    for (const char* name : {"A.B.C", "A.B"}) {
        auto* e = static_cast<request_entry*>(calloc(1, sizeof(request_entry)));
        strcpy(e->name, name);
        e->link = {request_list.next, &request_list};
        request_list.next = request_list.next->prev = &e->link;
    }
    EXPECT_EQ(check_request_list("A"), 0);
    EXPECT_EQ(check_request_list("A.B.C"), 1);
    // Left unlocked after a match.
    EXPECT_EQ(pthread_mutex_trylock(&set_param_mtx) + pthread_mutex_unlock(&set_param_mtx), 0);
    EXPECT_EQ(check_request_list("A.B.C"), 0);
    EXPECT_EQ(check_request_list("A.B"), 1);
    EXPECT_EQ(request_list.next, &request_list);
}
