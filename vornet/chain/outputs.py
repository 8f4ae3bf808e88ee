"""Writing the results: a table to a file in the format its name says, or
to an output folder of one part per input file."""

from __future__ import annotations

import os
from pathlib import Path

import numpy as np
import pandas as pd

from vornet.chain.errors import ChainError
from vornet.chain.files import Chain, is_parquet, needs_pyarrow

__all__ = ["check_output", "write_table", "part_path", "write_parts"]


def check_output(path: str | os.PathLike[str]) -> None:
    """Raises ChainError when a table cannot be written in `path`'s format,
    before any work is done: CSV (.csv, .csv.gz) or Parquet (.parquet, .pq,
    which needs pyarrow)."""
    path = Path(path)
    suffixes = "".join(path.suffixes[-2:]).lower()
    if is_parquet(path):
        needs_pyarrow(path, "writing")
    elif not (path.suffix.lower() == ".csv" or suffixes == ".csv.gz"):
        raise ChainError(f"cannot tell the format of {path.name}: name it .csv, .csv.gz or "
                         f".parquet")


def write_table(table: pd.DataFrame, path: str | os.PathLike[str]) -> None:
    """Writes the table as CSV (``.csv``, ``.csv.gz``) or Parquet
    (``.parquet``, ``.pq``; needs pyarrow)."""
    path = Path(path)
    check_output(path)
    try:
        if is_parquet(path):
            table.to_parquet(path, index=False)
        else:
            table.to_csv(path, index=False)
    except OSError as error:
        raise ChainError(f"cannot write {path}: {error}") from None


def part_path(folder: str | os.PathLike[str], number: int, suffix: str) -> Path:
    """The file of part `number` of an output folder: ``part.00000.csv``."""
    return Path(folder) / f"part.{number:05d}{suffix}"


def write_parts(table: pd.DataFrame, chain: Chain, folder: str | os.PathLike[str],
                suffix: str) -> list[Path]:
    """Writes the table to a folder, the rows of each input file to a part
    of their own (``part.00000.csv``, ... in the order of the files); the
    rows of a chain read from one file all go to ``part.00000``."""
    folder = Path(folder)
    check_output(part_path(folder, 0, suffix))
    folder.mkdir(parents=True, exist_ok=True)
    count = len(chain.files) if chain.files is not None else 1
    file_of = chain.file_of if chain.file_of is not None else np.zeros(len(table), int)
    paths = [part_path(folder, number, suffix) for number in range(count)]
    for number, path in enumerate(paths):
        write_table(table[file_of == number], path)
    return paths
