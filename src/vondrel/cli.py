"""The ``vondrel`` command: look at trace files, convert them inside Seismic
Unix pipelines, and draw them.

    vondrel info FILE...            what a file holds: every header field in use, its value or range
    vondrel convert IN OUT          any readable format to any writable one ("-": a pipe),
                                    or to and from a Zarr store (*.zarr)
    vondrel plot FILE -o gather.png a picture of a gather
    vondrel edit FILE --set cdp=1001  header fields set in place

Usage errors exit with 2, data errors with 1 (one line naming the file; the
traceback with --debug), and a reader of standard output that goes away ends
the command quietly with 141, as other Unix filters do.  Messages speak in
the command's flags: the library's texts name Python keywords, and are
translated here.
"""
from __future__ import annotations

import argparse
import io
import os
import re
import sys
import warnings

EXIT_DATA = 1
EXIT_USAGE = 2
EXIT_PIPE = 128 + 13          # killed by SIGPIPE, as the shell reports it
EXIT_INTERRUPT = 128 + 2      # interrupted (SIGINT), as the shell reports it
ORDERS = {"native": "=", "little": "<", "big": ">"}
ORDER_NAMES = {"<": "little-endian", ">": "big-endian"}
BLOCK_BYTES = 1 << 20         # bytes of traces per readinto: many traces, still in cache
SEGY_BLOCK = 1 << 16          # SEG-Y traces per read of a file: their headers stay small
TRACE_HEADER = 240

# SEG-Y sample format codes: (bytes per sample, name).
SAMPLE_FORMATS = {
    1: (4, "4-byte IBM float"), 2: (4, "4-byte signed integer"), 3: (2, "2-byte signed integer"),
    4: (4, "4-byte fixed point with gain"), 5: (4, "4-byte IEEE float"), 6: (8, "8-byte IEEE float"),
    7: (3, "3-byte signed integer"), 8: (1, "1-byte signed integer"), 9: (8, "8-byte signed integer"),
    10: (4, "4-byte unsigned integer"), 11: (2, "2-byte unsigned integer"), 12: (8, "8-byte unsigned integer"),
    15: (3, "3-byte unsigned integer"), 16: (1, "1-byte unsigned integer"),
}


from vondrel import _arrays, _sinks  # noqa: E402
from vondrel._cli_open import DataError  # noqa: E402  (the commands' one error, shared with the edit command)


def _version():
    from importlib import metadata
    try:
        return metadata.version("vondrel-segy")
    except metadata.PackageNotFoundError:
        return "unknown"


class _Version(argparse.Action):
    """--version, looked up only when asked for: importlib.metadata costs
    every other run a twentieth of a second."""

    def __call__(self, parser, namespace, values, option_string=None):
        print(f"{parser.prog} {_version()}")
        parser.exit()


def _plural(n, word):
    return f"{n} {word}" if n == 1 else f"{n} {word}s"


# ---- messages in the command's terms ------------------------------------------

# The library names its keywords; on the command line they are flags.
_KEYWORD_FLAGS = {"sample_format": "--input-sample-format", "byteorder": "--from-byteorder",
                  "format": "--format", "ns": "--ns", "partial": "--partial", "traces": "--traces"}
_KEYWORD = re.compile(r"\b(sample_format|byteorder|format|partial|traces|ns)="
                      r"(?:\"([\w-]*)\"|'([\w-]*)'|(\w+))?")
_DECIDE = re.compile(r"format= and byteorder= decide\.?")
# What the streaming reader says when the data end inside a trace, or before
# a collection's count of traces.
_CUT = re.compile(r"trace \d+ at byte offset \d+ is cut short: the data end \d+ bytes into it|"
                  r"the file ends after \d+ of its \d+ traces")
_BROKEN = re.compile(r"\bbreaks at trace \d+|is cut short")


def _format_names():
    """The formats' names, the choices of --format and --to."""
    from vondrel import _registry
    return _registry.names()


def _headed(format):
    """Whether files of `format` start with file headers (SEG-Y's textual
    and binary ones), which a copy in that format keeps."""
    from vondrel import _registry
    return _registry.get(format).file_headers


def _choices(text):
    """'use --from-byteorder little or --from-byteorder big' for a message
    that names the readings which fit alike: only the flags that tell them
    apart."""
    from vondrel import _registry
    flag_of = {f.title: f.name for f in _registry.FORMATS}
    reading = re.compile(rf"\b({'|'.join(map(re.escape, flag_of))}) (little|big)-endian")
    readings = list(dict.fromkeys(reading.findall(text)))
    formats = {f for f, _ in readings}
    orders = {o for _, o in readings}
    options = []
    for fmt, order in readings:
        flags = ([f"--format {flag_of[fmt]}"] if len(formats) > 1 else []) + \
                ([f"--from-byteorder {order}"] if len(orders) > 1 else [])
        if flags:
            options.append(" ".join(flags))
    if len(options) < 2:
        return "use --format and --from-byteorder to decide"
    return "use " + " or ".join(dict.fromkeys(options))


def _keyword(match):
    flag = _KEYWORD_FLAGS[match.group(1)]
    value = match.group(2) or match.group(3) or match.group(4)
    return flag if value in (None, "", "True") else f"{flag} {value}"


def _in_flags(text, partial=True):
    """A library message in the command's terms: keywords become flags, and
    an input cut short mentions --partial (unless it was given)."""
    text = text.replace('give n_traces, or write format="su" to a pipe', "write it to a file, or use --to su "
                                                                        "on a pipe")
    text = text.replace("; use .flat and .offsets", "")
    text = text.replace("give dt= (microseconds)", "set the traces' dt in microseconds first, with vondrel edit --set")
    text = _DECIDE.sub(lambda m: _choices(text), text)
    text = _KEYWORD.sub(_keyword, text)
    if not partial and (_CUT.search(text) or _BROKEN.search(text)):
        text = text.rstrip(".") + "; --partial keeps the complete traces before it"
    return text


# ---- reading, as every command does it -------------------------------------------------


class _Bar:
    """A progress bar on standard error that counts bytes or traces."""

    def __init__(self, total, what, unit):
        from tqdm import tqdm
        self.bar = tqdm(total=total, unit=unit, unit_scale=unit == "B", desc=what, leave=False, file=sys.stderr)

    def __call__(self, n):
        self.bar.update(n)

    def close(self):
        """Takes the bar off the terminal's line, so that results printed
        next start on a clean line.  A second close does nothing."""
        self.bar.close()


def _progress(args, total, what, unit="B"):
    """A _Bar, or None when no bar is shown (not a terminal, --quiet, or no
    tqdm)."""
    if args.quiet or not sys.stderr.isatty():
        return None
    try:
        bar = _Bar(total, what, unit)
    except ImportError:
        return None
    args.cleanup.append(bar.close)
    return bar


def _source_size(name):
    try:
        return os.stat(name).st_size if name != "-" else None
    except OSError:
        return None


class _Piped(io.RawIOBase):
    """A file read as a pipe is: forward only, its size unknown.  With
    `keep`, what is read is kept until rewind() (read it all again from the
    start) or forget()."""

    def __init__(self, f, name, keep=False):
        super().__init__()
        self._f, self.name, self._keep = f, name, keep
        self._kept, self._at = bytearray(), None
        self._fill = getattr(f, "readinto1", f.readinto)

    def readable(self):
        return True

    def readinto(self, b):
        view = memoryview(b).cast("B")
        if self._at is not None:
            n = min(len(view), len(self._kept) - self._at)
            if n > 0:
                view[:n] = self._kept[self._at:self._at + n]
                self._at += n
                return n
            self._kept, self._at = bytearray(), None
        n = self._fill(view) or 0
        if self._keep:
            self._kept += view[:n]
        return n

    def rewind(self):
        self._keep, self._at = False, 0

    def forget(self):
        self._keep, self._kept, self._at = False, bytearray(), None


def _keywords(args):
    """The reading flags as the library's keywords; only those given."""
    kw = {}
    if args.format:
        kw["format"] = args.format
    if args.from_byteorder:
        kw["byteorder"] = ORDERS[args.from_byteorder]
    if args.ns is not None:
        kw["ns"] = args.ns
    if args.input_sample_format is not None:
        kw["sample_format"] = args.input_sample_format
    return kw


def _seekable(f):
    try:
        return f.seekable()
    except (AttributeError, ValueError, OSError):
        return False


class _Input:
    """One input of a command: `reader`, its streaming reader as the
    reading flags say, and whole(), a source that reads it again from its
    start (SEG-Y, whose trace headers the streaming reader cuts to the
    Seismic Unix layout).  Standard input that is a pipe is kept as it is
    read when `keep` asks for that second reading.

    With --partial, a file that detection refuses as a whole (it is cut
    short) is streamed as a pipe, in the format and byte order in which the
    whole-file reader finds its complete traces; the streaming reader then
    stops where they end (_blocks)."""

    def __init__(self, args, name, keep=False):
        import vondrel
        kw = _keywords(args)
        self.name, self.piped, self.start, self.cut = name, None, None, False
        source = name
        if name == "-":
            source = sys.stdin.buffer
            if _seekable(source):
                self.start = source.tell()
            elif keep:
                source = self.piped = _Piped(source, getattr(source, "name", "<stdin>"), keep=True)
        try:
            self.reader = vondrel.traces(source, **kw)
            return
        except ValueError:
            if not args.partial or (name == "-" and self.start is None):
                raise
        if self.start is not None:
            source.seek(self.start)
        complete = vondrel.read(source, partial=True, samples=False, **kw)
        kw.update(format=complete.format, byteorder=complete.byteorder)
        if self.start is not None:
            source.seek(self.start)
            stream = _Piped(source, getattr(source, "name", "<stdin>"))
        else:
            stream = _Piped(open(name, "rb", buffering=0), name)
            args.cleanup.append(stream._f.close)
        self.cut = True
        self.reader = vondrel.traces(stream, **kw)

    @property
    def on_disk(self):
        """The input is a path whose traces can be read a block at a time."""
        return self.name != "-" and not self.cut

    def whole(self):
        """The input as a source for vondrel.read, from its start."""
        if self.piped is not None:
            self.piped.rewind()
            return self.piped
        if self.start is not None:
            sys.stdin.buffer.seek(self.start)
            return sys.stdin.buffer
        return self.name

    def stream_only(self):
        """No second reading will follow: what was kept for it goes."""
        if self.piped is not None:
            self.piped.forget()


def _span(block, k):
    """The bytes of the first k native-order traces of `block`."""
    pos = 0
    for _ in range(k):
        pos += TRACE_HEADER + 4 * int.from_bytes(block[pos + 114:pos + 116], sys.byteorder)
    return pos


def _blocks(args, reader, block, headers=None):
    """(bytes, traces) of each block of whole native-order traces that
    `reader` fills into `block` (and their whole SEG-Y headers into
    `headers`, where given).  With --partial, data cut short end the
    blocks after the last complete trace, and args.notes says so."""
    while True:
        before = reader.index
        try:
            n = reader.readinto(block, headers)
        except ValueError as e:
            k = _cut_short(args, reader, e, before)
            if k:
                yield _span(block, k), k
            return
        if not n:
            return
        yield n, reader.index - before


def _stored_blocks(args, reader, samples, headers):
    """(traces, ns) of each block of whole SEG-Y traces that `reader` fills
    with their stored samples and whole headers, as _blocks does."""
    while True:
        before = reader.index
        try:
            count, ns = reader._readinto_stored(samples, headers)
        except ValueError as e:
            k = _cut_short(args, reader, e, before)
            if k:
                yield k, reader.ns if reader.ns is not None else int.from_bytes(headers[114:116], sys.byteorder)
            return
        if not count:
            return
        yield count, ns


def _cut_short(args, reader, error, before):
    """The whole traces a block kept before data cut short (with --partial;
    args.notes says so), or the error again."""
    if not (args.partial and _CUT.search(str(error))):
        raise error
    args.notes.append(f"{str(error).rstrip('.')}; kept the {_plural(reader.index, 'complete trace')} "
                      "before it")
    return reader.index - before


def _header_rows(block, n):
    """The header rows and ns of the native-order traces in `block`."""
    import numpy as np
    import vondrel
    dtype = vondrel.header_dtype()
    first = int.from_bytes(block[114:116], sys.byteorder)
    size = TRACE_HEADER + 4 * first
    rows = np.ndarray((n // size,), dtype, block, strides=(size,))
    ns = np.ndarray((n // size,), np.uint16, block, 114, (size,))
    if n % size == 0 and (ns == first).all():
        return rows, ns
    starts, pos = [], 0          # traces of different ns: one at a time
    while pos < n:
        starts.append(pos)
        pos += TRACE_HEADER + 4 * int.from_bytes(block[pos + 114:pos + 116], sys.byteorder)
    rows = np.concatenate([np.ndarray((1,), dtype, block, p) for p in starts])
    return rows, np.array([int.from_bytes(block[p + 114:p + 116], sys.byteorder) for p in starts])


def _segy_blocks(args, input, samples, progress, first=0, stop=None):
    """The SEG-Y input (traces `first` to `stop`) as Gathers of whole
    traces: a block at a time from a path whose traces are of one length,
    else in one read (a pipe, traces of their own lengths, a file cut
    short)."""
    import vondrel
    reader, source = input.reader, input.whole()
    kw = dict(_keywords(args), byteorder=reader.byteorder)
    if not isinstance(source, _Piped):
        kw["format"] = reader.format
    n = reader.n_traces if input.on_disk and reader.ns is not None else None
    if n is None:
        g = vondrel.read(source, samples=samples, partial=args.partial, **kw)
        if progress:
            progress(len(g))
        yield g
        return
    stop = n if stop is None else stop
    per = max(1, (4 * BLOCK_BYTES) // (TRACE_HEADER + 4 * reader.ns)) if samples else SEGY_BLOCK
    for at in range(first, max(stop, first + 1), per):
        g = vondrel.read(source, traces=slice(at, min(at + per, stop)), samples=samples, **kw)
        if progress:
            progress(len(g))
        yield g


def _interval(g):
    """Each trace's sample interval in a SEG-Y Gather, by the package's rule."""
    interval = getattr(g, "interval", None)
    return interval() if interval else g.headers["dt"]


def _value(v, dtype):
    """A header value as text: integers whole, floats in the shortest form
    that reads back to the same value of the field's own type, bytes in hex."""
    import numpy as np
    if dtype.kind == "V":
        raw = bytes(v)
        return raw.hex() if any(raw) else f"0 ({len(raw)} bytes)"
    if dtype.kind == "f":
        return str(np.float32(v)) if dtype.itemsize == 4 else repr(float(v))
    return str(int(v))


def _fields(dtype):
    """(name, dtype, offset) of each field, in byte order."""
    return sorted(((n, dtype.fields[n][0], dtype.fields[n][1]) for n in dtype.names), key=lambda f: f[2])


def _dump(out, title, row, base, unassigned=True):
    """Every field of a 0-d structured row with its bytes, numbered from
    `base` + 1; unassigned bytes that are all zero only when `unassigned`."""
    print(f"  {title}:", file=out)
    for name, kind, at in _fields(row.dtype):
        if kind.kind == "V" and not unassigned and not any(bytes(row[name])):
            continue
        first, last = base + at + 1, base + at + kind.itemsize
        where = f"{first}" if first == last else f"{first}-{last}"
        print(f"    {where:>9}  {name:<9} {_value(row[name], kind)}", file=out)


# ---- info ------------------------------------------------------------------------


class _Summary:
    """What `info` shows of the traces: the minimum and maximum of every
    numeric header field, of ns and of the sample interval, and the header
    of trace `want`."""

    def __init__(self, want):
        self.count = 0
        self.names = self.low = self.high = None
        self.ns = self.dt = None
        self.own = set()          # header fields ns and dt that say other than the reading
        self.want, self.trace = want, None

    def add(self, rows, ns, dt):
        import numpy as np
        k = len(rows)
        if self.want is not None and self.count <= self.want < self.count + k:
            self.trace = rows[self.want - self.count].copy()
        self.count += k
        if k == 0:
            return
        if self.names is None:
            self.dtype = rows.dtype
            self.names = [n for n in rows.dtype.names if rows.dtype[n].kind in "iuf" and not rows.dtype[n].shape]
        low = np.array([rows[n].min() for n in self.names], dtype=np.float64)
        high = np.array([rows[n].max() for n in self.names], dtype=np.float64)
        spans = np.array([[np.min(ns), np.min(dt)], [np.max(ns), np.max(dt)]], dtype=np.int64)
        if self.low is None:
            self.low, self.high, self.ns, self.dt = low, high, spans[:, 0], spans[:, 1]
        else:
            np.fmin(self.low, low, out=self.low)
            np.fmax(self.high, high, out=self.high)
            self.ns = np.array([min(self.ns[0], spans[0, 0]), max(self.ns[1], spans[1, 0])])
            self.dt = np.array([min(self.dt[0], spans[0, 1]), max(self.dt[1], spans[1, 1])])
        for field, real in (("ns", ns), ("dt", dt)):
            if field not in self.own and (rows[field] != real).any():
                self.own.add(field)

    def print(self, out):
        if self.low is None:
            return
        for label, (lo, hi) in (("ns", self.ns), ("dt", self.dt)):
            print(f"  {label}  {lo}" if lo == hi else f"  {label}  {lo} .. {hi}", file=out)
        fields = [(n, self.dtype[n], lo, hi) for n, lo, hi in zip(self.names, self.low, self.high)
                  if n not in ("ns", "dt") or n in self.own]
        constant = [(n, t, lo) for n, t, lo, hi in fields if lo == hi and (lo != 0 or n in self.own)]
        varying = [(n, t, lo, hi) for n, t, lo, hi in fields if lo != hi]
        if constant:
            print("  constant header fields:", file=out)
            for name, kind, v in constant:
                print(f"    {name:<9} {_value(v, kind):>12}", file=out)
        if varying:
            print("  varying header fields (min max):", file=out)
            for name, kind, lo, hi in varying:
                print(f"    {name:<9} {_value(lo, kind):>12} {_value(hi, kind):>12}", file=out)


def _revision(binary):
    major, minor = int(binary["rev"]), int(binary["revmin"])
    if major == 0 and minor in (1, 2):          # written as the 16-bit number 0x0001
        return f"{minor} (bytes 3501-3502 hold 00 0{minor})"
    return f"{major}.{minor}"


def _info(args, name, out):
    import numpy as np
    summary = _Summary(args.trace)
    input = _Input(args, name, keep=True)
    reader, segy = input.reader, None
    with reader:
        fmt, order = reader.format, ORDER_NAMES.get(reader.byteorder, reader.byteorder)
        text = reader.text
        if _headed(fmt):
            reader.close()
            progress = _progress(args, reader.n_traces if input.on_disk else None, "info", "trace")
            for g in _segy_blocks(args, input, False, progress):
                segy = segy if segy is not None else g
                summary.add(g.headers, np.diff(g.offsets), _interval(g))
        else:
            input.stream_only()
            progress = _progress(args, _source_size(name), "info")
            block = bytearray(BLOCK_BYTES)
            for n, _ in _blocks(args, reader, block):
                rows, ns = _header_rows(block, n)
                summary.add(rows, ns, rows["dt"])
                if progress:
                    progress(n)
    if progress:
        progress.close()
    if args.text and text is not None:
        print(text, file=out)
    print(f"{name}: {fmt}, {order}, {_plural(summary.count, 'trace')}", file=out)
    if segy is not None:
        code = int(segy.binary["format"])
        print(f"  sample format  {code} ({SAMPLE_FORMATS.get(code, (0, 'unknown'))[1]})", file=out)
        print(f"  revision  {_revision(segy.binary)}", file=out)
        if segy.extended_text:
            print(f"  extended textual headers  {len(segy.extended_text)}", file=out)
    summary.print(out)
    if input.on_disk and os.path.isfile(name):          # the handle needs random access: not a pipe
        _info_geometry(name, args, out, fmt, reader.byteorder)
    if args.binary:
        if segy is None:
            print("  binary header: none (not a SEG-Y file)", file=out)
        else:
            _dump(out, "binary header", segy.binary, 3200, unassigned=False)
    if args.trace is not None:
        if summary.trace is None:
            raise DataError(f"{name}: no trace {args.trace}: the file holds {_plural(summary.count, 'trace')}")
        _dump(out, f"trace {args.trace} header", summary.trace, 0)


def _release(args):
    """Closes what the command opened on the way (progress bars first of
    all, so that a message that follows starts on a clean line)."""
    while args.cleanup:
        args.cleanup.pop(0)()


def _info_geometry(name, args, out, format=None, byteorder=None):
    """The geometry that vondrel.open infers (or that --dims names): the
    keys, the file's order, each key's range and step, the missing traces."""
    import numpy as np
    import vondrel
    from vondrel import _geometry
    kw = _keywords(args)
    kw.update({k: v for k, v in (("format", format), ("byteorder", byteorder)) if v})   # as detected
    with vondrel.open(name, dims=args.dims, **kw) as f:
        if not f.dims:
            if _headed(f.format) and len(f):
                print("  geometry  none: bytes 189/193 (iline, xline) do not form a grid; --dims names other keys",
                      file=out)
            return
        order = f"{f.sorting}-sorted" if f.sorting else "mixed order"
        print(f"  geometry  {', '.join(f.dims)} ({order})", file=out)
        for d, labels in f.coords.items():
            if len(labels):
                step = _geometry._increment(labels)
                print(f"    {d}  {labels[0]} .. {labels[-1]} step {step:g} ({len(labels)})", file=out)
        holes = int(f.trace_index.size - np.count_nonzero(f.mask)) if f.trace_index.size else 0
        print(f"    {holes} of {f.trace_index.size} positions have no trace" if holes
              else "    every position has a trace", file=out)


def _dims(text):
    """--dims: header field names or byte positions, comma-separated."""
    parts = [p.strip() for p in text.split(",")]
    if not all(parts):
        raise argparse.ArgumentTypeError(f"not a list of header fields: {text!r}")
    return tuple(int(p) if p.isdigit() else p for p in parts)


def _dims(text):
    """--dims: header field names or byte positions, comma-separated."""
    parts = [p.strip() for p in text.split(",")]
    if not all(parts):
        raise argparse.ArgumentTypeError(f"not a list of header fields: {text!r}")
    return tuple(int(p) if p.isdigit() else p for p in parts)


def cmd_info(args):
    status = 0
    for name in args.files:            # a bad file does not hide the files after it
        try:
            _info(args, name, sys.stdout)
        except BrokenPipeError:
            raise
        except (DataError, ValueError, OSError) as e:
            if args.debug:
                raise
            _release(args)
            print(f"vondrel info: {_in_flags(str(e), args.partial)}", file=sys.stderr)
            status = EXIT_DATA
        finally:
            _release(args)
    return status


# ---- convert ---------------------------------------------------------------------


def _text_header(path):
    """The textual header that --text FILE gives: a file of exactly 3200
    bytes as it is, else UTF-8 text of at most 40 lines of at most 80
    characters (written in EBCDIC)."""
    with open(path, "rb") as f:
        raw = f.read(1 << 16)
    if len(raw) == 3200:
        return raw
    try:
        lines = raw.decode("utf-8").splitlines()
    except UnicodeDecodeError:
        raise DataError(f"--text {path}: neither 3200 bytes nor UTF-8 text.") from None
    if len(lines) > 40 or any(len(line) > 80 for line in lines):
        raise DataError(f"--text {path}: a textual header holds at most 40 lines of at most 80 characters.")
    text = "\n".join(lines)
    try:
        text.encode("cp037")
    except UnicodeEncodeError as e:
        raise DataError(f"--text {path}: EBCDIC has no {e.object[e.start]!r}.") from None
    return text


def cmd_convert(args):
    if _zarr_convert(args):
        return
    args.to = args.to or "su"
    from vondrel import _registry, _sinks, _stream
    if args.output != "-":              # before the input is opened: convert IN IN must not empty IN
        _sinks.refuse_input(args.output, [args.input] if args.input != "-" else [])
    options = {}
    if _headed(args.to) and args.text:
        options["text"] = _text_header(args.text)
    reader = _Input(args, args.input).reader
    with reader:
        whole = _headed(args.to) and _headed(reader.format)
        if _headed(args.to):
            # SEG-Y from SEG-Y keeps the file headers, whole trace headers, byte order and sample format
            options["sample_format"] = 1 if args.ibm else 5 if args.ieee or not whole else None
            if whole:
                options["like"] = reader
        dest = sys.stdout.buffer if args.output == "-" else args.output
        known = reader.n_traces if _registry.get(args.to).counted and args.output == "-" and not args.partial else None
        if known is not None:
            options["n_traces"] = known
        progress = _progress(args, _source_size(args.input), "convert")
        block = bytearray(BLOCK_BYTES)
        view = memoryview(block)
        headers = bytearray(TRACE_HEADER * (BLOCK_BYTES // (TRACE_HEADER + 4) + 1)) if whole else None
        with _stream.Writer(dest, args.to, ORDERS[args.byteorder] if args.byteorder else None, **options) as out:
            if whole and _stream._copies_stored(reader, out):
                # one sample format in and out: every value as the file holds it, never through float32
                from vondrel._layout import SAMPLE_FORMATS as STORED
                width = STORED[reader._layout.code][0]
                for k, ns in _stored_blocks(args, reader, block, headers):
                    out._write_stored(headers, block, k, ns)
                    if progress:
                        progress(k * (TRACE_HEADER + width * ns))
                return
            for n, k in _blocks(args, reader, block, headers):
                out.write_block(view[:n], k, memoryview(headers)[:TRACE_HEADER * k] if whole else None)
                if progress:
                    progress(n)


def _zarr_convert(args):
    """Converts to or from a Zarr store (an IN or OUT named *.zarr) and
    returns True; False when neither is a store."""
    from vondrel._zarr import is_store_path
    into, out_of = is_store_path(args.output), is_store_path(args.input)
    if not (into or out_of):
        return False
    if "-" in (args.input, args.output):
        raise DataError("a Zarr store converts to and from files, not pipes")
    try:
        from vondrel import _zarr
        progress = not args.quiet and sys.stderr.isatty() and _has("tqdm")
        if into and not out_of:
            dims = tuple(args.dims.split(",")) if args.dims else None
            _zarr.to_zarr(args.input, args.output, _chunks(args.chunks), dims=dims, format=args.format,
                          byteorder=ORDERS[args.from_byteorder] if args.from_byteorder else None, progress=progress)
        elif out_of and not into:
            _zarr.from_zarr(args.input, args.output, args.to, ORDERS[args.byteorder] if args.byteorder else None,
                            sample_format=1 if args.ibm else None, progress=progress)
        else:
            raise DataError("one of IN and OUT is a Zarr store, the other a trace file")
    except ImportError as e:
        raise DataError(str(e)) from None
    return True


def _has(module):
    import importlib.util
    return importlib.util.find_spec(module) is not None


def _chunks(text):
    """--chunks "iline=64,xline=64" as a dict (None when not given)."""
    if not text:
        return None
    out = {}
    for part in text.split(","):
        name, _, size = part.partition("=")
        try:
            out[name.strip()] = int(size)
        except ValueError:
            raise DataError(f"--chunks takes NAME=SIZE,...; not {part!r}") from None
    return out


# ---- plot ------------------------------------------------------------------------


def _slice(text):
    try:
        parts = [int(p) if p else None for p in text.split(":")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a range A:B: {text!r}") from None
    if len(parts) != 2:
        raise argparse.ArgumentTypeError(f"not a range A:B: {text!r}")
    return slice(*parts)


def _size(text):
    try:
        width, height = (int(p) for p in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size WIDTHxHEIGHT: {text!r}") from None
    if width < 50 or height < 50:
        raise argparse.ArgumentTypeError("a picture needs at least 50x50 pixels")
    return width, height


def _peaks(values, starts, axis):
    """The sample of largest magnitude, with its sign, of each run of
    `values` along `axis` that begins at `starts` (the positive one of a
    tie)."""
    import numpy as np
    high = np.maximum.reduceat(values, starts, axis=axis)
    low = np.minimum.reduceat(values, starts, axis=axis)
    return np.where(high >= -low, high, low)


class _Magnitudes:
    """|sample| for the clip percentile: every one while they number at most
    `budget`, then every second, fourth, ... sample of the whole run."""

    def __init__(self, budget):
        self.budget = budget
        self.parts, self.kept, self.seen, self.stride = [], 0, 0, 1

    def add(self, samples):
        import numpy as np
        flat = np.abs(samples).reshape(-1)
        part = flat if self.stride == 1 else flat[(-self.seen) % self.stride::self.stride].copy()
        self.parts.append(part)
        self.kept += len(part)
        self.seen += flat.size
        if self.kept > self.budget:
            whole = np.concatenate(self.parts)[::2].copy()
            self.parts, self.kept, self.stride = [whole], len(whole), 2 * self.stride
        return self

    def values(self):
        import numpy as np
        return np.concatenate(self.parts)


class _Picture:
    """The samples of a plot, reduced to the picture's pixels while the
    traces stream past, in memory that does not grow with the file.

    A trace longer than `rows` keeps the sample of largest magnitude (with
    its sign) of each run of samples that falls on one pixel row.  More
    traces than `columns`: an image keeps the largest magnitude of each
    pixel column's traces, sample by sample; wiggles keep the first trace of
    each column (a real trace, drawn at its own x).  Traces and samples that
    fit are kept as they are.  With the trace count unknown (a pipe),
    columns hold 1, 2, 4, ... traces, merged in pairs whenever they would
    number over twice `columns`, and are spread over `columns` at the end."""

    def __init__(self, columns, rows, count, representative):
        self.columns, self.rows, self.count = columns, rows, count
        self.representative = representative
        self.group = 1            # traces per column, while the count is unknown
        self.n = self.m = 0       # traces seen, columns filled
        self.data = self.x = self.time = None
        self.ends = []            # x of the first two traces
        self.last = None          # x of the last trace
        self.first = None         # (header row, sample interval) of the first trace
        # every sample of a gather that fits the picture: the clip is exact there
        self.magnitudes = _Magnitudes(max(1 << 18, columns * rows))

    def add(self, rows, samples, interval, xs):
        import numpy as np
        k, ns = samples.shape
        if k == 0:
            return
        if self.data is None:
            self.ns = ns
            self.first = (rows[0].copy(), int(interval))
            if ns > self.rows:
                self.time = (np.arange(self.rows, dtype=np.int64) * ns) // self.rows
            if self.count is None:
                capacity = 2 * self.columns
            else:
                capacity = min(self.count, self.columns)
            self.data = np.empty((max(capacity, 1), ns if self.time is None else self.rows), np.float32)
            self.x = np.empty(len(self.data), np.float64)
        self.magnitudes.add(samples)
        values = samples if self.time is None else _peaks(samples, self.time, 1)
        if self.count is None:
            while (self.n + k - 1) // self.group >= len(self.data):
                self._halve()
        index = np.arange(self.n, self.n + k, dtype=np.int64)
        if self.count is not None and self.count > self.columns:
            cols = index * self.columns // self.count
        else:
            cols = index // self.group
        starts = np.flatnonzero(np.r_[True, cols[1:] != cols[:-1]])
        if len(starts) == k:
            merged = values
        else:
            merged = values[starts] if self.representative else _peaks(values, starts, 0)
        heads = cols[starts]
        if self.m and heads[0] == self.m - 1:          # the last column goes on
            if not self.representative:
                self.data[self.m - 1] = _peaks(np.stack((self.data[self.m - 1], merged[0])), [0], 0)[0]
            merged, heads, starts = merged[1:], heads[1:], starts[1:]
        if len(heads):
            self.data[heads[0]:heads[-1] + 1] = merged
            self.x[heads[0]:heads[-1] + 1] = xs[starts]
            self.m = int(heads[-1]) + 1
        self.ends += xs[:2 - len(self.ends)].tolist()
        self.last = float(xs[-1])
        self.n += k

    def _halve(self):
        import numpy as np
        m, half = self.m, (self.m + 1) // 2
        if self.representative:
            self.data[:half] = self.data[0:m:2]
        else:
            self.data[:half] = _peaks(self.data[:m], np.arange(0, m, 2), 0)
        self.x[:half] = self.x[0:m:2]
        self.m, self.group = half, 2 * self.group

    def finish(self):
        """(values (columns, rows), x of each column's first trace)."""
        import numpy as np
        data, x = self.data[:self.m], self.x[:self.m]
        if self.m > self.columns:
            starts = np.arange(self.columns, dtype=np.int64) * self.m // self.columns
            data = data[starts] if self.representative else _peaks(data, starts, 0)
            x = x[starts]
        return data, x


def _selection(args, n, name):
    """(first, stop or None) of the traces --traces selects of n (None: unknown)."""
    chosen = args.traces or slice(None)
    if n is not None:
        first, stop, _ = chosen.indices(n)
        return first, max(first, stop)
    if (chosen.start or 0) < 0 or (chosen.stop or 0) < 0:
        raise DataError(f"{name}: --traces counts from the end only in a file whose trace count is "
                        "known, not on a pipe.")
    return chosen.start or 0, chosen.stop


def _stream_plot_blocks(args, reader, first, stop, progress):
    """(header rows, samples (k, ns), first trace index) of the traces
    first to stop that the streaming reader hands out, all of one ns."""
    import numpy as np
    block = bytearray(BLOCK_BYTES)
    at, ns0 = 0, None
    for n, k in _blocks(args, reader, block):
        if progress:
            progress(n)
        lo, hi = max(first - at, 0), k if stop is None else min(stop - at, k)
        if lo < hi:
            rows, ns = _header_rows(block, n)
            ns0 = int(ns[lo]) if ns0 is None else ns0
            differ = np.flatnonzero(ns[lo:hi] != ns0)
            if len(differ):
                raise DataError(f"{reader.name}: trace {at + lo + int(differ[0])} has {ns[lo + differ[0]]} samples "
                                f"where trace {first} has {ns0}: plot draws traces of one length; choose them "
                                "with --traces A:B")
            size = TRACE_HEADER + 4 * ns0
            samples = np.ndarray((k, ns0), np.float32, block, TRACE_HEADER, (size, 4))
            yield rows[lo:hi], samples[lo:hi], rows["dt"][lo:hi], at + lo
        at += k
        if stop is not None and at >= stop:
            return


def _segy_plot_blocks(args, input, first, stop, progress):
    for g in _segy_blocks(args, input, True, progress, first, stop):
        yield g.headers, g.samples, _interval(g), first
        first += len(g)


def cmd_plot(args):
    try:
        import matplotlib
    except ImportError:
        raise DataError("plot needs matplotlib: install it (pip install matplotlib, "
                        "or Debian's python3-matplotlib).") from None
    import numpy as np

    if args.iline is not None or args.xline is not None or args.depth_slice is not None:
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        return _plot_geometry(args, plt)
    width, height = args.size
    axes = (0.1, 0.08, 0.86, 0.84)                      # the picture inside the figure
    picture = None
    input = _Input(args, args.file)
    reader = input.reader
    with reader:
        n = None if args.partial else reader.n_traces     # a count in front may overstate what is there
        first, stop = _selection(args, n, reader.name)
        picture = _Picture(int(width * axes[2]), int(height * axes[3]), None if n is None else stop - first,
                           args.wiggle)
        if _headed(reader.format) and input.on_disk and n is not None and reader.ns is not None:
            reader.close()                              # read as SEG-Y: every field of its trace headers
            progress = _progress(args, stop - first, "plot", "trace")
            blocks = _segy_plot_blocks(args, input, first, stop, progress)
        else:
            progress = _progress(args, _source_size(args.file), "plot")
            blocks = _stream_plot_blocks(args, reader, first, stop, progress)
        for rows, samples, interval, at in blocks:
            if args.x:
                if args.x not in rows.dtype.names:
                    raise DataError(_no_field(args, reader))
                xs = rows[args.x].astype(np.float64)
            else:
                xs = np.arange(at, at + len(rows), dtype=np.float64)
            picture.add(rows, samples, interval[0], xs)
    if progress:
        progress.close()
    if picture.n == 0:
        raise DataError(f"{reader.name}: no traces to draw.")
    _draw(args, picture, axes)


def _no_field(args, reader):
    from vondrel import _registry
    if _headed(reader.format) and args.x in _registry.get(reader.format).header_dtype().names:
        return (f"{reader.name}: --x {args.x} is a SEG-Y field of bytes 181-240, which plot reads from a file "
                "of fixed-length traces only; give the file's path.")
    return f"{reader.name}: no header field {args.x!r}."


def _draw(args, picture, axes):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    data, xs = picture.finish()
    row, interval = picture.first
    from vondrel._interval import delay_of
    if interval:
        times, ylabel = float(delay_of(row.reshape(1))[0]) + np.arange(picture.ns) * float(interval) / 1000.0, "time (ms)"
    else:                       # no interval anywhere: the samples are counted, not timed
        times, ylabel = np.arange(picture.ns, dtype=float), "sample"
    clip = float(np.percentile(picture.magnitudes.values(), args.clip)) or 1.0
    width, height = args.size
    fig = plt.figure(figsize=(width / 100, height / 100), dpi=100)
    ax = fig.add_axes(axes)
    if args.wiggle:
        spacing = np.median(np.diff(xs)) if len(xs) > 1 else 1.0
        scale = spacing / clip
        rows = times if picture.time is None else times[picture.time]
        for x, trace in zip(xs, data):
            wiggle = x + np.clip(trace, -clip, clip) * scale * 0.9
            ax.plot(wiggle, rows, color="black", linewidth=0.5)
            ax.fill_betweenx(rows, x, wiggle, where=wiggle > x, color="black", linewidth=0)
    else:
        x0 = picture.ends[0]
        half = (picture.ends[1] - x0) / 2 if len(picture.ends) > 1 else 0.5
        ax.imshow(data.T, aspect="auto", cmap=args.cmap, vmin=-clip, vmax=clip, interpolation="bilinear",
                  extent=(x0 - half, picture.last + half, times[-1], times[0]))
    ax.set_ylim(times[-1], times[0])
    ax.set_xlabel(args.x or "trace")
    ax.set_ylabel(ylabel)
    ax.set_title(args.title or ("standard input" if args.file == "-" else os.path.basename(args.file)))
    fig.savefig(args.output, dpi=100)
    plt.close(fig)


def _plot_geometry(args, plt):
    """plot --iline / --xline / --depth-slice: a line or a slice of the
    file's grid (the first dim's line, the second's, a sample of every
    position), labelled by the keys; positions without a trace stay blank."""
    import numpy as np
    import vondrel
    from vondrel import _geometry
    if args.file == "-":
        raise DataError("--iline, --xline and --depth-slice read a file, not standard input.")
    with vondrel.open(args.file, dims=args.dims) as f:
        dims = f.dims
        if not dims or (args.xline is not None and len(dims) < 2):
            raise DataError(f"{args.file}: no grid of {'two keys' if dims else 'keys'} (name them with --dims).")
        title = args.title or os.path.basename(args.file)
        if args.depth_slice is not None:
            image = f.depth_slice(args.depth_slice)
            image = image.reshape(len(image), -1)
            rows, cols = f.coords[dims[0]], (f.coords[dims[1]] if len(dims) > 1 else np.zeros(1))
            extent = (-0.5, image.shape[1] - 0.5, image.shape[0] - 0.5, -0.5)
            xlabel = dims[1] if len(dims) == 2 else "trace" if len(dims) == 1 else f"{dims[1]} x {dims[2]}"
            ylabel, title = dims[0], f"{title}: sample {args.depth_slice}"
            if len(dims) == 2 and len(cols) > 1 and len(rows) > 1:
                hc, hr = (cols[1] - cols[0]) / 2, (rows[1] - rows[0]) / 2
                extent = (cols[0] - hc, cols[-1] + hc, rows[-1] + hr, rows[0] - hr)
            shown = image
        else:
            which = dims[0] if args.iline is not None else dims[1]
            label = args.iline if args.iline is not None else args.xline
            line = f.sel(**{which: label})
            line = line.reshape(-1, line.shape[-1])
            others = [d for d in dims if d != which]
            xs = f.coords[others[0]] if len(others) == 1 else np.arange(len(line))
            if f.dt:
                times = _geometry.time_axis(line.shape[1], float(f.dt), _geometry.first_delay(f)) * 1000.0
            else:               # no interval anywhere: the samples are counted, not timed
                times = np.arange(line.shape[1], dtype=float)
            half = (xs[1] - xs[0]) / 2 if len(xs) > 1 else 0.5
            extent = (xs[0] - half, xs[-1] + half, times[-1], times[0])
            xlabel = others[0] if len(others) == 1 else " x ".join(others) if others else "trace"
            ylabel, title = "time (ms)" if f.dt else "sample", f"{title}: {which} {label}"
            shown = line.T
    finite = np.abs(shown[np.isfinite(shown)])
    clip = float(np.percentile(finite, args.clip)) if finite.size else 1.0
    width, height = args.size
    fig = plt.figure(figsize=(width / 100, height / 100), dpi=100)
    ax = fig.add_axes((0.1, 0.08, 0.86, 0.84))
    cmap = plt.get_cmap(args.cmap).with_extremes(bad="#cfe0f0")     # positions without a trace
    ax.imshow(shown, aspect="auto", cmap=cmap, vmin=-(clip or 1.0), vmax=clip or 1.0,
              interpolation="nearest", extent=extent)
    ax.set_xlabel(xlabel)
    ax.set_ylabel(ylabel)
    ax.set_title(title)
    fig.savefig(args.output, dpi=100)
    plt.close(fig)


# ---- the command -------------------------------------------------------------------


def _count(low, high, what):
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{what} is {low} to {high}, not {value}")
        return value
    return parse


def parser():
    top = argparse.ArgumentParser(
        prog="vondrel", description="Seismic trace files (Seismic Unix, collection, SEG-Y): look, convert, draw.")
    top.add_argument("--version", action=_Version, nargs=0, help="print the version and exit")
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--quiet", "-q", action="store_true", help="no progress bar")
    common.add_argument("--debug", action="store_true", help="a traceback with every error")
    reading = argparse.ArgumentParser(add_help=False)
    group = reading.add_argument_group("reading the input", "where detection cannot decide, or the file's "
                                                           "headers are wrong")
    group.add_argument("--format", choices=_format_names(), help="the input's format")
    group.add_argument("--from-byteorder", choices=("little", "big"), help="the input's byte order")
    group.add_argument("--ns", type=_count(1, 65535, "--ns"), metavar="N",
                       help="samples per trace of a SEG-Y input whose binary header says otherwise")
    group.add_argument("--input-sample-format", type=int, choices=sorted(SAMPLE_FORMATS), metavar="CODE",
                       help="sample format code of a SEG-Y input whose binary header says otherwise "
                            "(1 IBM float, 5 IEEE float, 2, 3, 8: signed integers of 4, 2, 1 bytes, ...)")
    group.add_argument("--partial", action="store_true",
                       help="take the complete traces of an input that is cut short (a note says where)")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    info = commands.add_parser("info", parents=[common, reading], help="what a file holds",
                               description="For each FILE: format, byte order, trace count, ns and dt; for "
                                           "SEG-Y the sample format and revision; every header field that is "
                                           "not zero in every trace, with its value, or its minimum and maximum "
                                           "where it varies.")
    info.add_argument("files", nargs="+", metavar="FILE", help='a trace file, or "-" for standard input')
    info.add_argument("--text", action="store_true", help="also print a SEG-Y file's textual header")
    info.add_argument("--binary", action="store_true", help="also print a SEG-Y file's binary header, by name")
    info.add_argument("--dims", type=_dims, metavar="KEYS",
                      help="the grid's keys, names or byte positions (e.g. cdp,offset or 189,193)")
    info.add_argument("--trace", type=_count(0, 2 ** 31 - 1, "--trace"), metavar="N",
                      help="also print every field of trace N's header (from 0)")
    info.set_defaults(run=cmd_info, parser=info)

    convert = commands.add_parser("convert", parents=[common, reading], help="convert between formats, in a pipeline",
                                  description="Streams the traces of IN to OUT in constant memory; "
                                              '"-" is standard input or output.  An IN or OUT named '
                                              '*.zarr is a Zarr store: the file is stored as a chunked '
                                              'cube, or written back from one, in parallel.')
    convert.add_argument("input", metavar="IN")
    convert.add_argument("output", metavar="OUT")
    convert.add_argument("--to", choices=_format_names(),
                         help="output format (default: su, the pipeline format; from a Zarr store: the "
                              "format it records)")
    convert.add_argument("--byteorder", choices=("native", "little", "big"),
                         help="output byte order (default: native; for segy a SEG-Y input's, else big)")
    samples = convert.add_mutually_exclusive_group()
    samples.add_argument("--ibm", action="store_true",
                         help="SEG-Y samples as IBM floats (default: a SEG-Y input's format, else IEEE)")
    samples.add_argument("--ieee", action="store_true", help="SEG-Y samples as IEEE floats")
    convert.add_argument("--text", metavar="FILE",
                         help="the SEG-Y output's textual header: up to 40 lines of up to 80 characters, "
                              "or a file of exactly 3200 bytes taken as it is")
    convert.add_argument("--dims", metavar="F1,F2", help="into a Zarr store (OUT.zarr): the header fields "
                                                          "that make the grid (default: the file's own geometry)")
    convert.add_argument("--chunks", metavar="DIM=N,...", help="into a Zarr store: chunk sizes by dim "
                                                               "(default: about 16 MB of whole traces)")
    convert.set_defaults(run=cmd_convert, parser=convert)

    from vondrel._cli_open import add_edit_parser
    add_edit_parser(commands, common)

    plot = commands.add_parser("plot", parents=[common, reading], help="draw a gather to a PNG",
                               description="Draws a gather as a variable-density image or wiggle traces. A file "
                                           "of more traces or samples than the picture has pixels is reduced "
                                           "while it streams past: each pixel keeps the sample of largest "
                                           "magnitude (wiggles: the first trace of each pixel column).")
    plot.add_argument("file", metavar="FILE")
    plot.add_argument("-o", "--output", default="gather.png", help="the picture (default: gather.png)")
    plot.add_argument("--traces", type=_slice, metavar="A:B", help="draw traces A to B-1 only")
    plot.add_argument("--clip", type=float, default=99.0, metavar="PERCENTILE",
                      help="clip amplitudes at this percentile of |sample| (default: 99)")
    plot.add_argument("--wiggle", action="store_true", help="wiggle traces instead of an image")
    plot.add_argument("--x", metavar="FIELD", help="trace axis from this header field (default: trace index)")
    plot.add_argument("--cmap", default="gray", choices=("gray", "seismic", "RdBu", "Greys"),
                      help="colour map of the image (default: gray)")
    plot.add_argument("--size", type=_size, default=(900, 600), metavar="WxH",
                      help="picture size in pixels (default: 900x600)")
    plot.add_argument("--title", help="the picture's title (default: the file name)")
    line = plot.add_mutually_exclusive_group()
    line.add_argument("--iline", type=int, metavar="LABEL", help="draw this line of the grid's first key")
    line.add_argument("--xline", type=int, metavar="LABEL", help="draw this line of the grid's second key")
    line.add_argument("--depth-slice", type=int, metavar="SAMPLE", help="draw this sample of every trace on the grid")
    plot.add_argument("--dims", type=_dims, metavar="KEYS",
                      help="the grid's keys, names or byte positions (default: iline,xline of SEG-Y)")
    plot.set_defaults(run=cmd_plot, parser=plot)
    return top


def _check(args):
    """Flags that argparse takes one at a time but that do not go together:
    a usage error (exit status 2)."""
    if args.command == "convert" and not (args.to and _headed(args.to)):
        for flag, given in (("--ibm", args.ibm), ("--ieee", args.ieee), ("--text", args.text)):
            if given:
                args.parser.error(f"{flag} is for SEG-Y output (--to segy)")


def _quiet_stdout():
    """After the reader of standard output went away: point the descriptor
    at /dev/null so that the interpreter's last flush cannot fail again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


class _Interrupts:
    """Notes each SIGINT as its handler runs, where the interpreter's own
    handler (KeyboardInterrupt) is in place, and puts that handler back at
    the end.  A KeyboardInterrupt that something swallows (a __del__, a
    callback) still leaves `arrived` set, and no output path is replaced
    after it: an interrupted command never ends as one that succeeded.  An
    inherited SIG_IGN is left as it is."""

    def __init__(self):
        self.arrived, self.before = False, None

    def __enter__(self):
        import signal
        import threading
        if threading.current_thread() is threading.main_thread() and \
                signal.getsignal(signal.SIGINT) is signal.default_int_handler:
            self.before = signal.signal(signal.SIGINT, self._handle)
        return self

    def _handle(self, signum, frame):
        self.arrived = True
        _sinks.set_interrupted(True)      # no output replaced from now on
        raise KeyboardInterrupt

    def __exit__(self, *exc):
        if self.before is not None:
            import signal
            signal.signal(signal.SIGINT, self.before)
            _sinks.set_interrupted(False)


def main(argv=None):
    args, unknown = parser().parse_known_args(argv)
    if unknown:                      # said by the command's own parser, with its usage line
        args.parser.error(f"unrecognized arguments: {' '.join(unknown)}")
    _check(args)
    args.cleanup, args.notes, args.completed = [], [], False
    interrupts = _Interrupts()
    try:
        with interrupts:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always", _arrays.PrecisionWarning)
                status = _run(args)
            if not interrupts.arrived:
                _report(args, caught)
    except KeyboardInterrupt:
        return EXIT_INTERRUPT
    return EXIT_INTERRUPT if interrupts.arrived else status


def _report(args, caught):
    """Prints the warnings caught as they are, and the notes of a command
    that completed."""
    for w in caught:
        if issubclass(w.category, _arrays.PrecisionWarning):
            # said once, as a note: what keeps the values on the command line
            note = str(w.message).split("; ")[0] + "; SEG-Y output (--to segy) keeps every value"
            if note not in args.notes:
                args.notes.append(note)
        else:
            warnings.showwarning(w.message, w.category, w.filename, w.lineno)
    if args.completed:
        for note in args.notes:
            print(f"vondrel {args.command}: {_in_flags(note)}", file=sys.stderr)


def _run(args):
    """Runs the command: its exit status."""
    try:
        status = args.run(args) or 0
        sys.stdout.flush()
        args.completed = True
    except BrokenPipeError:
        _quiet_stdout()
        return EXIT_PIPE
    except (DataError, ValueError, OSError, NotImplementedError) as e:
        if args.debug:
            raise
        _release(args)
        print(f"vondrel {args.command}: {_in_flags(str(e), getattr(args, 'partial', False))}", file=sys.stderr)
        return EXIT_DATA
    except KeyboardInterrupt:
        return EXIT_INTERRUPT
    finally:
        _release(args)
    return status
