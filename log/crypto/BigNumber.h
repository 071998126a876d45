// Multi-precision unsigned arithmetic for the public-key operation on one log
// key block. A number is an array of 32-bit digits, least significant first.
// Every operation works on an explicit digit count; digits above a number's
// length are 0. Nothing allocates: temporaries are fixed arrays on the stack,
// sized for a 1024-bit modulus plus one digit.
#pragma once

#include <cstddef>
#include <cstdint>

using BigDigit = uint32_t;

// Capacity of one number, of a double-length product, and of the division's
// working copy of a double-length dividend (one digit for the normalising shift).
constexpr uint32_t BigMaxDigits = 33;
constexpr uint32_t BigMaxProductDigits = 2 * BigMaxDigits;
constexpr uint32_t BigMaxDividendDigits = BigMaxProductDigits + 1;

// a (BigMaxDigits digits) = the big-endian byte string b of `length` bytes.
// Bytes beyond what 33 digits hold (leading bytes of a longer string) are ignored.
void BigDecode(BigDigit* a, const uint8_t* b, size_t length);

// Writes exactly `length` big-endian bytes of b (`digits` digits) to a: leading
// bytes past the number are 0; digits that do not fit are dropped.
void BigEncode(uint8_t* a, size_t length, const BigDigit* b, uint32_t digits);

void BigAssign(BigDigit* a, const BigDigit* b, uint32_t digits);
void BigAssignZero(BigDigit* a, uint32_t digits);

// -1, 0 or 1 as a is below, equal to or above b, over `digits` digits.
int BigCompare(const BigDigit* a, const BigDigit* b, uint32_t digits);

// Number of significant digits of a (0 for zero), looking at `digits` digits.
uint32_t BigDigits(const BigDigit* a, uint32_t digits);

// a = b - c; returns the borrow (0 or 1). a may alias b or c.
BigDigit BigSub(BigDigit* a, const BigDigit* b, const BigDigit* c, uint32_t digits);

// a = b shifted by `bits` (below 32); returns the bits shifted out. A shift of
// 32 or more returns 0 and writes nothing. a may alias b.
BigDigit BigShiftLeft(BigDigit* a, const BigDigit* b, uint32_t bits, uint32_t digits);
BigDigit BigShiftRight(BigDigit* a, const BigDigit* b, uint32_t bits, uint32_t digits);

// a = b - x * c over `digits` digits; returns the borrow digit. a may alias b.
BigDigit BigSubDigitMul(BigDigit* a, const BigDigit* b, BigDigit x, const BigDigit* c, uint32_t digits);

// a (2 * digits digits) = b * c. digits is at most BigMaxDigits; a may alias b or c.
void BigMul(BigDigit* a, const BigDigit* b, const BigDigit* c, uint32_t digits);

// q (cDigits digits) = c / d and r (dDigits digits) = c mod d. Does nothing
// when d is 0. cDigits is at most BigMaxProductDigits, dDigits at most
// BigMaxDigits. q and r may alias c.
void BigDivMod(BigDigit* q, BigDigit* r, const BigDigit* c, uint32_t cDigits, const BigDigit* d, uint32_t dDigits);

// a (dDigits digits) = b mod d; nothing when d is 0.
void BigMod(BigDigit* a, const BigDigit* b, uint32_t bDigits, const BigDigit* d, uint32_t dDigits);

// a = b * c mod d, all of `digits` digits; a may alias b or c.
void BigModMul(BigDigit* a, const BigDigit* b, const BigDigit* c, const BigDigit* d, uint32_t digits);

// a = b to the power c mod d (left to right, fixed 2-bit windows). a, b and d
// have dDigits digits, c has cDigits. An exponent of 0 gives 1. a may alias b.
void BigModExp(BigDigit* a, const BigDigit* b, const BigDigit* c, uint32_t cDigits, const BigDigit* d, uint32_t dDigits);

// Number of significant bits of one digit, 0 to 32.
uint32_t DigitBits(BigDigit a);

// high:low = b * c.
void DigitMul(BigDigit* high, BigDigit* low, BigDigit b, BigDigit c);
