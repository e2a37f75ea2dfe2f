// The host manifests the installer writes, and what the doctor finds wrong in one.

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "manifest.h"

namespace Vorn_SCard_Bridge::installer {
namespace {

const char* const ID_A = "abcdefghijklmnopabcdefghijklmnop";
const char* const ID_B = "ppppppppppppppppaaaaaaaaaaaaaaaa";

ManifestFields chromium_fields() {
    ManifestFields fields;
    fields.host_path = "/usr/bin/vorn-scard-bridge";
    fields.allowed_ids = {ID_A, std::string("chrome-extension://") + ID_B + "/"};
    return fields;
}

TEST(InstallerManifestRender, ChromiumManifestHasOriginsWithTrailingSlash) {
    const auto json = nlohmann::json::parse(render_manifest(chromium_fields()));
    EXPECT_EQ(json["name"], "com.vorn.scard_bridge");
    EXPECT_EQ(json["description"], "Vorn Smart Card Bridge");
    EXPECT_EQ(json["path"], "/usr/bin/vorn-scard-bridge");
    EXPECT_EQ(json["type"], "stdio");
    EXPECT_EQ(json["allowed_origins"],
              nlohmann::json::array({std::string("chrome-extension://") + ID_A + "/",
                                     std::string("chrome-extension://") + ID_B + "/"}));
    EXPECT_FALSE(json.contains("allowed_extensions"));
    EXPECT_EQ(json.size(), 5u);
}

TEST(InstallerManifestRender, FirefoxManifestHasAllowedExtensionsOnly) {
    ManifestFields fields;
    fields.kind = ManifestKind::FIREFOX;
    fields.host_path = "/usr/bin/vorn-scard-bridge";
    fields.allowed_ids = {"vorn@example.org", "{12345678-abcd-ef01-2345-6789abcdef01}"};
    const auto json = nlohmann::json::parse(render_manifest(fields));
    EXPECT_EQ(
        json["allowed_extensions"],
        nlohmann::json::array({"vorn@example.org", "{12345678-abcd-ef01-2345-6789abcdef01}"}));
    EXPECT_FALSE(json.contains("allowed_origins"));
}

TEST(InstallerManifestRender, PathWithQuotesAndSpacesIsEscaped) {
    ManifestFields fields = chromium_fields();
    fields.host_path = "/Applications/Vorn \"Bridge\"/bin\\host";
    const auto json = nlohmann::json::parse(render_manifest(fields));
    EXPECT_EQ(json["path"], "/Applications/Vorn \"Bridge\"/bin\\host");
}

TEST(InstallerManifestRender, RenderedManifestPassesTheDoctorsCheck) {
    const auto check = check_manifest_text(render_manifest(chromium_fields()), ManifestKind::CHROMIUM,
                                           "com.vorn.scard_bridge.json");
    EXPECT_TRUE(check.problems.empty()) << check.problems.front();
}

struct RejectCase {
    std::string what;
    ManifestFields fields;
};

class InstallerManifestRejects : public ::testing::TestWithParam<RejectCase> {};

TEST_P(InstallerManifestRejects, Throws) {
    EXPECT_THROW(render_manifest(GetParam().fields), std::invalid_argument) << GetParam().what;
}

ManifestFields with(std::function<void(ManifestFields&)> change) {
    ManifestFields fields = chromium_fields();
    change(fields);
    return fields;
}

INSTANTIATE_TEST_SUITE_P(
    BadInput, InstallerManifestRejects,
    ::testing::Values(
        RejectCase{"relative path", with([](auto& s) { s.host_path = "vorn-scard-bridge"; })},
        RejectCase{"no ids", with([](auto& s) { s.allowed_ids.clear(); })},
        RejectCase{"id too short", with([](auto& s) { s.allowed_ids = {"abc"}; })},
        RejectCase{"id with q",
                   with([](auto& s) { s.allowed_ids = {"qbcdefghijklmnopabcdefghijklmnop"}; })},
        RejectCase{"upper-case host name", with([](auto& s) { s.host_name = "com.Vorn.bridge"; })},
        RejectCase{"dash in host name",
                   with([](auto& s) { s.host_name = "com.vorn.scard-bridge"; })},
        RejectCase{"firefox id in chromium manifest",
                   with([](auto& s) { s.allowed_ids = {"vorn@example.org"}; })},
        RejectCase{"chromium id in firefox manifest", with([](auto& s) {
                       s.kind = ManifestKind::FIREFOX;
                       s.allowed_ids = {ID_A};
                   })}));

TEST(InstallerHostName, Rules) {
    EXPECT_TRUE(is_valid_host_name("com.vorn.scard_bridge"));
    EXPECT_TRUE(is_valid_host_name("a1_b.c2"));
    EXPECT_FALSE(is_valid_host_name(""));
    EXPECT_FALSE(is_valid_host_name(".com.vorn"));
    EXPECT_FALSE(is_valid_host_name("com.vorn."));
    EXPECT_FALSE(is_valid_host_name("com..vorn"));
    EXPECT_FALSE(is_valid_host_name("com.vorn/bridge"));
}

TEST(InstallerExtensionIds, ChromiumAndFirefoxForms) {
    EXPECT_EQ(normalize_chromium_extension_id(ID_A), ID_A);
    EXPECT_EQ(normalize_chromium_extension_id(std::string("chrome-extension://") + ID_A + "/"),
              ID_A);
    EXPECT_FALSE(normalize_chromium_extension_id("ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP").has_value());
    EXPECT_TRUE(is_valid_firefox_addon_id("vorn@example.org"));
    EXPECT_TRUE(is_valid_firefox_addon_id("{12345678-abcd-ef01-2345-6789abcdef01}"));
    EXPECT_FALSE(is_valid_firefox_addon_id("{12345678-abcd-ef01-2345-6789abcdef0}"));
    EXPECT_FALSE(is_valid_firefox_addon_id("no-at-sign"));
    EXPECT_FALSE(is_valid_firefox_addon_id("a@b@c"));
}

struct CheckCase {
    std::string what;
    std::string text;
    ManifestKind kind;
    std::string problem;  // a piece of the expected problem sentence
};

class InstallerManifestCheckFinds : public ::testing::TestWithParam<CheckCase> {};

TEST_P(InstallerManifestCheckFinds, TheProblem) {
    const CheckCase& c = GetParam();
    const auto check = check_manifest_text(c.text, c.kind, "com.vorn.scard_bridge.json");
    std::string all;
    for (const auto& p : check.problems) all += p + "\n";
    EXPECT_NE(all.find(c.problem), std::string::npos) << c.what << "\nproblems:\n" << all;
}

INSTANTIATE_TEST_SUITE_P(
    CommonMistakes, InstallerManifestCheckFinds,
    ::testing::Values(CheckCase{"not json", "{", ManifestKind::CHROMIUM, "not a JSON object"},
                      CheckCase{"relative path",
                                R"({"name":"com.vorn.scard_bridge","path":"bridge","type":"stdio",
                      "allowed_origins":["chrome-extension://abcdefghijklmnopabcdefghijklmnop/"]})",
                                ManifestKind::CHROMIUM, "relative"},
                      CheckCase{"origin without slash",
                                R"({"name":"com.vorn.scard_bridge","path":"/b","type":"stdio",
                      "allowed_origins":["chrome-extension://abcdefghijklmnopabcdefghijklmnop"]})",
                                ManifestKind::CHROMIUM, "trailing slash"},
                      CheckCase{"firefox manifest with origins",
                                R"({"name":"com.vorn.scard_bridge","path":"/b","type":"stdio",
                      "allowed_origins":["chrome-extension://abcdefghijklmnopabcdefghijklmnop/"]})",
                                ManifestKind::FIREFOX, "Firefox refuses"},
                      CheckCase{"firefox manifest in a chromium folder",
                                R"({"name":"com.vorn.scard_bridge","path":"/b","type":"stdio",
                      "allowed_extensions":["vorn@example.org"]})",
                                ManifestKind::CHROMIUM, "this is a Firefox manifest"},
                      CheckCase{"name differs from file name",
                                R"({"name":"com.other.host","path":"/b","type":"stdio",
                      "allowed_origins":["chrome-extension://abcdefghijklmnopabcdefghijklmnop/"]})",
                                ManifestKind::CHROMIUM, "browsers need <name>.json"},
                      CheckCase{"wrong type",
                                R"({"name":"com.vorn.scard_bridge","path":"/b","type":"pipe",
                      "allowed_origins":["chrome-extension://abcdefghijklmnopabcdefghijklmnop/"]})",
                                ManifestKind::CHROMIUM, "\"type\" must be \"stdio\""},
                      CheckCase{"missing path",
                                R"({"name":"com.vorn.scard_bridge","type":"stdio",
                      "allowed_origins":["chrome-extension://abcdefghijklmnopabcdefghijklmnop/"]})",
                                ManifestKind::CHROMIUM, "\"path\" is missing"}));

TEST(InstallerManifestTemplate, EmbeddedTemplateHasEveryPlaceholder) {
    const std::string_view text = manifest_template();
    for (const char* placeholder :
         {"@VORN_HOST_NAME@", "@VORN_HOST_DESCRIPTION@", "@VORN_HOST_PATH@", "@VORN_ALLOWED_KEY@",
          "@VORN_ALLOWED_LIST@"}) {
        EXPECT_NE(text.find(placeholder), std::string_view::npos) << placeholder;
    }
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::installer
