"""Typed use of vondrel.segy, checked with mypy --strict against the
installed stubs and also run for real (main).  The lines marked
`type: ignore[...]` in `refused` are misuses that the stubs must reject:
under --strict an ignore that silences nothing is itself an error."""
import io
import sys
from pathlib import Path
from typing import assert_type

import numpy as np
import numpy.typing as npt

import vondrel
from vondrel import get_include
from vondrel.segy import SEGY, BaseTraceIterator, SEGYTrace, _FileTraceIterator, _isfileobject, _MemoryTraceIterator


def build(rows: npt.NDArray[np.float32]) -> list[SEGYTrace]:
    traces = [SEGYTrace(row, 4000, tracl=i + 1, d1=0.5, ntr=len(rows)) for i, row in enumerate(rows)]
    assert_type(traces[0].ns, int)
    assert_type(traces[0].dt, int)
    assert_type(traces[0].ntr, int)
    view = memoryview(traces[0])
    assert view.format == "f"
    return traces


def roundtrip(folder: Path) -> float:
    rows = np.arange(12, dtype=np.float32).reshape(3, 4)
    collection = SEGY(rows, 2000, fldr=7)
    assert_type(collection.n_traces, int)
    assert_type(collection.in_memory, bool)
    assert_type(collection.to_file(folder / "a.su"), SEGY)
    lazy = SEGY.from_file(folder / "a.su")
    assert_type(lazy, SEGY)
    assert_type(iter(lazy), BaseTraceIterator)
    total = sum(float(np.asarray(t).sum()) for t in lazy)

    with open(folder / "a.su", "rb") as f:
        assert_type(_isfileobject(f), bool)
        from_stream = SEGY.from_file(f).to_memory()
    assert_type(from_stream.n_trace, int)

    it = _MemoryTraceIterator(build(rows))
    assert_type(next(it), SEGYTrace)
    assert_type(it.to_memory(), SEGY)
    buffer = io.BytesIO()
    assert_type(_MemoryTraceIterator(build(rows)).to_stream(buffer), None)
    _MemoryTraceIterator(build(rows)).to_file(str(folder / "b.su"))

    files = _FileTraceIterator(str(folder / "a.su"), 1)
    first: SEGYTrace = next(files)
    files.__dealoc__()
    assert (Path(get_include()) / "segy_api.h").is_file()
    return total + first.ns


def segy_file(path: Path) -> float:
    g = vondrel.read(path, dtype="stored")
    if isinstance(g, vondrel.SegyGather):
        assert_type(g.text, str)
        assert_type(g.extended_text, list[str])
    vondrel.write(path.with_suffix(".out"), g, format="segy", sample_format=1, byteorder=">", text="C 1",
                  revision=2)
    return float(g.samples.sum())


def segy_example(folder: Path) -> float:
    """The README's SEG-Y example as a typed client writes it: read as SEG-Y,
    the gather carries the file headers; found from the data, it is a Gather
    whose file headers may be None."""
    rows = np.arange(12, dtype=np.float32).reshape(3, 4)
    headers = np.zeros(3, vondrel.header_dtype())
    headers["dt"], headers["delrt"] = 2000, 100
    vondrel.write(folder / "survey.sgy", (headers, rows), format="segy", text="C 1 my survey")
    g = vondrel.read(folder / "survey.sgy", format="segy")
    assert_type(g, vondrel.SegyGather)
    first_line = g.text.splitlines()[0]
    hdt, code, extended = g.binary["hdt"], g.binary["format"], g.extended_text
    assert (first_line[:13], int(hdt), int(code), extended) == ("C 1 my survey", 2000, 5, [])
    assert (g.ns, g.dt, repr(g.binary)[:13]) == (4, 2000, "BinaryHeader(")
    times = g.times
    assert_type(g.ns, int | None)
    assert_type(g.dt, int | None)
    found = vondrel.read(folder / "survey.sgy")
    assert_type(found, vondrel.Gather)
    assert_type(found.text, str | None)
    assert_type(found.extended_text, list[str] | None)
    assert found.text is not None and found.binary is not None
    assert np.allclose(times, [0.1, 0.102, 0.104, 0.106], rtol=0, atol=1e-12)
    return float(found.binary["hns"])


def refused(trace: SEGYTrace, collection: SEGY) -> None:
    trace.ns = 3  # type: ignore[misc]
    collection.n_traces = 2  # type: ignore[misc]
    SEGYTrace(np.zeros(3, np.float32), "4000")  # type: ignore[arg-type]
    SEGYTrace(np.zeros(3, np.float32), 4000, bogus=1)  # type: ignore[call-arg]
    SEGY.from_file(3.5)  # type: ignore[arg-type]
    SEGY(5, 4000)  # type: ignore[arg-type]
    _MemoryTraceIterator([1, 2])  # type: ignore[list-item]
    collection.to_memory().to_stream(object())  # type: ignore[arg-type]

    class Derived(SEGYTrace):  # type: ignore[misc]
        """SEGYTrace is final."""

    # Found from the data, a gather may be SU or a collection: no textual header then.
    vondrel.read("survey.sgy").text.splitlines()  # type: ignore[union-attr]


def main() -> None:
    print(roundtrip(Path(sys.argv[1])))
    assert segy_example(Path(sys.argv[1])) == 4.0


if __name__ == "__main__":
    main()
