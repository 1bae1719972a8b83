#pragma once

// The property record codec lives with the tree store, which stores the records.
#include "tree/property_record.h"
