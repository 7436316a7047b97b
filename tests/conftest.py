import pytest

from orvanel._orvanel import _MatrixCore


def _loader(request, tmp_path, method):
    if request.param.startswith("from_bytes"):
        return method

    def load(data, *args):
        (tmp_path / "input.mat").write_bytes(data)
        return method(str(tmp_path / "input.mat"), *args)

    return load


@pytest.fixture(params=["from_bytes", "open"])
def load(request, tmp_path):
    """Loads every table of matrix bytes, from memory or from a file."""
    return _loader(request, tmp_path, getattr(_MatrixCore, request.param))


@pytest.fixture(params=["from_bytes_tables", "open_tables"])
def load_tables(request, tmp_path):
    """Loads the named tables of matrix bytes, from memory or from a file."""
    return _loader(request, tmp_path, getattr(_MatrixCore, request.param))
