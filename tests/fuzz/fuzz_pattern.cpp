// Fuzzes CPattern::Compile and CPattern::Match.
// Input: one flags byte (bit 0: case-sensitive), one byte giving the pattern's
// length (at most MaxPattern), the pattern, then the text (at most MaxText bytes).
#include "text/case_fold.h"
#include "text/pattern.h"

#include <cstddef>
#include <cstdint>
#include <string>

using namespace tdm;

namespace {

constexpr std::size_t MaxPattern = 64;
constexpr std::size_t MaxText = 256;
// Patterns such as (a|aa)*b backtrack exponentially by design; the step limit
// keeps such legitimate work from reading as a hang.
constexpr std::uint64_t StepLimit = 200000;

void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

// The outcome of a match as text ("no", or the match's and the groups' spans),
// its invariants checked on the way.
std::string Run(const CPattern& pattern, std::string_view text)
{
    CPatternMatch match;
    match.SetStepLimit(StepLimit);
    std::size_t stop = 0;
    const bool matched = pattern.Match(text, match, &stop);
    Check(stop <= text.size());
    if (!matched)
        return "no";
    Check(match.MatchStart() <= match.MatchEnd() && match.MatchEnd() <= text.size() && stop == match.MatchEnd());
    std::string result = std::to_string(match.MatchStart()) + "-" + std::to_string(match.MatchEnd());
    for (std::size_t group = 0; group < pattern.GroupCount(); ++group)
    {
        const PatternSpan span = match.GetGroup(group);
        Check(!span.Matched() || span.end <= text.size());
        result += span.Matched() ? "," + std::to_string(span.start) + "-" + std::to_string(span.end) : ",none";
    }
    Check(!match.GetGroup(pattern.GroupCount()).Matched());
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const bool caseSensitive = (data[0] & 1) != 0;
    std::size_t patternLength = data[1] % (MaxPattern + 1);
    data += 2;
    size -= 2;
    if (patternLength > size)
        patternLength = size;
    const std::string_view pattern(reinterpret_cast<const char*>(data), patternLength);
    std::string_view text(reinterpret_cast<const char*>(data) + patternLength, size - patternLength);
    if (text.size() > MaxText)
        text = text.substr(0, MaxText);

    CPattern compiled;
    const PatternError error = compiled.Compile(pattern, caseSensitive);
    Check(error >= PatternOk && error <= PatternInvalidInput && error != PatternInvalidInput);
    const std::string result = Run(compiled, text);
    Check(error == PatternOk || result == "no");

    // A case-insensitive match is a case-sensitive match of the folded pattern on
    // the folded text, with the same offsets.
    if (error == PatternOk && !caseSensitive)
    {
        std::string foldedPattern(pattern);
        std::string foldedText(text);
        FoldToLower(foldedPattern.data(), foldedPattern.size());
        FoldToLower(foldedText.data(), foldedText.size());
        CPattern folded;
        Check(folded.Compile(foldedPattern, true) == PatternOk);
        Check(Run(folded, foldedText) == result);
    }
    return 0;
}
