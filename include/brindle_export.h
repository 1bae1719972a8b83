#pragma once

// Marks what the shared library shows to a host; everything else is built hidden.
#define BRN_EXPORT __attribute__((visibility("default")))
