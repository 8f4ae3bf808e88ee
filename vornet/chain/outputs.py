"""Writing the results: a table to a file in the format its name says, or
to an output folder of one part per input file.

Every file is written whole or not at all: under a temporary name in the
folder it goes to, then renamed into place, so that an interrupted or failed
write leaves the earlier file as it was. An output folder's parts are
replaced as a set: the new parts are written under temporary names, renamed
into place, and only then are the parts of an earlier run removed; other
files in the folder are left alone.
"""

from __future__ import annotations

import os
import re
import secrets
import sys
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from vornet.chain.errors import ChainError
from vornet.chain.files import Chain, is_parquet, needs_pyarrow

__all__ = ["STDOUT", "PICTURE_FORMATS", "check_output", "check_summary", "check_picture",
           "check_folder", "new_token", "part_temporary", "remove_temporaries", "write_part",
           "write_file", "write_table", "part_path", "write_parts", "replace_parts",
           "temporary_path"]

#: The output name that means the standard output (CSV).
STDOUT = "-"
#: The formats a picture is written in, by suffix.
PICTURE_FORMATS = (".png", ".svg", ".pdf")
# The parts of an output folder, any run's: part.00000.csv, ...
_PART = re.compile(r"^part\.\d{5}(\.csv|\.csv\.gz|\.parquet|\.pq)$")


def _same_file(path: Path, inputs: Iterable[Path]) -> Path | None:
    """The input that `path` is (the same file, by any name), if any."""
    try:
        here = path.stat()
    except OSError:
        return None
    for source in inputs:
        try:
            there = source.stat()
        except OSError:
            continue
        if (here.st_dev, here.st_ino) == (there.st_dev, there.st_ino):
            return source
    return None


def _writable_place(path: Path, inputs: Sequence[Path], what: str) -> None:
    """Raises ChainError unless `path` can be written without touching an
    input: its folder exists, and it is no input file."""
    folder = path.parent if str(path.parent) else Path(".")
    if not folder.is_dir():
        raise ChainError(f"cannot write {what} {path}: the folder {folder} does not exist")
    if path.is_dir():
        raise ChainError(f"cannot write {what} {path}: it is a folder")
    source = _same_file(path, inputs)
    if source is not None:
        raise ChainError(f"{what} {path} is the input file {source}: it would be overwritten")


def check_output(path: str | os.PathLike[str], inputs: Sequence[Path] = ()) -> None:
    """Raises ChainError, before any work is done, when a table cannot be
    written to `path`: a format other than CSV (.csv, .csv.gz) or Parquet
    (.parquet, .pq, which needs pyarrow), a folder that does not exist, or
    one of the `inputs` (the same file, by any name). ``-`` is the standard
    output."""
    if os.fspath(path) == STDOUT:
        return
    _check_format(Path(path))
    _writable_place(Path(path), inputs, "the output")


def _check_format(path: Path) -> None:
    suffixes = "".join(path.suffixes[-2:]).lower()
    if is_parquet(path):
        needs_pyarrow(path, "writing")
    elif not (path.suffix.lower() == ".csv" or suffixes == ".csv.gz"):
        raise ChainError(f"cannot tell the format of {path.name}: name it .csv, .csv.gz or "
                         f".parquet")


def check_summary(path: str | os.PathLike[str], inputs: Sequence[Path] = ()) -> None:
    """Raises ChainError unless the summary (CSV) can be written to `path`."""
    _writable_place(Path(path), inputs, "the summary")


def check_picture(path: str | os.PathLike[str], inputs: Sequence[Path] = ()) -> None:
    """Raises ChainError unless a picture can be written to `path`: .png,
    .svg or .pdf, in a folder that exists, and no input file."""
    path = Path(path)
    if path.suffix.lower() not in PICTURE_FORMATS:
        raise ChainError(f"cannot draw {path.name}: a picture is {', '.join(PICTURE_FORMATS)}")
    _writable_place(path, inputs, "the picture")


def check_folder(folder: str | os.PathLike[str], suffix: str, inputs: Sequence[Path]) -> None:
    """Raises ChainError unless an output folder of parts can be written:
    the parts' format, and no input inside the folder."""
    folder = Path(folder)
    _check_format(part_path(folder, 0, suffix))
    if folder.exists() and not folder.is_dir():
        raise ChainError(f"cannot write parts into {folder}: it is a file")
    root = folder.resolve()
    for source in inputs:
        if root == source.resolve().parent or root in source.resolve().parents:
            raise ChainError(f"the output folder {folder} holds the input {source}: write the "
                             f"parts to another folder")


def temporary_path(path: Path) -> Path:
    """A new, empty file beside `path`, hidden, that nothing else uses."""
    while True:
        candidate = path.with_name(f".{path.name}.{secrets.token_hex(4)}.tmp")
        try:
            os.close(os.open(candidate, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o666))
        except FileExistsError:
            continue
        except OSError as error:
            raise ChainError(f"cannot write {path}: {error}") from None
        return candidate


def write_file(path: str | os.PathLike[str], write: Callable[[Path], Any]) -> None:
    """Runs write(temporary) and renames the temporary file to `path`: the
    file appears whole, or (on any failure, an interrupt included) not at
    all, the earlier one left as it was."""
    path = Path(path)
    temporary = temporary_path(path)
    try:
        write(temporary)
        with open(temporary, "rb+") as written:
            os.fsync(written.fileno())
        os.replace(temporary, path)
    except BaseException as error:
        temporary.unlink(missing_ok=True)
        if isinstance(error, OSError):
            raise ChainError(f"cannot write {path}: {error}") from None
        raise


# Rows converted and written at a time to Parquet: bounds the memory the
# writing takes.
_ROWS_AT_A_TIME = 1 << 17


def _text_for_nulls(schema: Any) -> Any:
    """`schema` with text where the first rows left a column's type open
    (a text column empty in all of them, such as ``detail``)."""
    import pyarrow as pa

    for number, field in enumerate(schema):
        if pa.types.is_null(field.type):
            schema = schema.set(number, field.with_type(pa.string()))
    return schema


def _write_parquet(table: pd.DataFrame, target: Path,
                   typed: Callable[[pd.DataFrame], pd.DataFrame] | None) -> None:
    """The table as Parquet, `typed` (when given) applied to each slice of
    rows: one row group per slice, the types those of the first."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    writer = None
    schema = None
    try:
        for start in range(0, max(len(table), 1), _ROWS_AT_A_TIME):
            rows = table.iloc[start:start + _ROWS_AT_A_TIME]
            rows = typed(rows) if typed is not None else rows
            if writer is None:
                schema = _text_for_nulls(pa.Table.from_pandas(rows, preserve_index=False).schema)
                # Dictionaries pay for text, which repeats, not for floats.
                writer = pq.ParquetWriter(target, schema, use_dictionary=[
                    field.name for field in schema if not pa.types.is_floating(field.type)])
            writer.write_table(pa.Table.from_pandas(rows, schema=schema, preserve_index=False))
    finally:
        if writer is not None:
            writer.close()


def _table_writer(table: pd.DataFrame, path: Path,
                  typed: Callable[[pd.DataFrame], pd.DataFrame] | None = None
                  ) -> Callable[[Path], Any]:
    if is_parquet(path):
        return lambda target: _write_parquet(table, target, typed)
    compression = "gzip" if path.suffix.lower() == ".gz" else None
    return lambda target: table.to_csv(target, index=False, compression=compression)


def write_table(table: pd.DataFrame, path: str | os.PathLike[str],
                typed: Callable[[pd.DataFrame], pd.DataFrame] | None = None) -> None:
    """Writes the table as CSV (``.csv``, ``.csv.gz``) or Parquet
    (``.parquet``, ``.pq``; needs pyarrow), whole or not at all; ``-``
    writes CSV to the standard output. Parquet holds the columns `typed`
    gives (:meth:`vornet.chain.Surface.typed`: numbers and times), CSV the
    input's text."""
    if os.fspath(path) == STDOUT:
        table.to_csv(sys.stdout, index=False)
        return
    path = Path(path)
    check_output(path)
    write_file(path, _table_writer(table, path, typed))


def part_path(folder: str | os.PathLike[str], number: int, suffix: str) -> Path:
    """The file of part `number` of an output folder: ``part.00000.csv``."""
    return Path(folder) / f"part.{number:05d}{suffix}"


def new_token() -> str:
    """A mark for the temporary files of one run."""
    return secrets.token_hex(6)


def part_temporary(final: Path, token: str) -> Path:
    """The temporary name a part is written under in the run `token`."""
    return final.with_name(f".{final.name}.{token}.tmp")


def remove_temporaries(folder: Path, token: str) -> None:
    """Removes whatever the run `token` left under temporary names."""
    if folder.is_dir():
        for leftover in folder.glob(f".part.*.{token}.tmp"):
            leftover.unlink(missing_ok=True)


def replace_parts(folder: Path, written: dict[Path, Path]) -> None:
    """Renames the parts written under temporary names (final -> temporary)
    into place, then removes the parts of earlier runs that this run did
    not write; other files are left alone."""
    for final, temporary in written.items():
        os.replace(temporary, final)
    for stale in folder.iterdir():
        if _PART.match(stale.name) and stale not in written:
            stale.unlink(missing_ok=True)


def write_parts(table: pd.DataFrame, chain: Chain, folder: str | os.PathLike[str],
                suffix: str, typed: Callable[[pd.DataFrame], pd.DataFrame] | None = None
                ) -> list[Path]:
    """Writes the table to a folder, the rows of each input file to a part
    of their own (``part.00000.csv``, ... in the order of the files; the
    rows of a chain read from one file all go to ``part.00000``), replacing
    the parts of an earlier run as a set."""
    folder = Path(folder)
    _check_format(part_path(folder, 0, suffix))
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise ChainError(f"cannot make the output folder {folder}: {error}") from None
    count = len(chain.files) if chain.files is not None else 1
    file_of = chain.file_of if chain.file_of is not None else np.zeros(len(table), int)
    token = new_token()
    written: dict[Path, Path] = {}
    try:
        for number in range(count):
            final = part_path(folder, number, suffix)
            written[final] = write_part(table[file_of == number], final, token, typed)
    except BaseException:
        remove_temporaries(folder, token)
        raise
    replace_parts(folder, written)
    return list(written)


def write_part(table: pd.DataFrame, final: Path, token: str,
               typed: Callable[[pd.DataFrame], pd.DataFrame] | None = None) -> Path:
    """Writes a part under its temporary name for the run `token` and
    returns that name; :func:`replace_parts` puts it in place."""
    temporary = part_temporary(final, token)
    try:
        _table_writer(table, final, typed)(temporary)
    except OSError as error:
        raise ChainError(f"cannot write {final}: {error}") from None
    return temporary
