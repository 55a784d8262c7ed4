#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/log/log.hpp"

namespace quorvane::log {
namespace {

TEST(LogFormat, PrivacyAnnotationsBecomePlainConversionsAndNothingElseChanges) {
    struct Row {
        const char* fmt;
        const char* stripped;
    };
    const Row rows[] = {
        {"open failed: %{public}s", "open failed: %s"},
        {"%{private}s and %{public}d", "%s and %d"},
        {"100%% {public} %{public}s", "100%% {public} %s"},  // braces not after a '%' stay
        {"%%{public}s", "%%{public}s"},                      // an escaped percent is no conversion
        {"%{public", "%{public"},                            // unclosed: left for printf to show
    };
    for (const auto& row : rows) EXPECT_EQ(detail::stripPrivacyAnnotations(row.fmt), row.stripped) << row.fmt;
    EXPECT_EQ(detail::stripPrivacyAnnotations(nullptr), "");
    EXPECT_EQ(detail::format("%{private}s and %{public}d", "x", 7), "x and 7");
}

TEST(LogFormat, MessagesLongerThanAnyBufferAreKeptWhole) {
    const std::string longText(5000, 'k');
    const std::string out = detail::format("<%{public}s>", longText.c_str());
    EXPECT_EQ(out, "<" + longText + ">");
}

TEST(LogLine, StderrLineCarriesUtcMillisLevelSubsystemAndCategory) {
    using namespace std::chrono;
    const auto when = sys_days{year{2026} / 12 / 6} + hours{18} + minutes{50} + seconds{52} + milliseconds{123};
    const Record record{Level::Fault, "com.quorvane.SMCService", "service", "emergency restore failed"};
    EXPECT_EQ(detail::formatLine(record, time_point_cast<system_clock::duration>(when)),
              "2026-12-06T18:50:52.123Z fault com.quorvane.SMCService [service] emergency restore failed\n");
}

}  // namespace
}  // namespace quorvane::log
