"""Exception notes by interpreter version.

A conversion failure carries the note "while processing '<parameter>'",
attached through the exception's add_note method. That method, and so any
note, exists from CPython 3.11 on; on 3.9 and 3.10 the same exception is
raised without one. Tests compare notes through these two helpers so that the
same assertion holds on every supported interpreter.
"""

from __future__ import annotations

import sys

HAS_NOTES = sys.version_info >= (3, 11)


def notes_of(error: BaseException) -> list[str] | None:
    """The exception's notes, or None when it has none."""
    return getattr(error, "__notes__", None)


def arg_notes(param: str) -> list[str] | None:
    """The notes a conversion failure of `param` carries on this interpreter."""
    return [f"while processing '{param}'"] if HAS_NOTES else None
