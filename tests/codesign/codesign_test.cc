// Requirements; fixture bundles signed with identities made on the spot, changed one way each and
// verified with only the test anchor trusted; the built tool on the built application.
#include "codesign/code_signature.h"
#include "platform/plist_value.h"
#include "platform/tool_runner.h"
#include "tests/platform/temp_directory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <sys/stat.h>

namespace kestralune {
namespace {

namespace fs = std::filesystem;
using Status = VerificationStatus;

constexpr const char* kRequirement = R"(anchor apple generic and certificate leaf[subject.OU] = )"
                                     R"("Q4TWM82KXA" and identifier "com.orrindale.app")";
constexpr const char* kHelper = "Contents/PlugIns/Helper.appex/Contents/MacOS/Helper";
constexpr const char* kSignature = "Contents/_CodeSignature/CodeSignature";
constexpr Status ok = Status::valid;
constexpr Status bad = Status::invalid;

TEST(RequirementTest, MalformedTextIsRefused) {
    const std::string deep = std::string(100, '(') + "anchor apple generic" + std::string(100, ')');
    for (const char* text : {"", "anchor apple", "identifier \"com", "identifier", "identifier and",
                             "identifier \"a\\nb\"", "certificate leaf[subject.O] = x",
                             "certificate leaf[subject.OU] x", "(identifier x", "identifier x)",
                             "identifier x identifier y", "identifier x and", "!",
                             "identifier x; identifier y", deep.c_str()}) {
        Requirement requirement;
        EXPECT_NE(parseRequirement(text, requirement), "") << text;
    }
}

TEST(RequirementTest, EvaluatesWithAndBindingTighterThanOr) {
    const SignedCodeFacts facts{"com.orrindale.app", "Q4TWM82KXA", "Team \"K\"", true};
    const std::pair<const char*, bool> rows[] = {
        {"identifier = \"com.orrindale.app\"", true},
        {"identifier com.orrindale.app", true},
        {"identifier com.orrindale", false},
        {"certificate leaf[subject.OU] = Q4TWM82KXB", false},
        {R"(certificate leaf[subject.CN] = "Team \"K\"")", true},
        // Faults in precedence turn these around.
        {"identifier com.orrindale.app or identifier x and identifier y", true},
        {"identifier x and identifier y or anchor apple generic", true},
        {"! identifier com.orrindale.app and identifier x", false},
        {"(identifier x or (identifier com.orrindale.app)) and !!anchor apple generic", true},
    };
    for (const auto& [text, satisfied] : rows) {
        Requirement requirement;
        ASSERT_EQ(parseRequirement(text, requirement), "") << text;
        EXPECT_EQ(isSatisfied(requirement, facts), satisfied) << text;
    }
}

// An Ed25519 anchor: a self-signed version 1 certificate, which OpenSSL takes for a CA.
struct Authority {
    std::shared_ptr<X509> issue(EVP_PKEY* subject, const std::string& team, long from,
                                long until) const {
        std::shared_ptr<X509> made(X509_new(), &X509_free);
        X509_NAME* name = X509_get_subject_name(made.get());
        const auto* unit = reinterpret_cast<const unsigned char*>(team.c_str());
        EXPECT_TRUE(
            subject && ASN1_INTEGER_set(X509_get_serialNumber(made.get()), 1) &&
            X509_gmtime_adj(X509_getm_notBefore(made.get()), from) &&
            X509_gmtime_adj(X509_getm_notAfter(made.get()), until) &&
            X509_NAME_add_entry_by_txt(name, "OU", MBSTRING_UTF8, unit, -1, -1, 0) &&
            X509_set_issuer_name(made.get(),
                                 certificate ? X509_get_subject_name(certificate.get()) : name) &&
            X509_set_pubkey(made.get(), subject) && X509_sign(made.get(), key.get(), nullptr));
        return made;
    }
    // Key, expired leaf (signatures outlive certificates) and `included` anchor, read as PEM.
    SigningIdentity identity(const std::string& team, const Authority* included = nullptr) const {
        const std::shared_ptr<EVP_PKEY> leafKey(EVP_PKEY_Q_keygen(0, 0, "ED25519"), &EVP_PKEY_free);
        const auto leaf = issue(leafKey.get(), team, -2 * 86400, -86400);
        const std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), &BIO_free);
        EXPECT_TRUE(PEM_write_bio_PrivateKey(out.get(), leafKey.get(), 0, 0, 0, 0, 0) &&
                    PEM_write_bio_X509(out.get(), leaf.get()) &&
                    PEM_write_bio_X509(out.get(), (included ? included : this)->certificate.get()));
        char* text = nullptr;
        const auto length = static_cast<std::size_t>(BIO_get_mem_data(out.get(), &text));
        SigningIdentity identity;
        EXPECT_EQ(readSigningIdentity(std::string_view(text, length), identity), "");
        return identity;
    }
    std::string der() const { return identity("x").anchorCertificate; }

    std::shared_ptr<EVP_PKEY> key{EVP_PKEY_Q_keygen(0, 0, "ED25519"), &EVP_PKEY_free};
    std::shared_ptr<X509> certificate = issue(key.get(), "anchor", 0, 86400);
};

const Authority& trusted() {
    static const Authority authority;
    return authority;
}

std::string infoPlist(const char* identifier) {
    return *xmlPropertyList(PlistValue::Dictionary{{"CFBundleIdentifier", identifier}});
}

// Kestralune.app with a program, a resource, a link to it and a nested plug-in.
struct FixtureBundle {
    FixtureBundle() {
        dir.write("Kestralune.app/Contents/Info.plist", infoPlist("com.orrindale.app"));
        dir.write("Kestralune.app/Contents/MacOS/Kestralune", "program", 0755);
        dir.write("Kestralune.app/Contents/Resources/page.html", "<p>blocked</p>");
        fs::create_symlink("page.html", app / "Contents/Resources/current.html");
        dir.write("Kestralune.app/Contents/PlugIns/Helper.appex/Contents/Info.plist",
                  infoPlist("com.orrindale.app.helper"));
        dir.write(std::string("Kestralune.app/") + kHelper, "helper");
    }
    Status verify(bool deep, bool strict) const {
        VerificationOptions options{deep, strict, Requirement(), {trusted().der()}};
        EXPECT_EQ(parseRequirement(kRequirement, *options.requirement), "");
        return verifyBundle(app, options).status;
    }
    TempDirectory dir;
    fs::path app = dir.path() / "Kestralune.app";
};

enum class Edit { none, remove, link, edit };
struct Change {
    Edit kind = Edit::none;
    const char* path = "";
    const char* text = "";         // the link's target, or the first text to replace ("": none)
    const char* replacement = "";  // written in its place, creating the file if need be
};

void apply(const fs::path& app, const Change& change) {
    const auto file = app / change.path;
    const std::string_view text = change.text;
    if (change.kind == Edit::edit) {
        std::string contents = TempDirectory::read(file);
        std::ofstream(file) << contents.replace(contents.find(text), text.size(),
                                                change.replacement);
    } else if (change.kind != Edit::none) {
        fs::remove(file);
    }
    if (change.kind == Edit::link) {
        fs::create_symlink(text, file);
    }
}

TEST(CodeSignatureTest, VerifiesSignedBundlesAndNoticesEachChange) {
    using enum Edit;
    enum Signer { team, otherTeam, untrustedAnchor, forgedChain };
    const struct {
        const char* name;
        Signer signer;
        Change before;  // then the outer bundle is signed again, without --deep
        Change after;
        bool deep, strict;
        Status expected;
    } cases[] = {
        {"fresh", team, {}, {}, 1, 1, ok},
        {"changed byte", team, {}, {edit, "Contents/MacOS/Kestralune", "p", "P"}, 1, 1, bad},
        {"removed file", team, {}, {remove, "Contents/Resources/page.html"}, 0, 0, bad},
        {"added file", team, {}, {edit, "Contents/extra", "", "x"}, 1, 0, ok},
        {"added file, strict", team, {}, {edit, "Contents/extra", "", "x"}, 0, 1, bad},
        {"link leaving", team, {link, "Contents/up", "../../x"}, {}, 1, 0, ok},
        {"link leaving, strict", team, {link, "Contents/up", "../../x"}, {}, 0, 1, bad},
        {"absolute link, strict", team, {link, "Contents/up", "/etc/hosts"}, {}, 0, 1, bad},
        {"changed link", team, {}, {link, "Contents/Resources/current.html", "x"}, 0, 0, bad},
        {"file now a link", team, {}, {link, "Contents/Info.plist", "MacOS/Kestralune"}, 0, 0, bad},
        // The outer seal holds a nested bundle as it is; only --deep checks its own seal.
        {"nested changed", team, {edit, kHelper, "", "changed "}, {}, 0, 1, ok},
        {"nested changed, deep", team, {edit, kHelper, "", "changed "}, {}, 1, 1, bad},
        {"identifier swapped", team, {}, {edit, kSignature, "app<", "app.helper<"}, 0, 0, bad},
        {"seal changed",
         team,
         {},
         {edit, "Contents/_CodeSignature/CodeResources", "\n", "\n "},
         0,
         0,
         bad},
        {"not signed", team, {}, {remove, kSignature}, 0, 0, bad},
        {"other team", otherTeam, {}, {}, 1, 1, Status::requirementNotMet},
        {"other team, changed", otherTeam, {}, {edit, "Contents/extra", "", "x"}, 1, 1, bad},
        {"untrusted anchor", untrustedAnchor, {}, {}, 0, 0, bad},
        {"forged chain", forgedChain, {}, {}, 0, 0, bad},
    };
    const Authority stranger;
    const SigningIdentity identities[] = {
        trusted().identity("Q4TWM82KXA"), trusted().identity("A1B2C3D4E5"),
        stranger.identity("Q4TWM82KXA"), stranger.identity("Q4TWM82KXA", &trusted())};
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        FixtureBundle bundle;
        const auto& identity = identities[row.signer];
        ASSERT_EQ(signBundle(bundle.app, identity, {std::nullopt, false, true}), "");
        if (row.before.kind != none) {
            apply(bundle.app, row.before);
            ASSERT_EQ(signBundle(bundle.app, identity, {std::nullopt, true, false}), "");
        }
        apply(bundle.app, row.after);
        EXPECT_EQ(bundle.verify(row.deep, row.strict), row.expected);
    }
}

TEST(CodeSignatureTest, SigningRefusesWhatItCannotSeal) {
    FixtureBundle bundle;
    const auto identity = trusted().identity("Q4TWM82KXA");
    ASSERT_EQ(signBundle(bundle.app, identity, {}), "");
    EXPECT_EQ(signBundle(bundle.app, identity, {}), "is already signed");
    bundle.dir.write("Kestralune.app/Contents/Info.plist", infoPlist(""));
    EXPECT_NE(signBundle(bundle.app, identity, {std::nullopt, true, false}), "");
    ASSERT_EQ(signBundle(bundle.app, identity, {"com.orrindale.app", true, false}), "");
    EXPECT_EQ(bundle.verify(false, true), Status::valid);
    ASSERT_EQ(::mkfifo((bundle.app / "Contents/pipe").c_str(), 0600), 0);
    EXPECT_NE(signBundle(bundle.app, identity, {"com.orrindale.app", true, false}), "");
}

// The five arguments the installer passes, on the bundle the build signed and on a copy.
TEST(CodeSignatureTest, BuiltToolChecksTheBuiltApplicationAsTheInstallerDoes) {
    const auto runner = makeToolRunner(120);
    const auto check = [&](const fs::path& app) {
        return runner->runTool(KESTRALUNE_CODESIGN, {"--verify", "--deep", "--strict",
                                                     std::string("-R=") + kRequirement, app});
    };
    EXPECT_EQ(check(KESTRALUNE_APP).status, 0);
    const TempDirectory dir;
    const auto copy = dir.path() / "Kestralune.app";
    fs::copy(KESTRALUNE_APP, copy, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    apply(copy, {Edit::edit, "Contents/Info.plist", "<", "("});
    const auto tampered = check(copy);
    EXPECT_EQ(tampered.status, 1);
    EXPECT_THAT(tampered.output, testing::HasSubstr("invalid: Contents/Info.plist"));
    EXPECT_EQ(runner->runTool(KESTRALUNE_CODESIGN, {"--verify"}).status, 2);
    EXPECT_EQ(runner->runTool(KESTRALUNE_CODESIGN, {"-v", "-R", "identifier (", copy}).status, 2);
}

}  // namespace
}  // namespace kestralune
