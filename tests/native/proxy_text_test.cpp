// The proxy texts as the proxy dialog reads them into its fields and builds them
// again, and the exceptions as the engine hands them to aria2.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// The dialog shows the list and the flag; building them again gives the text.
TEST(ProxyTextTest, ExceptionsKeepEveryEntryAndLocalWhereItStood)
{
    const struct
    {
        const char* text;
        const char* list;
        bool local;
        const char* built;
    } cases[] = {
        {"intranet", "intranet", false, "intranet"},  // a single name without a dot
        {"a.example;b.example", "a.example;b.example", false, "a.example;b.example"},
        {"a.example;<local>", "a.example", true, "a.example;<local>"},
        {"<local>;after.example", "after.example", true, "<local>;after.example"},
        {"a;<local>;b;c", "a;b;c", true, "a;<local>;b;c"},
        {"a;;<local>;", "a;;", true, "a;;<local>;"},  // empty entries stay
        {" <LOCAL> ;a;<local>", "a", true, "<local>;a"},  // the flag is written once, as the system writes it
        {"x.y<local>", "x.y<local>", false, "x.y<local>"},  // not an entry of its own
        {"", "", false, ""},
    };
    for (const auto& c : cases)
    {
        const ProxyExceptions read = ParseProxyExceptions(c.text);
        EXPECT_EQ(c.list, read.list) << c.text;
        EXPECT_EQ(c.local, read.bypassLocal) << c.text;
        EXPECT_EQ(c.built, BuildProxyExceptions(read)) << c.text;
    }
    // The flag checked in the dialog goes last.
    EXPECT_EQ("a.example;b.example;<local>", BuildProxyExceptions({"a.example;b.example", true}));
}

// aria2's no-proxy matches a host exactly, a domain with a leading "." by its
// end, and a network in CIDR form; nothing else.
TEST(ProxyTextTest, ExceptionsBecomeWhatAria2Matches)
{
    const struct { const char* text; const char* hosts; std::vector<std::string> unusable; } cases[] = {
        {"*.example.com;192.168.*;<local>", ".example.com,192.168.0.0/16,localhost,127.0.0.1,::1", {}},
        {"Intranet; 10.*.*.* ;172.16.5.*;192.168.1.7;[::1];FE80::1;localhost;;",
         "intranet,10.0.0.0/8,172.16.5.0/24,192.168.1.7,::1,fe80::1,localhost", {}},
        {"*;*a.com;www.*.com;h:8080;http://a.com;10.*.1;*.1.1;300.*;1.2.3.4.*;a..b;.a.com;a b;ok.com", "ok.com",
         {"*", "*a.com", "www.*.com", "h:8080", "http://a.com", "10.*.1", "*.1.1", "300.*", "1.2.3.4.*", "a..b",
          ".a.com", "a b"}},
    };
    for (const auto& c : cases)
    {
        const NoProxyHosts translated = TranslateProxyExceptions(c.text);
        EXPECT_EQ(c.hosts, translated.hosts) << c.text;
        EXPECT_EQ(c.unusable, translated.unusable) << c.text;
    }
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
