#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/log/log.hpp"

namespace quorvane::log {
namespace {

TEST(LogCapture, SeesLevelSubsystemCategoryAndMessage) {
    ScopedCapture capture;
    Logger("com.quorvane.SMCService", "main").fault("cannot open SMC: %{public}s", "serviceNotFound");
    Logger("com.quorvane.smc", "discovery").info("found %d sensors", 12);

    const auto records = capture->records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].level, Level::Fault);
    EXPECT_EQ(records[0].subsystem, "com.quorvane.SMCService");
    EXPECT_EQ(records[0].category, "main");
    EXPECT_EQ(records[0].message, "cannot open SMC: serviceNotFound");
    EXPECT_EQ(records[1].level, Level::Info);
    EXPECT_EQ(records[1].subsystem, "com.quorvane.smc");
    EXPECT_EQ(records[1].category, "discovery");
    EXPECT_EQ(records[1].message, "found 12 sensors");
}

TEST(LogCapture, CountFiltersByLevelAndCategory) {
    ScopedCapture capture;
    Logger service("com.quorvane.SMCService", "service");
    service.error("failing safe");
    service.notice("failing safe");
    Logger("com.quorvane.SMCService", "main").error("failing safe");

    EXPECT_EQ(capture->count("failing safe"), 3u);
    EXPECT_EQ(capture->count(Level::Error, "service", "failing safe"), 1u);
    EXPECT_EQ(capture->count(Level::Fault, "service", "failing safe"), 0u);
    capture->clear();
    EXPECT_EQ(capture->count("failing safe"), 0u);
}

TEST(LogSinks, RemovedSinkReceivesNothingMore) {
    auto sink = std::make_shared<CaptureSink>();
    addSink(sink);
    Logger logger("com.quorvane.test", "sinks");
    logger.notice("before");
    removeSink(sink);
    logger.notice("after");
    EXPECT_EQ(sink->count("before"), 1u);
    EXPECT_EQ(sink->count("after"), 0u);
}

TEST(LogSinks, EverySinkGetsEachMessageOnce) {
    ScopedCapture first;
    ScopedCapture second;
    Logger("com.quorvane.test", "sinks").debug("twice?");
    EXPECT_EQ(first->count("twice?"), 1u);
    EXPECT_EQ(second->count("twice?"), 1u);
}

TEST(LogConcurrency, ThreadsLoggingTogetherLoseNothingAndKeepTheirOrder) {
    ScopedCapture capture;
    constexpr int kThreads = 8;
    constexpr int kPerThread = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            Logger logger("com.quorvane.test", "thread" + std::to_string(t));
            for (int i = 0; i < kPerThread; ++i) logger.info("%d", i);
        });
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

TEST(LogConcurrency, SinksMayComeAndGoWhileOthersLog) {
    ScopedCapture steady;
    std::atomic<bool> stop{false};
    std::thread logger([&] {
        Logger l("com.quorvane.test", "churn");
        int n = 0;
        while (!stop.load() && n < 5000) l.debug("line %d", n++);
        l.debug("last");
    });
    for (int i = 0; i < 200; ++i) {
        auto transient = std::make_shared<CaptureSink>();
        addSink(transient);
        removeSink(transient);
    }
    stop.store(true);
    logger.join();
    EXPECT_EQ(steady->count("last"), 1u);
}

}  // namespace
}  // namespace quorvane::log
