// Names a caller's owner could give its address, chosen to break a command
// line, a shell or a quoting rule, each with its host-name form (what a
// command line gets); shared by the native tests of the quoting and the
// Windows-side tests of the program run on each scan.
// Plain C++: the native tests include it too.
#ifndef HARBINEL_TESTS_SUPPORT_HOSTILE_H
#define HARBINEL_TESTS_SUPPORT_HOSTILE_H

#include <string>

struct HostileName {
    std::string name;
    std::string inert;
};

inline const HostileName kHostileNames[] = {
    {"a\"b", "a_b"},
    {"a\\\"b", "a__b"},
    {"x\\", "x_"},
    {"\\\\server\\share\\", "__server_share_"},
    {"\" & calc & \"", "____calc____"},
    {"a b", "a_b"},
    {"a\tb\t", "a_b_"},
    {"%PATH%", "_PATH_"},
    {"^", "_"},
    {"<>|", "___"},
    {"", ""},
    {"\"", "_"},
    {"\\", "_"},
    {"\"\"", "__"},
    {"x\"&calc&\"", "x__calc__"},
    {"x\"&echo>C:\\pwned.txt&\"", "x__echo_C__pwned.txt__"},
    {"a^b", "a_b"},
    {"`calc`", "_calc_"},
    {"$(calc)", "__calc_"},
    {"a;b|c", "a_b_c"},
    // A lead byte of CP932 and of GBK whose trail byte is a backslash.
    {"\x95\\\"&calc", "____calc"},
    {"\x81\\\"&calc", "____calc"},
    {"host\\x01.example", "host_x01.example"},
    {std::string(300, 'n') + ".example", std::string(255, 'n')},
};

// What cmd.exe or PowerShell reads as syntax; no value may hold one.
inline const char kShellSpecials[] = "\"%&|<>^();$`";

#endif
