// Tests of the pattern matcher: compile results, matches and captures, and
// behaviour on hostile input (huge, deeply nested, binary, out of memory).
#include "text/pattern.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

using namespace tdm;

using namespace std::string_literals;

// Allocation failure on demand: while a budget is set, operator new succeeds that
// many more times and then throws, as it would when memory runs out.
namespace {
long g_allocationBudget = -1; // negative: no limit

struct AllocationBudget
{
    explicit AllocationBudget(long allocations) { g_allocationBudget = allocations; }
    ~AllocationBudget() { g_allocationBudget = -1; }
};
} // namespace

void* operator new(std::size_t size)
{
    if (g_allocationBudget == 0)
        throw std::bad_alloc();
    if (g_allocationBudget > 0)
        --g_allocationBudget;
    if (void* memory = std::malloc(size != 0 ? size : 1))
        return memory;
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

std::string Repeat(const std::string& piece, std::size_t count)
{
    std::string result;
    for (std::size_t i = 0; i < count; ++i)
        result += piece;
    return result;
}

// The captures as text, "-" for a group that did not take part: "a,,-".
std::string Captures(const CPattern& pattern, const CPatternMatch& match, std::string_view text)
{
    std::string result;
    for (std::size_t group = 0; group < pattern.GroupCount(); ++group)
    {
        const PatternSpan span = match.GetGroup(group);
        result += (group ? "," : "") + (span.Matched() ? std::string(text.substr(span.start, span.Length())) : "-");
    }
    return result;
}

TEST(PatternCompile, ResultCodes)
{
    const unsigned n = CPattern::MaxNesting;
    const struct
    {
        std::string pattern;
        bool caseSensitive;
        PatternError expected;
    } cases[] = {
        {"", true, PatternOk},                 {"{a}{b}{c}\\2", true, PatternOk},
        {"{a", true, PatternBraceExpected},    {"(a", true, PatternParenExpected},
        {"[ab", true, PatternBracketExpected}, {"[a-]", true, PatternBracketExpected},
        {"[a\\", true, PatternBracketExpected},
        {"[^]", true, PatternEmptySet},        {"{a}{b}{c}\\3", true, PatternInvalidGroup},
        {"{a}\\99999999999999999999999", true, PatternInvalidGroup},
        {"[Z-a]", false, PatternInvalidRange}, // folded to "[z-a]" first
        {"[\xff-\x01]", true, PatternInvalidRange},
        {"(a*)+", true, PatternEmptyRepeat},   {"(a|b?)+?", true, PatternEmptyRepeat},
        // Nesting: groups, negations and abbreviations up to MaxNesting deep.
        {Repeat("(", n) + "a" + Repeat(")", n), true, PatternOk},
        {Repeat("(", n + 1) + "a" + Repeat(")", n + 1), true, PatternNoMemory},
        {Repeat("!", n) + "a", true, PatternOk},
        {Repeat("!", n + 1) + "a", true, PatternNoMemory},
        {Repeat("(", n - 2) + "\\d" + Repeat(")", n - 2), true, PatternOk},
        {Repeat("(", n - 1) + "\\d" + Repeat(")", n - 1), true, PatternUnexpected},
        // A long chain needs no nesting.
        {Repeat("a|", 100000) + "b", true, PatternOk},
        // Each "+" doubles its body: the list outgrows MaxInstructions.
        {Repeat("(", 24) + "a" + Repeat(")+", 24), true, PatternNoMemory},
    };
    for (const auto& test : cases)
    {
        CPattern pattern;
        const auto result = pattern.Compile(test.pattern, test.caseSensitive);
        EXPECT_EQ(result, test.expected) << "pattern: " << test.pattern.substr(0, 60);
        EXPECT_EQ(pattern.LastError(), result);
    }

    // A pattern without text, and one whose last compile failed, match nothing.
    CPattern pattern;
    EXPECT_EQ(pattern.Compile(std::string_view(), true), PatternInvalidInput);
    CPatternMatch match;
    EXPECT_FALSE(pattern.Match("abc", match));
    ASSERT_EQ(pattern.Compile("a", true), PatternOk);
    ASSERT_EQ(pattern.Compile("{a", true), PatternBraceExpected);
    EXPECT_FALSE(pattern.Match("a", match));
}

struct MatchCase
{
    std::string pattern;
    std::string text;
    bool matches;
    std::size_t start;
    std::size_t end;      // of a failed search: where it gave up
    std::string captures; // see Captures()
};

void CheckMatches(const std::vector<MatchCase>& cases, bool caseSensitive)
{
    for (const MatchCase& test : cases)
    {
        SCOPED_TRACE("pattern \"" + test.pattern + "\" text \"" + test.text.substr(0, 40) + "\"");
        CPattern pattern;
        ASSERT_EQ(pattern.Compile(test.pattern, caseSensitive), PatternOk);
        CPatternMatch match;
        // A match that runs away (loops on an empty pass) fails instead of hanging.
        match.SetStepLimit(50'000'000);
        std::size_t stop = 12345;
        const bool matched = pattern.Match(test.text, match, &stop);
        EXPECT_EQ(matched, test.matches);
        EXPECT_EQ(stop, test.end);
        if (!matched || !test.matches)
            continue;
        EXPECT_EQ(match.MatchStart(), test.start);
        EXPECT_EQ(match.MatchEnd(), test.end);
        EXPECT_EQ(Captures(pattern, match, test.text), test.captures);
    }
}

TEST(PatternMatch, CaseSensitive)
{
    const std::string as(100000, 'a');
    CheckMatches({
        // Alternation binds tighter than juxtaposition: ab|cd is a(b|c)d.
        {"ab|cd", "cd", false, 0, 2, ""},     {"a|", "b", true, 0, 0, ""},  // an empty right alternative
        // Anchors; an anchored search gives up at 0, any other at the text's end.
        {"^abc", "xabc", false, 0, 0, ""},    {"a$b", "a$b", true, 0, 3, ""},
        {"$", "ab", false, 0, 2, ""},         // the end of a non-empty text is never a start position
        // Negation consumes nothing.
        {"x!{y}.", "xz", true, 0, 2, "-"},
        {"wow!", "wow!", true, 0, 4, ""},     // nothing to negate: a literal
        // A negation that fails leaves no captures of its body behind.
        {"(!{a})?.", "a", true, 0, 1, "-"},   {"(!{a})?\\0", "aa", true, 0, 0, "-"},
        {"!({a}x)\\0", "ab", true, 0, 0, "-"},
        // Escapes and abbreviations; outside a set "\t" is the letter t.
        {"\\t", "\tt", true, 1, 2, ""},       {"a\\", "a\\", true, 0, 2, ""},
        {"a\\nb", "a\r\nb", true, 0, 4, ""},
        // Back-references; a group that did not match is empty.
        {"{a+}-\\0", "aa-a", true, 1, 4, "a"}, {"{a\\0}", "a", true, 0, 1, "a"},
        // Greedy and lazy repetition.
        {"{a*?}{a*}", "aaa", true, 0, 3, ",aaa"}, {"{a?}{a*}", "aaa", true, 0, 3, "a,aa"},
        // A lazy x is tried from where the rest of the pattern began.
        {"a??ab", "aab", true, 0, 3, ""},     {"{a*?}ab", "aaab", true, 0, 4, "aa"},
        // Passes that consume nothing end a loop instead of repeating it.
        {"(a|{})*c", "adc", true, 2, 3, "-"}, {"{}(\\0)*?x", "ax", true, 1, 2, ""},
        // Bytes above 127; a long text.
        {"{[\x80-\xff]+}", "ab\x80\xe9\xffz", true, 2, 5, "\x80\xe9\xff"},
        {"^{.*}\\0", as, true, 0, 100000, as.substr(50000)},
    }, true);
}

TEST(PatternMatch, CaseInsensitive)
{
    CheckMatches({
        {"ABC", "xabc", true, 1, 4, ""},       {"abc", "xABC", true, 1, 4, ""},
        {"{b}", "aBc", true, 1, 2, "B"},       // captures come from the caller's text
        {"{a}\\0", "Aa", true, 0, 2, "A"},
    }, false);

    CPattern pattern;
    ASSERT_EQ(pattern.Compile("ABC", true), PatternOk);
    CPatternMatch match;
    EXPECT_FALSE(pattern.Match("xabc", match));
}
TEST(PatternMatch, ContextIsReusedAcrossPatterns)
{
    CPattern three;
    CPattern one;
    ASSERT_EQ(three.Compile("{a}{b}{c}", true), PatternOk);
    ASSERT_EQ(one.Compile("{x}", true), PatternOk);
    CPatternMatch match;
    ASSERT_TRUE(three.Match("abc", match));
    ASSERT_TRUE(one.Match("zx", match));
    EXPECT_EQ(match.GroupCount(), 1u);
    EXPECT_EQ(match.GetGroup(0).start, 1u);
    EXPECT_FALSE(match.GetGroup(1).Matched()); // beyond the group count
    EXPECT_FALSE(match.GetGroup(1000).Matched());
    ASSERT_FALSE(three.Match("ab", match));
    EXPECT_FALSE(match.GetGroup(0).Matched());
}

TEST(PatternMatch, StepLimitStopsRunawayBacktracking)
{
    CPattern pattern;
    ASSERT_EQ(pattern.Compile("(a|aa)*b", true), PatternOk);
    CPatternMatch match;
    match.SetStepLimit(100000);
    EXPECT_FALSE(pattern.Match(std::string(60, 'a'), match));
    match.SetStepLimit(0);
    EXPECT_TRUE(pattern.Match("aaab", match));
}

// Every allocation that can fail does so in turn: compiling reports it, a match
// fails cleanly (the text is long enough for the backtracking stack to grow
// several times).
TEST(PatternAllocation, EveryFailedAllocationIsReported)
{
    for (const bool caseSensitive : {true, false})
    {
        const std::string text = std::string(3000, caseSensitive ? 'a' : 'A') + "b";
        SCOPED_TRACE(caseSensitive ? "case-sensitive" : "case-insensitive");
        CPattern pattern;
        PatternError compiled = PatternNoMemory;
        long budget = 0;
        for (; compiled != PatternOk && budget < 10000; ++budget)
        {
            {
                AllocationBudget limit(budget);
                compiled = pattern.Compile("^{a+}|[b-d]*\\w(x|y|z)+?!q$", caseSensitive);
            }
            EXPECT_TRUE(compiled == PatternOk || compiled == PatternNoMemory) << compiled << ", budget " << budget;
        }
        ASSERT_EQ(compiled, PatternOk);
        EXPECT_GT(budget, 1);

        ASSERT_EQ(pattern.Compile("{a*}b", caseSensitive), PatternOk);
        CPatternMatch match;
        bool matched = false;
        for (budget = 0; !matched && budget < 10000; ++budget)
        {
            {
                AllocationBudget limit(budget);
                matched = pattern.Match(text, match);
            }
            EXPECT_EQ(match.GetGroup(0).Matched(), matched) << "budget " << budget;
        }
        EXPECT_EQ(match.GetGroup(0).Length(), 3000u);
        EXPECT_GT(budget, 3);
    }
}

} // namespace
