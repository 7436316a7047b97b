"""Importing the optional dependencies of the adapters."""

from __future__ import annotations

import importlib
from types import ModuleType


def require(module: str, extra: str, feature: str) -> ModuleType:
    """Import ``module`` or raise an ImportError that says how to install it.

    Parameters
    ----------
    module : str
        The module to import.
    extra : str
        The name of the package extra that installs it.
    feature : str
        What needs it, for the message.
    """
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError(
            f"{feature} needs the optional dependency {module!r}, which is not installed; "
            f"install it with: pip install 'orvanel[{extra}]'"
        ) from exc
