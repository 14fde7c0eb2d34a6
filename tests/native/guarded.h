// Checks for the bounded text builders: given the text a builder makes with
// room to spare, every smaller buffer must get a terminated prefix of it and
// nothing may be written past the size the builder was given.
#ifndef HARBINEL_GUARDED_H
#define HARBINEL_GUARDED_H

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

const char kGuardByte = '#';
const size_t kGuardBytes = 16;

// True when every byte of mem from index `from` on is still the guard byte.
inline bool GuardIntact(const std::vector<char>& mem, size_t from)
{
    for (size_t i = from; i < mem.size(); ++i)
        if (mem[i] != kGuardByte)
            return false;
    return true;
}

// build(out, size) writes into out, size bytes in all. For every size from 0
// to full's length + 1 it must leave the first size - 1 characters of full,
// terminated, and touch nothing from out[size] on (size 0: nothing at all).
template <typename Build> void ExpectBoundedPrefixes(const std::string& full, Build build)
{
    for (size_t size = 0; size <= full.size() + 1; ++size) {
        SCOPED_TRACE("buffer of " + std::to_string(size) + " bytes");
        std::vector<char> mem(size + kGuardBytes, kGuardByte);
        build(mem.data(), size);
        EXPECT_TRUE(GuardIntact(mem, size)) << "wrote past the buffer";
        if (size == 0)
            continue;
        ASSERT_NE(memchr(mem.data(), '\0', size), nullptr) << "not terminated";
        EXPECT_EQ(std::string(mem.data()), full.substr(0, size - 1));
    }
}

#endif
