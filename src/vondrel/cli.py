"""The ``vondrel`` command: look at trace files, convert them inside Seismic
Unix pipelines, and draw them.

    vondrel info FILE...            what a file holds, and which header fields vary
    vondrel convert IN OUT          any readable format to any writable one ("-": a pipe),
                                    or to and from a Zarr store (*.zarr)
    vondrel plot FILE -o gather.png a picture of a gather
    vondrel edit FILE --set cdp=1001  header fields set in place

Usage errors exit with 2, data errors with 1 (one line naming the file; the
traceback with --debug), and a reader of standard output that goes away ends
the command quietly with 141, as other Unix filters do.
"""
from __future__ import annotations

import argparse
import os
import sys

EXIT_DATA = 1
EXIT_USAGE = 2
EXIT_PIPE = 128 + 13          # killed by SIGPIPE, as the shell reports it
ORDERS = {"native": "=", "little": "<", "big": ">"}
ORDER_NAMES = {"<": "little-endian", ">": "big-endian"}


class DataError(Exception):
    """A problem with the data or a file, reported in one line."""


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


def _source(name):
    return sys.stdin.buffer if name == "-" else name


def _progress(args, total, what):
    """A callable that advances a progress bar by a byte count, or None when
    no bar is shown (not a terminal, --quiet, or no tqdm)."""
    if args.quiet or not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    bar = tqdm(total=total, unit="B", unit_scale=True, desc=what, leave=False, file=sys.stderr)
    args.cleanup.append(bar.close)
    return bar.update


def _source_size(name):
    try:
        return os.stat(name).st_size if name != "-" else None
    except OSError:
        return None


# ---- info ----------------------------------------------------------------


class _Ranges:
    """Minimum and maximum of every header field, ns and dt over blocks of
    header rows."""

    def __init__(self):
        self.low = self.high = None
        self.ns = set()

    def add(self, rows, ns):
        import numpy as np
        names = [n for n in rows.dtype.names if rows.dtype[n].kind in "iuf" and not rows.dtype[n].shape]
        low = np.array([rows[n].min() for n in names], dtype=np.float64)
        high = np.array([rows[n].max() for n in names], dtype=np.float64)
        if self.low is None:
            self.names, self.low, self.high = names, low, high
            self.whole = [rows.dtype[n].kind in "iu" for n in names]
        else:
            np.minimum(self.low, low, out=self.low)
            np.maximum(self.high, high, out=self.high)
        self.ns.update(np.unique(ns).tolist())


def _header_rows(block, n):
    """The header rows and ns of the native-order traces in `block`."""
    import numpy as np
    from vondrel import _files
    dtype = _files.header_dtype()
    first = int.from_bytes(block[114:116], sys.byteorder)
    size = 240 + 4 * first
    rows = np.ndarray((n // size,), dtype, block, strides=(size,))
    ns = np.ndarray((n // size,), np.uint16, block, 114, (size,))
    if n % size == 0 and (ns == first).all():
        return rows, ns
    starts, pos = [], 0          # traces of different ns: one at a time
    while pos < n:
        starts.append(pos)
        pos += 240 + 4 * int.from_bytes(block[pos + 114:pos + 116], sys.byteorder)
    rows = np.concatenate([np.ndarray((1,), dtype, block, p) for p in starts])
    return rows, np.array([int.from_bytes(block[p + 114:p + 116], sys.byteorder) for p in starts])


def _info(args, name, out):
    from vondrel import _stream
    if args.trace is not None:
        from vondrel._cli_open import print_trace
        return print_trace(name, args.trace, out)
    reader = _stream.traces(_source(name))
    with reader:
        if args.text and reader.format == "segy":
            print(reader.text, file=out)
        progress = _progress(args, _source_size(name), "info")
        ranges = _Ranges()
        block = bytearray(_stream.BLOCK_BYTES)
        while n := reader.readinto(block):
            ranges.add(*_header_rows(block, n))
            if progress:
                progress(n)
        fmt = reader.format
        order = ORDER_NAMES.get(reader.byteorder, reader.byteorder)
        count = reader.index
    print(f"{name}: {fmt}, {order}, {count} traces", file=out)
    if os.path.isfile(name):          # the handle needs random access: not a pipe
        _info_geometry(name, args.dims, out)
    if ranges.low is None:
        return
    ns = sorted(ranges.ns)
    print(f"  ns  {ns[0]}" if len(ns) == 1 else f"  ns  {ns[0]} .. {ns[-1]}", file=out)
    fields = {k: (int(lo), int(hi)) if whole else (lo, hi)
              for k, lo, hi, whole in zip(ranges.names, ranges.low, ranges.high, ranges.whole)}
    low, high = fields.pop("dt")
    print(f"  dt  {low}" if low == high else f"  dt  {low} .. {high}", file=out)
    varying = [(k, lo, hi) for k, (lo, hi) in fields.items() if lo != hi]
    if varying:
        print("  varying header fields (min max):", file=out)
        for key, lo, hi in varying:
            print(f"    {key:<9} {lo:>12{'' if isinstance(lo, int) else 'g'}} "
                  f"{hi:>12{'' if isinstance(hi, int) else 'g'}}", file=out)


def _info_geometry(name, dims, out):
    """The geometry that vondrel.open infers (or that --dims names): the
    keys, the file's order, each key's range and step, the missing traces."""
    import numpy as np
    import vondrel
    from vondrel import _geometry
    with vondrel.open(name, dims=dims) as f:
        if not f.dims:
            if f.format == "segy" and len(f):
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


def cmd_info(args):
    status = 0
    for name in args.files:            # a bad file does not hide the files after it
        try:
            _info(args, name, sys.stdout)
        except BrokenPipeError:
            raise
        except (ValueError, OSError) as e:
            if args.debug:
                raise
            print(f"vondrel info: {e}", file=sys.stderr)
            status = EXIT_DATA
    return status


# ---- convert -------------------------------------------------------------


def cmd_convert(args):
    if _zarr_convert(args):
        return
    args.to = args.to or "su"
    from vondrel import _stream
    order = ORDERS[args.from_byteorder] if args.from_byteorder else None
    reader = _stream.traces(_source(args.input), format=args.format, byteorder=order)
    with reader:
        dest = sys.stdout.buffer if args.output == "-" else args.output
        known = reader.n_traces if args.to == "collection" and args.output == "-" else None
        options = {"n_traces": known} if known is not None else {}
        if args.to == "segy":
            options["sample_format"] = 1 if args.ibm else 5
        with _stream.Writer(dest, args.to, ORDERS[args.byteorder] if args.byteorder else None, **options) as out:
            _stream.copy_traces(reader, out, _progress(args, _source_size(args.input), "convert"))


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


# ---- plot ----------------------------------------------------------------


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


def cmd_plot(args):
    try:
        import matplotlib
    except ImportError:
        raise DataError("plot needs matplotlib: install it (pip install matplotlib, "
                        "or Debian's python3-matplotlib).") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np
    import vondrel

    if args.iline is not None or args.xline is not None or args.depth_slice is not None:
        return _plot_geometry(args, plt)
    gather = vondrel.read(_source(args.file), traces=args.traces)
    headers = gather.headers
    if len(headers) == 0:
        raise DataError(f"{args.file}: no traces to draw.")
    try:
        samples = gather.samples
    except ValueError as e:
        raise DataError(str(e)) from None
    interval = getattr(gather, "interval", None)          # SEG-Y: the binary header's, where it counts
    dt = float(interval()[0] if interval else headers["dt"][0]) or 4000.0
    delrt = float(headers["delrt"][0])
    times = delrt + np.arange(samples.shape[1]) * dt / 1000.0
    if args.x:
        if args.x not in headers.dtype.names:
            raise DataError(f"{args.file}: no header field {args.x!r}.")
        xs, xlabel = headers[args.x].astype(np.float64), args.x
    else:
        start = (args.traces.start or 0) if args.traces else 0
        xs, xlabel = np.arange(start, start + len(headers), dtype=np.float64), "trace"
    clip = float(np.percentile(np.abs(samples), args.clip)) or 1.0

    width, height = args.size
    fig = plt.figure(figsize=(width / 100, height / 100), dpi=100)
    ax = fig.add_axes((0.1, 0.08, 0.86, 0.84))
    if args.wiggle:
        spacing = np.median(np.diff(xs)) if len(xs) > 1 else 1.0
        scale = spacing / clip
        for x, trace in zip(xs, samples):
            wiggle = x + np.clip(trace, -clip, clip) * scale * 0.9
            ax.plot(wiggle, times, color="black", linewidth=0.5)
            ax.fill_betweenx(times, x, wiggle, where=wiggle > x, color="black", linewidth=0)
    else:
        half = (xs[1] - xs[0]) / 2 if len(xs) > 1 else 0.5
        ax.imshow(samples.T, aspect="auto", cmap=args.cmap, vmin=-clip, vmax=clip, interpolation="bilinear",
                  extent=(xs[0] - half, xs[-1] + half, times[-1], times[0]))
    ax.set_ylim(times[-1], times[0])
    ax.set_xlabel(xlabel)
    ax.set_ylabel("time (ms)")
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
            delay = _geometry.first_delay(f)
            times = _geometry.time_axis(line.shape[1], float(f.dt or 4000), delay) * 1000.0
            half = (xs[1] - xs[0]) / 2 if len(xs) > 1 else 0.5
            extent = (xs[0] - half, xs[-1] + half, times[-1], times[0])
            xlabel = others[0] if len(others) == 1 else " x ".join(others) if others else "trace"
            ylabel, title = "time (ms)", f"{title}: {which} {label}"
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


# ---- the command -----------------------------------------------------------


def parser():
    top = argparse.ArgumentParser(
        prog="vondrel", description="Seismic trace files (Seismic Unix, collection, SEG-Y): look, convert, draw.")
    top.add_argument("--version", action=_Version, nargs=0, help="print the version and exit")
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--quiet", "-q", action="store_true", help="no progress bar")
    common.add_argument("--debug", action="store_true", help="a traceback with every error")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    info = commands.add_parser("info", parents=[common], help="format, trace count, ns, dt and header ranges",
                               description="For each FILE: format, byte order, trace count, ns and dt, and "
                                           "the minimum and maximum of every header field that varies.")
    info.add_argument("files", nargs="+", metavar="FILE", help='a trace file, or "-" for standard input')
    info.add_argument("--text", action="store_true", help="also print a SEG-Y file's textual header")
    info.add_argument("--trace", type=int, metavar="N", help="print every header field of trace N instead")
    info.add_argument("--dims", type=_dims, metavar="KEYS",
                      help="the grid's keys, names or byte positions (e.g. cdp,offset or 189,193)")
    info.set_defaults(run=cmd_info)

    convert = commands.add_parser("convert", parents=[common], help="convert between formats, in a pipeline",
                                  description="Streams the traces of IN to OUT in constant memory; "
                                              '"-" is standard input or output.  An IN or OUT named '
                                              '*.zarr is a Zarr store: the file is stored as a chunked '
                                              'cube, or written back from one, in parallel.')
    convert.add_argument("input", metavar="IN")
    convert.add_argument("output", metavar="OUT")
    convert.add_argument("--to", choices=("su", "collection", "segy"),
                         help="output format (default: su, the pipeline format; from a Zarr store: the "
                              "format it records)")
    convert.add_argument("--byteorder", choices=("native", "little", "big"),
                         help="output byte order (default: native; big for segy)")
    convert.add_argument("--ibm", action="store_true", help="SEG-Y samples as IBM floats (default: IEEE)")
    convert.add_argument("--format", choices=("su", "collection", "segy"), help="input format, when detection "
                                                                              "cannot decide")
    convert.add_argument("--from-byteorder", choices=("little", "big"),
                         help="input byte order, when detection cannot decide")
    convert.add_argument("--dims", metavar="F1,F2", help="into a Zarr store (OUT.zarr): the header fields "
                                                          "that make the grid (default: the file's own geometry)")
    convert.add_argument("--chunks", metavar="DIM=N,...", help="into a Zarr store: chunk sizes by dim "
                                                               "(default: about 16 MB of whole traces)")
    convert.set_defaults(run=cmd_convert)

    from vondrel._cli_open import add_edit_parser
    add_edit_parser(commands, common)

    plot = commands.add_parser("plot", parents=[common], help="draw a gather to a PNG",
                               description="Draws a gather as a variable-density image or wiggle traces.")
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
    plot.set_defaults(run=cmd_plot)
    return top


def _quiet_stdout():
    """After the reader of standard output went away: point the descriptor
    at /dev/null so that the interpreter's last flush cannot fail again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def main(argv=None):
    args = parser().parse_args(argv)
    args.cleanup = []
    try:
        status = args.run(args) or 0
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        _quiet_stdout()
        return EXIT_PIPE
    except (DataError, ValueError, OSError, NotImplementedError) as e:
        if args.debug:
            raise
        print(f"vondrel {args.command}: {e}", file=sys.stderr)
        return EXIT_DATA
    except KeyboardInterrupt:
        return 128 + 2
    finally:
        for close in args.cleanup:
            close()
