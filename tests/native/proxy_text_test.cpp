// The proxy texts as the proxy dialog reads them into its fields and builds them
// again.
#include <gtest/gtest.h>

#include <string>

#include "text/proxy_text.h"

using namespace tdm;

TEST(ProxyTextTest, ServersTextsReadIntoFieldsAndBuildBack)
{
    const struct
    {
        const char* text;
        ProxyServers fields;
        const char* built;
    } cases[] = {
        {"proxy:8080;", {"proxy", "8080", "proxy", "8080", true}, "proxy:8080;"},
        {"http=web:3128;", {"web", "3128", "", "", false}, "http=web:3128;"},
        {"http=web:;ftp=files:;", {"web", "", "files", "", false}, "http=web:80;ftp=files:21;"},
        {"http=h:1;ftp=h:1;", {"h", "1", "h", "1", true}, "h:1;"},
        // An FTP-only proxy reads back as what it is, not as one proxy "ftp=files".
        {"ftp=files:21;", {"", "", "files", "21", false}, "ftp=files:21;"},
        {"no-colon", {"", "", "", "", true}, ""},
        {";;;:::===", {"", "", "", "", true}, ""},  // nothing of it is a host or port
        {"http==emb:80;ftp=emb:80;", {"emb", "80", "emb", "80", true}, "emb:80;"},
        {"http=h:;ftp=h:80;", {"h", "", "h", "80", false}, "h:80;"},
        {"", {"", "", "", "", true}, ""},
    };
    for (const auto& c : cases)
    {
        const ProxyServers read = ParseProxyServers(c.text);
        EXPECT_EQ(c.fields.httpHost, read.httpHost) << c.text;
        EXPECT_EQ(c.fields.httpPort, read.httpPort) << c.text;
        EXPECT_EQ(c.fields.ftpHost, read.ftpHost) << c.text;
        EXPECT_EQ(c.fields.ftpPort, read.ftpPort) << c.text;
        EXPECT_EQ(c.fields.sameForAll, read.sameForAll) << c.text;
        EXPECT_EQ(c.built, BuildProxyServers(read)) << c.text;
    }
}

TEST(ProxyTextTest, BuildingUsesDefaultPortsAndLeavesOutReservedCharacters)
{
    // The same proxy checked with an empty HTTP host: the FTP fields were
    // overwritten with the empty HTTP ones, so nothing is written.
    EXPECT_EQ("", BuildProxyServers({"", "", "", "", true}));
    EXPECT_EQ("ftp=f:21;", BuildProxyServers({"", "", "f", "", false}));
    EXPECT_EQ("http=a:80;", BuildProxyServers({"a", "", "", "", false}));
    EXPECT_EQ("http=ftphost:8080;ftp=b:21;", BuildProxyServers({"ftp=host", "80:80", "b", ";", false}));
}

TEST(ProxyTextTest, ExceptionsKeepLocalLastAndNamesOnly)
{
    const struct
    {
        const char* text;
        const char* list;
        bool local;
        const char* built;
    } cases[] = {
        {"intranet", "", false, ""},  // a single name without a dot
        {"a.example;b.example", "a.example;b.example", false, "a.example;b.example;"},
        {"a.example;<local>", "a.example;", true, "a.example;<local>"},
        {"<local>;after.example", "", true, "<local>"},
        {"x.y<local><local>", "x.y", true, "x.y;<local>"},
    };
    for (const auto& c : cases)
    {
        const ProxyExceptions read = ParseProxyExceptions(c.text);
        EXPECT_EQ(c.list, read.list) << c.text;
        EXPECT_EQ(c.local, read.bypassLocal) << c.text;
        EXPECT_EQ(c.built, BuildProxyExceptions(read)) << c.text;
    }
    EXPECT_EQ("a.example;b.example;<local>", BuildProxyExceptions({"a.example;b.example", true}));
}

TEST(ProxyTextTest, HostAndPortSplitAtTheFirstColonUpToTheNextSemicolon)
{
    std::string host, port;
    EXPECT_TRUE(SplitProxyEntry("h:1:2;rest", host, port));
    EXPECT_EQ("h", host);
    EXPECT_EQ("1:2", port);
    EXPECT_FALSE(SplitProxyEntry("h", host, port));
    EXPECT_EQ("", host + port);
}
