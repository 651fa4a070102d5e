"""The commands that work on a file in place through vondrel.open:
`vondrel edit` (header fields set on disk, as Seismic Unix's sushw sets
them in a pipeline) and `vondrel info --trace N` (one trace's header)."""
from __future__ import annotations

import argparse
import math
import sys
from typing import Any

ORDERS = {"little": "<", "big": ">"}


class DataError(Exception):
    """A problem with the data or a file, reported in one line."""

EDIT_HELP = """\
Sets header fields of FILE in place: only the bytes of those fields
change, in the file's byte order; the file's size and every other byte stay
as they were.  Each --set takes KEY=VALUE, or KEY=a,b[,c[,d[,j]]] to count
as sushw does: the i-th trace edited (counting from 0) gets
a + b * ((i + d) % j) + c * ((i + d) // j), where j 0 or left out means
no grouping.  A value that its field cannot hold is an error before
anything is written.  ns (which gives the layout) cannot be set."""


def _traces(text: str) -> Any:
    """A trace selection of the command line: A:B, A:B:STEP (either bound
    may be left out) or a comma list of indices."""
    try:
        if ":" in text:
            parts = [int(p) if p else None for p in text.split(":")]
            if len(parts) not in (2, 3):
                raise ValueError
            return slice(*parts)
        return [int(p) for p in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a trace range A:B[:STEP] or a list I,J,...: {text!r}") from None


def _number(text: str) -> int | float:
    try:
        return int(text)
    except ValueError:
        value = float(text)          # ValueError: not a number
        if not math.isfinite(value):
            raise ValueError(text) from None
        return value


def _assignment(text: str) -> tuple[str, list[int | float]]:
    """(key, [a, b, c, d, j]) of KEY=VALUE or KEY=a,b[,c[,d[,j]]]."""
    key, sep, rest = text.partition("=")
    try:
        if not sep or not key.strip():
            raise ValueError
        numbers = [_number(p.strip()) for p in rest.split(",")]
        if not 1 <= len(numbers) <= 5:
            raise ValueError
    except ValueError:
        raise argparse.ArgumentTypeError(f"not KEY=VALUE or KEY=a,b[,c[,d[,j]]]: {text!r}") from None
    numbers += [0, 0, 0, 0][:5 - len(numbers)]
    if not all(isinstance(v, int) for v in numbers[3:]) or numbers[4] < 0:
        raise argparse.ArgumentTypeError(f"d and j count traces (whole numbers, j at least 0): {text!r}")
    return key.strip(), numbers


def values_of(numbers: list[int | float], k: int) -> Any:
    """The values of an assignment for k traces, as sushw computes them."""
    import numpy as np

    a, b, c, d, j = numbers
    i = np.arange(k, dtype=np.int64) + int(d)
    within, group = (i % j, i // j) if j else (i, np.zeros_like(i))
    if all(isinstance(v, int) for v in (a, b, c)):
        return a + b * within + c * group
    return float(a) + float(b) * within + float(c) * group


def add_edit_parser(commands: Any, common: argparse.ArgumentParser) -> None:
    from vondrel import _registry
    edit = commands.add_parser("edit", parents=[common], help="set header fields in place",
                               description=EDIT_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    edit.add_argument("file", metavar="FILE", help="a SEG-Y, SU or collection file (not a pipe)")
    edit.add_argument("--set", dest="assignments", action="append", type=_assignment, required=True,
                      metavar="KEY=VALUE", help="a header field and its value, or a,b[,c[,d[,j]]] (repeatable)")
    edit.add_argument("--traces", type=_traces, metavar="A:B", help="edit traces A to B-1 only (or A:B:STEP, "
                                                                      "or I,J,...; default: every trace)")
    edit.add_argument("--format", choices=_registry.names(), help="the file's format, when detection "
                                                                             "cannot decide")
    edit.add_argument("--from-byteorder", choices=("little", "big"),
                      help="the file's byte order, when detection cannot decide")
    edit.set_defaults(run=cmd_edit)


def cmd_edit(args: Any) -> int:
    import vondrel
    from vondrel import _registry
    from vondrel._messages import NO_FIELD

    order = ORDERS[args.from_byteorder] if args.from_byteorder else None
    with vondrel.open(args.file, "r+", format=args.format, byteorder=order) as f:
        where = f._where(args.traces)
        names = f.headers.keys()
        # Every value is checked before the first byte is written.
        encoded = []
        for key, numbers in args.assignments:
            if key not in names:
                raise DataError(f"{args.file}: " + NO_FIELD.format(name=key, title=_registry.get(f.format).title))
            try:
                values = values_of(numbers, where.k)
            except OverflowError:
                raise DataError(f"{args.file}: the values of {key} overflow 64-bit integers") from None
            encoded.append((key, f.headers._encoded(key, values, where.k)))
        for key, raw in encoded:
            field, at = f.headers.dtype.fields[key][:2]
            f._put(where, at, field.itemsize, raw)
        f._refresh_dt()
    keys = ", ".join(key for key, _ in args.assignments)
    print(f"{args.file}: {keys} set on {where.k} trace{'' if where.k == 1 else 's'}")
    return 0
