// acs: the ACS side of the lab, one command per operation, sent to
// tr69agent on 127.0.0.1:7101 (frames in lab/tr69agent/acs_wire.h).
//
// Exit status: 0 success; 1 the operation faulted ("fault CODE" on
// stderr); 2 any other failure (usage, unknown name, no daemon, agent not
// reachable, no reply), with a line on stderr.
#include "lab/tr69agent/acs_wire.h"
#include "platform/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int ANSWER_TIMEOUT_MS = 60000; // the agent answers within its own reply timeouts

[[noreturn]] void usage() {
    fprintf(stderr, "usage: acs get NAME\n"
                    "       acs set NAME VALUE\n"
                    "       acs getattr NAME\n"
                    "       acs setattr NAME N\n"
                    "       acs instances OBJECT.\n"
                    "       acs names\n"
                    "       acs events [--clear]\n"
                    "       acs raw --handler-word K [--status S] NAME [VALUE]\n");
    exit(2);
}

[[noreturn]] void fail(const char* fmt, const char* arg = "") {
    fprintf(stderr, "acs: ");
    fprintf(stderr, fmt, arg);
    fprintf(stderr, "\n");
    exit(2);
}

bool number(const char* text, uint32_t max, uint32_t* out) {
    if (text == nullptr || *text < '0' || *text > '9') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(text, &end, 10);
    if (errno != 0 || *end != 0 || v > max) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

struct Command {
    uint32_t op = 0;
    uint32_t word = 0;
    uint32_t status = 0;
    uint32_t flags = 0;
    std::string name;
    std::string value; // value_in text; setattr: one byte
};

Command parse(int argc, char** argv) {
    if (argc < 2) usage();
    std::string verb = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    Command c;
    if (verb == "get" && args.size() == 1) {
        c.op = ACS_OP_GET;
    } else if (verb == "set" && args.size() == 2) {
        c.op = ACS_OP_SET;
        c.value = args[1];
    } else if (verb == "getattr" && args.size() == 1) {
        c.op = ACS_OP_GETATTR;
    } else if (verb == "setattr" && args.size() == 2) {
        c.op = ACS_OP_SETATTR;
        uint32_t n;
        if (!number(args[1].c_str(), 255, &n))
            fail("attribute %s is not a number 0 to 255", args[1].c_str());
        c.value = std::string(1, static_cast<char>(n));
    } else if (verb == "instances" && args.size() == 1) {
        c.op = ACS_OP_INSTANCES;
    } else if (verb == "names" && args.empty()) {
        c.op = ACS_OP_NAMES;
        return c;
    } else if (verb == "events" && args.empty()) {
        c.op = ACS_OP_EVENTS;
        return c;
    } else if (verb == "events" && args.size() == 1 && args[0] == "--clear") {
        c.op = ACS_OP_EVENTS_CLEAR;
        return c;
    } else if (verb == "raw") {
        c.op = ACS_OP_RAW;
        bool word = false;
        size_t i = 0;
        for (; i + 1 < args.size() && args[i].rfind("--", 0) == 0; i += 2) {
            if (args[i] == "--handler-word") {
                if (!number(args[i + 1].c_str(), TR69_HANDLER_BLOCK_WORDS - 1, &c.word))
                    fail("handler word %s is not a number 0 to 10", args[i + 1].c_str());
                word = true;
            } else if (args[i] == "--status") {
                if (!number(args[i + 1].c_str(), UINT32_MAX, &c.status))
                    fail("status %s is not an unsigned 32-bit number", args[i + 1].c_str());
                c.flags |= ACS_FLAG_STATUS;
            } else {
                usage();
            }
        }
        if (!word || i >= args.size() || args.size() - i > 2) usage();
        if (args.size() - i == 2) c.value = args[i + 1];
        args = {args[i]};
    } else {
        usage();
    }
    c.name = args[0];
    if (c.name.size() >= ACS_NAME) fail("name too long: %s", c.name.c_str());
    if (c.value.size() >= ACS_VALUE_IN) fail("value too long (at most 1791 characters)");
    return c;
}

int connect_agent() {
    int fd = loopback_connect(ACS_PORT);
    if (fd < 0) {
        fprintf(stderr, "acs: cannot reach the TR-069 agent on 127.0.0.1:%u: %s\n", ACS_PORT,
                strerror(errno));
        exit(2);
    }
    return fd;
}

void send_command(int fd, const Command& c) {
    uint8_t p[ACS_COMMAND_SIZE] = {};
    tr69_put_u32(p, c.op);
    tr69_put_u32(p + 4, c.word);
    tr69_put_u32(p + 8, c.status);
    tr69_put_u32(p + 12, c.flags);
    tr69_put_text(std::span(p + 16, ACS_NAME), c.name);
    // value_in keeps every byte of the value (setattr may carry a 0 byte).
    std::memcpy(p + 16 + ACS_NAME, c.value.data(), c.value.size());
    if (tr69_wire_send(fd, ACS_FRAME_COMMAND, p, acs_payload_size) != 0)
        fail("the TR-069 agent closed the connection");
}

struct Reply {
    int32_t result;
    uint8_t value[ACS_VALUE];
};

// Prints the outcome of an operation that reached the application.
int print_replies(const Command& c, const std::vector<Reply>& replies) {
    if (c.op == ACS_OP_RAW) {
        for (const Reply& r : replies)
            printf("%" PRId32 " %s\n", r.result,
                   std::string(tr69_get_text(std::span(r.value, ACS_VALUE))).c_str());
        return 0;
    }
    if (c.op == ACS_OP_NAMES || c.op == ACS_OP_EVENTS || c.op == ACS_OP_EVENTS_CLEAR) return 0;
    if (replies.empty()) fail("the TR-069 agent reported success without a reply");
    const Reply& last = replies.back();
    switch (c.op) {
    case ACS_OP_GET:
        printf("%s\n", std::string(tr69_get_text(std::span(last.value, ACS_VALUE))).c_str());
        break;
    case ACS_OP_GETATTR:
        printf("%u\n", static_cast<unsigned>(last.value[0]));
        break;
    case ACS_OP_INSTANCES:
        for (size_t i = 0; i < ACS_VALUE && last.value[i] != 0; ++i)
            printf("%u\n", static_cast<unsigned>(last.value[i]));
        break;
    default:
        break;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    Command c = parse(argc, argv);
    int fd = connect_agent();
    send_command(fd, c);

    std::vector<Reply> replies;
    std::vector<std::string> lines;
    for (;;) {
        uint8_t p[TR69_WIRE_MAX_PAYLOAD];
        uint8_t type = 0;
        tr69_wire_status st =
            tr69_wire_recv(fd, "VLD", &type, p, ANSWER_TIMEOUT_MS, acs_payload_size);
        if (st == TR69_WIRE_BAD_FRAME) fail("the TR-069 agent sent a malformed answer");
        if (st != TR69_WIRE_OK) fail("the TR-069 agent closed the connection without an answer");
        if (type == ACS_FRAME_REPLY) {
            Reply r;
            r.result = tr69_get_i32(p);
            std::memcpy(r.value, p + 4, ACS_VALUE);
            r.value[ACS_VALUE - 1] = 0;
            replies.push_back(r);
        } else if (type == ACS_FRAME_LINE) {
            lines.emplace_back(tr69_get_text(std::span(p, ACS_LINE)));
        } else {
            uint32_t outcome = tr69_get_u32(p);
            int32_t fault = tr69_get_i32(p + 4);
            std::string text(tr69_get_text(std::span(p + 8, ACS_TEXT)));
            close(fd);
            for (const std::string& l : lines)
                printf("%s\n", l.c_str());
            switch (outcome) {
            case ACS_OK:
                return print_replies(c, replies);
            case ACS_FAULT:
                fprintf(stderr, "fault %" PRId32 "\n", fault);
                return 1;
            case ACS_NO_REPLY:
                print_replies(c, replies);
                printf("no reply\n");
                return 0;
            default:
                fail("%s", text.c_str());
            }
        }
    }
}
