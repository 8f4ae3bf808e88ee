import pytest

import helpers


@pytest.fixture
def raises_at():
    """helpers.raises_at, as a fixture."""
    return helpers.raises_at


@pytest.fixture(autouse=True, scope="session")
def _calendar_cache(tmp_path_factory):
    """The exchange calendars are kept in a folder of the session's own,
    not in the user's cache."""
    import os

    folder = tmp_path_factory.mktemp("vornet-cache")
    before = os.environ.get("VORNET_CACHE")
    os.environ["VORNET_CACHE"] = str(folder)
    yield
    if before is None:
        os.environ.pop("VORNET_CACHE", None)
    else:
        os.environ["VORNET_CACHE"] = before
