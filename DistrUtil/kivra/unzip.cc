#include "stream.h"

// Placeholder until the decoder lands.
int unzip(int, int) { error("decompression is not available in this build"); }
