#include "log/crypto/BigNumber.h"

#include "log/crypto/WipeSecret.h"

#include <cstring>

namespace {

// a = b + x * c over `digits` digits; returns the carry digit. a may alias b.
BigDigit BigAddDigitMul(BigDigit* a, const BigDigit* b, BigDigit x, const BigDigit* c, uint32_t digits)
{
    if (x == 0) {
        if (a != b)
            BigAssign(a, b, digits);
        return 0;
    }
    BigDigit carry = 0;
    for (uint32_t i = 0; i < digits; ++i) {
        BigDigit high, low;
        DigitMul(&high, &low, x, c[i]);
        BigDigit sum = b[i] + carry;
        carry = sum < carry ? 1 : 0;
        sum += low;
        if (sum < low)
            ++carry;
        carry += high;
        a[i] = sum;
    }
    return carry;
}

// Digits of the two-digit number high:low divided by divisor + 1 (or by 2^32
// when divisor is all ones): never above the true quotient digit, so the
// division only ever has to correct upwards.
BigDigit EstimateQuotientDigit(BigDigit high, BigDigit low, BigDigit divisor)
{
    if (divisor == 0xffffffffu)
        return high;
    const uint64_t dividend = (static_cast<uint64_t>(high) << 32) | low;
    return static_cast<BigDigit>(dividend / (static_cast<uint64_t>(divisor) + 1));
}

} // namespace

void BigDecode(BigDigit* a, const uint8_t* b, size_t length)
{
    uint32_t i = 0;
    size_t j = length;
    for (; i < BigMaxDigits && j > 0; ++i) {
        BigDigit digit = 0;
        for (uint32_t shift = 0; j > 0 && shift < 32; shift += 8)
            digit |= static_cast<BigDigit>(b[--j]) << shift;
        a[i] = digit;
    }
    for (; i < BigMaxDigits; ++i)
        a[i] = 0;
}

void BigEncode(uint8_t* a, size_t length, const BigDigit* b, uint32_t digits)
{
    size_t j = length;
    for (uint32_t i = 0; i < digits && j > 0; ++i) {
        const BigDigit digit = b[i];
        for (uint32_t shift = 0; j > 0 && shift < 32; shift += 8)
            a[--j] = static_cast<uint8_t>(digit >> shift);
    }
    while (j > 0)
        a[--j] = 0;
}

void BigAssign(BigDigit* a, const BigDigit* b, uint32_t digits)
{
    if (a != b)
        std::memmove(a, b, digits * sizeof(BigDigit));
}

void BigAssignZero(BigDigit* a, uint32_t digits)
{
    std::memset(a, 0, digits * sizeof(BigDigit));
}

int BigCompare(const BigDigit* a, const BigDigit* b, uint32_t digits)
{
    for (uint32_t i = digits; i-- > 0;) {
        if (a[i] > b[i])
            return 1;
        if (a[i] < b[i])
            return -1;
    }
    return 0;
}

uint32_t BigDigits(const BigDigit* a, uint32_t digits)
{
    while (digits > 0 && a[digits - 1] == 0)
        --digits;
    return digits;
}

BigDigit BigSub(BigDigit* a, const BigDigit* b, const BigDigit* c, uint32_t digits)
{
    BigDigit borrow = 0;
    for (uint32_t i = 0; i < digits; ++i) {
        const BigDigit bi = b[i];
        const BigDigit ci = c[i];
        const BigDigit difference = bi - ci - borrow;
        borrow = (bi < ci || (bi == ci && borrow)) ? 1 : 0;
        a[i] = difference;
    }
    return borrow;
}

BigDigit BigShiftLeft(BigDigit* a, const BigDigit* b, uint32_t bits, uint32_t digits)
{
    if (bits >= 32)
        return 0;
    BigDigit carry = 0;
    for (uint32_t i = 0; i < digits; ++i) {
        const BigDigit bi = b[i];
        a[i] = (bi << bits) | carry;
        carry = bits ? bi >> (32 - bits) : 0;
    }
    return carry;
}

BigDigit BigShiftRight(BigDigit* a, const BigDigit* b, uint32_t bits, uint32_t digits)
{
    if (bits >= 32)
        return 0;
    BigDigit carry = 0;
    for (uint32_t i = digits; i-- > 0;) {
        const BigDigit bi = b[i];
        a[i] = (bi >> bits) | carry;
        carry = bits ? bi << (32 - bits) : 0;
    }
    return carry;
}

BigDigit BigSubDigitMul(BigDigit* a, const BigDigit* b, BigDigit x, const BigDigit* c, uint32_t digits)
{
    if (x == 0) {
        BigAssign(a, b, digits);
        return 0;
    }
    BigDigit borrow = 0;
    for (uint32_t i = 0; i < digits; ++i) {
        BigDigit high, low;
        DigitMul(&high, &low, x, c[i]);
        BigDigit difference = b[i] - borrow;
        borrow = difference > b[i] ? 1 : 0;
        const BigDigit before = difference;
        difference -= low;
        if (difference > before)
            ++borrow;
        borrow += high;
        a[i] = difference;
    }
    return borrow;
}

void BigMul(BigDigit* a, const BigDigit* b, const BigDigit* c, uint32_t digits)
{
    BigDigit t[BigMaxProductDigits];
    BigAssignZero(t, 2 * digits);
    const uint32_t bDigits = BigDigits(b, digits);
    const uint32_t cDigits = BigDigits(c, digits);
    for (uint32_t i = 0; i < bDigits; ++i)
        t[i + cDigits] += BigAddDigitMul(&t[i], &t[i], b[i], c, cDigits);
    BigAssign(a, t, 2 * digits);
    WipeSecret(t, sizeof(t));
}

void BigDivMod(BigDigit* q, BigDigit* r, const BigDigit* c, uint32_t cDigits, const BigDigit* d, uint32_t dDigits)
{
    const uint32_t ddDigits = BigDigits(d, dDigits);
    if (ddDigits == 0)
        return;

    // Normalise so that the divisor's top digit has its high bit set: the
    // quotient-digit estimate is then at most a few units too small.
    BigDigit cc[BigMaxDividendDigits];
    BigDigit dd[BigMaxDigits] = {};
    BigDigit qq[BigMaxProductDigits];
    const uint32_t shift = 32 - DigitBits(d[ddDigits - 1]);
    BigAssignZero(cc, BigMaxDividendDigits);
    cc[cDigits] = BigShiftLeft(cc, c, shift, cDigits);
    BigShiftLeft(dd, d, shift, ddDigits);
    const BigDigit t = dd[ddDigits - 1];
    BigAssignZero(qq, cDigits);

    for (uint32_t i = cDigits >= ddDigits ? cDigits - ddDigits + 1 : 0; i-- > 0;) {
        BigDigit estimate = EstimateQuotientDigit(cc[i + ddDigits], cc[i + ddDigits - 1], t);
        cc[i + ddDigits] -= BigSubDigitMul(&cc[i], &cc[i], estimate, dd, ddDigits);
        while (cc[i + ddDigits] != 0 || BigCompare(&cc[i], dd, ddDigits) >= 0) {
            ++estimate;
            cc[i + ddDigits] -= BigSub(&cc[i], &cc[i], dd, ddDigits);
        }
        qq[i] = estimate;
    }

    BigAssignZero(r, dDigits);
    BigShiftRight(r, cc, shift, ddDigits);
    BigAssign(q, qq, cDigits);
    WipeSecret(cc, sizeof(cc));
    WipeSecret(dd, sizeof(dd));
    WipeSecret(qq, sizeof(qq));
}

void BigMod(BigDigit* a, const BigDigit* b, uint32_t bDigits, const BigDigit* d, uint32_t dDigits)
{
    BigDigit quotient[BigMaxProductDigits];
    BigDivMod(quotient, a, b, bDigits, d, dDigits);
    WipeSecret(quotient, sizeof(quotient));
}

void BigModMul(BigDigit* a, const BigDigit* b, const BigDigit* c, const BigDigit* d, uint32_t digits)
{
    BigDigit product[BigMaxProductDigits];
    BigMul(product, b, c, digits);
    BigMod(a, product, 2 * digits, d, digits);
    WipeSecret(product, sizeof(product));
}

void BigModExp(BigDigit* a, const BigDigit* b, const BigDigit* c, uint32_t cDigits, const BigDigit* d, uint32_t dDigits)
{
    // Fixed 2-bit windows: b, b^2 and b^3 cover every non-zero pair of bits.
    BigDigit power[3][BigMaxDigits];
    BigDigit t[BigMaxDigits];
    BigAssign(power[0], b, dDigits);
    BigModMul(power[1], power[0], b, d, dDigits);
    BigModMul(power[2], power[1], b, d, dDigits);

    BigAssignZero(t, dDigits);
    t[0] = 1;
    cDigits = BigDigits(c, cDigits);
    for (uint32_t i = cDigits; i-- > 0;) {
        BigDigit ci = c[i];
        uint32_t ciBits = 32;
        if (i == cDigits - 1) {
            while ((ci >> 30) == 0) {
                ci <<= 2;
                ciBits -= 2;
            }
        }
        for (uint32_t j = 0; j < ciBits; j += 2, ci <<= 2) {
            BigModMul(t, t, t, d, dDigits);
            BigModMul(t, t, t, d, dDigits);
            const BigDigit s = ci >> 30;
            if (s != 0)
                BigModMul(t, t, power[s - 1], d, dDigits);
        }
    }

    BigAssign(a, t, dDigits);
    WipeSecret(power, sizeof(power));
    WipeSecret(t, sizeof(t));
}

uint32_t DigitBits(BigDigit a)
{
    uint32_t bits = 0;
    while (a != 0) {
        ++bits;
        a >>= 1;
    }
    return bits;
}

void DigitMul(BigDigit* high, BigDigit* low, BigDigit b, BigDigit c)
{
    const uint64_t product = static_cast<uint64_t>(b) * c;
    *high = static_cast<BigDigit>(product >> 32);
    *low = static_cast<BigDigit>(product);
}
