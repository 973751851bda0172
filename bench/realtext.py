"""A real-text set for the "hybrid" suite: the docstrings of the Python
libraries Debian installs on this machine (the standard library, NumPy, SciPy and
scikit-learn, all present after `make deps-bench`), read from the installed
modules; nothing is downloaded.

Every documented function, class or method whose docstring has a summary
paragraph and a body becomes a known-item pair: the body is the document, the
summary is the query that should find it. Sparse vectors are BM25 weights
(k1 = 1.2, b = 0.75; the query side is each term's count) over the bodies'
vocabulary; the dense stand-in is LSA (TF-IDF, then scikit-learn's
TruncatedSVD to DENSE_DIM components), compared by cosine.
"""

from __future__ import annotations

import contextlib
import importlib
import io
import inspect
import pkgutil
import re
import warnings

import numpy as np

PACKAGES = ["numpy", "scipy", "sklearn", "json", "email", "http", "xml", "urllib", "logging", "asyncio",
            "collections", "concurrent", "importlib", "unittest", "multiprocessing", "sqlite3",
            "ctypes", "tkinter", "curses", "dbm", "html", "wsgiref", "xmlrpc"]
MAX_DOCS = 6000
MIN_SUMMARY_TERMS = 3
MIN_BODY_TERMS = 20
DENSE_DIM = 128
K1, B = 1.2, 0.75
SEED = 20240918

_TOKEN = re.compile(r"[a-z][a-z0-9_]+")
_STOP = frozenset("""a an and are as at be by can for from has have if in into is it its of on or
that the this to was were which will with not no this these those than then there their when
where whether while should would may must also only other such each all any both more most""".split())


def tokens(text: str) -> list:
    return [t for t in _TOKEN.findall(text.lower()) if t not in _STOP]


def _modules():
    # Some modules print when imported; the report must not show it.
    with contextlib.redirect_stdout(io.StringIO()):
        yield from _imported()


def _imported():
    for name in PACKAGES:
        try:
            pkg = importlib.import_module(name)
        except Exception:
            continue
        yield pkg
        for info in pkgutil.walk_packages(getattr(pkg, "__path__", []), name + "."):
            # Test suites, and modules that print or run something when imported.
            if any(w in info.name for w in ("test", "distutils", "f2py", "__main__", "idle", "antigravity")):
                continue
            try:
                yield importlib.import_module(info.name)
            except BaseException:
                continue


def _objects(module):
    """Documented functions, classes and methods defined in `module`."""
    for name, obj in sorted(vars(module).items()):
        if name.startswith("_") or getattr(obj, "__module__", None) != module.__name__:
            continue
        if inspect.isclass(obj):
            yield f"{module.__name__}.{name}", obj
            for mname, m in sorted(vars(obj).items()):
                if not mname.startswith("_") and (inspect.isfunction(m) or inspect.ismethoddescriptor(m)):
                    yield f"{module.__name__}.{name}.{mname}", m
        elif inspect.isfunction(obj):
            yield f"{module.__name__}.{name}", obj


def collect() -> list:
    """(name, summary, body) of every usable docstring, in a fixed order; at
    most MAX_DOCS, chosen with a fixed seed when there are more."""
    seen, pairs = set(), []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for module in _modules():
            for name, obj in _objects(module):
                doc = inspect.getdoc(obj)
                if not doc or name in seen:
                    continue
                parts = doc.strip().split("\n\n", 1)
                if len(parts) < 2:
                    continue
                summary, body = parts[0], parts[1]
                if len(tokens(summary)) < MIN_SUMMARY_TERMS or len(tokens(body)) < MIN_BODY_TERMS:
                    continue
                seen.add(name)
                pairs.append((name, summary, body))
    # Copies of one docstring (re-exports, inherited text) cannot be told apart.
    unique, bodies = [], set()
    for p in sorted(pairs):
        if p[2] not in bodies:
            bodies.add(p[2])
            unique.append(p)
    if len(unique) > MAX_DOCS:
        rng = np.random.default_rng(SEED)
        unique = [unique[i] for i in sorted(rng.choice(len(unique), MAX_DOCS, replace=False))]
    return unique


class RealText:
    """Documents (BM25 sparse rows and LSA rows) and one known-item query per document."""

    def __init__(self):
        from sklearn.decomposition import TruncatedSVD
        from sklearn.feature_extraction.text import TfidfVectorizer

        pairs = collect()
        self.names = [p[0] for p in pairs]
        self.n = len(pairs)
        doc_terms = [tokens(p[2]) for p in pairs]
        query_terms = [tokens(p[1]) for p in pairs]
        vocab: dict = {}
        for terms in doc_terms:
            for t in terms:
                vocab.setdefault(t, len(vocab))
        self.vocab = len(vocab)
        df = np.zeros(self.vocab)
        for terms in doc_terms:
            for t in set(terms):
                df[vocab[t]] += 1
        idf = np.log(1.0 + (self.n - df + 0.5) / (df + 0.5))
        avgdl = np.mean([len(t) for t in doc_terms])
        self.sparse = []
        for terms in doc_terms:
            tf: dict = {}
            for t in terms:
                tf[vocab[t]] = tf.get(vocab[t], 0) + 1
            norm = K1 * (1 - B + B * len(terms) / avgdl)
            self.sparse.append({d: float(idf[d] * c * (K1 + 1) / (c + norm)) for d, c in tf.items()})
        self.sparse_queries = []
        for terms in query_terms:
            q: dict = {}
            for t in terms:
                if t in vocab:
                    q[vocab[t]] = q.get(vocab[t], 0.0) + 1.0
            self.sparse_queries.append(q)
        tfidf = TfidfVectorizer(tokenizer=tokens, lowercase=False, token_pattern=None, sublinear_tf=True)
        docs = tfidf.fit_transform([p[2] for p in pairs])
        svd = TruncatedSVD(n_components=min(DENSE_DIM, self.n - 1), random_state=SEED)
        self.dense = svd.fit_transform(docs).astype(np.float32)
        self.dense_queries = svd.transform(tfidf.transform([p[1] for p in pairs])).astype(np.float32)
        self.dim = self.dense.shape[1]
        self.postings = int(sum(len(r) for r in self.sparse))
        self.mean_postings_per_query = float(np.mean(
            [sum(df[d] for d in q) for q in self.sparse_queries]))

    def describe(self) -> str:
        return (f"real text: {self.n} docstrings of the installed standard library, NumPy, "
                f"SciPy and scikit-learn; vocabulary {self.vocab}, {self.postings / self.n:.0f} terms per "
                f"document, {np.mean([len(q) for q in self.sparse_queries]):.1f} per query "
                f"({self.mean_postings_per_query:.0f} postings); LSA {self.dim} dims, cosine")


def mrr_at_10(results: list, targets) -> float:
    """Mean reciprocal rank of each query's own document among its first 10 results."""
    total = 0.0
    for hits, target in zip(results, targets):
        for rank, h in enumerate(hits[:10]):
            if h == target:
                total += 1.0 / (rank + 1)
                break
    return total / len(targets)
