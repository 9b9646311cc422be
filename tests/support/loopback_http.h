// A plain HTTP GET to a test server on the loopback interface.
#pragma once

#include <string>

namespace tdm::test {

// The body of a GET of `path` (HTTP/1.0, the connection closed after it) from
// 127.0.0.1:`port`; empty when the server cannot be reached.
std::string HttpGet(unsigned short port, const std::string& path);

}  // namespace tdm::test
