#include "engine_server/aria2_session.h"

#include <vector>

namespace tdm::engine {

namespace {

constexpr std::string_view kGidOption = " gid=";
constexpr std::string_view kPauseOption = " pause=";

bool StartsWith(std::string_view text, std::string_view start)
{
    return text.substr(0, start.size()) == start;
}

// Line by line, each without its line end (LF or CR LF).
std::vector<std::string_view> Lines(std::string_view text)
{
    std::vector<std::string_view> lines;
    while (!text.empty())
    {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    return lines;
}

}  // namespace

std::string FilterSession(std::string_view text, const std::function<SessionFate(std::string_view gid)>& fate)
{
    const std::vector<std::string_view> lines = Lines(text);
    std::string kept;
    for (size_t first = 0; first < lines.size();)
    {
        // A download: its address line and the option lines after it.
        size_t end = first + 1;
        while (end < lines.size() && StartsWith(lines[end], " "))
            ++end;
        std::string_view gid;
        for (size_t i = first + 1; i < end; ++i)
            if (StartsWith(lines[i], kGidOption))
                gid = lines[i].substr(kGidOption.size());
        const bool download = !StartsWith(lines[first], " ") && !StartsWith(lines[first], "#") &&
                              !lines[first].empty() && !gid.empty();
        const SessionFate decided = download ? fate(gid) : SessionFate::Drop;
        if (decided != SessionFate::Drop)
        {
            kept.append(lines[first]).append("\n");
            for (size_t i = first + 1; i < end; ++i)
                if (!StartsWith(lines[i], kPauseOption))
                    kept.append(lines[i]).append("\n");
            if (decided == SessionFate::Hold)
                kept.append(kPauseOption).append("true\n");
        }
        first = end;
    }
    return kept;
}

}  // namespace tdm::engine
