// Windows side of the release signing test, run under Wine: puts the test root into the
// machine's Root store, and reports what the trust provider says of a program file.
//   trust_tool trust-root ROOT.der   adds the certificate to LOCAL_MACHINE\Root
//   trust_tool verify FILE           prints "status=0x%08X signer=NAME"
// Exit code 0 when the tool did its job (whatever the verdict), 2 otherwise.
#include <windows.h>

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/unique_handle_win.h"

namespace {

struct CertStoreTraits {
    using type = HCERTSTORE;
    static type empty() { return nullptr; }
    static bool is_valid(type h) { return h != nullptr; }
    static void close(type h) { ::CertCloseStore(h, 0); }
};

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

int fail(const char* what) {
    std::printf("%s failed (os error %lu)\n", what, ::GetLastError());
    return 2;
}

int trust_root(const wchar_t* der_path) {
    std::unique_ptr<FILE, FileCloser> file(::_wfopen(der_path, L"rb"));
    if (!file) return fail("opening the certificate");
    std::vector<BYTE> der;
    BYTE buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, file.get())) {
        der.insert(der.end(), buffer, buffer + n);
    }
    velbro::Unique<CertStoreTraits> root(::CertOpenStore(
        CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
    if (!root) return fail("CertOpenStore");
    if (!::CertAddEncodedCertificateToStore(root.get(), X509_ASN_ENCODING, der.data(),
                                            static_cast<DWORD>(der.size()),
                                            CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
        return fail("CertAddEncodedCertificateToStore");
    }
    return 0;
}

int verify(const wchar_t* path) {
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = path;
    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG status = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);

    // The provider keeps its state (and the signer's chain) until told to close it.
    struct StateCloser {
        WINTRUST_DATA& data;
        GUID& action;
        ~StateCloser() {
            data.dwStateAction = WTD_STATEACTION_CLOSE;
            ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
        }
    } closer{data, action};

    std::string signer;
    CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(data.hWVTStateData);
    CRYPT_PROVIDER_SGNR* sgnr =
        provider ? ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    if (sgnr && sgnr->csCertChain > 0 && sgnr->pasCertChain[0].pCert) {
        wchar_t name[256] = {};
        ::CertGetNameStringW(sgnr->pasCertChain[0].pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0,
                             nullptr, name, 256);
        signer = velbro::to_utf8(reinterpret_cast<const char16_t*>(name));
    }
    std::printf("status=0x%08lX signer=%s\n", static_cast<unsigned long>(status), signer.c_str());
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wstring(argv[1]) == L"trust-root") return trust_root(argv[2]);
    if (argc == 3 && std::wstring(argv[1]) == L"verify") return verify(argv[2]);
    std::printf("usage: trust_tool trust-root ROOT.der | verify FILE\n");
    return 2;
}
