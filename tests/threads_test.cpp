// Distinct caches share nothing: one cache per thread, all threads at once,
// each checked against its own model.  Run under ThreadSanitizer by the
// test command, where any shared state would show as a race.
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/driver.h"

namespace {

TEST(Threads, OneCachePerThreadRunConcurrently)
{
    const th::DriverGeometry geometries[] = {
        {4, 4, false, false, 40, 0}, {8, 2, true, false, 40, 0},
        {16, 4, false, true, 50, 0}, {2, 2, true, false, 8, 0},
    };
    std::vector<std::string> faults(std::size(geometries));
    std::vector<std::thread> threads;
    for (size_t i = 0; i < std::size(geometries); ++i) {
        threads.emplace_back([&, i] {
            th::Driver driver(geometries[i]);
            std::mt19937_64 rng(i + 1);
            for (int step = 0; step < 20000 && faults[i].empty(); ++step)
                faults[i] = driver.apply(driver.random_op(rng));
        });
    }
    for (std::thread &t : threads)
        t.join();
    for (size_t i = 0; i < faults.size(); ++i)
        EXPECT_EQ(faults[i], "") << "thread " << i;
}

} // namespace
