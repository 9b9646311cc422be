// A small regular-expression engine for 8-bit text.
//
// A pattern is compiled once into a flat list of instructions; Match runs the
// list over a text with an explicit backtracking stack, trying one start
// position after the other.
//
// Syntax:
//   {x}     capture group (numbered from 0 in the order of the opening braces)
//   (x)     group without capture
//   [set]   one byte in the set; [^set] one byte not in it. Elements are bytes,
//           "\" + byte (that byte; "\t" is a tab) and ranges "a-z" (the upper
//           bound is taken as written).
//   .       any byte
//   \12     back-reference to capture 12 (a group that has not matched yet
//           matches the empty string)
//   \a \b \c \d \h \n \q \w \z   abbreviations: letter or digit, blank, letter,
//           digit, hex digit, line break, quoted string, word, run of digits
//   !x      zero-width negation: succeeds, consuming nothing, where x does not match
//   $       end of the text, only as the last character of the pattern
//   x* x+ x?     greedy repetition; x*? x+? x?? lazy repetition
//   x|y     alternation; it binds tighter than juxtaposition: ab|cd is a(b|c)d
//   ^       as the first character: the match must start at the start of the text
//   "\" + any other byte stands for that byte; so does a "\" that ends the pattern.
//   A "!" with nothing after it to negate (end of pattern, "}", ")" or "]")
//   stands for itself.
//   An unmatched "}", ")" or "]" at the top level ends the pattern; the rest is ignored.
//
// Texts and patterns are byte strings given by pointer and length: they may hold
// NUL bytes, and every byte is taken as unsigned (0 to 255).
//
// Neither Compile nor Match throws. Running out of memory makes Compile answer
// PatternNoMemory and Match answer false.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tdm {

// Results of CPattern::Compile.
enum PatternError : int
{
    PatternOk = 0,
    PatternNoMemory = 1,        // the instruction list could not grow (or grew past
                                // CPattern::MaxInstructions), or groups and negations
                                // are nested deeper than CPattern::MaxNesting
    PatternBraceExpected = 2,   // a capture group is not closed with "}"
    PatternParenExpected = 3,   // a group is not closed with ")"
    PatternBracketExpected = 4, // a set is not closed with "]", or a range has no upper bound
    PatternUnexpected = 5,      // the expansion of an abbreviation could not be compiled
    PatternEmptySet = 6,        // "[]" or "[^]"
    PatternInvalidGroup = 7,    // a back-reference to a group not yet opened
    PatternInvalidRange = 8,    // a range whose upper bound is below its lower bound
    PatternEmptyRepeat = 9,     // "*", "+", "*?" or "+?" on an atom that can match nothing
    PatternInvalidInput = 10,   // no pattern text at all (a view without data)
};

// Start and end offsets of a capture in the caller's text.
struct PatternSpan
{
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    std::size_t start = npos;
    std::size_t end = npos;

    // True when the group took part in the match (possibly matching nothing).
    bool Matched() const noexcept { return start != npos && end != npos && start <= end; }
    std::size_t Length() const noexcept { return Matched() ? end - start : 0; }
};

// The state of one match: captures, scratch cells and the backtracking stack.
// One context serves one match at a time; it may be reused for the next.
class CPatternMatch
{
public:
    CPatternMatch() noexcept = default;

    // The capture of group index after a successful match. An index at or above
    // the pattern's group count is a programming error; it answers an unmatched span.
    PatternSpan GetGroup(std::size_t index) const noexcept;

    std::size_t GroupCount() const noexcept { return m_groups.size(); }
    std::size_t MatchStart() const noexcept { return m_matchStart; }
    std::size_t MatchEnd() const noexcept { return m_matchEnd; }

    // Safety valve for patterns that come from outside: a match that executes more
    // than this many instructions gives up and fails. 0 (the default) means no limit.
    void SetStepLimit(std::uint64_t steps) noexcept { m_stepLimit = steps; }

private:
    friend class CPattern;

    static constexpr std::uint32_t None = 0xFFFFFFFFu;
    static constexpr std::size_t InitialStack = 256;

    struct Group
    {
        std::uint32_t start;
        std::uint32_t end;
    };

    void Reset(std::size_t groups, std::size_t cells);
    void ClearGroups() noexcept;
    [[nodiscard]] bool Push(std::uint32_t value);
    [[nodiscard]] bool Pop(std::uint32_t& value) noexcept;

    std::vector<Group> m_groups;
    std::vector<std::uint32_t> m_cells;
    std::vector<std::uint32_t> m_stack; // size() is the room; m_depth the entries in use
    std::size_t m_depth = 0;
    std::size_t m_matchStart = 0;
    std::size_t m_matchEnd = 0;
    std::uint64_t m_stepLimit = 0;
};

// A compiled pattern.
class CPattern
{
public:
    // Instruction kinds. Each instruction is a (kind, operand) pair of 32-bit words;
    // InSet and NotInSet are followed by four entries that hold the 256-bit
    // membership set (bit n set: byte value n is in the set).
    enum Kind : std::uint32_t
    {
        Noop,
        OpenGroup,        // [group] group start = position
        CloseGroup,       // [group] group end = position
        Char,             // [byte] match that byte
        AnyChar,          // match any byte
        InSet,            // [set follows] match a byte in the set
        NotInSet,         // [set follows] match a byte not in the set
        Jump,             // [target]
        SavePos,          // push the position
        RestorePos,       // pop the position
        Call,             // [target] push the next instruction's index, go to target
        Return,           // pop an instruction index and go there
        SaveCell,         // [cell] push the cell
        RestoreCell,      // [cell] pop into the cell
        MarkPos,          // [cell] cell = position
        MarkStack,        // [cell] cell = stack depth
        ResetPos,         // [cell] position = cell
        ResetStack,       // [cell] stack depth = cell
        FailIfNoProgress, // [cell] fail when the position equals the cell
        BackRef,          // [group] match the text the group captured
        SaveGroup,        // [group] push the group's start and end
        RestoreGroup,     // [group] pop the group's end and start
        Advance,          // try the next start position
        Anchor,           // the match fails (anchored patterns have one start position)
        Success,
    };

    struct Instruction
    {
        std::uint32_t kind;
        std::uint32_t operand;
    };

    // Groups, negations and abbreviations nested deeper than this are refused,
    // which keeps the recursive compiler's use of the thread's stack small.
    static constexpr unsigned MaxNesting = 100;
    // Upper bound of the instruction list (8 MB); "x+" copies x, so nested
    // repetitions can otherwise grow the list exponentially.
    static constexpr std::size_t MaxInstructions = std::size_t(1) << 20;

    CPattern() noexcept = default;

    // Compiles pattern. A pattern that is not case-sensitive is lower-cased as a
    // whole first, and matched against a lower-cased copy of the text.
    // On failure the pattern is unusable until the next successful Compile.
    PatternError Compile(std::string_view pattern, bool caseSensitive) noexcept;

    // Searches text. On success the context holds the match start and end and the
    // captures. stopPosition, when given, receives the match end on success, and on
    // failure the start position at which the search gave up (the text's length, or
    // 0 for an anchored pattern). All offsets refer to the caller's text.
    bool Match(std::string_view text, CPatternMatch& context,
               std::size_t* stopPosition = nullptr) const noexcept;

    PatternError LastError() const noexcept { return m_lastError; }
    std::size_t GroupCount() const noexcept { return m_groupCount; }
    bool IsCaseSensitive() const noexcept { return m_caseSensitive; }

private:
    bool Run(std::string_view text, CPatternMatch& context, std::size_t* stopPosition) const;

    std::vector<Instruction> m_program;
    std::uint32_t m_groupCount = 0;
    std::uint32_t m_cellCount = 0;
    bool m_caseSensitive = true;
    PatternError m_lastError = PatternInvalidInput;
};

}  // namespace tdm
