// Model-based test: long seeded random sequences of every public operation,
// run against the library and an independent reference model; after every
// operation the results, the whole observable state and the invariants are
// compared.
//
// TOVRICK_MODEL_SCALE=N runs N times as many operations per geometry;
// TOVRICK_MODEL_SEED=S changes the seeds.
#include <cstdlib>
#include <deque>
#include <functional>
#include <string>
#include <sstream>

#include <gtest/gtest.h>

#include "support/driver.h"

namespace {

using th::Driver;
using th::DriverGeometry;
using th::Op;

uint64_t env_number(const char *name, uint64_t fallback)
{
    const char *v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

struct ModelRun {
    const char *name;
    DriverGeometry g;
    uint64_t ops;
};

// Key spaces a few times the capacity, so sets fill, collide and run out of
// clean tags; a hostile hash that puts every id in one set; ids in the
// cache's copy and in the caller's record.  About 1.05 million operations.
const ModelRun kRuns[] = {
    {"1x1", {1, 1, false, false, 3, 0}, 50000},
    {"1x1_caller", {1, 1, true, false, 3, 0}, 50000},
    {"2x2", {2, 2, false, false, 8, 0}, 100000},
    {"4x1_caller", {4, 1, true, false, 10, 0}, 50000},
    {"4x4", {4, 4, false, false, 40, 0}, 200000},
    {"4x4_one_set_hash", {4, 4, true, true, 12, 5}, 100000},
    {"8x2_caller", {8, 2, true, false, 40, 3}, 100000},
    {"16x4", {16, 4, false, false, 160, 0}, 200000},
    {"64x8_caller", {64, 8, true, false, 1200, 0}, 100000},
    {"256x4", {256, 4, false, false, 3000, 0}, 100000},
    {"4096x4", {4096, 4, false, false, 40000, 0}, 3000},
};

class ModelTest : public ::testing::TestWithParam<ModelRun> {};

TEST_P(ModelTest, LibraryMatchesTheModelAfterEveryOperation)
{
    const ModelRun &run = GetParam();
    const uint64_t seed =
        env_number("TOVRICK_MODEL_SEED", 1) * 1000003 + std::hash<std::string>{}(run.name) % 1000;
    const uint64_t ops = run.ops * env_number("TOVRICK_MODEL_SCALE", 1);
    Driver driver(run.g);
    ASSERT_TRUE(driver.created());
    std::mt19937_64 rng(seed);
    std::deque<Op> recent; // the end of the failing prefix, for the report
    for (uint64_t step = 0; step < ops; ++step) {
        const Op op = driver.random_op(rng);
        recent.push_back(op);
        if (recent.size() > 12)
            recent.pop_front();
        const std::string fault = driver.apply(op);
        if (!fault.empty()) {
            std::ostringstream report;
            report << run.name << ", seed " << seed << ": diverged at operation " << step
                   << " (the shortest failing prefix is the first " << step + 1
                   << " operations of this seed)\n  " << fault << "\n  last operations:";
            for (const Op &o : recent)
                report << "\n    " << Driver::describe(o);
            FAIL() << report.str();
        }
    }
    RecordProperty("operations", std::to_string(ops));
}

INSTANTIATE_TEST_SUITE_P(Geometries, ModelTest, ::testing::ValuesIn(kRuns),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
