import threading
import traceback

import pytest


def vornet_entries(exc):
    """(name, file, line) of the traceback entries the extension added."""
    return [
        (frame.name, frame.filename, frame.lineno)
        for frame in traceback.extract_tb(exc.__traceback__)
        if frame.filename == "vornet/vornet_core"
    ]


@pytest.fixture
def raises_at():
    """Asserts that call(*args, **kwargs) raises `exc_type` (with exactly the
    text `message`, when given) and carries exactly one entry of the module's
    own: function `name`, line `line`."""

    def check(exc_type, name, line, call, *args, message=None, **kwargs):
        with pytest.raises(exc_type) as info:
            call(*args, **kwargs)
        if message is not None:
            assert str(info.value) == message
        assert vornet_entries(info.value) == [
            (f"vornet.vornet_core.{name}", "vornet/vornet_core", line)
        ]
        return info.value

    return check


def call_in_threads(func, argument_lists):
    """func(*args) for every args, each call in a thread of its own, all
    started before any is joined; the results in order."""
    results = [None] * len(argument_lists)

    def run(i):
        results[i] = func(*argument_lists[i])

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(argument_lists))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results
