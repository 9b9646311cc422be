#pragma once
#include <windows.h>
#include <string>
namespace tdm {
struct CredentialRequest { std::wstring userName, password, url, realm; bool proxy = false; };
struct CredentialAnswer { bool cancelled = true; std::wstring userName, password; bool remember = false; };
CredentialAnswer AskCredentials(HWND owner, const CredentialRequest& request) noexcept;
}
