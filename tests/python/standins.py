"""Deterministic stand-ins for embedding models: hashed bags of words.

Texts that share words get similar vectors (cosines in [0, 1], as with sentence models),
equal texts equal vectors, in every process."""
import re
import zlib

import numpy as np

DIM = 64


def embed(text: str, dim: int = DIM) -> list[float]:
    v = np.zeros(dim)
    for word in re.findall(r"[a-z0-9]+", text.lower()):
        h = zlib.crc32(word.encode())
        v[h % dim] += 1.0
    norm = np.linalg.norm(v)
    return (v / norm if norm > 0 else v).tolist()


TOPICS = {
    "cats": "cats purr whiskers feline kitten meow",
    "dogs": "dogs bark puppy canine leash fetch",
    "tax": "tax income deduction return refund audit",
    "rain": "rain cloud storm weather forecast umbrella",
}


def corpus(n: int = 24, seed: int = 0) -> list[dict]:
    """Passages about a few topics from a few sources, with roles; some near-duplicates."""
    rng = np.random.default_rng(seed)
    names = sorted(TOPICS)
    out = []
    for i in range(n):
        topic = names[i % len(names)]
        words = TOPICS[topic].split()
        body = " ".join(rng.choice(words, size=int(rng.integers(6, 30))))
        out.append({"id": f"doc-{i}", "text": f"{topic} {body}", "source": f"site-{i % 5}",
                    "role": ["evidence", "definition", "example", "risk"][int(rng.integers(0, 4))]})
    return out


class Letters:
    """A tokenizer whose tokens are characters: not callable, as tiktoken's are not."""

    def encode(self, text):
        return list(text)
