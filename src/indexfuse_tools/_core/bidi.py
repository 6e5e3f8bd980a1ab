"""Labels set among words and numbers, whichever way their letters run.

A label is text from a table or a model file, and text carries direction: an
Arabic or Hebrew name, or an invisible control such as U+202E (right-to-left
override), makes the Unicode bidirectional algorithm reorder what follows it
on the same line. Set unguarded in a sentence, ``Ohio\\u202e (0.292)`` reads
``(292.0)``. A label is therefore *isolated* wherever it stands among other
text: the isolate characters U+2068 and U+2069 around it (in HTML, the
``<bdi>`` element does the same) make the rest of the line treat it as one
neutral character, whatever it holds.

Charts cannot isolate: matplotlib draws characters in the order they are
stored and has no glyph for a control, so a figure strips the controls
instead (:func:`strip_bidi`).
"""

from __future__ import annotations

import unicodedata
from typing import Any

import pandas as pd

__all__ = ["BIDI_CONTROLS", "FSI", "PDI", "isolate", "isolated", "needs_isolation", "balanced", "strip_bidi"]

#: FIRST STRONG ISOLATE and POP DIRECTIONAL ISOLATE: text between them takes
#: its own direction and leaves its surroundings as they are.
FSI, PDI = "\u2068", "\u2069"
#: Every invisible character that steers the bidirectional algorithm: the
#: Arabic letter mark, the left-to-right and right-to-left marks, the
#: embeddings and overrides with their terminator, and the isolates.
BIDI_CONTROLS = "\u061c\u200e\u200f\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069"
_ISOLATE_STARTS = frozenset("\u2066\u2067\u2068")
# Bidirectional classes of a character that can reorder the text around it
# in a left-to-right line: right-to-left letters, Arabic digits and the
# explicit controls. Left-to-right letters, European digits, punctuation and
# spaces leave a left-to-right line as it reads.
_STEERING = frozenset({"R", "AL", "AN", "LRE", "LRO", "RLE", "RLO", "PDF", "LRI", "RLI", "FSI", "PDI"})
_WITHOUT_CONTROLS = str.maketrans(dict.fromkeys(BIDI_CONTROLS))


def needs_isolation(text: str) -> bool:
    """Whether ``text`` holds a character that could reorder the text around it.

    Examples
    --------
    >>> needs_isolation("Ohio"), needs_isolation("Zürich 2019"), needs_isolation("Ohio\\u202e")
    (False, False, True)
    >>> needs_isolation("القاهرة")
    True
    """
    if text.isascii():
        return False
    return any(unicodedata.bidirectional(character) in _STEERING for character in text)


def balanced(text: str) -> str:
    """``text`` with its own isolates paired: a U+2069 that closes nothing
    of ``text`` is dropped, and an isolate ``text`` leaves open is closed.

    An isolate around ``text`` is closed by the first U+2069 that no isolate
    inside ``text`` claims; a stray one in a label would end the isolate
    early and let the rest of the label loose on the line.

    Examples
    --------
    >>> balanced("a\\u2069b") == "ab", balanced("a\\u2067b") == "a\\u2067b\\u2069"
    (True, True)
    """
    if PDI not in text and not _ISOLATE_STARTS.intersection(text):
        return text
    kept = []
    depth = 0
    for character in text:
        if character in _ISOLATE_STARTS:
            depth += 1
        elif character == PDI:
            if depth == 0:
                continue
            depth -= 1
        kept.append(character)
    return "".join(kept) + PDI * depth


def isolate(label: Any) -> str:
    """``label`` as text that cannot reorder the line it is set in.

    A label that holds a right-to-left letter, an Arabic digit or a
    bidirectional control comes back between U+2068 (FIRST STRONG ISOLATE)
    and U+2069 (POP DIRECTIONAL ISOLATE), its own isolates paired
    (:func:`balanced`); any other label comes back as ``str(label)``, as it
    cannot reorder anything and the isolates would only lengthen it.

    Examples
    --------
    >>> isolate("Ohio"), isolate(2019)
    ('Ohio', '2019')
    >>> isolate("Ohio\\u202e") == "\\u2068Ohio\\u202e\\u2069"
    True
    """
    text = str(label)
    if not needs_isolation(text):
        return text
    return FSI + balanced(text) + PDI


def strip_bidi(text: str) -> str:
    """``text`` without its bidirectional controls (:data:`BIDI_CONTROLS`), for a chart.

    Examples
    --------
    >>> strip_bidi("Ohio\\u202e (0.292)")
    'Ohio (0.292)'
    """
    return text.translate(_WITHOUT_CONTROLS)


def _isolated_text(value: Any) -> Any:
    return isolate(value) if isinstance(value, str) else value


def _isolated_labels(index: pd.Index) -> pd.Index:
    if isinstance(index, pd.MultiIndex):
        # Rebuilt row by row: two values of a level could read alike once isolated, which a level cannot hold.
        rows = [tuple(_isolated_text(part) for part in row) for row in index]
        shown: pd.Index = pd.MultiIndex.from_tuples(rows, names=index.names)
    elif index.dtype == object or pd.api.types.is_string_dtype(index):
        shown = index.map(_isolated_text)
    else:
        shown = index
    return shown.set_names([_isolated_text(name) for name in index.names])


def isolated(table: pd.DataFrame) -> pd.DataFrame:
    """A copy of ``table`` whose text labels and text cells are isolated, to print.

    Row labels, column names and the cells of text columns go through
    :func:`isolate`; numbers are left as they are. A table of labels that
    need no isolation comes back equal to ``table``.

    Examples
    --------
    >>> import pandas as pd
    >>> table = pd.DataFrame({"rank": [1, 2]}, index=["Ohio\\u202e", "Utah"])
    >>> isolated(table).index.tolist() == ["\\u2068Ohio\\u202e\\u2069", "Utah"]
    True
    """
    shown = table.copy()
    shown.index = _isolated_labels(table.index)
    shown.columns = _isolated_labels(table.columns)
    for position in range(shown.shape[1]):
        column = shown.iloc[:, position]
        if column.dtype == object or pd.api.types.is_string_dtype(column):
            shown.isetitem(position, column.map(_isolated_text).to_numpy())
    return shown
