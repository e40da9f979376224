// The serialized-set parser: the replies the client relies on, hostile
// text, and never a read past the input nor a deep recursion.
#include "platform/include/set.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// key=value{sons}, siblings separated by commas; "(fail)" when refused.
std::string show(const set_t* s) {
    std::string out;
    for (; s; s = s->next) {
        out += s->key;
        if (s->value) out += std::string("=") + s->value;
        if (s->son) out += "{" + show(s->son) + "}";
        if (s->next) out += ",";
    }
    return out;
}

std::string parsed(const std::string& text) {
    set_t* s = nullptr;
    if (set_read(text.c_str(), &s) != 0) return s ? "(fail, not null)" : "(fail)";
    std::string r = show(s);
    set_free(&s);
    return s ? "(not freed)" : r;
}

} // namespace

TEST(SetRead, RepliesAndBadText) {
    EXPECT_EQ(parsed("(\"loc_srv\"(\"3\"=\"3\"))"), "loc_srv{3=3}");
    EXPECT_EQ(parsed(" \t\n(\"a\" = \"1\"\r\n (\"b\")  (\"c\"=\"\"(\"d\"=\"x\")) )\n"),
              "a=1{b,c={d=x}}");
    EXPECT_EQ(parsed("(\"\\\"q\\\\\"=\"(\\\")\")"), "\"q\\=(\")");
    set_t* s = nullptr;
    ASSERT_EQ(set_read("(\"p\"(\"k\"=\"v\")(\"k2\"=\"w\"))", &s), 0);
    EXPECT_STREQ(set_son_get_str(s), "v");
    set_free(&s);
    ASSERT_EQ(set_read("(\"p\"(\"k\"))", &s), 0);
    EXPECT_EQ(set_son_get_str(s), nullptr); // a son without a value
    set_free(&s);
    EXPECT_EQ(set_son_get_str(nullptr), nullptr);

    for (const char* bad : {"", " ", "(", ")", "(\"a\"", "(\"a)", "(a)", "(\"a\"=)", "(\"a\"\"b\")",
                            "(\"a\\n\")", "(\"a\")x", "(\"a\")(\"b\")", "(\"a\"))",
                            "(\"a\"=\"1\"=\"2\")", "((\"a\"))", "(\"a\"(\"b\")"})
        EXPECT_EQ(parsed(bad), "(fail)") << bad;
    EXPECT_EQ(set_read(nullptr, &s), -1);
    EXPECT_EQ(set_read_n("(\"a\0\")", 6, &s), -1); // a zero byte is not text
    EXPECT_EQ(s, nullptr);
}

TEST(SetRead, BoundedDepthLongListsAndTheEndOfInput) {
    auto nested = [](int depth) {
        std::string t;
        for (int i = 0; i < depth; ++i)
            t += "(\"k\"";
        return t + std::string(depth, ')');
    };
    EXPECT_NE(parsed(nested(SET_DEPTH_MAX)), "(fail)");
    EXPECT_EQ(parsed(nested(SET_DEPTH_MAX + 1)), "(fail)");
    EXPECT_EQ(parsed(std::string(1000000, '(')), "(fail)");
    std::string t = "(\"\"";
    for (int i = 0; i < 200000; ++i)
        t += "(\"" + std::to_string(i) + "\")";
    set_t* s = nullptr;
    ASSERT_EQ(set_read((t + ")").c_str(), &s), 0);
    int n = 0;
    for (set_t* c = s->son; c && std::to_string(n) == c->key; c = c->next)
        ++n;
    EXPECT_EQ(n, 200000);
    set_free(&s);

    // Text placed against a page the process may not read: every cut of a
    // set (inside a string, inside an escape) fails before the fence.
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    auto* base = static_cast<char*>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(base + page, page, PROT_NONE);
    std::string good = "(\"a\\\\b\\\"c\"=\"1\"(\"b\"=\"2\"))";
    for (size_t len = 0; len <= good.size(); ++len) {
        char* start = base + page - len;
        memcpy(start, good.data(), len);
        EXPECT_EQ(set_read_n(start, len, &s), len == good.size() ? 0 : -1) << len;
        set_free(&s);
    }
    munmap(base, 2 * page);
}

TEST(SetQuote, RoundTrip) {
    std::string text;
    for (int c = 1; c < 256; ++c)
        text += static_cast<char>(c);
    std::string q(2 + 2 * text.size(), '\0');
    q.resize(set_quote(q.data(), text.data(), text.size()));
    set_t* s = nullptr;
    ASSERT_EQ(set_read(("(" + q + "=" + q + ")").c_str(), &s), 0);
    EXPECT_EQ(std::string(s->key), text);
    EXPECT_EQ(std::string(s->value), text);
    set_free(&s);
}
