// Code-signing requirement evaluation and the production identity source.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/xpc/code_signing_requirement.hpp"
#include "platform/xpc/identity_source.hpp"

namespace quorvane::xpc {
namespace {

const std::string kClientRequirement =
    "anchor apple generic and identifier \"com.quorvane.app\" and certificate leaf[subject.OU] = \"K7Q2M5ZR1T\"";
const std::string kDebugRequirement =
    "identifier \"Quorvane\" or identifier \"Calvetrin\" or identifier \"com.quorvane.app\"";

CodeIdentity theApp() { return CodeIdentity{true, true, "com.quorvane.app", "K7Q2M5ZR1T"}; }

TEST(ClientRequirement, AdmitsOnlyTheSignedApplicationAndRejectsEachSingleMismatch) {
    auto with = [](auto change) {
        CodeIdentity id = theApp();
        change(id);
        return id;
    };
    const std::vector<std::pair<CodeIdentity, bool>> rows = {
        {theApp(), true},
        {with([](CodeIdentity& id) { id.isSigned = false; }), false},  // claims without a signature
        {CodeIdentity{}, false},
        {with([](CodeIdentity& id) { id.appleAnchored = false; }), false},
        {with([](CodeIdentity& id) { id.identifier = "com.quorvane.app2"; }), false},
        {with([](CodeIdentity& id) { id.identifier = "com.quorvane"; }), false},
        {with([](CodeIdentity& id) { id.teamOU = "K7Q2M5ZR1U"; }), false},
    };
    for (const auto& [identity, admitted] : rows) {
        EXPECT_EQ(satisfiesRequirement(kClientRequirement, identity), admitted)
            << identity.isSigned << identity.appleAnchored << " " << identity.identifier << " " << identity.teamOU;
    }
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

// Root and members of the bootstrap directory's group are believed; anyone else, or anyone when
// the directory is missing, is unsigned whatever it declares.
TEST_F(PeerCredentialSource, BelievesRootAndMembersOfTheDirectoryGroupOnly) {
    const gid_t other = dirGroup_ + 1;
    const std::vector<std::tuple<PeerCredentials, bool, bool>> rows = {
        // credentials, directory present, believed
        {PeerCredentials{1, 0, other, {}}, true, true},
        {PeerCredentials{1, 4242, dirGroup_, {}}, true, true},
        {PeerCredentials{1, 4242, other, {other + 1, dirGroup_}}, true, true},
        {PeerCredentials{1, 4242, other, {other + 1}}, true, false},
        {PeerCredentials{1, 4242, dirGroup_, {dirGroup_}}, false, false},
    };
    for (const auto& [peer, present, believed] : rows) {
        ::setenv("QUORVANE_BOOTSTRAP", present ? dir_.c_str() : (dir_ + "/absent").c_str(), 1);
        const CodeIdentity seen = source_.identityOf(peer, theApp());
        EXPECT_EQ(seen == theApp(), believed) << "uid " << peer.uid << " gid " << peer.gid;
        EXPECT_EQ(satisfiesRequirement(kClientRequirement, seen), believed);
    }
}

}  // namespace
}  // namespace quorvane::xpc
