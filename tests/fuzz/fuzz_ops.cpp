// Fuzz target: the input picks a geometry (first byte) and a sequence of
// operations (four bytes each), run against the library and the reference
// model; any divergence or broken invariant aborts with a description.
#include <cstdio>
#include <cstdlib>

#include "support/driver.h"

namespace {

const th::DriverGeometry kGeometries[] = {
    {1, 1, false, false, 3, 0},  {1, 1, true, false, 4, 0},  {2, 1, false, false, 6, 0},
    {2, 2, true, false, 9, 1},   {4, 2, false, false, 20, 0}, {4, 4, true, true, 10, 7},
    {8, 4, false, false, 64, 3}, {16, 2, true, false, 70, 0},
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const th::DriverGeometry &g = kGeometries[data[0] % (sizeof kGeometries / sizeof *kGeometries)];
    th::Driver driver(g);
    if (!driver.created())
        std::abort();
    for (size_t i = 1; i + 4 <= size; i += 4) {
        th::Op op = th::Driver::decode(data + i);
        op.key %= g.key_space;
        const std::string fault = driver.apply(op);
        if (!fault.empty()) {
            std::fprintf(stderr, "geometry %ux%u, operation %zu, %s: %s\n", g.sets, g.ways,
                         (i - 1) / 4, th::Driver::describe(op).c_str(), fault.c_str());
            std::abort();
        }
    }
    return 0;
}
