#!/usr/bin/env python3
"""Makes a new 512-bit RSA key pair for sealing log stream keys.

Writes two text files (format in keys/README.md): the public half, which a
build names in OLV_LOG_PUBLIC_KEY_FILE, and the private half, which stays with
whoever reads the logs and is never built into a program.
"""

import argparse
import math
import os
import secrets
import sys

BITS = 512
PUBLIC_EXPONENT = 65537
# Rounds of Miller-Rabin with random bases: a composite passes all of them with
# probability below 4^-64.
MILLER_RABIN_ROUNDS = 64

SMALL_PRIMES = [p for p in range(3, 2000) if all(p % d for d in range(2, int(p ** 0.5) + 1))]


def is_probable_prime(n):
    if n < 2:
        return False
    for p in SMALL_PRIMES:
        if n % p == 0:
            return n == p
    d, r = n - 1, 0
    while d % 2 == 0:
        d //= 2
        r += 1
    for _ in range(MILLER_RABIN_ROUNDS):
        a = 2 + secrets.randbelow(n - 3)
        x = pow(a, d, n)
        if x in (1, n - 1):
            continue
        for _ in range(r - 1):
            x = pow(x, 2, n)
            if x == n - 1:
                break
        else:
            return False
    return True


def random_prime(bits, progress):
    """A prime of exactly `bits` bits whose two top bits are set, so that the
    product of two of them has exactly twice the bits; p - 1 is coprime to e."""
    tries = 0
    while True:
        candidate = secrets.randbits(bits) | (3 << (bits - 2)) | 1
        tries += 1
        if tries % 50 == 0:
            progress(".")
        if (candidate - 1) % PUBLIC_EXPONENT == 0:
            continue
        if is_probable_prime(candidate):
            return candidate


def make_key_pair(progress):
    half = BITS // 2
    while True:
        p = random_prime(half, progress)
        q = random_prime(half, progress)
        if p == q:
            continue
        n = p * q
        if n.bit_length() != BITS:
            continue
        lam = (p - 1) * (q - 1) // math.gcd(p - 1, q - 1)
        if math.gcd(PUBLIC_EXPONENT, lam) != 1:
            continue
        d = pow(PUBLIC_EXPONENT, -1, lam)
        return max(p, q), min(p, q), n, d


def hex_field(value, length):
    return value.to_bytes(length, "big").hex()


def write_key_file(path, lines, force):
    if os.path.exists(path) and not force:
        sys.exit(f"olvkeygen: {path} exists; pass --force to replace it")
    with open(path, "w", encoding="ascii", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


def main():
    parser = argparse.ArgumentParser(
        description="Make a new 512-bit RSA key pair (exponent 65537) for sealing log stream keys.")
    parser.add_argument("public", help="file to write the public half to (e.g. keys/olvlog-public.key)")
    parser.add_argument("private", help="file to write the private half to; keep it away from builds")
    parser.add_argument("--label", default="log key pair",
                        help="what the key is, written into both files' first comment line")
    parser.add_argument("--force", action="store_true", help="replace existing files")
    args = parser.parse_args()

    progress = lambda s: (sys.stderr.write(s), sys.stderr.flush())
    progress("olvkeygen: searching for two 256-bit primes ")
    p, q, n, d = make_key_pair(progress)
    progress(" done\n")

    # Self-check before anything is written: a round trip through the pair.
    m = secrets.randbits(BITS - 8)
    if pow(pow(m, PUBLIC_EXPONENT, n), d, n) != m:
        sys.exit("olvkeygen: internal error: the key pair does not round-trip")

    length = BITS // 8
    common = [
        f"bits {BITS}",
        f"modulus {hex_field(n, length)}",
        f"publicExponent {PUBLIC_EXPONENT:06x}",
    ]
    write_key_file(args.public, [f"# {args.label}: public half (built into the logger)"] + common, args.force)
    write_key_file(args.private, [
        f"# {args.label}: PRIVATE half (for reading logs; never build it into a program)",
    ] + common + [
        f"privateExponent {hex_field(d, length)}",
        f"prime1 {hex_field(p, length // 2)}",
        f"prime2 {hex_field(q, length // 2)}",
    ], args.force)
    print(f"olvkeygen: wrote {args.public} and {args.private}")


if __name__ == "__main__":
    main()
