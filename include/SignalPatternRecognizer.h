// The former name of SignalPattern.h, kept for clients that include it.
#include "SignalPattern.h"
