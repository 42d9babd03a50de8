// The publisher decision: status first, then a missing name, then an exact byte comparison.
#include <gtest/gtest.h>

#include "acquire/publisher/publisher_decision.h"

namespace velbro {
namespace {

TEST(PublisherDecision, AcceptsOnlyATrustedSignatureByExactlyTheVendor) {
    const std::string vendor = "Cloudflare, Inc.";
    const struct {
        std::uint32_t status;
        std::optional<std::string> name;
        std::optional<std::string> message;  // none: accepted
    } cases[] = {
        {0x800B0100, std::nullopt, "ugyldig signatur (0x800B0100)"},
        {0x57, std::nullopt, "ugyldig signatur (0x00000057)"},
        // The status decides even when the provider somehow named the right signer.
        {0x80096004, vendor, "ugyldig signatur (0x80096004)"},
        {0xFFFFFFFF, vendor, "ugyldig signatur (0xFFFFFFFF)"},
        {0, std::nullopt, "kunne ikke læse udgiver"},
        {0, "Cloudflare Inc", "uventet udgiver: Cloudflare Inc"},
        {0, "cloudflare, inc.", "uventet udgiver: cloudflare, inc."},
        {0, "Cloudflare, Inc", "uventet udgiver: Cloudflare, Inc"},
        {0, "Cloudflare, Inc. ", "uventet udgiver: Cloudflare, Inc. "},
        {0, " Cloudflare, Inc.", "uventet udgiver:  Cloudflare, Inc."},
        // 17 bytes whose first 16 are the vendor's: a C-string comparison would accept it.
        {0, std::string("Cloudflare, Inc.\0", 17), std::string("uventet udgiver: Cloudflare, Inc.\0", 34)},
        {0, vendor, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.status << " " << c.name.value_or("<none>"));
        const StepFailure outcome = decide_publisher(static_cast<std::int32_t>(c.status), c.name);
        if (!c.message) {
            EXPECT_FALSE(outcome.has_value());
        } else {
            ASSERT_TRUE(outcome.has_value());
            EXPECT_EQ(outcome->message, *c.message);
        }
    }
}

}  // namespace
}  // namespace velbro
