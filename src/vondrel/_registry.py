"""The formats, in the order in which detection tries them: that order
is the precedence (SEG-Y, whose file headers say what follows, before
SU, before collection).  Adding a format is adding its module and one
entry here; nothing else of the package names a format."""
from __future__ import annotations

from typing import Any

from vondrel import _segyfile, _sufile
from vondrel._detection import MARGIN, REFUTED, Fit, Overrides, Reading, TraceFormat
from vondrel._layout import HEADER_SIZE, NATIVE, ORDER_NAMES, check_sample_format
from vondrel._messages import FORMAT_CHOICE
from vondrel._sources import Source

FORMATS: list[TraceFormat] = [_segyfile.SEGY_FORMAT, _sufile.SU_FORMAT, _sufile.COLLECTION_FORMAT]
NAMES = tuple(f.name for f in FORMATS)
# The format that bare arrays (no format of their own) are written in.
ARRAYS = _sufile.SU_FORMAT
# A format's place in FORMATS: where two readings fit alike, the earlier format's wins.
_RANK = {f.name: i for i, f in enumerate(FORMATS)}
# Bytes a seekable file shows detection: what the format that needs the most needs.
HEAD = max(f.head_bytes for f in FORMATS)


def get(name: str) -> TraceFormat:
    """The format called `name`; ValueError naming the choices for any other."""
    for f in FORMATS:
        if f.name == name:
            return f
    raise ValueError(FORMAT_CHOICE.format(choices=", ".join(repr(f.name) for f in FORMATS), name=name))


def names() -> tuple[str, ...]:
    """The formats' names, in the registry's order: the choices a caller has."""
    return NAMES


def lookup(name: str, default: TraceFormat | None = None) -> TraceFormat:
    """The format called `name`; `default` for any other name where one is
    given, else ValueError naming the choices."""
    if default is not None:
        return next((f for f in FORMATS if f.name == name), default)
    return get(name)


def title(name: str) -> str:
    """What messages and reprs call the format called `name` (the name
    itself for a name of none)."""
    return next((f.title for f in FORMATS if f.name == name), name)


def header_dtype(name: str) -> Any:
    """The native-order dtype of the trace headers of the format called
    `name` (of bare arrays' format for a name of none)."""
    return lookup(name, ARRAYS).header_dtype()


def with_file_headers() -> TraceFormat:
    """The format whose files start with file headers (SEG-Y's)."""
    return next(f for f in FORMATS if f.file_headers)


def check_overrides(format: str | None, ns: int | None, sample_format: int | None) -> tuple[str | None, Overrides]:
    """(the format to detect, the overrides) of a call's arguments: ns= and
    sample_format= stand in for what a binary file header says, so they
    speak of the format that has one."""
    if ns is None and sample_format is None:
        return format, Overrides()
    headed = next(f for f in FORMATS if f.overridable)
    if format not in (None, headed.name):
        raise ValueError(f"ns= and sample_format= are for {headed.title} files (format={headed.name!r}), "
                         f"not format={format!r}")
    if ns is not None and (isinstance(ns, bool) or not isinstance(ns, int) or not 0 < ns < 65536):
        raise ValueError(f"ns must be a sample count from 1 to 65535, not {ns!r}")
    if sample_format is not None:
        check_sample_format(sample_format)
    return headed.name, Overrides(ns, sample_format)


def of(fit: Fit) -> TraceFormat:
    """The format of a fit's reading."""
    return FORMATS[_RANK[fit.reading.format]]


def describe(r: Reading) -> str:
    """What messages call a reading: its format's title and its byte order."""
    return FORMATS[_RANK[r.format]].describe(r.byteorder)


def _readings(formats: list[TraceFormat], head: bytes, byteorder: str | None,
              overrides: Overrides) -> list[tuple[TraceFormat, Reading]]:
    return [(f, r) for f in formats for r in f.readings(head, overrides)
            if byteorder is None or r.byteorder == byteorder]


def _set_aside(src: Source, head: bytes, eof: bool, overrides: Overrides,
               readings: list[tuple[TraceFormat, Reading]]) -> tuple[int, str] | None:
    """(complete traces, what to say) of the most telling reading that was
    no candidate for its count (more traces than the file can hold): the
    traces it holds as far as the headers go, and how to read them.  None
    when no such reading holds a complete, plausible trace."""
    best = None
    for f, r in readings:
        fit = f.fit(src, head, r, eof, True, True, overrides)     # as if format= named it
        if fit is None or not fit.traces or fit.score <= -MARGIN:
            continue
        if best is None or (fit.traces, fit.score) > (best[0].traces, best[0].score):
            best = (fit, r)
    if best is None:
        return None
    fit, r = best
    n = fit.traces or 0
    return n, (f"read as a {get(r.format).title} file ({ORDER_NAMES[r.byteorder]}) its count says "
               f"{r.count} traces and the file holds {n} complete one{'' if n == 1 else 's'}: use "
               f"format={r.format!r} with partial=True")


def detect(src: Source, format: str | None, byteorder: str | None, partial: bool, walk: bool = False,
            overrides: Overrides = Overrides()) -> Fit:
    """The reading of `src` that fits (format= and byteorder= narrow the
    choice); ValueError when none does or when several do alike.  The first
    header and the size may decide a reading whose traces all have the
    first one's ns; with `walk` (and whenever no such guess holds) the
    headers of a seekable file are walked to its end, and the walk decides."""
    formats = FORMATS if format is None else [get(format)]
    named = format is not None
    if src.size is not None:
        head = src.pread(0, HEAD)
        eof = True
        empty = next((f for f in formats if f.reads_empty), None)
        if src.size == 0 and empty is not None:
            return Fit(Reading(empty.name, byteorder or NATIVE, 0, None, None), True, 0, 0, "", 0.0, True, 0, True)
    else:
        head = src.read_ahead(4 + HEADER_SIZE)
        need = max((f.read_ahead(r) for f, r in _readings(formats, head, byteorder, overrides)), default=0)
        head = src.read_ahead(max([need, *(f.head_size(head) for f in formats)]))
        eof = len(head) < need
    if not named:
        # A SEG-Y file's textual header is no SU trace: when the first bytes
        # are a format's beyond doubt, no other format is tried.
        formats = [f for f in formats if f.claims(head)][:1] or formats
    readings = _readings(formats, head, byteorder, overrides)
    decided = named and byteorder is not None

    def candidate(f: Fit) -> bool:
        # Evidence of the byte order does not overrule the caller's; a
        # format that the data rule out (REFUTED) falls all the same.
        if byteorder is not None:
            return decided or f.score > REFUTED
        return f.score > -MARGIN

    def fit_of(f: TraceFormat, r: Reading, scan: bool) -> Fit | None:
        return f.fit(src, head, r, eof, named, scan, overrides)

    entries: list[tuple[TraceFormat, Reading, Fit]] = []
    # Readings that are no candidate for their count: named in the error
    # when no reading fits, never read without format= naming them.
    aside: list[tuple[TraceFormat, Reading]] = []
    for f, r in readings:
        if any(fit.tiles and g.decisive and g is not f for g, _, fit in entries):
            # A format whose file headers say what follows tiles: the formats
            # after it are not tried (a SEG-Y file may also tile as SU traces
            # of ns 0, when its textual header is all zeros).
            break
        fit = fit_of(f, r, False)
        if fit is not None:
            entries.append((f, r, fit))
        else:
            aside.append((f, r))

    def walked(confirm: bool) -> list[tuple[TraceFormat, Reading, Fit]]:
        # The guesses walked: with `confirm` those that tile, else all but
        # those that the data refute anyway.
        out = []
        for f, r, fit in entries:
            if fit.walked or not (fit.tiles and candidate(fit) if confirm else decided or fit.score > REFUTED):
                out.append((f, r, fit))
            elif (again := fit_of(f, r, True)) is not None:
                out.append((f, r, again))
        return out

    if walk:
        entries = walked(True)
    if not any(fit.tiles and candidate(fit) for _, _, fit in entries):
        entries = walked(False)
    fits = [fit for _, _, fit in entries]
    ok = sorted((f for f in fits if f.tiles and candidate(f)), key=lambda f: f.score, reverse=True)
    if len(ok) == 1 or (len(ok) > 1 and ok[0].score - ok[1].score >= MARGIN):
        return ok[0]
    if ok and len({f.reading.format for f in ok}) == 1 and all(f.traces == 0 for f in ok):
        # No traces (a collection with count 0): the byte order changes nothing.
        return next((f for f in ok if f.reading.byteorder == NATIVE), ok[0])
    if ok:
        alike = " and as ".join(describe(f.reading) for f in ok)
        raise ValueError(f"{src.name}: the data read as {alike} alike; format= and byteorder= decide")
    if not any(of(f).decisive for f in fits):
        for f in formats:
            why = f.diagnose(src, head, byteorder, named)
            if why:
                raise ValueError(f"{src.name}: {why}")
    note = _set_aside(src, head, eof, overrides, aside) if aside else None
    if not fits:
        raise ValueError(f"{src.name}: {note[1] if note else f'{len(head)} bytes hold no {format or 'trace'} data'}")
    # The closest reading tiles the most complete traces of the readings
    # that the data do not refute; a partial read takes it only when no
    # other reading comes as close as plausibly.
    # Between formats the registry's order decides, within one the score.
    closest = max(fits, key=lambda f: (candidate(f), f.traces or 0, -_RANK[f.reading.format], f.score))
    rivals = [f for f in fits if f is not closest and candidate(f) and (f.traces or 0) == (closest.traces or 0)
              and f.reading.format == closest.reading.format and closest.score - f.score < MARGIN]
    if partial and candidate(closest) and closest.traces and not rivals:
        return closest
    if of(closest).decisive and closest.score == REFUTED:
        # A binary header that the trace headers contradict: no reading of it comes close.
        raise ValueError(f"{src.name}: {describe(closest.reading)}: {closest.why}")
    if note and (not candidate(closest) or (closest.traces or 0) < note[0]):
        # The reading set aside holds more than the closest candidate: it is what the file is.
        raise ValueError(f"{src.name}: no reading fits the data; {note[1]}")
    why = (f"{src.name}: no reading fits the data; the closest, {describe(closest.reading)}, "
           f"breaks at trace {closest.traces} (byte offset {src.start + closest.end}): {closest.why}")
    raise ValueError(f"{why}; {note[1]}" if note else why)

