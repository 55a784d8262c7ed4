#include "smc/smc_error.hpp"

#include <gtest/gtest.h>

#include "platform/iokit/iokit.hpp"

namespace quorvane {
namespace {

TEST(SMCError, TextIsCaseNameThenPayloadAndEqualityNeedsBoth) {
    EXPECT_EQ(SMCError::serviceNotFound().description(), "serviceNotFound");
    EXPECT_EQ(SMCError::openFailed(-536870201).description(), "openFailed(-536870201)");
    EXPECT_EQ(SMCError::callFailed(kIOReturnUnderrun).description(), "callFailed(-536870169)");
    EXPECT_EQ(SMCError::keyNotFound("F0Md").description(), "keyNotFound(\"F0Md\")");
    EXPECT_EQ(SMCError::notReadable("F0Ac").description(), "notReadable(\"F0Ac\")");
    EXPECT_EQ(SMCError::notWritable("F0Tg").description(), "notWritable(\"F0Tg\")");
    EXPECT_EQ(SMCError::smcResult(1).description(), "smcResult(1)");
    EXPECT_EQ(SMCError::smcResult(255).description(), "smcResult(255)");
    EXPECT_EQ(SMCError::codec("decode X: y").description(), "codec(\"decode X: y\")");
    EXPECT_STREQ(SMCError::keyNotFound("F0Md").what(), "keyNotFound(\"F0Md\")");
    // Equal only in both case and payload.
    EXPECT_EQ(SMCError::keyNotFound("F0Md"), SMCError::keyNotFound("F0Md"));
    EXPECT_FALSE(SMCError::keyNotFound("F0Md") == SMCError::notReadable("F0Md"));
    EXPECT_FALSE(SMCError::keyNotFound("F0Md") == SMCError::keyNotFound("F1Md"));
    EXPECT_FALSE(SMCError::openFailed(1) == SMCError::callFailed(1));
    EXPECT_FALSE(SMCError::smcResult(1) == SMCError::smcResult(2));
}

}  // namespace
}  // namespace quorvane
