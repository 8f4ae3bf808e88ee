import pytest

import helpers


@pytest.fixture
def raises_at():
    """helpers.raises_at, as a fixture."""
    return helpers.raises_at
