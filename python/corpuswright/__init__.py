"""corpuswright: MediaWiki wikitext to canonical Markdown, and chunked
JSON-lines datasets from MediaWiki XML dumps.

Everything here is implemented by the extension module ``corpuswright._core``.
"""
from corpuswright import _core
from corpuswright._core import *  # noqa: F401,F403
from corpuswright._core import PanicException  # noqa: F401

__all__ = list(getattr(_core, "__all__", []))
