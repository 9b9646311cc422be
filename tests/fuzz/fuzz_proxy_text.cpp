// Proxy texts come from the engine and from what the user typed: any bytes. They
// must be read without a stray read, and a text built from the fields must read
// back as the same fields, so that opening and confirming the proxy dialog
// changes nothing. What aria2 gets of the exceptions is hosts: no separator of
// the text, no wildcard, no blank.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "text/proxy_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string servers = tdm::BuildProxyServers(tdm::ParseProxyServers(text));
    if (tdm::BuildProxyServers(tdm::ParseProxyServers(servers)) != servers)
        std::abort();
    const std::string exceptions = tdm::BuildProxyExceptions(tdm::ParseProxyExceptions(text));
    if (tdm::BuildProxyExceptions(tdm::ParseProxyExceptions(exceptions)) != exceptions)
        std::abort();
    if (tdm::TranslateProxyExceptions(text).hosts.find_first_of("; \t*") != std::string::npos)
        std::abort();
    return 0;
}
