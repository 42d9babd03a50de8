// Opening and checking real signed packages with Wine's trust provider. The test root is
// trusted in the test prefix only; see tests/fixtures/make_fixtures.sh for the packages. The
// decision on every status and name is checked natively: here, what the provider says of real
// signatures, and that the name read from a real certificate reaches the decision unchanged.
#include <gtest/gtest.h>

#include <vector>

#include "acquire/publisher/publisher_win.h"
#include "acquire/publisher/trust_provider_win.h"
#include "test_support_win.h"

namespace velbro {
namespace {

using namespace test_support;

const struct {
    const char16_t* package;
    const char* message;  // none: accepted
} CASES[] = {
    {u"install-ok.msi", nullptr},
    {u"unsigned.msi", "ugyldig signatur (0x800B0100)"},
    // What Wine's provider reports for a signature value that does not verify.
    {u"damaged-signature.msi", "ugyldig signatur (0x80096004)"},
    {u"signer-no-comma.msi", "uventet udgiver: Cloudflare Inc"},
    {u"signer-trailing-space.msi", "uventet udgiver: Cloudflare, Inc. "},
    {u"signer-no-name.msi", "kunne ikke læse udgiver"},
};

TEST(VerifyPublisher, AcceptsOnlyTheVendorsTrustedSignatureAndClosesTheRest) {
    for (const auto& c : CASES) {
        SCOPED_TRACE(to_utf8(c.package));
        const ScratchFolder scratch;
        const NativePath path = scratch.path(u"Cloudflare_WARP.msi");
        copy_file(fixture_package(c.package), path);

        // Nothing of the check is left open: neither the package nor the provider's state.
        expect_no_handle_left_open([&] {
            Result<PackageHandle> opened = open_package(path);
            ASSERT_TRUE(opened.ok()) << opened.error().message;
            PackageHandle package = std::move(opened.value());
            const StepFailure outcome = verify_publisher(path, package);
            EXPECT_EQ(outcome ? outcome->message : "accepted", c.message ? c.message : "accepted");
            if (outcome) {
                EXPECT_FALSE(package.is_open());
                return;
            }
            // Held for the installation: others may read it, but not change or delete it.
            EXPECT_TRUE(package.is_open());
            EXPECT_EQ(open_error(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE), 0u);
            EXPECT_EQ(open_error(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE), 32u);
            EXPECT_EQ(delete_file(path), 32u);
        });
        EXPECT_EQ(delete_file(path), 0u);
    }
}

// Every WinVerifyTrust call of a check, as the provider received it, passed on to the real one.
struct TrustCall {
    DWORD state_action;
    DWORD size;
    bool no_window;
    HANDLE file;
    bool operator==(const TrustCall&) const = default;
};
void PrintTo(const TrustCall& call, std::ostream* out) {
    *out << "{action " << call.state_action << ", size " << call.size
         << (call.no_window ? ", no window" : ", a window") << ", file " << call.file << "}";
}
std::vector<TrustCall> trust_calls;
decltype(&::WinVerifyTrust) real_verify = nullptr;

LONG WINAPI recording_verify(HWND window, GUID* action, LPVOID data) {
    const auto* trust = static_cast<const WINTRUST_DATA*>(data);
    trust_calls.push_back({trust->dwStateAction, trust->cbStruct, window == nullptr, trust->pFile->hFile});
    return real_verify(window, action, data);
}

TEST(VerifyPublisher, EveryCheckClosesTheProvidersStateExactlyOnce) {
    for (const auto& c : CASES) {
        SCOPED_TRACE(to_utf8(c.package));
        const ScratchFolder scratch;
        const NativePath path = scratch.path(u"Cloudflare_WARP.msi");
        copy_file(fixture_package(c.package), path);
        Result<PackageHandle> opened = open_package(path);
        ASSERT_TRUE(opened.ok()) << opened.error().message;
        Result<TrustFunctions> loaded = load_trust_functions();
        ASSERT_TRUE(loaded.ok()) << loaded.error().message;
        real_verify = std::exchange(loaded.value().verify, recording_verify);
        trust_calls.clear();

        const HANDLE file = opened.value().get();
        const StepFailure outcome = check_signature(loaded.value(), path, file);

        // The full 88-byte structure, no window, the held package; verify, then close.
        const std::vector<TrustCall> expected{{WTD_STATEACTION_VERIFY, 88, true, file},
                                              {WTD_STATEACTION_CLOSE, 88, true, file}};
        EXPECT_EQ(trust_calls, expected);
        EXPECT_EQ(outcome ? outcome->message : "accepted", c.message ? c.message : "accepted");
    }
}

TEST(OpenPackage, MissingPackageFailsWithTheSystemError) {
    const ScratchFolder scratch;
    const Result<PackageHandle> opened = open_package(scratch.path(u"Cloudflare_WARP.msi"));
    ASSERT_FALSE(opened.ok());
    EXPECT_TRUE(is_system_error_text(opened.error().message, "kan ikke åbne installationsfilen: ", 2));
}

}  // namespace
}  // namespace velbro
