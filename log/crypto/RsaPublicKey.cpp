#include "log/crypto/RsaPublicKey.h"

#include "log/crypto/BigNumber.h"
#include "log/crypto/WipeSecret.h"

int32_t RsaBlockPower(uint8_t* output, uint32_t* outputLength, const uint8_t* input, uint32_t inputLength,
                      uint16_t bits, const uint8_t (&modulus)[RsaMaxModulusLength],
                      const uint8_t (&exponent)[RsaMaxModulusLength])
{
    const uint32_t modulusLength = (static_cast<uint32_t>(bits) + 7) / 8;
    // A modulus longer than the record can hold would have the caller size its
    // output buffer from a length the arithmetic never produces.
    if (modulusLength < RsaBlockLength || modulusLength > RsaMaxModulusLength || inputLength > RsaMaxModulusLength)
        return RsaBadLength;

    BigDigit m[BigMaxDigits], n[BigMaxDigits], e[BigMaxDigits], c[BigMaxDigits];
    BigDecode(m, input, inputLength);
    BigDecode(n, modulus, RsaMaxModulusLength);
    BigDecode(e, exponent, RsaMaxModulusLength);
    const uint32_t nDigits = BigDigits(n, BigMaxDigits);
    const uint32_t eDigits = BigDigits(e, BigMaxDigits);

    // With a zero modulus nDigits is 0 and the comparison of no digits is
    // "equal", so a zero modulus is refused here as well. A block whose
    // digits reach above the modulus's length is larger than it outright.
    int32_t result = 0;
    if (BigDigits(m, BigMaxDigits) > nDigits || BigCompare(m, n, nDigits) >= 0) {
        result = RsaBlockTooLarge;
    } else {
        BigModExp(c, m, e, eDigits, n, nDigits);
        *outputLength = modulusLength;
        BigEncode(output, modulusLength, c, nDigits);
    }
    // Sealing: the block is the stream key in the clear. Unsealing: the
    // exponent is the private one, and the result the stream key.
    WipeSecret(m, sizeof(m));
    WipeSecret(e, sizeof(e));
    WipeSecret(c, sizeof(c));
    return result;
}

int32_t RsaPublicBlock(uint8_t* output, uint32_t* outputLength, const uint8_t input[RsaBlockLength],
                       const RsaPublicKey* key)
{
    return RsaBlockPower(output, outputLength, input, RsaBlockLength, key->bits, key->modulus, key->exponent);
}
