#include "engine_server/tls_trust.h"

#include <wincrypt.h>

#include <cctype>
#include <cstdlib>

#include "engine_server/engine_text.h"
#include "engine_server/file_names.h"
#include "framework/error.h"
#include "framework/unique_any.h"

namespace tdm::engine {

namespace {

void CloseCertificateStore(HCERTSTORE store) noexcept
{
    ::CertCloseStore(store, 0);
}

// aria2's exit status of a failed TLS handshake (its "unknown error").
constexpr int kAria2HandshakeStatus = 1;

// The security status a Windows aria2 names in its handshake failure (eight
// hexadecimal digits of the security or certificate facility), 0 when none.
// The text around it is in the system's language; the number is not.
HRESULT SecurityStatusIn(const std::string& message) noexcept
{
    for (size_t i = 0; i < message.size();)
    {
        size_t end = i;
        while (end < message.size() && std::isxdigit(static_cast<unsigned char>(message[end])))
            ++end;
        if (end - i == 8)
        {
            const auto status = static_cast<HRESULT>(std::strtoul(message.substr(i, 8).c_str(), nullptr, 16));
            if (HRESULT_FACILITY(status) == FACILITY_SECURITY || HRESULT_FACILITY(status) == FACILITY_CERT)
                return status;
        }
        i = end == i ? i + 1 : end;
    }
    return S_OK;
}

bool IsCertificateStatus(HRESULT status) noexcept
{
    switch (status)
    {
    case SEC_E_UNTRUSTED_ROOT: case SEC_E_CERT_EXPIRED: case SEC_E_WRONG_PRINCIPAL: case SEC_E_CERT_UNKNOWN:
    case SEC_E_CERT_WRONG_USAGE: case SEC_E_ISSUING_CA_UNTRUSTED: case CERT_E_UNTRUSTEDROOT: case CERT_E_EXPIRED:
    case CERT_E_CN_NO_MATCH: case CERT_E_CHAINING: case CERT_E_UNTRUSTEDCA: case CERT_E_REVOKED: case CERT_E_WRONG_USAGE:
    case CRYPT_E_REVOKED: case TRUST_E_CERT_SIGNATURE:
        return true;
    default:
        return false;
    }
}

// aria2 reports a failed handshake with its own fixed text, then the TLS
// library's reason: a Windows aria2 gives the security status (its text is in
// the system's language), a GnuTLS or OpenSSL aria2 English reasons.
bool IsCertificateFailure(const std::string& message, int errorCode) noexcept
{
    if (errorCode != kAria2HandshakeStatus || message.find("handshake failure") == std::string::npos)
        return false;
    if (const HRESULT status = SecurityStatusIn(message))
        return IsCertificateStatus(status);
    for (const char* reason : {"authorit", "issuer", "certificate", "expired", "revoked", "hostname", "not trusted"})
        if (message.find(reason) != std::string::npos)
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
    // The path goes into aria2's configuration, a file of lines: one with a
    // line break in it is refused (the engine logs it as it reads its settings).
    if (HasControlCharacter(path))
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

std::string DownloadErrorText(const std::string& message, int errorCode, const std::wstring& url)
{
    if (!IsCertificateFailure(message, errorCode))
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

HRESULT CertificateErrorCode(const std::string& message, int errorCode) noexcept
{
    return IsCertificateFailure(message, errorCode) ? CERT_E_UNTRUSTEDROOT : S_OK;
}

}  // namespace tdm::engine
