#include "text/pattern.h"

#include "text/case_fold.h"

#include <cstring>
#include <initializer_list>
#include <new>
#include <string>

namespace tdm {

namespace {

using Instruction = CPattern::Instruction;

// Entries that follow InSet / NotInSet and hold the membership bits.
constexpr std::size_t SetEntries = 4;

// Expansions of the abbreviations "\a" ... "\z", compiled in place. "\n" and
// "\q" hold the carriage return and line feed bytes themselves: outside a set
// "\r" would stand for the letter r.
struct Abbreviation
{
    char letter;
    const char* expansion;
};

constexpr Abbreviation Abbreviations[] = {
    {'a', "([a-zA-Z0-9])"},
    {'b', "([ \\t])"},
    {'c', "([a-zA-Z])"},
    {'d', "([0-9])"},
    {'h', "([0-9a-fA-F])"},
    {'n', "(\r|(\r?\n))"},
    {'q', "((\"[^\"]*\")|('[^']*'))"},
    {'w', "([a-zA-Z]+)"},
    {'z', "([0-9]+)"},
};

const char* FindAbbreviation(unsigned char letter)
{
    for (const auto& abbreviation : Abbreviations)
    {
        if (static_cast<unsigned char>(abbreviation.letter) == letter)
            return abbreviation.expansion;
    }
    return nullptr;
}

bool IsTerminator(unsigned char c)
{
    return c == '}' || c == ')' || c == ']';
}

bool IsDigit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

bool HasTarget(std::uint32_t kind)
{
    return kind == CPattern::Jump || kind == CPattern::Call;
}

bool HasSet(std::uint32_t kind)
{
    return kind == CPattern::InSet || kind == CPattern::NotInSet;
}

// Reads the pattern text one byte at a time.
class Source
{
public:
    explicit Source(std::string_view text) : m_text(text) {}

    bool AtEnd() const { return m_pos >= m_text.size(); }
    unsigned char Peek() const { return static_cast<unsigned char>(m_text[m_pos]); }
    unsigned char Next() { return static_cast<unsigned char>(m_text[m_pos++]); }
    bool PeekIs(unsigned char c) const { return !AtEnd() && Peek() == c; }

private:
    std::string_view m_text;
    std::size_t m_pos = 0;
};

// Recursive-descent compiler. Growth of the instruction list past its bound is
// reported like an allocation failure (std::bad_alloc), caught by Compile.
class Compiler
{
public:
    Compiler(std::vector<Instruction>& program, std::uint32_t& groups, std::uint32_t& cells)
        : m_program(program), m_groups(groups), m_cells(cells)
    {
    }

    PatternError Sequence(Source& src, unsigned depth, bool& canBeEmpty)
    {
        canBeEmpty = true;
        while (!src.AtEnd() && !IsTerminator(src.Peek()))
        {
            bool alternationEmpty = false;
            if (const auto error = Alternation(src, depth, alternationEmpty))
                return error;
            canBeEmpty = canBeEmpty && alternationEmpty;
        }
        return PatternOk;
    }

    std::size_t Emit(std::uint32_t kind, std::uint32_t operand = 0)
    {
        if (m_program.size() >= CPattern::MaxInstructions)
            throw std::bad_alloc();
        m_program.push_back({kind, operand});
        return m_program.size() - 1;
    }

private:
    std::uint32_t Here() const { return static_cast<std::uint32_t>(m_program.size()); }

    std::uint32_t NewCell() { return m_cells++; }

    // Inserts instructions in front of the code that starts at `at` (the code of
    // one element, which only jumps within itself) and moves that code's jump and
    // call targets along with it.
    void InsertBefore(std::size_t at, std::initializer_list<Instruction> head)
    {
        InsertBefore(at, head.begin(), head.size());
    }

    void InsertBefore(std::size_t at, const Instruction* head, std::size_t count)
    {
        if (m_program.size() + count > CPattern::MaxInstructions)
            throw std::bad_alloc();
        m_program.insert(m_program.begin() + static_cast<std::ptrdiff_t>(at), head, head + count);
        const auto shift = static_cast<std::uint32_t>(count);
        for (std::size_t i = at + count; i < m_program.size(); ++i)
        {
            auto& instruction = m_program[i];
            if (HasTarget(instruction.kind) && instruction.operand >= at)
                instruction.operand += shift;
            else if (HasSet(instruction.kind))
                i += SetEntries;
        }
    }

    // Appends a copy of the code in [begin, end), its targets moved to the copy.
    void AppendCopy(std::size_t begin, std::size_t end)
    {
        if (m_program.size() + (end - begin) > CPattern::MaxInstructions)
            throw std::bad_alloc();
        const std::size_t copyBegin = m_program.size();
        m_program.reserve(copyBegin + (end - begin));
        for (std::size_t i = begin; i < end; ++i)
        {
            Instruction instruction = m_program[i];
            m_program.push_back(instruction);
            if (HasTarget(instruction.kind))
            {
                m_program.back().operand = static_cast<std::uint32_t>(instruction.operand - begin + copyBegin);
            }
            else if (HasSet(instruction.kind))
            {
                for (std::size_t k = 1; k <= SetEntries; ++k)
                    m_program.push_back(m_program[i + k]);
                i += SetEntries;
            }
        }
    }

    // x|y|z is x|(y|z): each "|" puts the alternation head in front of the
    // alternative just read and leaves a jump past the whole chain behind it. A
    // loop rather than recursion, so a long chain of alternatives needs no stack.
    PatternError Alternation(Source& src, unsigned depth, bool& canBeEmpty)
    {
        std::size_t start = m_program.size();
        if (const auto error = Element(src, depth, canBeEmpty))
            return error;

        std::vector<std::size_t> exits;
        while (src.PeekIs('|'))
        {
            src.Next();
            // SavePos, Call x, RestorePos, Jump y, x, Jump past y, y
            InsertBefore(start, {{CPattern::SavePos, 0},
                                 {CPattern::Call, static_cast<std::uint32_t>(start + 4)},
                                 {CPattern::RestorePos, 0},
                                 {CPattern::Jump, 0}});
            exits.push_back(Emit(CPattern::Jump));
            m_program[start + 3].operand = Here();
            start = m_program.size();

            bool rightEmpty = false;
            if (const auto error = Element(src, depth, rightEmpty))
                return error;
            canBeEmpty = canBeEmpty || rightEmpty;
        }
        for (const auto exit : exits)
            m_program[exit].operand = Here();
        return PatternOk;
    }

    PatternError Element(Source& src, unsigned depth, bool& canBeEmpty)
    {
        canBeEmpty = true;
        if (src.AtEnd() || IsTerminator(src.Peek()))
            return PatternOk; // an empty alternative, as in "a|)"

        const std::size_t begin = m_program.size();
        bool atomEmpty = false;
        if (const auto error = Atom(src, depth, atomEmpty))
            return error;
        canBeEmpty = atomEmpty;

        if (src.AtEnd())
            return PatternOk;
        const unsigned char quantifier = src.Peek();
        if (quantifier != '*' && quantifier != '+' && quantifier != '?')
            return PatternOk;
        src.Next();
        const bool lazy = src.PeekIs('?');
        if (lazy)
            src.Next();

        if (quantifier != '?' && atomEmpty)
            return PatternEmptyRepeat;

        switch (quantifier)
        {
        case '*':
            if (lazy)
                LazyLoop(begin);
            else
                GreedyLoop(begin, true);
            canBeEmpty = true;
            break;
        case '+':
        {
            // x+ is x followed by x* (or x*?); the captures in x keep their numbers.
            const std::size_t copy = m_program.size();
            AppendCopy(begin, copy);
            if (lazy)
                LazyLoop(copy);
            else
                GreedyLoop(copy, true);
            canBeEmpty = atomEmpty;
            break;
        }
        default: // '?'
            if (lazy)
            {
                // SavePos, Call E, RestorePos, x, E: the rest is tried first, x
                // once when it fails, from the position where the rest began.
                InsertBefore(begin, {{CPattern::SavePos, 0}, {CPattern::Call, 0}, {CPattern::RestorePos, 0}});
                m_program[begin + 1].operand = Here();
            }
            else
            {
                GreedyLoop(begin, false);
            }
            canBeEmpty = true;
            break;
        }
        return PatternOk;
    }

    // Wraps the code at [begin, end) into a greedy x* (loop) or x?:
    //   L: SaveCell c, MarkPos c, SavePos, Call X, RestorePos, RestoreCell c, Jump E,
    //   X: x, FailIfNoProgress c, [Jump L,] E:
    // The cell holds where the current pass began; a pass that consumed nothing
    // fails, so the loop never spins on empty matches. The cell is only ever
    // changed right after a SaveCell, so backtracking into an earlier pass finds
    // the cell as that pass set it (a second MarkPos after x would make the
    // progress check of an earlier pass compare against a later pass's start,
    // which lets an empty alternative through and repeats the loop forever).
    void GreedyLoop(std::size_t begin, bool repeat)
    {
        const std::uint32_t cell = NewCell();
        const auto loop = static_cast<std::uint32_t>(begin);
        InsertBefore(begin, {{CPattern::SaveCell, cell},
                             {CPattern::MarkPos, cell},
                             {CPattern::SavePos, 0},
                             {CPattern::Call, loop + 7},
                             {CPattern::RestorePos, 0},
                             {CPattern::RestoreCell, cell},
                             {CPattern::Jump, 0}});
        Emit(CPattern::FailIfNoProgress, cell);
        if (repeat)
            Emit(CPattern::Jump, loop);
        m_program[begin + 6].operand = Here();
    }

    // Wraps the code at [begin, end) into a lazy x*?:
    //   L: SavePos, Call R, RestorePos, SaveCell c, MarkPos c, Call X, RestoreCell c,
    //      Return, X: x, FailIfNoProgress c, Jump L, R:
    // The rest of the pattern is tried first; x is taken one more time only when
    // the rest fails, starting where the rest began (a failure leaves the position
    // wherever the rest gave up, hence the SavePos). The progress check keeps an x
    // that matched nothing (an empty group, a back-reference to an empty capture,
    // a negation) from repeating forever.
    void LazyLoop(std::size_t begin)
    {
        const std::uint32_t cell = NewCell();
        const auto loop = static_cast<std::uint32_t>(begin);
        InsertBefore(begin, {{CPattern::SavePos, 0},
                             {CPattern::Call, 0},
                             {CPattern::RestorePos, 0},
                             {CPattern::SaveCell, cell},
                             {CPattern::MarkPos, cell},
                             {CPattern::Call, loop + 8},
                             {CPattern::RestoreCell, cell},
                             {CPattern::Return, 0}});
        Emit(CPattern::FailIfNoProgress, cell);
        Emit(CPattern::Jump, loop);
        m_program[begin + 1].operand = Here();
    }

    PatternError Atom(Source& src, unsigned depth, bool& canBeEmpty)
    {
        canBeEmpty = false;
        const unsigned char c = src.Next();
        switch (c)
        {
        case '{':
            return Group(src, depth, true, canBeEmpty);
        case '(':
            return Group(src, depth, false, canBeEmpty);
        case '[':
            return Set(src);
        case '.':
            Emit(CPattern::AnyChar);
            return PatternOk;
        case '\\':
            return Escape(src, depth, canBeEmpty);
        case '!':
            if (src.AtEnd() || IsTerminator(src.Peek()))
                break; // nothing to negate: a literal "!"
            return Negation(src, depth, canBeEmpty);
        case '$':
            if (!src.AtEnd())
                break;
            // The end of the text: a negation of ".".
            return Negation(src, depth, canBeEmpty);
        default:
            break;
        }
        Emit(CPattern::Char, c);
        return PatternOk;
    }

    PatternError Escape(Source& src, unsigned depth, bool& canBeEmpty)
    {
        if (src.AtEnd())
        {
            // A backslash that ends the pattern stands for itself.
            Emit(CPattern::Char, '\\');
            return PatternOk;
        }
        const unsigned char c = src.Peek();
        if (IsDigit(c))
        {
            std::uint32_t group = 0;
            while (!src.AtEnd() && IsDigit(src.Peek()))
            {
                const std::uint32_t digit = src.Next() - '0';
                group = group > 100000000u ? 1000000000u : group * 10 + digit; // saturates
            }
            if (group >= m_groups)
                return PatternInvalidGroup;
            Emit(CPattern::BackRef, group);
            return PatternOk;
        }
        src.Next();
        if (const char* expansion = FindAbbreviation(c))
            return Expansion(expansion, depth, canBeEmpty);
        Emit(CPattern::Char, c);
        return PatternOk;
    }

    // Compiles an abbreviation's expansion in place, as one more level of nesting.
    PatternError Expansion(std::string_view expansion, unsigned depth, bool& canBeEmpty)
    {
        if (depth + 1 > CPattern::MaxNesting)
            return PatternUnexpected;
        Source inner(expansion);
        const auto error = Sequence(inner, depth + 1, canBeEmpty);
        if (error != PatternOk || !inner.AtEnd())
            return PatternUnexpected;
        return PatternOk;
    }

    // {x}: SaveGroup g, OpenGroup g, Call body, RestoreGroup g, Return, body, CloseGroup g
    // (x): Call body, Return, body
    PatternError Group(Source& src, unsigned depth, bool capture, bool& canBeEmpty)
    {
        if (depth + 1 > CPattern::MaxNesting)
            return PatternNoMemory;
        const std::uint32_t group = capture ? m_groups++ : 0;
        if (capture)
        {
            Emit(CPattern::SaveGroup, group);
            Emit(CPattern::OpenGroup, group);
        }
        const std::size_t call = Emit(CPattern::Call);
        if (capture)
            Emit(CPattern::RestoreGroup, group);
        Emit(CPattern::Return);
        m_program[call].operand = Here();

        const std::size_t body = m_program.size();
        if (const auto error = Sequence(src, depth + 1, canBeEmpty))
            return error;
        if (m_program.size() == body)
        {
            Emit(CPattern::Noop);
            canBeEmpty = false; // "{}" and "()" may be repeated
        }

        if (!src.PeekIs(capture ? '}' : ')'))
            return capture ? PatternBraceExpected : PatternParenExpected;
        src.Next();
        if (capture)
            Emit(CPattern::CloseGroup, group);
        return PatternOk;
    }

    // !x: MarkPos c1, MarkStack c2, Call X, ResetPos c1, ResetStack c2, Jump E,
    //     X: x, ResetPos c1, ResetStack c2, Return, E:
    // When x matches, the stack is cut back to its depth before the negation and
    // the Return fails the negation; when x fails, backtracking reaches the
    // instruction after the Call, which restores the position and jumps past.
    // Cutting the stack also drops what would restore the captures made inside x,
    // so when x holds capture groups they are saved before MarkStack and restored
    // after each ResetStack: a failed negation leaves no captures behind.
    // The source is positioned after the "!", or at the end for a final "$",
    // whose body is ".".
    PatternError Negation(Source& src, unsigned depth, bool& canBeEmpty)
    {
        if (depth + 1 > CPattern::MaxNesting)
            return PatternNoMemory;
        const std::uint32_t position = NewCell();
        const std::uint32_t stack = NewCell();
        const std::uint32_t firstGroup = m_groups;

        const std::size_t begin = m_program.size();
        if (src.AtEnd())
        {
            Emit(CPattern::AnyChar);
            canBeEmpty = false;
        }
        else if (const auto error = Atom(src, depth + 1, canBeEmpty))
        {
            return error;
        }

        std::vector<Instruction> restore;
        for (std::uint32_t group = m_groups; group > firstGroup; --group)
            restore.push_back({CPattern::RestoreGroup, group - 1});
        const auto leave = [&]() {
            Emit(CPattern::ResetPos, position);
            Emit(CPattern::ResetStack, stack);
            for (const auto& instruction : restore)
                Emit(instruction.kind, instruction.operand);
        };
        leave();
        Emit(CPattern::Return);

        std::vector<Instruction> head;
        head.push_back({CPattern::MarkPos, position});
        for (std::uint32_t group = firstGroup; group < m_groups; ++group)
            head.push_back({CPattern::SaveGroup, group});
        head.push_back({CPattern::MarkStack, stack});
        const std::size_t call = head.size();
        head.push_back({CPattern::Call, 0});
        head.push_back({CPattern::ResetPos, position});
        head.push_back({CPattern::ResetStack, stack});
        head.insert(head.end(), restore.begin(), restore.end());
        const std::size_t jump = head.size();
        head.push_back({CPattern::Jump, 0});

        InsertBefore(begin, head.data(), head.size());
        m_program[begin + call].operand = static_cast<std::uint32_t>(begin + head.size());
        m_program[begin + jump].operand = Here();
        return PatternOk;
    }

    // "[" has been read.
    PatternError Set(Source& src)
    {
        const bool negated = src.PeekIs('^');
        if (negated)
            src.Next();
        if (src.PeekIs(']'))
            return PatternEmptySet;

        std::uint32_t bits[8] = {};
        const auto add = [&bits](unsigned value) { bits[value / 32] |= 1u << (value % 32); };
        for (;;)
        {
            if (src.AtEnd())
                return PatternBracketExpected;
            unsigned char low = src.Next();
            if (low == ']')
                break;
            if (low == '\\')
            {
                if (src.AtEnd())
                    return PatternBracketExpected;
                low = src.Next();
                if (low == 't')
                    low = '\t';
            }
            if (!src.PeekIs('-'))
            {
                add(low);
                continue;
            }
            src.Next();
            if (src.AtEnd() || src.Peek() == ']')
                return PatternBracketExpected; // a range without an upper bound
            const unsigned char high = src.Next();
            if (low > high)
                return PatternInvalidRange;
            for (unsigned value = low; value <= high; ++value)
                add(value);
        }

        Emit(negated ? CPattern::NotInSet : CPattern::InSet);
        for (std::size_t entry = 0; entry < SetEntries; ++entry)
            Emit(bits[entry * 2], bits[entry * 2 + 1]);
        return PatternOk;
    }

    std::vector<Instruction>& m_program;
    std::uint32_t& m_groups;
    std::uint32_t& m_cells;
};

bool SetContains(const Instruction* set, unsigned char value)
{
    const Instruction& entry = set[value / 64];
    const std::uint32_t word = (value % 64) < 32 ? entry.kind : entry.operand;
    return (word >> (value % 32)) & 1u;
}

} // namespace

PatternError CPattern::Compile(std::string_view pattern, bool caseSensitive) noexcept
{
    m_program.clear();
    m_groupCount = 0;
    m_cellCount = 0;
    m_caseSensitive = caseSensitive;

    if (pattern.data() == nullptr)
        return m_lastError = PatternInvalidInput;

    PatternError error = PatternOk;
    try
    {
        std::string folded;
        if (!caseSensitive)
        {
            folded.assign(pattern.data(), pattern.size());
            FoldToLower(folded.data(), folded.size());
            pattern = folded;
        }

        Source src(pattern);
        Compiler compiler(m_program, m_groupCount, m_cellCount);
        const bool anchored = src.PeekIs('^');
        if (anchored)
            src.Next();

        // Call 2 leaves the index of Advance/Anchor at the bottom of the stack, so
        // that a failure at this start position lands there.
        compiler.Emit(Call, 2);
        compiler.Emit(anchored ? Anchor : Advance);
        bool canBeEmpty = false;
        error = compiler.Sequence(src, 0, canBeEmpty);
        // An unmatched "}", ")" or "]" ends the pattern; what follows is ignored.
        if (error == PatternOk)
            compiler.Emit(Success);
    }
    catch (const std::bad_alloc&)
    {
        error = PatternNoMemory;
    }

    if (error != PatternOk)
    {
        m_program.clear();
        m_program.shrink_to_fit();
    }
    return m_lastError = error;
}

PatternSpan CPatternMatch::GetGroup(std::size_t index) const noexcept
{
    PatternSpan span;
    if (index < m_groups.size() && m_groups[index].start != None && m_groups[index].end != None)
    {
        span.start = m_groups[index].start;
        span.end = m_groups[index].end;
    }
    return span;
}

void CPatternMatch::Reset(std::size_t groups, std::size_t cells)
{
    m_groups.assign(groups, Group{None, None});
    m_cells.assign(cells, 0);
    if (m_stack.size() < InitialStack)
        m_stack.resize(InitialStack);
    m_depth = 0;
    m_matchStart = 0;
    m_matchEnd = 0;
}

void CPatternMatch::ClearGroups() noexcept
{
    for (auto& group : m_groups)
        group = Group{None, None};
}

bool CPatternMatch::Push(std::uint32_t value)
{
    if (m_depth == m_stack.size())
    {
        // Grows to 2n+2 entries; depths are kept in 32-bit cells.
        const std::size_t room = m_stack.size() * 2 + 2;
        if (room > 0xFFFFFFFFu)
            return false;
        m_stack.resize(room);
    }
    m_stack[m_depth++] = value;
    return true;
}

bool CPatternMatch::Pop(std::uint32_t& value) noexcept
{
    if (m_depth == 0)
        return false;
    value = m_stack[--m_depth];
    return true;
}

bool CPattern::Match(std::string_view text, CPatternMatch& context,
                     std::size_t* stopPosition) const noexcept
{
    if (stopPosition)
        *stopPosition = 0;
    context.m_groups.clear();
    if (m_lastError != PatternOk || m_program.empty())
        return false;
    // Positions live in 32-bit cells and stack entries.
    if (text.size() >= CPatternMatch::None)
        return false;

    try
    {
        if (m_caseSensitive)
            return Run(text, context, stopPosition);

        // Lower-casing keeps every byte in its place, so offsets found in the
        // copy are offsets in the caller's text.
        std::string folded(text.data(), text.size());
        FoldToLower(folded.data(), folded.size());
        return Run(folded, context, stopPosition);
    }
    catch (const std::bad_alloc&)
    {
        context.ClearGroups();
        return false;
    }
}

bool CPattern::Run(std::string_view text, CPatternMatch& context, std::size_t* stopPosition) const
{
    context.Reset(m_groupCount, m_cellCount);

    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const auto length = static_cast<std::uint32_t>(text.size());
    const Instruction* program = m_program.data();
    const std::size_t size = m_program.size();
    auto& groups = context.m_groups;
    auto& cells = context.m_cells;

    std::uint32_t start = 0;
    std::uint32_t position = 0;
    std::size_t pc = 0;
    std::uint64_t steps = 0;

    const auto giveUp = [&]() {
        context.ClearGroups();
        if (stopPosition)
            *stopPosition = start < length ? start : length;
        return false;
    };

    for (;;)
    {
        if (context.m_stepLimit != 0 && ++steps > context.m_stepLimit)
            return giveUp();
        if (pc >= size)
            return giveUp(); // cannot happen with a compiled program

        const Instruction& instruction = program[pc];
        const std::uint32_t operand = instruction.operand;
        bool ok = true;
        std::uint32_t value = 0;

        switch (instruction.kind)
        {
        case Noop:
            ++pc;
            break;
        case OpenGroup:
            groups[operand].start = position;
            ++pc;
            break;
        case CloseGroup:
            groups[operand].end = position;
            ++pc;
            break;
        case Char:
            ok = position < length && bytes[position] == operand;
            position += ok;
            ++pc;
            break;
        case AnyChar:
            ok = position < length;
            position += ok;
            ++pc;
            break;
        case InSet:
        case NotInSet:
            ok = position < length &&
                 SetContains(program + pc + 1, bytes[position]) == (instruction.kind == InSet);
            position += ok;
            pc += 1 + SetEntries;
            break;
        case Jump:
            pc = operand;
            break;
        case SavePos:
            ok = context.Push(position);
            ++pc;
            break;
        case RestorePos:
            ok = context.Pop(position);
            ++pc;
            break;
        case Call:
            ok = context.Push(static_cast<std::uint32_t>(pc + 1));
            pc = operand;
            break;
        case Return:
            ok = false; // pops the next instruction index, exactly like a failure
            break;
        case SaveCell:
            ok = context.Push(cells[operand]);
            ++pc;
            break;
        case RestoreCell:
            ok = context.Pop(cells[operand]);
            ++pc;
            break;
        case MarkPos:
            cells[operand] = position;
            ++pc;
            break;
        case MarkStack:
            cells[operand] = static_cast<std::uint32_t>(context.m_depth);
            ++pc;
            break;
        case ResetPos:
            position = cells[operand];
            ++pc;
            break;
        case ResetStack:
            if (cells[operand] > context.m_depth)
                return giveUp(); // cannot happen with a compiled program
            context.m_depth = cells[operand];
            ++pc;
            break;
        case FailIfNoProgress:
            ok = position != cells[operand];
            ++pc;
            break;
        case BackRef:
        {
            const auto& group = groups[operand];
            // A group that has not matched (yet) matches the empty string.
            if (group.start != CPatternMatch::None && group.end != CPatternMatch::None &&
                group.start < group.end)
            {
                const std::uint32_t count = group.end - group.start;
                ok = count <= length - position &&
                     std::memcmp(bytes + position, bytes + group.start, count) == 0;
                if (ok)
                    position += count;
            }
            ++pc;
            break;
        }
        case SaveGroup:
            ok = context.Push(groups[operand].start) && context.Push(groups[operand].end);
            ++pc;
            break;
        case RestoreGroup:
            ok = context.Pop(groups[operand].end) && context.Pop(groups[operand].start);
            ++pc;
            break;
        case Advance:
            ++start;
            if (start >= length)
                return giveUp();
            context.m_depth = 0;
            context.ClearGroups();
            position = start;
            pc = 0;
            break;
        case Anchor:
            return giveUp();
        case Success:
            context.m_matchStart = start;
            context.m_matchEnd = position;
            if (stopPosition)
                *stopPosition = position;
            return true;
        default:
            return giveUp(); // cannot happen with a compiled program
        }

        if (!ok)
        {
            // To fail is to pop an instruction index and go on there.
            if (!context.Pop(value))
                return giveUp();
            pc = value;
        }
    }
}

}  // namespace tdm
