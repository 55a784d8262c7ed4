// The launch's wait for an SMC that is not there yet: pauses that double from the first to the
// longest, a last pause that ends exactly at the budget, and nothing once the budget is spent.
#include <chrono>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "helper/smc_wait.hpp"

namespace quorvane {
namespace {

using std::chrono::milliseconds;

TEST(SMCWait, PausesDoubleToTheLongestAndEndAtTheBudget) {
    struct Row {
        milliseconds waited, last;
        std::optional<milliseconds> next;
    };
    const std::vector<Row> rows = {
        {milliseconds(0), milliseconds(0), SMCWait::firstPause},
        {milliseconds(250), milliseconds(250), milliseconds(500)},
        {milliseconds(750), milliseconds(500), milliseconds(1000)},
        {milliseconds(3750), milliseconds(2000), SMCWait::longestPause},
        {milliseconds(20000), SMCWait::longestPause, SMCWait::longestPause},
        {SMCWait::budget - milliseconds(1000), SMCWait::longestPause, milliseconds(1000)},
        {SMCWait::budget - milliseconds(1), SMCWait::longestPause, milliseconds(1)},
        {SMCWait::budget, SMCWait::longestPause, std::nullopt},
        {SMCWait::budget + milliseconds(5), milliseconds(0), std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "waited " << row.waited.count() << " ms after " << row.last.count() << " ms");
        EXPECT_EQ(SMCWait::nextPause(row.waited, row.last), row.next);
    }
}

TEST(SMCWait, TheWholeScheduleLooksOftenEnoughAndStopsAtTheBudget) {
    milliseconds waited{0}, pause{0};
    int looks = 0;
    while (const auto next = SMCWait::nextPause(waited, pause)) {
        pause = *next;
        waited += pause;
        ++looks;
        ASSERT_LE(pause, SMCWait::longestPause);
    }
    EXPECT_EQ(waited, SMCWait::budget);
    // A driver that arrives is seen within the longest pause; the whole wait stays a few lines' worth.
    EXPECT_GT(looks, 10);
    EXPECT_LT(looks, 30);
}

}  // namespace
}  // namespace quorvane
