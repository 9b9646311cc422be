// Trust for https downloads.
//
// aria2 checks the certificate of every https server, by default against the
// system's trust store. The engine setting "CaCertificateFile" (REG_SZ under
// the engine's settings key, a path) names further certificate authorities in
// a PEM file. aria2's --ca-certificate replaces the system store instead of
// adding to it, so the engine hands aria2 a bundle: the system's root
// certificates followed by that file. Certificate checking is never switched
// off.
#pragma once

#include <windows.h>
#include <string>

namespace tdm::engine {

// The further CA file of the settings; empty when none is set.
std::wstring ExtraCaFileSetting();

// Writes to `bundlePath` the system's root certificates (PEM), then the PEM
// text of `extraFile`. Fails when either part cannot be had.
[[nodiscard]] HRESULT WriteTrustBundle(const std::wstring& bundlePath, const std::wstring& extraFile) noexcept;

// The download's error text for aria2's message and exit status about `url`:
// a failed certificate check names the server ("certificate not trusted for
// 127.0.0.1: ..."); every other message passes as it is. A certificate failure
// is told by aria2's status and the security status in the message, whatever
// the system's language.
std::string DownloadErrorText(const std::string& message, int errorCode, const std::wstring& url);

// The status of a download that failed its certificate check (for the
// certificate text above), 0 for any other failure.
HRESULT CertificateErrorCode(const std::string& message, int errorCode) noexcept;

}  // namespace tdm::engine
