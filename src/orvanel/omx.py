"""Open Matrix (OMX) files; see `orvanel.formats.omx`. Needs the ``omx`` extra."""

from orvanel.formats.omx import read_omx, write_omx

__all__ = ["read_omx", "write_omx"]
