"""Seismic traces in the Seismic Unix layout, for Python and NumPy."""
import os


def get_include() -> str:
    """The directory that holds segy_api.h, for building native clients:
    put it on the include path and write ``#include "segy_api.h"``."""
    return os.path.dirname(os.path.abspath(__file__))
