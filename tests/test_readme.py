"""The examples of README.md run and print what they show."""

import doctest
import pathlib

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_readme_examples():
    result = doctest.testfile(str(README), module_relative=False,
                              optionflags=doctest.ELLIPSIS)
    assert result.attempted > 0
    assert result.failed == 0
