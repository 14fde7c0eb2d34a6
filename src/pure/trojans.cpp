// The built-in table of well-known trojans and their ports.
#include "trojans.h"

const char TrojanPortTable[] = "DeepThroat\0"
                               "41, 999, 2140, 3150, 6670, 6671, 60000\0"
                               "Subseven\0"
                               "2773, 2774, 6711, 6712, 6713, 7215, 27374, 54283\0"
                               "Netspy\0"
                               "1024, 1033\0"
                               "NetBus\0"
                               "12345, 12346, 20034\0"
                               "Back Orifice\0"
                               "1349, 31337, 31338, 54320\0"
                               ""; // the literal's own zero ends the table
