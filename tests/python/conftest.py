import pytest

import vessik


@pytest.fixture(autouse=True)
def fresh_tape():
    """Each test starts and ends with an empty tape on the main thread."""
    vessik.Tensor.clear_graph()
    yield
    vessik.Tensor.clear_graph()
