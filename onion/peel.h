#pragma once
#include <cstdint>

#include "crypto/rsa.h"

// Opens one onion layer with the station's key: decrypt, unpad, unframe. A
// relay layer's payload comes back whole (a multiple of the cipher block).
// Returns the payload, or null when no layer of either kind was inside.
char* peel_layer(Crsa& rsa, const char* data, int* length, uint32_t* address, bool* last);
