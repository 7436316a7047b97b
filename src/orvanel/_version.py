"""The installed package's version."""

from importlib import metadata

try:
    __version__ = metadata.version("orvanel")
except metadata.PackageNotFoundError:  # running from a source tree that is not installed
    __version__ = "unknown"
