#include "engine_server/tls_trust.h"

#include <wincrypt.h>

#include "engine_server/engine_text.h"
#include "framework/error.h"
#include "framework/unique_any.h"

namespace tdm::engine {

namespace {

void CloseCertificateStore(HCERTSTORE store) noexcept
{
    ::CertCloseStore(store, 0);
}

// aria2 reports a failed handshake with the TLS library's reasons; these are
// the ones of a certificate that did not pass the check.
bool IsCertificateFailure(const std::string& message) noexcept
{
    if (message.find("handshake failure") == std::string::npos)
        return false;
    for (const char* reason : {"authorit", "issuer", "certificate", "expired", "revoked", "hostname", "not trusted"})
        if (message.find(reason) != std::string::npos)
            return true;
    // A Windows aria2 (SChannel) gives the system's text in the user's
    // language, or none, followed by the status in hexadecimal: untrusted
    // root, wrong name, unknown or expired certificate, broken chain, bad
    // signature, wrong usage.
    for (const char* status : {"80090325", "800b0109", "80090322", "800b010f", "80090327", "80090328", "800b0101",
                               "800b010a", "80096004", "80090349"})
        if (message.find("(" + std::string(status) + ")") != std::string::npos ||
            message.find("Error: " + std::string(status)) != std::string::npos)
            return true;
    return false;
}

}  // namespace

std::wstring ExtraCaFileSetting()
{
    unique_hkey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Tolvane\\Engine", 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return {};
    wchar_t path[MAX_PATH + 1] = {};
    DWORD size = sizeof(path) - sizeof(wchar_t);
    DWORD type = 0;
    if (::RegQueryValueExW(key.get(), L"CaCertificateFile", nullptr, &type, reinterpret_cast<BYTE*>(path), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return {};
    return path;
}

HRESULT WriteTrustBundle(const std::wstring& bundlePath, const std::wstring& extraFile) noexcept
try
{
    const std::string extra = ReadWholeFile(extraFile);
    RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), extra.find("-----BEGIN CERTIFICATE-----") == std::string::npos);
    const unique_any<HCERTSTORE, CloseCertificateStore> store(::CertOpenSystemStoreW(0, L"ROOT"));
    RETURN_LAST_ERROR_IF(!store);
    std::string bundle;
    for (PCCERT_CONTEXT certificate = nullptr;
         (certificate = ::CertEnumCertificatesInStore(store.get(), certificate)) != nullptr;)
    {
        DWORD length = 0;
        if (!::CryptBinaryToStringA(certificate->pbCertEncoded, certificate->cbCertEncoded,
                                    CRYPT_STRING_BASE64HEADER, nullptr, &length))
            continue;
        std::string pem(length, '\0');
        if (::CryptBinaryToStringA(certificate->pbCertEncoded, certificate->cbCertEncoded, CRYPT_STRING_BASE64HEADER,
                                   &pem[0], &length))
            bundle.append(pem.c_str());
    }
    // Without the system's roots the bundle would narrow the trust to the one
    // file: then no bundle at all.
    RETURN_HR_IF(CRYPT_E_NOT_FOUND, bundle.empty());
    bundle += "\n" + extra + "\n";
    return ReplaceFileContent(bundlePath, bundle);
}
catch (...)
{
    return HResultFromCaughtException();
}

std::string DownloadErrorText(const std::string& message, const std::wstring& url)
{
    if (!IsCertificateFailure(message))
        return message;
    // The host of "scheme://[user@]host[:port]/...".
    std::string host = Utf8FromWide(url);
    const size_t start = host.find("://");
    host = start == std::string::npos ? std::string() : host.substr(start + 3);
    host = host.substr(0, host.find_first_of("/?#"));
    if (const size_t at = host.rfind('@'); at != std::string::npos)
        host = host.substr(at + 1);
    if (const size_t colon = host.rfind(':'); colon != std::string::npos && host.find(']', colon) == std::string::npos)
        host = host.substr(0, colon);
    const size_t reason = message.find("handshake failure");
    std::string detail = message.substr(reason + 17);
    while (!detail.empty() && (detail.front() == ':' || detail.front() == ' '))
        detail.erase(0, 1);
    return "certificate not trusted for " + host + (detail.empty() ? "" : ": " + detail);
}

HRESULT CertificateErrorCode(const std::string& message) noexcept
{
    return IsCertificateFailure(message) ? CERT_E_UNTRUSTEDROOT : S_OK;
}

}  // namespace tdm::engine
