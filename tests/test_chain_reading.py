"""Reading chain files: every record comes out in order with the line it
starts on, CSV values stay text, and the two CSV readers (pyarrow's, and
pandas' where pyarrow is missing) give the same chain."""

import gzip

import numpy as np
import pandas as pd
import pytest

from vornet import chain
from vornet.chain import csv_records, files

HEADER = "quote_datetime,expiration,strike,option_type,bid,ask,underlying_price\n"
ROW = "2024-03-15 10:30:00,2024-03-22,{k},C,2.5,2.6,100\n"


@pytest.fixture(params=["pyarrow", "pandas"])
def reader(request, monkeypatch):
    """read_chain with pyarrow's CSV reader, and with pandas' alone."""
    if request.param == "pyarrow":
        pytest.importorskip("pyarrow", reason="pyarrow is not installed (vornet[parquet])")
    else:
        monkeypatch.setattr(files, "arrow_csv", None)
    return chain.read_chain


def write(tmp_path, text, name="chain.csv"):
    path = tmp_path / name
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    return path


def test_lines_survive_blank_lines_quoted_line_ends_and_crlf(tmp_path, reader):
    text = (HEADER.rstrip("\n") + ",note\n\n"
            + ROW.format(k=100).rstrip("\n") + ",\"two\nlines\"\n"
            + "   \n"
            + ROW.format(k=101).rstrip("\n") + ",\"a \"\"quoted\"\" word\"\r\n"
            + ",,,,,,,\n"
            + ROW.format(k=102).rstrip("\n") + ",x")
    read = reader(write(tmp_path, text))
    assert read.frame["strike"].tolist() == ["100", "101", "102"]
    assert read.frame["note"].tolist() == ["two\nlines", 'a "quoted" word', "x"]
    assert read.where.tolist() == [3, 6, 8]
    assert read.problems == {}


@pytest.mark.parametrize("line, count, beyond", [
    ("2024-03-15 10:30:00,2024-03-22,103,C,2.5", 5, None),
    ("2024-03-15 10:30:00,2024-03-22,103,C,2.5,2.6,100,extra,more", 9, "'extra', 'more'"),
    ('2024-03-15 10:30:00,2024-03-22,103,C,2.5,2.6,100,"quoted, with a comma"', 8,
     "'quoted, with a comma'"),
])
def test_a_row_of_another_width_is_kept_in_its_place_and_reported(tmp_path, reader, line,
                                                                  count, beyond):
    text = HEADER + ROW.format(k=100) + line + "\n" + ROW.format(k=104)
    read = reader(write(tmp_path, text))
    assert read.frame["strike"].tolist() == ["100", "103", "104"]
    assert read.where.tolist() == [2, 3, 4]
    problem = read.problems[1]
    assert problem.startswith(f"it has {count} fields where the header has 7")
    if beyond:
        assert problem.endswith(f"(beyond them: {beyond})")
    if count < 7:
        assert read.frame.iloc[1, count:].tolist() == [""] * (7 - count)


def test_both_readers_give_the_same_chain(tmp_path, monkeypatch):
    pytest.importorskip("pyarrow", reason="pyarrow is not installed (vornet[parquet])")
    rows = [ROW.format(k=100 + i) for i in range(50)]
    rows[7] = '2024-03-15 10:30:00,2024-03-22,"1,07",P," 2.5 ",2.6\n'
    rows[20] = "\n"
    text = "\ufeff" + HEADER + "".join(rows) + '2024-03-15 10:30:00,x,"q\n""q""",C,,,,\n'
    path = write(tmp_path, text)
    with_arrow = chain.read_chain(path)
    monkeypatch.setattr(files, "arrow_csv", None)
    with_pandas = chain.read_chain(path)
    pd.testing.assert_frame_equal(with_arrow.frame, with_pandas.frame)
    assert with_arrow.where.tolist() == with_pandas.where.tolist()
    assert with_arrow.problems == with_pandas.problems
    assert list(with_arrow.frame.columns)[0] == "quote_datetime"  # the mark is not in the name


def test_gzip_and_quotes_inside_fields(tmp_path, reader):
    """A quote inside an unquoted field is a character (12" pipe), as
    Python's csv module reads it."""
    text = HEADER.rstrip("\n") + ",note\n" + ROW.format(k=100).rstrip("\n") + ',12" pipe\n' \
        + ROW.format(k=101).rstrip("\n") + ",plain\n"
    path = tmp_path / "chain.csv.gz"
    path.write_bytes(gzip.compress(text.encode()))
    read = reader(path)
    assert read.frame["note"].tolist() == ['12" pipe', "plain"]
    assert read.where.tolist() == [2, 3]


def test_an_unclosed_quote_names_the_line_it_opens_on(tmp_path, reader):
    text = HEADER + ROW.format(k=100) + ROW.format(k='"101') + ROW.format(k=102)
    with pytest.raises(chain.ChainError, match="line 3: a quoted field opens here and is "
                                               "never closed"):
        reader(write(tmp_path, text))


@pytest.mark.parametrize("text, says", [
    ("", "is empty"),
    ("\n \n", "is empty"),
    (HEADER, "has no quotes: only the header line"),
    ("strike,strike\n1,2\n", "names the column 'strike' twice"),
    (b"strike,bid\n1,\xff\n", "cannot read"),
])
def test_files_that_cannot_be_read(tmp_path, reader, text, says):
    with pytest.raises(chain.ChainError, match=says):
        reader(write(tmp_path, text))


@pytest.mark.parametrize("data", [
    b"a,b\n1,2\n", b"a,b\r\n1,2\r\n\r\n", b"a,b\r1,2\r", b'a,"b\nc"\n1,2', b"", b"\n\n",
    b'a,"b,""c"""\n"1\r\n2",3\n', b'a,b\n1,x"y\n2,3\n',
])
def test_the_scan_agrees_with_the_csv_module(data):
    """Lines and field counts as Python's csv module counts them."""
    import csv
    import io

    reader = csv.reader(io.StringIO(data.decode(), newline=""))
    lines, fields, line = [], [], 1
    for record in reader:
        lines.append(line)
        fields.append(len(record))
        line = reader.line_num + 1
    records = csv_records.scan(data)
    assert records.lines.tolist() == lines
    assert records.fields.tolist() == fields


def test_the_scan_works_across_blocks(monkeypatch):
    """Records and quoted fields that straddle the scan's blocks."""
    monkeypatch.setattr(csv_records, "BLOCK", 7)
    data = b'a,b,c\n1,"2\n3",4\r\n,,\n"x,y",z,\n5,6,7'
    small = csv_records.scan(data)
    monkeypatch.setattr(csv_records, "BLOCK", 1 << 20)
    whole = csv_records.scan(data)
    assert small.lines.tolist() == whole.lines.tolist() == [1, 2, 4, 5, 6]
    assert small.fields.tolist() == whole.fields.tolist() == [3, 3, 3, 3, 3]
    assert small.multiline and whole.multiline


def test_parquet_keeps_its_types(tmp_path):
    pytest.importorskip("pyarrow", reason="pyarrow is not installed (vornet[parquet])")
    frame = pd.DataFrame({"strike": [100.0, 105.0], "option_type": ["C", "P"]})
    frame.to_parquet(tmp_path / "chain.parquet", index=False)
    read = chain.read_chain(tmp_path / "chain.parquet")
    assert read.frame["strike"].dtype == np.float64
    assert read.where.tolist() == [1, 2] and read.unit == "row"
    assert read.locate(1) == "row 2"


@pytest.mark.parametrize("data", [b"a,b\n1,2\n\n3\n", b"a,b\r\n1,2\r\n\r\n3", b"", b"\n", b"a"])
def test_the_scan_of_plain_lines(data):
    """Text without quotes is laid out by its line ends alone."""
    lines = csv_records.scan(data, count_fields=False)
    full = csv_records.scan(data)
    assert lines.lines.tolist() == full.lines.tolist()
    assert ((lines.fields == 0) == (full.fields == 0)).all()
    assert (lines.fields[full.fields != 0] == -1).all()


@pytest.mark.parametrize("index", [["id"], ["id", "leg"]])
def test_a_parquet_index_passes_through_as_columns(tmp_path, index):
    pytest.importorskip("pyarrow", reason="pyarrow is not installed (vornet[parquet])")
    frame = pd.DataFrame({"id": [7, 8], "leg": ["a", "b"], "strike": [100.0, 105.0]})
    frame.set_index(index).to_parquet(tmp_path / "chain.parquet")
    read = chain.read_chain(tmp_path / "chain.parquet")
    assert list(read.frame.columns) == ["id", "leg", "strike"]
    assert read.frame["id"].tolist() == [7, 8]
