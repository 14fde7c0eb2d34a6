// The bounded copy and append helpers that every fixed buffer is filled
// through: they must cut short, always terminate and never write past the
// size they are given.
#include <string.h>

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "guarded.h"
#include "pure/text.h"

namespace {

// The array forms must refuse a bare pointer, so a buffer's size can never be
// guessed wrong at a call site.
template <typename T, typename = void> struct CanTextCopy : std::false_type {
};
template <typename T>
struct CanTextCopy<T, std::void_t<decltype(TextCopy(std::declval<T>(), ""))>> : std::true_type {
};
template <typename T, typename = void> struct CanTextAppend : std::false_type {
};
template <typename T>
struct CanTextAppend<T, std::void_t<decltype(TextAppend(std::declval<T>(), ""))>> : std::true_type {
};

static_assert(CanTextCopy<char (&)[8]>::value, "arrays are accepted");
static_assert(!CanTextCopy<char*>::value, "a bare pointer must not compile");
static_assert(CanTextAppend<char (&)[8]>::value, "arrays are accepted");
static_assert(!CanTextAppend<char*>::value, "a bare pointer must not compile");

TEST(TextLength, CountsUpToTheTerminator)
{
    EXPECT_EQ(TextLength(""), 0u);
    EXPECT_EQ(TextLength("a"), 1u);
    EXPECT_EQ(TextLength("Scan detected"), 13u);
    EXPECT_EQ(TextLength("ab\0cd"), 2u);
}

struct CopyCase {
    const char* name;
    const char* src;
    size_t size;
    const char* expected;
};

TEST(TextCopy, FitsOrIsCutShortAndTerminated)
{
    const CopyCase cases[] = {
        {"fits with room", "abc", 8, "abc"},
        {"fills exactly", "abcdefg", 8, "abcdefg"},
        {"one too long", "abcdefgh", 8, "abcdefg"},
        {"much too long", "abcdefghijklmnop", 8, "abcdefg"},
        {"empty source", "", 8, ""},
        {"room for the terminator only", "abc", 1, ""},
    };
    for (const CopyCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<char> mem(c.size + kGuardBytes, kGuardByte);
        size_t n = TextCopyN(mem.data(), c.size, c.src);
        EXPECT_STREQ(mem.data(), c.expected);
        EXPECT_EQ(n, strlen(c.expected));
        EXPECT_TRUE(GuardIntact(mem, c.size));
    }
}

TEST(TextCopy, ZeroSizeWritesNothing)
{
    std::vector<char> mem(kGuardBytes, kGuardByte);
    EXPECT_EQ(TextCopyN(mem.data(), 0, "abc"), 0u);
    EXPECT_TRUE(GuardIntact(mem, 0));
}

TEST(TextCopy, OverwritesWhatWasThere)
{
    char buf[16] = "0123456789";
    EXPECT_EQ(TextCopy(buf, "ab"), 2u);
    EXPECT_STREQ(buf, "ab");
}

TEST(TextCopy, ArrayFormUsesTheArraySize)
{
    struct {
        char buf[4];
        char guard[4];
    } mem;
    memset(&mem, kGuardByte, sizeof mem);
    EXPECT_EQ(TextCopy(mem.buf, "abcdef"), 3u);
    EXPECT_STREQ(mem.buf, "abc");
    for (char g : mem.guard)
        EXPECT_EQ(g, kGuardByte);
}

TEST(TextCopy, EverySizeGetsATerminatedPrefix)
{
    ExpectBoundedPrefixes("Listening on 12 ports", [](char* out, size_t size) {
        TextCopyN(out, size, "Listening on 12 ports");
    });
}

struct AppendCase {
    const char* name;
    const char* start;
    const char* src;
    size_t size;
    const char* expected;
};

TEST(TextAppend, AppendsOrIsCutShortAndTerminated)
{
    const AppendCase cases[] = {
        {"fits with room", "Scan", " blocked", 16, "Scan blocked"},
        {"fills exactly", "abc", "defg", 8, "abcdefg"},
        {"cut short", "abc", "defghij", 8, "abcdefg"},
        {"to an empty text", "", "abc", 8, "abc"},
        {"empty source", "abc", "", 8, "abc"},
        {"already full", "abcdefg", "xyz", 8, "abcdefg"},
        {"room for the terminator only", "", "abc", 1, ""},
    };
    for (const AppendCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<char> mem(c.size + kGuardBytes, kGuardByte);
        memcpy(mem.data(), c.start, strlen(c.start) + 1);
        size_t n = TextAppendN(mem.data(), c.size, c.src);
        EXPECT_STREQ(mem.data(), c.expected);
        EXPECT_EQ(n, strlen(c.expected));
        EXPECT_TRUE(GuardIntact(mem, c.size));
    }
}

TEST(TextAppend, ZeroSizeWritesNothing)
{
    std::vector<char> mem(kGuardBytes, kGuardByte);
    EXPECT_EQ(TextAppendN(mem.data(), 0, "abc"), 0u);
    EXPECT_TRUE(GuardIntact(mem, 0));
}

TEST(TextAppend, UnterminatedDestinationIsTerminatedAndNotOverrun)
{
    // A buffer whose text lost its terminator is treated as full: it gets a
    // terminator in its last byte and nothing beyond it is read or written.
    std::vector<char> mem(8 + kGuardBytes, kGuardByte);
    memset(mem.data(), 'x', 8);
    EXPECT_EQ(TextAppendN(mem.data(), 8, "abc"), 7u);
    EXPECT_STREQ(mem.data(), "xxxxxxx");
    EXPECT_TRUE(GuardIntact(mem, 8));
}

TEST(TextAppend, RepeatedAppendsStopAtTheEnd)
{
    char buf[10];
    TextCopy(buf, "");
    for (int i = 0; i < 20; ++i)
        TextAppend(buf, "ab");
    EXPECT_STREQ(buf, "ababababa");
}

TEST(TextAppend, EverySizeGetsATerminatedPrefix)
{
    ExpectBoundedPrefixes("Bind error port 12345 : Port in use", [](char* out, size_t size) {
        TextCopyN(out, size, "Bind error port 12345 ");
        TextAppendN(out, size, ": ");
        TextAppendN(out, size, "Port in use");
    });
}

} // namespace
