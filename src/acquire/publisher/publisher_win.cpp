// The signature check through the Windows trust provider. wintrust.dll and crypt32.dll are
// loaded from System32 only when the check runs: the program runs elevated, often from a
// Downloads folder, and must not import them at load time or find them anywhere else.
#include "acquire/publisher/publisher_win.h"

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>

#include <cstddef>
#include <optional>
#include <string>

#include "acquire/publisher/publisher_decision.h"
#include "acquire/publisher/trust_provider_win.h"
#include "platform/command_line.h"
#include "platform/system_error_win.h"

namespace velbro {
namespace {

// MinGW's WINTRUST_DATA ends before pSignatureSettings (80 bytes); the structure Windows
// documents is 88. Passing the full size, with that member zero, is what the SDK does.
struct FullWintrustData {
    WINTRUST_DATA data;
    void* pSignatureSettings;
};
static_assert(sizeof(FullWintrustData) == 88);
static_assert(offsetof(FullWintrustData, pSignatureSettings) == 80);
static_assert(sizeof(WINTRUST_FILE_INFO) == 32);

constexpr GUID VERIFY_ACTION = WINTRUST_ACTION_GENERIC_VERIFY_V2;
constexpr DWORD NAME_BUFFER_UNITS = 256;

InstallError load_error(const char* dll, const SystemError& error) {
    return InstallError{std::string("kan ikke indlæse ") + dll + ": " + display_text(error)};
}

template <typename Function>
bool find_function(const UniqueLibrary& library, const char* name, Function& out) {
    const FARPROC found = ::GetProcAddress(library.get(), name);
    // Through a generic function pointer type: a direct cast between unrelated function
    // types is what -Wcast-function-type reports.
    out = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
    return found != nullptr;
}

// The simple display name of the signing certificate, copied out of the provider's state
// while that state is still open.
std::optional<std::string> read_signer_name(const TrustFunctions& f, HANDLE state) {
    CRYPT_PROVIDER_DATA* provider = f.provider_data(state);
    if (provider == nullptr) return std::nullopt;
    CRYPT_PROVIDER_SGNR* signer = f.signer(provider, 0, FALSE, 0);
    if (signer == nullptr || signer->csCertChain == 0 || signer->pasCertChain == nullptr) {
        return std::nullopt;
    }
    std::u16string name(NAME_BUFFER_UNITS, u'\0');
    const DWORD written = f.name(signer->pasCertChain[0].pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0,
                                 nullptr, wide_ptr(name), NAME_BUFFER_UNITS);
    // The count includes the terminating NUL: 0 is a failure and 1 an empty name.
    if (written < 2) return std::nullopt;
    name.resize(written < NAME_BUFFER_UNITS ? written - 1 : NAME_BUFFER_UNITS - 1);
    return to_utf8(name);
}

void close_package(void* handle) { ::CloseHandle(handle); }

}  // namespace

Result<TrustFunctions> load_trust_functions() {
    TrustFunctions f;
    f.wintrust.reset(::LoadLibraryExW(L"wintrust.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!f.wintrust) return load_error("wintrust.dll", last_system_error());
    if (!find_function(f.wintrust, "WinVerifyTrust", f.verify) ||
        !find_function(f.wintrust, "WTHelperProvDataFromStateData", f.provider_data) ||
        !find_function(f.wintrust, "WTHelperGetProvSignerFromChain", f.signer)) {
        return load_error("wintrust.dll", last_system_error());
    }
    f.crypt32.reset(::LoadLibraryExW(L"crypt32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!f.crypt32) return load_error("crypt32.dll", last_system_error());
    if (!find_function(f.crypt32, "CertGetNameStringW", f.name)) {
        return load_error("crypt32.dll", last_system_error());
    }
    return f;
}

StepFailure check_signature(const TrustFunctions& f, const NativePath& package_path, HANDLE package) {
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = wide_ptr(package_path);
    file.hFile = package;

    FullWintrustData trust{};
    trust.data.cbStruct = sizeof(trust);
    trust.data.dwUIChoice = WTD_UI_NONE;
    trust.data.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust.data.dwUnionChoice = WTD_CHOICE_FILE;
    trust.data.pFile = &file;
    trust.data.dwStateAction = WTD_STATEACTION_VERIFY;
    trust.data.dwUIContext = WTD_UICONTEXT_EXECUTE;

    GUID action = VERIFY_ACTION;
    const LONG status = f.verify(nullptr, &action, &trust.data);
    std::optional<std::string> signer_name;
    if (status == 0) signer_name = read_signer_name(f, trust.data.hWVTStateData);

    // Always, also after a failed verify: the provider keeps state until it is told to close.
    trust.data.dwStateAction = WTD_STATEACTION_CLOSE;
    f.verify(nullptr, &action, &trust.data);

    return decide_publisher(status, signer_name);
}

Result<PackageHandle> open_package(const NativePath& package_path) {
    const auto failed = [](const SystemError& error) {
        return InstallError{"kan ikke åbne installationsfilen: " + display_text(error)};
    };
    if (package_path.find(u'\0') != NativePath::npos) return failed(nul_in_data_error());

    const HANDLE handle = ::CreateFileW(wide_ptr(package_path), GENERIC_READ, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return failed(last_system_error());
    return PackageHandle(handle, close_package);
}

StepFailure verify_publisher(const NativePath& package_path, PackageHandle& package) {
    Result<TrustFunctions> loaded = load_trust_functions();
    StepFailure failed = loaded.ok() ? check_signature(loaded.value(), package_path, package.get())
                                    : StepFailure(loaded.error());
    // Closed before the flow removes the work directory, so the rejected file goes with it.
    if (failed) package.reset();
    return failed;
}

}  // namespace velbro
