"""Option chains from files: each expiry's forward and every quote's implied
volatility, with a status for every row.

::

    from vornet import chain
    quotes = chain.read_chain("chain.csv")
    result = chain.surface(quotes, chain.RateCurve.flat(0.02))
    result.table      # the input rows, in input order, with T, forward, iv, ...
    result.summary    # one row per quote time and expiry

For each quote time and expiry, the forward is the one at which the American
implied volatilities of calls and puts agree best over the strikes quoted on
both sides near the money; every quote's volatility is then solved against
that forward in one vectorised call of :func:`vornet.implied_vol_at_forward`.
Nothing is dropped: a row that cannot be used keeps its place with a status
saying why.

The package's modules, one concern each: ``columns`` (the fields read and
the columns written), ``files`` and ``csv_records`` (finding and reading
files), ``values`` (numbers, sides and statuses), ``clock`` (times and
zones), ``rates`` (discounting), ``keys`` (which chain a row belongs to),
``forwards``, ``pipeline`` (the surface, step by step), ``report`` (the summary and
its text), ``outputs`` (writing), ``job`` (what the ``vornet surface``
command does).
"""

from vornet.chain.clock import EXPIRY_TIME, TIMEZONE, Clock, make_clock, year_fraction
from vornet.chain.columns import FIELDS, OUTPUT_COLUMNS, SUMMARY_COLUMNS, resolve_columns
from vornet.chain.errors import ChainError
from vornet.chain.files import (
    Chain,
    check_columns,
    file_names,
    input_files,
    is_parquet,
    read_chain,
    read_chains,
)
from vornet.chain.keys import chain_hashes
from vornet.chain.outputs import check_output, part_path, write_parts, write_table
from vornet.chain.rates import RateCurve
from vornet.chain.report import format_summary, print_report, varying_keys
from vornet.chain.statuses import STATUSES
from vornet.chain.pipeline import Surface, surface

__all__ = [
    "ChainError",
    "Chain",
    "Clock",
    "RateCurve",
    "Surface",
    "STATUSES",
    "FIELDS",
    "OUTPUT_COLUMNS",
    "SUMMARY_COLUMNS",
    "EXPIRY_TIME",
    "TIMEZONE",
    "read_chain",
    "read_chains",
    "input_files",
    "file_names",
    "check_columns",
    "is_parquet",
    "resolve_columns",
    "make_clock",
    "year_fraction",
    "chain_hashes",
    "surface",
    "check_output",
    "part_path",
    "write_table",
    "write_parts",
    "format_summary",
    "print_report",
    "varying_keys",
]
