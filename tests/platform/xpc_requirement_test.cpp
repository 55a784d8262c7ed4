// Code-signing requirement evaluation and the production identity source.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <tuple>
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

// The client requirement admits only the signed application and rejects each single mismatch; `or`
// takes any alternative and binds looser than `and`; equals signs, bare words, escapes, the `cert`
// abbreviation and parentheses parse; nesting too deep to evaluate safely admits nobody.
TEST(Requirement, AdmitsExactlyTheIdentitiesItDescribes) {
    const std::string app = "identifier \"com.quorvane.app\"";
    const CodeIdentity a{true, false, "a", ""};
    const std::vector<std::tuple<std::string, CodeIdentity, bool>> rows = {
        {kClientRequirement, theApp(), true},
        {kClientRequirement, {false, true, "com.quorvane.app", "K7Q2M5ZR1T"}, false},  // claims without a signature
        {kClientRequirement, {}, false},
        {kClientRequirement, {true, false, "com.quorvane.app", "K7Q2M5ZR1T"}, false},
        {kClientRequirement, {true, true, "com.quorvane.app2", "K7Q2M5ZR1T"}, false},
        {kClientRequirement, {true, true, "com.quorvane", "K7Q2M5ZR1T"}, false},
        {kClientRequirement, {true, true, "com.quorvane.app", "K7Q2M5ZR1U"}, false},
        {kDebugRequirement, {true, false, "Quorvane", ""}, true},
        {kDebugRequirement, {true, false, "Calvetrin", ""}, true},
        {kDebugRequirement, {true, false, "com.quorvane.app", ""}, true},
        {kDebugRequirement, {true, true, "quorvane", "K7Q2M5ZR1T"}, false},
        {kDebugRequirement, {false, false, "Quorvane", ""}, false},
        {"identifier \"a\" or identifier \"b\" and anchor apple generic", a, true},
        {"(identifier \"a\" or identifier \"b\") and anchor apple generic", a, false},
        {"anchor apple generic and identifier \"b\" or identifier \"a\"", a, true},
        {"identifier = com.quorvane.app", theApp(), true},
        {"cert leaf[subject.OU] = K7Q2M5ZR1T", theApp(), true},
        {"identifier \"we\\\"ird\"", {true, false, "we\"ird", ""}, true},
        {"((" + app + "))", theApp(), true},
        {std::string(10, '(') + app + std::string(10, ')'), theApp(), true},
        {std::string(100000, '(') + app + std::string(100000, ')'), theApp(), false},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& [text, identity, admitted] = rows[i];
        EXPECT_EQ(satisfiesRequirement(text, identity), admitted) << "row " << i;
    }
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

class PeerCredentialSource : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(::mkdtemp(dir_.data()), nullptr);
        ::setenv("QUORVANE_BOOTSTRAP", dir_.c_str(), 1);
        struct stat st {};
        ASSERT_EQ(::stat(dir_.c_str(), &st), 0);
        dirGroup_ = st.st_gid;
    }
    void TearDown() override { ::rmdir(dir_.c_str()); }

    std::string dir_ = "/tmp/qv-xpc-cred-XXXXXX";
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
