"""Conversions between `Matrix` and other libraries' data structures.

Each adapter needs an optional dependency, installed with the package extra of the same
name (``pip install 'orvanel[xarray]'``, ``'orvanel[pandas]'``).
"""
