#include "framework/registrar.h"

#include <cwctype>
#include <memory>
#include <new>

#include "framework/unique_any.h"

namespace tdm {

namespace {

enum class KeyMode { Normal, Kept, Replaced };

struct ScriptValue
{
    std::wstring name;  // empty: the key's default value
    DWORD type = REG_SZ;
    std::wstring text;
    DWORD number = 0;
};

struct ScriptKey
{
    KeyMode mode = KeyMode::Normal;
    std::wstring name;
    std::vector<ScriptValue> values;
    std::vector<ScriptKey> subkeys;
};

struct ScriptRoot
{
    HKEY root;
    std::vector<ScriptKey> keys;
};

class Parser
{
public:
    Parser(std::wstring_view text, const RegistrarReplacements& replacements)
        : m_text(text), m_replacements(replacements) {}

    bool Parse(std::vector<ScriptRoot>& roots)
    {
        for (;;)
        {
            std::wstring word;
            if (!NextToken(word))
                return true;  // end of script
            ScriptRoot root{};
            if (!RootFromName(word, root.root))
                return false;
            if (!Expect(L'{') || !ParseKeys(root.keys, 0))
                return false;
            roots.push_back(std::move(root));
        }
    }

private:
    static bool RootFromName(const std::wstring& name, HKEY& root)
    {
        if (name == L"HKCR" || name == L"HKEY_CLASSES_ROOT")
            root = HKEY_CLASSES_ROOT;
        else if (name == L"HKCU" || name == L"HKEY_CURRENT_USER")
            root = HKEY_CURRENT_USER;
        else if (name == L"HKLM" || name == L"HKEY_LOCAL_MACHINE")
            root = HKEY_LOCAL_MACHINE;
        else
            return false;
        return true;
    }

    // Reads keys up to the closing brace of the enclosing block.
    bool ParseKeys(std::vector<ScriptKey>& keys, int depth)
    {
        if (depth > 64)
            return false;
        for (;;)
        {
            std::wstring word;
            bool quoted = false;
            if (!NextToken(word, &quoted))
                return false;  // unterminated block
            if (!quoted && word == L"}")
                return true;
            if (!quoted && word == L"val")
            {
                ScriptValue value;
                if (!NextToken(value.name) || !ParseAssignment(value))
                    return false;
                // A value belongs to the key whose block is being read; the caller
                // passes that key's value list through m_currentValues.
                if (!m_currentValues)
                    return false;
                m_currentValues->push_back(std::move(value));
                continue;
            }
            ScriptKey key;
            if (!quoted && (word == L"NoRemove" || word == L"ForceRemove"))
            {
                key.mode = word == L"NoRemove" ? KeyMode::Kept : KeyMode::Replaced;
                if (!NextToken(word))
                    return false;
            }
            key.name = word;
            if (key.name.empty())
                return false;
            if (PeekChar() == L'=')
            {
                ++m_pos;
                ScriptValue value;
                if (!ParseAssignment(value, false))
                    return false;
                key.values.push_back(std::move(value));
            }
            if (PeekChar() == L'{')
            {
                ++m_pos;
                std::vector<ScriptValue>* outer = m_currentValues;
                m_currentValues = &key.values;
                const bool ok = ParseKeys(key.subkeys, depth + 1);
                m_currentValues = outer;
                if (!ok)
                    return false;
            }
            keys.push_back(std::move(key));
        }
    }

    // Parses "= s 'text'" or "= d 'number'" (the "=" already taken when asked).
    bool ParseAssignment(ScriptValue& value, bool expectEquals = true)
    {
        if (expectEquals && !Expect(L'='))
            return false;
        std::wstring type;
        std::wstring data;
        if (!NextToken(type) || !NextToken(data))
            return false;
        if (type == L"s")
        {
            value.type = REG_SZ;
            value.text = std::move(data);
            return true;
        }
        if (type == L"d")
        {
            value.type = REG_DWORD;
            wchar_t* end = nullptr;
            const unsigned long number = std::wcstoul(data.c_str(), &end, 0);
            if (data.empty() || *end != L'\0')
                return false;
            value.number = static_cast<DWORD>(number);
            return true;
        }
        return false;
    }

    void SkipSpace()
    {
        while (m_pos < m_text.size() && std::iswspace(m_text[m_pos]))
            ++m_pos;
    }

    wchar_t PeekChar()
    {
        SkipSpace();
        return m_pos < m_text.size() ? m_text[m_pos] : L'\0';
    }

    bool Expect(wchar_t c)
    {
        if (PeekChar() != c)
            return false;
        ++m_pos;
        return true;
    }

    // A token: "{", "}", "=", a 'quoted' text or a bare word. Replacements are
    // applied to the token's text.
    bool NextToken(std::wstring& token, bool* quoted = nullptr)
    {
        token.clear();
        if (quoted)
            *quoted = false;
        SkipSpace();
        if (m_pos >= m_text.size())
            return false;
        const wchar_t c = m_text[m_pos];
        if (c == L'{' || c == L'}' || c == L'=')
        {
            token.assign(1, c);
            ++m_pos;
            return true;
        }
        std::wstring raw;
        if (c == L'\'')
        {
            if (quoted)
                *quoted = true;
            ++m_pos;
            for (;;)
            {
                if (m_pos >= m_text.size())
                    return false;  // unterminated text
                const wchar_t d = m_text[m_pos++];
                if (d == L'\'')
                {
                    if (m_pos < m_text.size() && m_text[m_pos] == L'\'')
                    {
                        raw.push_back(L'\'');
                        ++m_pos;
                        continue;
                    }
                    break;
                }
                raw.push_back(d);
            }
        }
        else
        {
            while (m_pos < m_text.size() && !std::iswspace(m_text[m_pos]) && m_text[m_pos] != L'{' &&
                   m_text[m_pos] != L'}' && m_text[m_pos] != L'=')
                raw.push_back(m_text[m_pos++]);
        }
        return Replace(raw, token);
    }

    bool Replace(const std::wstring& raw, std::wstring& out) const
    {
        size_t i = 0;
        while (i < raw.size())
        {
            if (raw[i] != L'%')
            {
                out.push_back(raw[i++]);
                continue;
            }
            const size_t close = raw.find(L'%', i + 1);
            if (close == std::wstring::npos)
                return false;
            if (close == i + 1)
            {
                out.push_back(L'%');  // "%%" is one percent sign
                i = close + 1;
                continue;
            }
            const std::wstring name = raw.substr(i + 1, close - i - 1);
            bool found = false;
            for (const auto& [key, value] : m_replacements)
                if (key == name)
                {
                    out += value;
                    found = true;
                    break;
                }
            if (!found)
                return false;
            i = close + 1;
        }
        return true;
    }

    std::wstring_view m_text;
    const RegistrarReplacements& m_replacements;
    size_t m_pos = 0;
    std::vector<ScriptValue>* m_currentValues = nullptr;
};

HRESULT FromWin32(LONG error) { return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(error); }

HRESULT WriteValue(HKEY key, const ScriptValue& value)
{
    const wchar_t* name = value.name.empty() ? nullptr : value.name.c_str();
    if (value.type == REG_DWORD)
        return FromWin32(::RegSetValueExW(key, name, 0, REG_DWORD,
                                          reinterpret_cast<const BYTE*>(&value.number), sizeof(DWORD)));
    const DWORD bytes = static_cast<DWORD>((value.text.size() + 1) * sizeof(wchar_t));
    return FromWin32(::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.text.c_str()), bytes));
}

// Deletes a key with its whole subtree; a missing key is no error.
HRESULT DeleteTree(HKEY parent, const std::wstring& name)
{
    const LONG error = ::RegDeleteTreeW(parent, name.c_str());
    if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND)
        return S_OK;
    return HRESULT_FROM_WIN32(error);
}

HRESULT RegisterKeys(HKEY parent, const std::vector<ScriptKey>& keys)
{
    for (const ScriptKey& key : keys)
    {
        if (key.mode == KeyMode::Replaced)
        {
            const HRESULT hr = DeleteTree(parent, key.name);
            if (FAILED(hr))
                return hr;
        }
        unique_hkey handle;
        const LONG error = ::RegCreateKeyExW(parent, key.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                             KEY_READ | KEY_WRITE, nullptr, handle.put(), nullptr);
        if (error != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(error);
        for (const ScriptValue& value : key.values)
        {
            const HRESULT hr = WriteValue(handle.get(), value);
            if (FAILED(hr))
                return hr;
        }
        const HRESULT hr = RegisterKeys(handle.get(), key.subkeys);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

bool KeyIsEmpty(HKEY key)
{
    DWORD subkeys = 0;
    DWORD values = 0;
    if (::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                           nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    return subkeys == 0 && values == 0;
}

HRESULT UnregisterKeys(HKEY parent, const std::vector<ScriptKey>& keys)
{
    for (const ScriptKey& key : keys)
    {
        if (key.mode == KeyMode::Replaced)
        {
            const HRESULT hr = DeleteTree(parent, key.name);
            if (FAILED(hr))
                return hr;
            continue;
        }
        bool empty = false;
        {
            unique_hkey handle;
            const LONG error = ::RegOpenKeyExW(parent, key.name.c_str(), 0, KEY_READ | KEY_WRITE, handle.put());
            if (error == ERROR_FILE_NOT_FOUND)
                continue;
            if (error != ERROR_SUCCESS)
                return HRESULT_FROM_WIN32(error);
            const HRESULT hr = UnregisterKeys(handle.get(), key.subkeys);
            if (FAILED(hr))
                return hr;
            for (const ScriptValue& value : key.values)
            {
                const LONG deleted =
                    ::RegDeleteValueW(handle.get(), value.name.empty() ? nullptr : value.name.c_str());
                if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND)
                    return HRESULT_FROM_WIN32(deleted);
            }
            empty = key.mode == KeyMode::Normal && KeyIsEmpty(handle.get());
        }
        if (empty)
        {
            const LONG error = ::RegDeleteKeyW(parent, key.name.c_str());
            if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND)
                return HRESULT_FROM_WIN32(error);
        }
    }
    return S_OK;
}

}  // namespace

HRESULT RunRegistryScript(std::wstring_view script, bool registering, const RegistrarReplacements& replacements) noexcept
{
    try
    {
        std::vector<ScriptRoot> roots;
        Parser parser(script, replacements);
        if (!parser.Parse(roots))
            return E_INVALIDARG;
        for (const ScriptRoot& root : roots)
        {
            const HRESULT hr = registering ? RegisterKeys(root.root, root.keys) : UnregisterKeys(root.root, root.keys);
            if (FAILED(hr))
                return hr;
        }
        return S_OK;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    catch (...)
    {
        return E_UNEXPECTED;
    }
}

HRESULT RunRegistryScriptResource(HMODULE module, UINT resourceId, bool registering,
                                  const RegistrarReplacements& replacements) noexcept
{
    HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(resourceId), L"REGISTRY");
    if (!resource)
        return HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND);
    const DWORD size = ::SizeofResource(module, resource);
    HGLOBAL loaded = ::LoadResource(module, resource);
    const char* data = loaded ? static_cast<const char*>(::LockResource(loaded)) : nullptr;
    if (!data)
        return E_FAIL;
    try
    {
        // Registry scripts are plain ASCII text.
        std::wstring text;
        text.reserve(size);
        for (DWORD i = 0; i < size && data[i] != '\0'; ++i)
            text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(data[i])));
        return RunRegistryScript(text, registering, replacements);
    }
    catch (...)
    {
        return E_OUTOFMEMORY;
    }
}

}  // namespace tdm
