import pytest

from orvanel._orvanel import _MatrixCore


def _file_loader(tmp_path, method):
    def load(data, *args):
        path = tmp_path / "input.mat"
        path.write_bytes(data)
        return method(str(path), *args)

    return load


@pytest.fixture(params=["from_bytes", "open"])
def load(request, tmp_path):
    """Loads every table of matrix bytes, from memory or from a file."""
    if request.param == "from_bytes":
        return _MatrixCore.from_bytes
    return _file_loader(tmp_path, _MatrixCore.open)


@pytest.fixture(params=["from_bytes_tables", "open_tables"])
def load_tables(request, tmp_path):
    """Loads the named tables of matrix bytes, from memory or from a file."""
    if request.param == "from_bytes_tables":
        return _MatrixCore.from_bytes_tables
    return _file_loader(tmp_path, _MatrixCore.open_tables)
