"""Seismic traces in the Seismic Unix layout, for Python and NumPy."""
