// The structural invariants of a cache, checked by walking its public
// records.  Usable without GoogleTest (the fuzz target uses it too).
#ifndef TOVRICK_TEST_INVARIANTS_H
#define TOVRICK_TEST_INVARIANTS_H

#include <string>

#include "tovrick.h"

namespace th {

// An empty string when every invariant holds, else the first fault found:
//   - each tag is on exactly one list of its own set, with links that lead
//     back both ways, and its `set` field names that set;
//   - no list holds more than num_ways tags or a node that is not a tag of
//     the cache;
//   - each set's counter equals its dirty tags, num_dirty their sum;
//   - the locked flag is set exactly when refcount is non-zero;
//   - free tags are clean and unlocked; no flag bit but dirty and locked.
std::string check_invariants(const tovrick_cache *cache);

} // namespace th

#endif
