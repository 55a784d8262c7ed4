#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/log/log.hpp"

namespace quorvane::log {
namespace {

TEST(LogCapture, SeesLevelSubsystemCategoryAndMessageAndCountsByThem) {
    ScopedCapture capture;
    const std::string error = "keyNotFound(\"F0Tg\")";
    Logger("com.quorvane.SMCService", "service").error("failing safe: %{public}s (%s)", error, "literal");
    Logger("com.quorvane.SMCService", "service").notice("failing safe: %{public}s (%s)", error, "literal");
    Logger("com.quorvane.smc", "discovery").info("found %d sensors", 12);

    const std::string text = "failing safe: keyNotFound(\"F0Tg\") (literal)";
    const auto records = capture->records();
    const auto fields = [](const Record& r) { return std::tuple(r.level, r.subsystem, r.category, r.message); };
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(fields(records[0]), std::tuple(Level::Error, "com.quorvane.SMCService", "service", text));
    EXPECT_EQ(fields(records[2]), std::tuple(Level::Info, "com.quorvane.smc", "discovery", "found 12 sensors"));
    EXPECT_EQ(capture->count(text), 2u);
    EXPECT_EQ(capture->count(Level::Error, "service", text), 1u);
    EXPECT_EQ(capture->count(Level::Fault, "service", text), 0u);
    EXPECT_EQ(capture->count(Level::Error, "main", text), 0u);
    capture->clear();
    EXPECT_EQ(capture->count(text), 0u);
}

TEST(LogSinks, EachInstalledSinkGetsEachMessageOnceAndARemovedOneNothing) {
    ScopedCapture steady;
    auto removed = std::make_shared<CaptureSink>();
    addSink(removed);
    Logger logger("com.quorvane.test", "sinks");
    logger.notice("before");
    removeSink(removed);
    logger.notice("after");
    EXPECT_EQ(steady->count("before") + steady->count("after"), 2u);
    EXPECT_EQ(removed->count("before"), 1u);
    EXPECT_EQ(removed->count("after"), 0u);
}

TEST(LogConcurrency, ThreadsLoggingWhileSinksComeAndGoLoseNothingAndKeepTheirOrder) {
    ScopedCapture capture;
    constexpr int kThreads = 8;
    constexpr int kPerThread = 1000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            Logger logger("com.quorvane.test", "thread" + std::to_string(t));
            for (int i = 0; i < kPerThread; ++i) logger.info("%d", i);
        });
    }
    for (int i = 0; i < 200; ++i) {
        auto transient = std::make_shared<CaptureSink>();
        addSink(transient);
        removeSink(transient);
    }
    for (auto& th : threads) th.join();

    const auto records = capture->records();
    ASSERT_EQ(records.size(), static_cast<std::size_t>(kThreads * kPerThread));
    std::vector<int> next(kThreads, 0);
    for (const auto& r : records) {
        const int t = std::stoi(r.category.substr(6));
        EXPECT_EQ(r.message, std::to_string(next[t]));
        ++next[t];
    }
}

}  // namespace
}  // namespace quorvane::log
