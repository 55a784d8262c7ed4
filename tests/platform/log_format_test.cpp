#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/log/log.hpp"

namespace quorvane::log {
namespace {

TEST(LogFormat, PrivacyAnnotationsAreAcceptedAsPlainConversions) {
    EXPECT_EQ(detail::format("open failed: %{public}s", "callFailed(-536870212)"),
              "open failed: callFailed(-536870212)");
    EXPECT_EQ(detail::format("%{private}s and %{public}d", "x", 7), "x and 7");
}

TEST(LogFormat, NumbersFormatAsPrintfDoes) {
    EXPECT_EQ(detail::format("fan %d of %ld at %f", 1, 2L, 2.0), "fan 1 of 2 at 2.000000");
}

TEST(LogFormat, EscapedPercentKeepsFollowingBraces) {
    EXPECT_EQ(detail::format("100%% {public} %{public}s", "ok"), "100% {public} ok");
    EXPECT_EQ(detail::stripPrivacyAnnotations("%%{public}s"), "%%{public}s");
}

TEST(LogFormat, UnclosedAnnotationIsLeftAlone) {
    EXPECT_EQ(detail::stripPrivacyAnnotations("%{public"), "%{public");
    EXPECT_EQ(detail::stripPrivacyAnnotations(nullptr), "");
}

TEST(LogFormat, MessagesLongerThanAnyBufferAreKeptWhole) {
    const std::string longText(5000, 'k');
    const std::string out = detail::format("<%{public}s>", longText.c_str());
    ASSERT_EQ(out.size(), 5002u);
    EXPECT_EQ(out.front(), '<');
    EXPECT_EQ(out.back(), '>');
}

TEST(LogFormat, LoggerAcceptsStdStringAndLiterals) {
    ScopedCapture capture;
    Logger logger("com.quorvane.test", "format");
    const std::string error = "keyNotFound(\"F0Tg\")";
    logger.error("write failed: %{public}s (%s)", error, "literal");
    EXPECT_EQ(capture->count("write failed: keyNotFound(\"F0Tg\") (literal)"), 1u);
}

TEST(LogLine, StderrLineCarriesUtcMillisLevelSubsystemAndCategory) {
    using namespace std::chrono;
    const auto when = sys_days{year{2026} / 12 / 6} + hours{18} + minutes{50} + seconds{52} + milliseconds{123};
    const Record record{Level::Fault, "com.quorvane.SMCService", "service", "emergency restore failed"};
    EXPECT_EQ(detail::formatLine(record, time_point_cast<system_clock::duration>(when)),
              "2026-12-06T18:50:52.123Z fault com.quorvane.SMCService [service] emergency restore failed\n");
}

TEST(LogLevel, NamesAreTheUnifiedLogNames) {
    EXPECT_STREQ(levelName(Level::Default), "default");
    EXPECT_STREQ(levelName(Level::Info), "info");
    EXPECT_STREQ(levelName(Level::Debug), "debug");
    EXPECT_STREQ(levelName(Level::Error), "error");
    EXPECT_STREQ(levelName(Level::Fault), "fault");
}

}  // namespace
}  // namespace quorvane::log
