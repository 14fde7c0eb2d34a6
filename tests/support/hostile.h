// Names a caller's owner could give its address, chosen to break a command
// line, a shell or a quoting rule; shared by the native tests of the
// quoting and the Windows-side tests of the program run on each scan.
// Plain C++: the native tests include it too.
#ifndef HARBINEL_TESTS_SUPPORT_HOSTILE_H
#define HARBINEL_TESTS_SUPPORT_HOSTILE_H

#include <string>

inline const std::string kHostileNames[] = {"a\"b",
                                            "a\\\"b",
                                            "x\\",
                                            "\\\\server\\share\\",
                                            "\" & calc & \"",
                                            "a b",
                                            "a\tb\t",
                                            "%PATH%",
                                            "^",
                                            "<>|",
                                            "",
                                            "\"",
                                            "\\",
                                            "\"\"",
                                            std::string(300, 'n') + ".example"};

#endif
