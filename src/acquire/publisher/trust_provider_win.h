// The trust provider's functions as the publisher check uses them, loaded from System32 at
// the moment of the check. Apart from publisher_win.h so that a test can wrap the real functions
// and see every call the check makes.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>

#include "platform/step_result.h"
#include "platform/text.h"
#include "platform/unique_handle_win.h"

namespace velbro {

struct TrustFunctions {
    UniqueLibrary wintrust;
    UniqueLibrary crypt32;
    decltype(&::WinVerifyTrust) verify = nullptr;
    decltype(&::WTHelperProvDataFromStateData) provider_data = nullptr;
    decltype(&::WTHelperGetProvSignerFromChain) signer = nullptr;
    decltype(&::CertGetNameStringW) name = nullptr;
};

// wintrust.dll and crypt32.dll from System32 only, or "kan ikke indlæse {dll}: {error}".
Result<TrustFunctions> load_trust_functions();

// One verify call and always exactly one close call on the open package, then the decision.
StepFailure check_signature(const TrustFunctions& f, const NativePath& package_path, HANDLE package);

}  // namespace velbro
