"""The benchmark's body: a fixed pseudo-random 1 MiB block, repeated."""

import hashlib
import random

BLOCK = random.Random(20240611).randbytes(1 << 20)


def digest(size):
    """SHA-256 of a body of `size` bytes."""
    h = hashlib.sha256()
    left = size
    while left > 0:
        n = min(left, len(BLOCK))
        h.update(BLOCK[:n] if n < len(BLOCK) else BLOCK)
        left -= n
    return h.hexdigest()
