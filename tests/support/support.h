// The test support library that the Windows tests, the end-to-end tests and
// the benchmark's controller share: the pump, loopback sockets, the settings
// key, window reading, files and the program's expected texts.
#ifndef HARBINEL_TESTS_SUPPORT_SUPPORT_H
#define HARBINEL_TESTS_SUPPORT_SUPPORT_H

#include "support/files.h"
#include "support/hookserver.h"
#include "support/loopback.h"
#include "support/pump.h"
#include "support/recorder.h"
#include "support/registry.h"
#include "support/texts.h"
#include "support/ui.h"

#endif
