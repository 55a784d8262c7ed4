// Code-signing requirement evaluation and the production identity source.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/xpc/code_signing_requirement.hpp"
#include "platform/xpc/identity_source.hpp"

namespace quorvane::xpc {
namespace {

const std::string kClientRequirement =
    "anchor apple generic and identifier \"com.quorvane.app\" and certificate leaf[subject.OU] = \"K7Q2M5ZR1T\"";
const std::string kDebugRequirement =
    "identifier \"Quorvane\" or identifier \"Calvetrin\" or identifier \"com.quorvane.app\"";

CodeIdentity theApp() { return CodeIdentity{true, true, "com.quorvane.app", "K7Q2M5ZR1T"}; }

TEST(ClientRequirement, AdmitsTheSignedApplication) {
    EXPECT_TRUE(satisfiesRequirement(kClientRequirement, theApp()));
}

TEST(ClientRequirement, RejectsUnsignedCodeEvenWithMatchingClaims) {
    CodeIdentity id = theApp();
    id.isSigned = false;
    EXPECT_FALSE(satisfiesRequirement(kClientRequirement, id));
    EXPECT_FALSE(satisfiesRequirement(kClientRequirement, CodeIdentity{}));
}

TEST(ClientRequirement, RejectsEachSingleMismatch) {
    CodeIdentity notApple = theApp();
    notApple.appleAnchored = false;
    CodeIdentity wrongIdentifier = theApp();
    wrongIdentifier.identifier = "com.quorvane.app2";
    CodeIdentity wrongTeam = theApp();
    wrongTeam.teamOU = "K7Q2M5ZR1U";
    CodeIdentity prefixIdentifier = theApp();
    prefixIdentifier.identifier = "com.quorvane";
    EXPECT_FALSE(satisfiesRequirement(kClientRequirement, notApple));
    EXPECT_FALSE(satisfiesRequirement(kClientRequirement, wrongIdentifier));
    EXPECT_FALSE(satisfiesRequirement(kClientRequirement, wrongTeam));
    EXPECT_FALSE(satisfiesRequirement(kClientRequirement, prefixIdentifier));
}

TEST(RequirementOr, AnyAlternativeSuffices) {
    for (const char* identifier : {"Quorvane", "Calvetrin", "com.quorvane.app"}) {
        EXPECT_TRUE(satisfiesRequirement(kDebugRequirement, CodeIdentity{true, false, identifier, ""})) << identifier;
    }
    EXPECT_FALSE(satisfiesRequirement(kDebugRequirement, CodeIdentity{true, true, "quorvane", "K7Q2M5ZR1T"}));
    EXPECT_FALSE(satisfiesRequirement(kDebugRequirement, CodeIdentity{false, false, "Quorvane", ""}));
}

TEST(RequirementOr, AndBindsTighterThanOr) {
    const CodeIdentity a{true, false, "a", ""};
    EXPECT_TRUE(satisfiesRequirement("identifier \"a\" or identifier \"b\" and anchor apple generic", a));
    EXPECT_FALSE(satisfiesRequirement("(identifier \"a\" or identifier \"b\") and anchor apple generic", a));
    EXPECT_TRUE(satisfiesRequirement("anchor apple generic and identifier \"b\" or identifier \"a\"", a));
}

TEST(RequirementSyntax, AcceptsEqualsBareWordsEscapesAndCertAbbreviation) {
    EXPECT_TRUE(satisfiesRequirement("identifier = com.quorvane.app", theApp()));
    EXPECT_TRUE(satisfiesRequirement("cert leaf[subject.OU] = K7Q2M5ZR1T", theApp()));
    EXPECT_TRUE(satisfiesRequirement("identifier \"we\\\"ird\"", CodeIdentity{true, false, "we\"ird", ""}));
    EXPECT_TRUE(satisfiesRequirement("((identifier \"com.quorvane.app\"))", theApp()));
}

TEST(RequirementSyntax, UnparsableRequirementAdmitsNobody) {
    for (const char* text :
         {"", "   ", "anchor apple", "anchor", "identifier", "identifier \"unterminated", "and",
          "identifier \"com.quorvane.app\" and", "or identifier \"com.quorvane.app\"",
          "((identifier \"com.quorvane.app\")", "identifier \"com.quorvane.app\")",
          "certificate leaf[subject.CN] = \"K7Q2M5ZR1T\"", "certificate leaf[subject.OU] \"K7Q2M5ZR1T\"",
          "identifier and", "identifier \"com.quorvane.app\" identifier \"x\"", "identifier \"x\" ; rm",
          "identifier \"com.quorvane.app\" xor anchor apple generic"}) {
        EXPECT_FALSE(CodeSigningRequirement::parse(text).has_value()) << text;
        EXPECT_FALSE(satisfiesRequirement(text, theApp())) << text;
    }
}

TEST(RequirementSyntax, DeepNestingIsRejectedNotOverflowed) {
    std::string deep = std::string(100000, '(') + "identifier \"com.quorvane.app\"" + std::string(100000, ')');
    EXPECT_FALSE(satisfiesRequirement(deep, theApp()));
    std::string shallow = std::string(10, '(') + "identifier \"com.quorvane.app\"" + std::string(10, ')');
    EXPECT_TRUE(satisfiesRequirement(shallow, theApp()));
}

class PeerCredentialSource : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qv-xpc-cred-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ::setenv("QUORVANE_BOOTSTRAP", dir_.c_str(), 1);
        struct stat st {};
        ASSERT_EQ(::stat(dir_.c_str(), &st), 0);
        dirGroup_ = st.st_gid;
    }
    void TearDown() override { ::rmdir(dir_.c_str()); }

    std::string dir_;
    gid_t dirGroup_ = 0;
    PeerCredentialIdentitySource source_;
};

TEST_F(PeerCredentialSource, BelievesRootAndMembersOfTheDirectoryGroup) {
    const gid_t other = dirGroup_ + 1;
    EXPECT_EQ(source_.identityOf(PeerCredentials{1, 0, other, {}}, theApp()), theApp());
    EXPECT_EQ(source_.identityOf(PeerCredentials{1, 4242, dirGroup_, {}}, theApp()), theApp());
    EXPECT_EQ(source_.identityOf(PeerCredentials{1, 4242, other, {other + 1, dirGroup_}}, theApp()), theApp());
}

TEST_F(PeerCredentialSource, OthersAreUnsignedWhateverTheyDeclare) {
    const gid_t other = dirGroup_ + 1;
    CodeIdentity seen = source_.identityOf(PeerCredentials{1, 4242, other, {other + 1}}, theApp());
    EXPECT_FALSE(seen.isSigned);
    EXPECT_FALSE(satisfiesRequirement(kClientRequirement, seen));
}

TEST_F(PeerCredentialSource, MissingDirectoryMakesEveryNonRootPeerUnsigned) {
    ::setenv("QUORVANE_BOOTSTRAP", (dir_ + "/absent").c_str(), 1);
    EXPECT_FALSE(source_.identityOf(PeerCredentials{1, 4242, dirGroup_, {dirGroup_}}, theApp()).isSigned);
}

}  // namespace
}  // namespace quorvane::xpc
