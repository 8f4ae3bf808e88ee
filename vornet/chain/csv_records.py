"""Where the records of a CSV file lie: the physical line each record starts
on and how many fields it has.

A CSV reader gives values, not places: a quoted field may run over several
lines, and a row may have more or fewer fields than the header. To name a
bad row by its line and to tell a short row from one with empty fields, the
file's bytes are scanned once, in blocks, with NumPy:

- a quote opens a quoted field at the start of a field and closes it before
  a comma, a line end or the end of the file; a doubled quote inside is a
  quote, so whether a byte lies inside a quoted field is the parity of the
  quotes before it;
- a line ends at LF, or at a CR not followed by LF; a record ends at a line
  end outside quotes, and its fields are separated by commas outside quotes.

A quote anywhere else (``12" pipe``) is an ordinary character to the
readers, and the parity rule no longer holds: such a file is laid out by
Python's :mod:`csv` module instead, which reads it the same way, slowly.
A quoted field still open at the end of the file is an error that names the
line it opened on: it would otherwise swallow every row after it.
"""

from __future__ import annotations

import csv
import dataclasses
import io

import numpy as np

__all__ = ["Records", "UnclosedQuote", "scan"]

QUOTE, COMMA, LF, CR = 34, 44, 10, 13
# Bytes scanned at a time: bounds the size of the scan's own arrays.
BLOCK = 1 << 22


class UnclosedQuote(ValueError):
    """A quoted field that is still open at the end of the file."""

    def __init__(self, line: int):
        super().__init__(f"line {line}: a quoted field opens here and is never closed")
        self.line = line


@dataclasses.dataclass(frozen=True)
class Records:
    """The records of a CSV text in file order."""

    #: The physical line each record starts on, from 1.
    lines: np.ndarray
    #: Each record's number of fields; 0 for an empty line.
    fields: np.ndarray
    #: Whether a quoted field holds a line end.
    multiline: bool


def scan(data: bytes, count_fields: bool = True) -> Records:
    """The records of `data`, UTF-8 text without a byte-order mark; without
    `count_fields`, every record's field count is left as -1. Raises
    :class:`UnclosedQuote`."""
    view = np.frombuffer(data, dtype=np.uint8)
    quoted = QUOTE_BYTE in data
    lone_cr = b"\r" in data and (data.count(b"\r") != data.count(b"\r\n"))
    if not (quoted or lone_cr or count_fields):
        return _lines_only(view)
    ends, breaks_before, commas_before = [_EMPTY], [_EMPTY], [_EMPTY]
    state = _State()
    for start in range(0, len(view), BLOCK):
        block = _Block(view, start, min(start + BLOCK, len(view)), state.inside, quoted)
        if quoted and not block.quotes_at_edges():
            return _scan_with_csv_module(data)
        breaks = block.line_breaks(lone_cr)
        outside = ~block.inside_at(breaks) if quoted else np.ones(len(breaks), dtype=bool)
        terminators = breaks[outside]
        counts = (block.commas_between(terminators, quoted) if count_fields
                  else np.zeros(len(terminators) + 1, dtype=np.int64))
        ends.append(terminators + start)
        breaks_before.append(state.breaks + np.flatnonzero(outside))
        commas_before.append(state.commas + np.cumsum(counts)[:len(terminators)])
        state.advance(len(breaks), int(counts.sum()), block)
    if state.inside:
        raise UnclosedQuote(_line_of(view, state.last_opening))
    records = _records(view, np.concatenate(ends), np.concatenate(breaks_before),
                       np.concatenate(commas_before), state.commas, state.multiline)
    if not count_fields:
        records.fields[records.fields != 0] = -1
    return records


QUOTE_BYTE = b'"'
_EMPTY = np.empty(0, dtype=np.int64)


class _State:
    """What the scan carries from one block to the next."""

    def __init__(self) -> None:
        self.inside = False  # inside a quoted field at the block's start
        self.breaks = 0  # line ends before the block
        self.commas = 0  # field separators before the block
        self.last_opening = 0  # where the last quoted field opened
        self.multiline = False

    def advance(self, breaks: int, commas: int, block: _Block) -> None:
        self.breaks += breaks
        self.commas += commas
        if block.parity is not None:
            self.multiline = self.multiline or block.multiline
            opening = block.openings()
            if len(opening):
                self.last_opening = int(opening[-1]) + block.start
            self.inside = bool(block.parity[-1]) if len(block.parity) else self.inside


class _Block:
    """One block of the file's bytes, with whether each byte lies inside a
    quoted field (the parity of the quotes up to and including it)."""

    def __init__(self, view: np.ndarray, start: int, stop: int, inside: bool, quoted: bool):
        self.view, self.start, self.stop = view, start, stop
        self.bytes = view[start:stop]
        self.parity: np.ndarray | None = None
        self.multiline = False
        self.is_quote = self.bytes == QUOTE if quoted else np.zeros(0, dtype=bool)
        if quoted and (inside or self.is_quote.any()):
            self.parity = np.logical_xor.accumulate(self.is_quote)
            if inside:
                self.parity = ~self.parity

    def neighbour(self, offset: int) -> np.ndarray:
        """The byte before (offset -1) or after (+1) each byte of the block;
        a comma beyond the ends of the file."""
        padded = np.empty(len(self.bytes) + 2, dtype=np.uint8)
        padded[1:-1] = self.bytes
        padded[0] = self.view[self.start - 1] if self.start > 0 else COMMA
        padded[-1] = self.view[self.stop] if self.stop < len(self.view) else COMMA
        return padded[1 + offset:len(padded) - 1 + offset]

    def openings(self) -> np.ndarray:
        """Positions of the quotes that open a quoted field."""
        assert self.parity is not None
        return np.flatnonzero(self.is_quote & self.parity)

    def quotes_at_edges(self) -> bool:
        """Whether every quote opens a field at its start or closes one
        before a separator (a doubled quote is a closing and an opening)."""
        if self.parity is None:
            return True
        edges = (COMMA, LF, CR, QUOTE)
        opening = self.is_quote & self.parity
        closing = self.is_quote & ~self.parity
        return bool(np.isin(self.neighbour(-1)[opening], edges).all()
                    and np.isin(self.neighbour(1)[closing], edges).all())

    def inside_at(self, positions: np.ndarray) -> np.ndarray:
        if self.parity is None:
            return np.zeros(len(positions), dtype=bool)
        inside = self.parity[positions]
        self.multiline = self.multiline or bool(inside.any())
        return inside

    def line_breaks(self, lone_cr: bool) -> np.ndarray:
        """Positions in the block of the line ends: every LF, and (when the
        file has any) every CR not followed by LF."""
        breaks = self.bytes == LF
        if lone_cr:
            breaks |= (self.bytes == CR) & (self.neighbour(1) != LF)
        return np.flatnonzero(breaks)

    def commas_between(self, terminators: np.ndarray, quoted: bool) -> np.ndarray:
        """The field separators (commas outside quotes) from the block's
        start to its first terminator, between each terminator and the
        next, and after the last."""
        if len(self.bytes) == 0:
            return np.zeros(1, dtype=np.int64)
        commas = self.bytes == COMMA
        if quoted and self.parity is not None:
            commas &= ~self.parity
        starts = np.concatenate([[0], terminators + 1])
        counts = np.add.reduceat(commas, starts[starts < len(commas)], dtype=np.int64)
        return np.append(counts, np.zeros(len(starts) - len(counts), dtype=np.int64))


def _lines_only(view: np.ndarray) -> Records:
    """The records of text without quotes or lone CRs: one per line."""
    ends = np.flatnonzero(view == LF)
    count = len(ends) + (1 if len(view) and view[-1] != LF else 0)
    starts = np.concatenate([[0], ends + 1])[:count]
    stops = np.concatenate([ends, [len(view)]])[:count]
    fields = np.full(count, -1, dtype=np.int64)
    length = stops - starts
    lone_cr = (length == 1) & (view[np.minimum(starts, max(len(view) - 1, 0))] == CR)
    fields[(length == 0) | lone_cr] = 0
    return Records(np.arange(1, count + 1, dtype=np.int64), fields, False)


def _line_of(view: np.ndarray, position: int) -> int:
    """The physical line of the byte at `position`."""
    head = view[:position]
    cr = np.flatnonzero(head == CR)
    lone = np.count_nonzero(view[cr + 1] != LF) if len(cr) else 0
    return 1 + int(np.count_nonzero(head == LF)) + int(lone)


def _records(view: np.ndarray, ends: np.ndarray, breaks_before: np.ndarray,
             commas_before: np.ndarray, commas: int, multiline: bool) -> Records:
    """The records between the line ends outside quotes: a last record
    without a line end counts when it holds anything."""
    starts = np.concatenate([[0], ends + 1])
    stops = np.concatenate([ends, [len(view)]])
    lines = np.concatenate([[1], breaks_before + 2])
    separators = np.diff(np.concatenate([[0], commas_before, [commas]]))
    if starts[-1] >= len(view):
        starts, stops, lines, separators = starts[:-1], stops[:-1], lines[:-1], separators[:-1]
    fields = separators + 1
    # An empty line (a CR before its LF belongs to the line end) has no field.
    length = stops - starts
    lone_cr = (length == 1) & (view[np.minimum(starts, max(len(view) - 1, 0))] == CR)
    fields[(length == 0) | lone_cr] = 0
    return Records(lines.astype(np.int64), fields.astype(np.int64), multiline)


def _scan_with_csv_module(data: bytes) -> Records:
    """The records as Python's csv module reads them, for text whose quotes
    are not all at the edges of fields."""
    text = data.decode("utf-8")
    reader = csv.reader(io.StringIO(text, newline=""))
    lines, fields = [], []
    line = 1
    try:
        for record in reader:
            lines.append(line)
            fields.append(len(record) if record else 0)
            line = reader.line_num + 1
    except csv.Error:
        raise UnclosedQuote(line) from None
    if _open_at_end(text):
        raise UnclosedQuote(lines[-1] if lines else 1)
    return Records(np.asarray(lines, dtype=np.int64), np.asarray(fields, dtype=np.int64),
                   multiline=bool((np.diff(lines + [line]) > 1).any()))


def _open_at_end(text: str) -> bool:
    """Whether the csv module ended inside a quoted field: it then gives the
    rest of the text as one field, silently."""
    reader = csv.reader(io.StringIO(text, newline=""), strict=True)
    try:
        for _ in reader:
            pass
    except csv.Error as error:
        return "unexpected end of data" in str(error)
    return False
