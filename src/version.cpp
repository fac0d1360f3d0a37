// The two version constants: the library's only global data, read-only.
#include "tovrick.h"

static_assert(TOVRICK_VERSION_NUMBER == 0x00080000, "version macros and constant disagree");

extern "C" {

const char tovrick_version_str[] = "0.8.0";
const uint32_t tovrick_version = TOVRICK_VERSION_NUMBER;

} // extern "C"
