#include "runtime/FormatString.h"

#include <emmintrin.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

// Positional mode hands the formatter a rearranged copy of the caller's
// argument slots as its argument list. That works where an argument list is a
// plain pointer into a row of 8-byte slots, one per value, as on Windows x64.
// (Assigning a char* to a va_list below compiles only where it is one.)
static_assert(sizeof(va_list) == sizeof(char*), "positional formatting needs the Windows x64 argument list");

constexpr std::size_t FirstBufferChars = 256;
constexpr std::uint32_t SlotBytes = 8;
constexpr std::size_t ReservedConversions = 10;

// The underscore forms keep the Microsoft semantics (wide "%s", -1 when the
// text does not fit) even where mingw redirects the plain names to its own
// C99 formatter.
int CallFormatter(char* buffer, std::size_t count, const char* format, va_list args)
{
    return _vsnprintf(buffer, count, format, args);
}

int CallFormatter(wchar_t* buffer, std::size_t count, const wchar_t* format, va_list args)
{
    return _vsnwprintf(buffer, count, format, args);
}

// Bit i set where byte i of the aligned 16-byte block at `address` belongs to
// a "%" or a zero character (both bytes of a wide one).
template <typename C>
unsigned PercentOrZero(std::uintptr_t address, __m128i percent, __m128i zero)
{
    const __m128i block = _mm_load_si128(reinterpret_cast<const __m128i*>(address));
    const __m128i found = sizeof(C) == 1
                              ? _mm_or_si128(_mm_cmpeq_epi8(block, percent), _mm_cmpeq_epi8(block, zero))
                              : _mm_or_si128(_mm_cmpeq_epi16(block, percent), _mm_cmpeq_epi16(block, zero));
    return static_cast<unsigned>(_mm_movemask_epi8(found));
}

// The first "%" of a zero-terminated text, or null. Every call looks for it
// before anything is formatted (to choose the mode), and a unit-by-unit loop
// cost about a tenth of a short line's formatting: so 16 bytes at a time with
// SSE2, which every x64 processor has. Each load is aligned to 16 bytes, so it
// never reaches into another page than the text's own bytes and cannot fault;
// what it sees before the text is masked off and what it sees behind the
// terminator is never used, as in the C runtime's own string scans.
template <typename C>
const C* FindPercent(const C* text)
{
    const auto address = reinterpret_cast<std::uintptr_t>(text);
    if (address % sizeof(C) != 0) {
        // A wide text at an odd address: its units straddle the lanes.
        for (; *text != C('\0'); ++text) {
            if (*text == C('%'))
                return text;
        }
        return nullptr;
    }
    const __m128i percent = sizeof(C) == 1 ? _mm_set1_epi8('%') : _mm_set1_epi16('%');
    const __m128i zero = _mm_setzero_si128();
    std::uintptr_t block = address & ~std::uintptr_t{15};
    unsigned found = PercentOrZero<C>(block, percent, zero) & (~0u << (address - block));
    while (found == 0) {
        block += 16;
        found = PercentOrZero<C>(block, percent, zero);
    }
    const C* at = text + (block + static_cast<unsigned>(std::countr_zero(found)) - address) / sizeof(C);
    return *at == C('%') ? at : nullptr;
}

// Whether the 16 bytes at `at` hold a zero character.
template <typename C>
__m128i ZeroMask(const C* at)
{
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    return sizeof(C) == 1 ? _mm_cmpeq_epi8(block, _mm_setzero_si128()) : _mm_cmpeq_epi16(block, _mm_setzero_si128());
}

// Length of the text up to the first zero character, within `length`: a
// conversion such as "%c" with 0 ends the text there, and the formatter's
// count does not tell. On every call's path, and a zero is rare: so the whole
// text is first tested 16 bytes at a time (SSE2, part of every x64 processor)
// without a branch per block, the last block overlapping the one before it so
// that no byte beyond `length` is read; only a text that holds a zero is then
// searched for it.
template <typename C>
std::size_t TextLength(const C* text, std::size_t length)
{
    constexpr std::size_t UnitsPerBlock = 16 / sizeof(C);
    if (length >= UnitsPerBlock) {
        __m128i zeros = ZeroMask(text + length - UnitsPerBlock);
        for (std::size_t i = 0; i + UnitsPerBlock <= length; i += UnitsPerBlock)
            zeros = _mm_or_si128(zeros, ZeroMask(text + i));
        if (_mm_movemask_epi8(zeros) == 0)
            return length;
    }
    std::size_t i = 0;
    while (i < length && text[i] != C('\0'))
        ++i;
    return i;
}

template <typename C>
bool IsPositionDigit(C c)
{
    return c >= C('1') && c <= C('9');
}

// One conversion of a positional format, behind its position digit:
//   flags [- + space # 0], width digits, "." and precision digits, an
//   optional "F" or "N", one size prefix, and a conversion character that
//   formats exactly one argument.
// Only what the oldest Microsoft formatter and the newest agree on is taken:
// a character either of them would read differently (a conversion it prints
// as text such as "y", or one that writes or takes no argument such as "n")
// would make the rearranged block and the formatter disagree about which
// argument a later conversion reads.
template <typename C>
bool IsFlag(C c)
{
    return c == C('-') || c == C('+') || c == C(' ') || c == C('#') || c == C('0');
}

template <typename C>
bool IsDigit(C c)
{
    return c >= C('0') && c <= C('9');
}

template <typename C>
int CallFormatterWith(C* buffer, std::size_t count, const C* format, ...)
{
    va_list args;
    va_start(args, format);
    const int written = CallFormatter(buffer, count, format, args);
    va_end(args);
    return written;
}

// Whether the formatter formats "%a" and "%A" (hexadecimal floating point) as
// one double. A formatter without them prints the letter and reads nothing,
// which would shift every later argument of the block, so it is asked once,
// with integers behind the double: without "%a" the "%d" reads the double's
// low half (0 for 1.0) and nothing unsafe.
template <typename C>
bool FormatsHexFloat()
{
    static std::atomic<int> known{0};  // 0 not asked yet, 1 yes, 2 no; a race only asks twice
    int answer = known.load(std::memory_order_relaxed);
    if (answer == 0) {
        static constexpr C probe[] = {C('%'), C('a'), C('|'), C('%'), C('d'), C('\0')};
        C text[64] = {};
        const int written = CallFormatterWith(text, 63, probe, 1.0, 7);
        answer = written > 2 && text[written - 2] == C('|') && text[written - 1] == C('7') ? 1 : 2;
        known.store(answer, std::memory_order_relaxed);
    }
    return answer == 1;
}

template <typename C>
bool ConsumesOneArgument(C c)
{
    switch (c) {
    case C('c'): case C('C'): case C('d'): case C('i'): case C('o'): case C('u'): case C('x'): case C('X'):
    case C('e'): case C('E'): case C('f'): case C('g'): case C('G'): case C('p'): case C('s'): case C('S'):
        return true;
    case C('a'): case C('A'):
        return FormatsHexFloat<C>();
    default:
        return false;
    }
}

// "F" (far) and "N" (near): prefixes of the Microsoft formatter that mean
// nothing on x64. Newer formatters read "F" as a conversion of its own, so the
// rewritten format leaves them out.
template <typename C>
bool IsPointerSize(C c)
{
    return c == C('F') || c == C('N');
}

// The size prefix at `at` (none is a prefix of length 0), as the rewritten
// format spells it. On x64 every value a prefix names, from "hh" to "I64",
// travels in one 8-byte slot. "j", "z" and "t" (8-byte integers here) become
// "I64", which every Microsoft formatter knows; an older one would print them
// as text and leave their argument unread.
template <typename C>
struct SizePrefix {
    std::size_t length;             // characters of the format it spans
    const C* spelling;              // what the rewritten format holds instead
    std::size_t spellingLength;
};

template <typename C>
SizePrefix<C> ReadSizePrefix(const C* at)
{
    static constexpr C I64[] = {C('I'), C('6'), C('4')};
    auto same = [at](std::size_t length) { return SizePrefix<C>{length, at, length}; };
    switch (*at) {
    case C('I'):
        if ((at[1] == C('6') && at[2] == C('4')) || (at[1] == C('3') && at[2] == C('2')))
            return same(3);
        return same(1);
    case C('h'):
        return same(at[1] == C('h') ? 2 : 1);
    case C('l'):
        return same(at[1] == C('l') ? 2 : 1);
    case C('L'): case C('w'):
        return same(1);
    case C('j'): case C('z'): case C('t'):
        return SizePrefix<C>{1, I64, 3};
    default:
        return same(0);
    }
}

// One try into a buffer of `chars` characters, with the limit one below, so
// that the last character stays free for the terminator that the formatter
// omits when the text fills the limit exactly. Every try starts at the list's
// first argument. Returns the length of the text the try left in the buffer
// (a zero character produced by a conversion ends it), or NoText when the
// formatter fails (-1: no room, or another failure).
constexpr std::size_t NoText = ~std::size_t{0};

template <typename C>
std::size_t TryFormat(C* buffer, std::size_t chars, const C* format, va_list args)
{
    buffer[chars - 1] = C(0);
    va_list tryArgs;
    va_copy(tryArgs, args);
    int written = CallFormatter(buffer, chars - 1, format, tryArgs);
    va_end(tryArgs);
    if (written < 0)
        return NoText;
    // Only what the formatter wrote is read: the buffer is not zero-filled.
    return TextLength(buffer, std::min(static_cast<std::size_t>(written), chars - 1));
}

// The tries after the first, in growing heap buffers. The bound keeps a
// formatter that fails for another reason than room (a wide character without
// a narrow form, for one) from doubling the buffer until memory runs out.
template <typename C>
std::basic_string<C> FormatOnHeap(const C* format, va_list args)
{
    for (std::size_t chars = FirstBufferChars * 2; chars <= FormatStringMaxChars; chars *= 2) {
        std::unique_ptr<C[]> buffer(new C[chars]);
        const std::size_t length = TryFormat(buffer.get(), chars, format, args);
        if (length != NoText)
            return std::basic_string<C>(buffer.get(), length);
    }
    throw std::length_error("FormatString: the formatter failed, or the text does not fit in the largest buffer");
}

// The text is formatted into a buffer first and the result built once, at its
// final size, from what the successful try wrote. The first try uses the
// stack: a short text costs one formatter call and the result string.
template <typename C>
std::basic_string<C> FormatGrowing(const C* format, va_list args)
{
    C buffer[FirstBufferChars];
    const std::size_t length = TryFormat(buffer, FirstBufferChars, format, args);
    if (length != NoText)
        return std::basic_string<C>(buffer, length);
    return FormatOnHeap(format, args);
}

[[noreturn]] void RejectPositional(const char* what, std::size_t offset)
{
    throw std::invalid_argument("FormatString: positional format, conversion at offset " +
                                std::to_string(offset) + ": " + what);
}

// A list that keeps its first N entries in place and moves to the heap only
// when a format needs more, so that positional formatting of a common format
// allocates nothing but its result. Aligned for use as an argument list.
template <typename T, std::size_t N>
class InlineList {
public:
    InlineList() = default;
    InlineList(const InlineList&) = delete;
    InlineList& operator=(const InlineList&) = delete;

    void push_back(T value)
    {
        Reserve(count + 1);
        items[count++] = value;
    }

    void append(const T* first, const T* last)
    {
        const std::size_t added = static_cast<std::size_t>(last - first);
        Reserve(count + added);
        std::copy(first, last, items + count);
        count += added;
    }

    T* data() noexcept { return items; }
    std::size_t size() const noexcept { return count; }
    T operator[](std::size_t i) const noexcept { return items[i]; }
    const T* begin() const noexcept { return items; }
    const T* end() const noexcept { return items + count; }

private:
    void Reserve(std::size_t needed)
    {
        if (needed <= capacity)
            return;
        std::size_t grown = std::max(needed, capacity * 2);
        if (heap.empty())
            heap.assign(items, items + count);
        heap.resize(grown);
        items = heap.data();
        capacity = grown;
    }

    alignas(16) T inlineItems[N];
    T* items = inlineItems;
    std::size_t count = 0;
    std::size_t capacity = N;
    std::vector<T> heap;
};

// The first conversion has a position digit. The rewritten format lacks the
// digits; its n-th conversion that reads an argument reads slot n of the
// rearranged block, which holds a copy of the caller's slot that the n-th
// digit names. "%1%" reads nothing and has no slot.
template <typename C>
std::basic_string<C> FormatPositional(const C* format, va_list args)
{
    InlineList<C, FirstBufferChars> rewritten;
    InlineList<std::uint8_t, ReservedConversions> order;
    InlineList<std::uint32_t, ReservedConversions> slotSizes;

    const C* rest = format;
    while (const C* percent = FindPercent(rest)) {
        const std::size_t offset = static_cast<std::size_t>(percent - format);
        rewritten.append(rest, percent + 1);
        const C* position = percent + 1;
        if (*position == C('%')) {
            // An escape pair stays in the format; the formatter prints one "%".
            rewritten.push_back(C('%'));
            rest = position + 1;
            continue;
        }
        if (!IsPositionDigit(*position))
            RejectPositional("no position digit 1-9", offset);
        if (position[1] == C('%')) {
            // A "%" that names an argument prints one "%" and reads none.
            rewritten.push_back(C('%'));
            rest = position + 2;
            continue;
        }
        order.push_back(static_cast<std::uint8_t>(*position - C('1')));

        // Everything is checked before the block is built, so a refused
        // format reads no argument.
        const C* part = position + 1;
        while (IsFlag(*part))
            ++part;
        while (IsDigit(*part))
            ++part;
        if (*part == C('.')) {
            ++part;
            while (IsDigit(*part))
                ++part;
        }
        if (*part == C('*'))
            RejectPositional("\"*\" width or precision", offset);
        const C* prefixAt = IsPointerSize(*part) ? part + 1 : part;
        const SizePrefix<C> prefix = ReadSizePrefix(prefixAt);
        const C* conversion = prefixAt + prefix.length;
        if (*conversion == C('\0'))
            RejectPositional("the format ends before the conversion character", offset);
        if (!ConsumesOneArgument(*conversion))
            RejectPositional("no conversion of one argument", offset);
        slotSizes.push_back(SlotBytes);

        rewritten.append(position + 1, part);
        rewritten.append(prefix.spelling, prefix.spelling + prefix.spellingLength);
        rewritten.push_back(*conversion);
        rest = conversion + 1;
    }
    rewritten.append(rest, rest + std::char_traits<C>::length(rest) + 1);

    // Slot k of the caller's list starts behind the first k slots.
    InlineList<std::size_t, ReservedConversions> sourceOffsets;
    std::size_t sourceOffset = 0;
    for (std::uint32_t size : slotSizes) {
        sourceOffsets.push_back(sourceOffset);
        sourceOffset += size;
    }
    for (std::uint8_t k : order) {
        if (k >= slotSizes.size())
            throw std::invalid_argument("FormatString: positional format names argument " + std::to_string(k + 1) +
                                        " of " + std::to_string(slotSizes.size()) + " conversions");
    }

    InlineList<char, ReservedConversions * SlotBytes> block;
    const char* source = args;
    for (std::uint8_t k : order)
        block.append(source + sourceOffsets[k], source + sourceOffsets[k] + slotSizes[k]);
    va_list rearranged = block.data();
    return FormatGrowing(rewritten.data(), rearranged);
}

template <typename C>
bool IsPositional(const C* format)
{
    const C* percent = FindPercent(format);
    while (percent && percent[1] == C('%'))
        percent = FindPercent(percent + 2);
    return percent && IsPositionDigit(percent[1]);
}

template <typename C>
std::basic_string<C> Format(const C* format, va_list args)
{
    if (!format)
        throw std::invalid_argument("FormatString: null format");
    if (IsPositional(format))
        return FormatPositional(format, args);
    return FormatGrowing(format, args);
}

// Ends the caller's argument list on every way out of the variadic forms.
struct ArgListEnd {
    va_list& args;
    ~ArgListEnd() { va_end(args); }
};

}  // namespace

std::string FormatStringV(const char* format, va_list args)
{
    return Format(format, args);
}

std::wstring FormatStringV(const wchar_t* format, va_list args)
{
    return Format(format, args);
}

std::string FormatString(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    ArgListEnd end{args};
    return Format(format, args);
}

std::wstring FormatString(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    ArgListEnd end{args};
    return Format(format, args);
}
