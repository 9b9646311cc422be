#include "engine_server/aria2_session.h"

#include <gtest/gtest.h>

namespace tdm::engine {
namespace {

// A session as aria2 writes it: one stale download the engine has removed, one
// it has paused although the file shows it running, one it runs although the
// file shows it paused, and lines that are no download.
TEST(Aria2Session, OnlyTheEnginesDownloadsAreLoadedAsTheEngineHasThem)
{
    const std::string saved =
        "http://host/removed.bin\n gid=1111111111111111\n dir=/tmp\n"
        "http://host/paused.bin\thttp://mirror/paused.bin\r\n gid=2222222222222222\r\n out=paused.bin\r\n"
        "http://host/running.bin\n gid=3333333333333333\n pause=true\n dir=/tmp\n"
        "# written by hand\n gid=4444444444444444\n\n"
        "http://host/nogid.bin\n dir=/tmp\n";
    std::vector<std::string> asked;
    const std::string loaded = FilterSession(saved, [&](std::string_view gid) {
        asked.emplace_back(gid);
        return gid == "2222222222222222" ? SessionFate::Hold
               : gid == "3333333333333333" ? SessionFate::Run
                                           : SessionFate::Drop;
    });
    EXPECT_EQ("http://host/paused.bin\thttp://mirror/paused.bin\n gid=2222222222222222\n out=paused.bin\n pause=true\n"
              "http://host/running.bin\n gid=3333333333333333\n dir=/tmp\n",
              loaded);
    EXPECT_EQ((std::vector<std::string>{"1111111111111111", "2222222222222222", "3333333333333333"}), asked)
        << "only downloads with an address and a GID are asked about";
    EXPECT_EQ("", FilterSession("", [](std::string_view) { return SessionFate::Run; }));
    EXPECT_EQ("http://a\n gid=1\n", FilterSession("http://a\n gid=1", [](std::string_view) { return SessionFate::Run; }))
        << "the last line without its line end";
}

}  // namespace
}  // namespace tdm::engine
