// kivra: builds self-extracting archives, and is the extractor inside them.
#include "kivra.h"

int main(int argc, char **argv) { return kivra_main(argc, argv); }
