"""Where bytes come from and where they go: a path, a binary file object
or a stream, read with positioned reads where it can seek; written through
a temporary file beside a path (vondrel._sinks.PathSink)."""
from __future__ import annotations

import contextlib
import io
import os
import stat
import struct
from collections.abc import Iterator
from typing import Any

from vondrel import _arrays, _sinks
from vondrel._layout import HEADER_SIZE, NATIVE
from vondrel._messages import NO_DATA

_NOT_A_FILE = "a path or a binary file object is required, not {kind}"

# A read() or readinto() that returns None, wherever a source is read, is a
# non-blocking stream with no data now (never the end of the data), as
# vondrel._sinks.write_all takes a write() that returns None: read_some and
# readinto_some raise BlockingIOError (NO_DATA), as the native readers do.


def read_some(f: Any, n: int = -1) -> bytes:
    """One f.read(n) of a binary file or stream: b"" only at the end of the
    data; BlockingIOError (NO_DATA) for None."""
    data = f.read(n)
    if data is None:
        raise BlockingIOError(NO_DATA)
    return bytes(data)


def readinto_some(f: Any, view: memoryview) -> int:
    """One f.readinto(view): the count read, 0 only at the end of the data;
    BlockingIOError (NO_DATA) for None."""
    n = f.readinto(view)
    if n is None:
        raise BlockingIOError(NO_DATA)
    return int(n)


def read_into(f: Any, view: memoryview) -> int:
    """Fills `view` from the binary stream f; the bytes read, fewer only at
    the end of the data."""
    got = 0
    while got < len(view):
        n = readinto_some(f, view[got:])
        if n == 0:
            break
        got += n
    return got

# ---- sources --------------------------------------------------------------------------------


class Source:
    """Where bytes come from: a path (opened here, closed on every path), a
    binary file object or a stream.  `fd` is a descriptor for positioned
    reads when the object has one and can seek; `size` the bytes from the
    starting position to the end, when known."""

    def __init__(self, source: object) -> None:
        self.opened = None
        if isinstance(source, (str, bytes, os.PathLike)):
            self.name = os.fsdecode(source)
            self.opened = self.file = open(source, "rb", buffering=0)
            with closed_on_error(self.opened):
                _sinks.refuse_output(self.file.fileno(), self.name)
        else:
            if isinstance(source, io.TextIOBase) or not hasattr(source, "read"):
                raise TypeError(_NOT_A_FILE.format(kind=type(source).__name__))
            self.file = source
            name = getattr(source, "name", None)
            self.name = name if isinstance(name, str) else "<stream>"
        self.fd: int | None = None
        self.start = 0
        self.size: int | None = None
        self.head = b""          # bytes read ahead from a stream
        with closed_on_error(self.opened):
            self.seekable = seekable(self.file)
            if self.seekable:
                self.start = self.file.tell()
                try:
                    self.fd = self.file.fileno()
                except (OSError, AttributeError, ValueError):
                    self.fd = None
                if self.fd is not None:
                    self.size = os.fstat(self.fd).st_size - self.start
                else:
                    self.size = self.file.seek(0, io.SEEK_END) - self.start
                    self.file.seek(self.start)

    def __enter__(self) -> Source:
        return self

    def __exit__(self, *exc: object) -> None:
        if self.opened is not None:
            self.opened.close()

    def pread(self, offset: int, n: int) -> bytes:
        """Up to n bytes at `offset` from the start (seekable sources)."""
        if self.fd is not None:
            return os.pread(self.fd, n, self.start + offset)
        self.file.seek(self.start + offset)
        return read_some(self.file, n)

    def read_ahead(self, n: int) -> bytes:
        """The first n bytes of a stream (fewer at its end), kept in `head`."""
        while len(self.head) < n:
            more = read_some(self.file, n - len(self.head))
            if not more:
                break
            self.head += more
        return self.head

    def scan(self, offset: int, swap: bool, limit: int, width: int = 4) -> tuple[int, int, int, int]:
        """(complete traces, their end, their samples, the index of the first
        trace whose ns differs from the first's or -1) walking the headers
        from `offset`; `width` is the bytes of one sample."""
        if self.fd is not None:
            return _arrays.scan(self.fd, self.start + offset, self.size - offset, swap, limit, width)
        n = samples = 0
        other = first = -1
        pos = offset
        code = (">" if (NATIVE == "<") == swap else "<") + "H"
        while (limit < 0 or n < limit) and pos + HEADER_SIZE <= self.size:
            ns = struct.unpack(code, self.pread(pos + 114, 2))[0]
            if pos + HEADER_SIZE + width * ns > self.size:
                break
            if first < 0:
                first = ns
            elif other < 0 and ns != first:
                other = n
            pos += HEADER_SIZE + width * ns
            samples += ns
            n += 1
        return n, pos - offset, samples, other


def seekable(f: object) -> bool:
    try:
        return bool(f.seekable())
    except (AttributeError, OSError, ValueError):
        return False


@contextlib.contextmanager
def closed_on_error(opened: io.RawIOBase | None) -> Iterator[None]:
    """Closes `opened` (a file opened here, or None) when the block raises:
    a constructor that fails after opening returns no object to close it."""
    try:
        yield
    except BaseException:
        if opened is not None:
            opened.close()
        raise



class Sink:
    """Where bytes go: a path (a temporary file beside it, renamed over it
    when the block ends without an error, removed when it raises), a binary
    file object (written where it stands) or a stream.  `target` is a
    descriptor, or an object whose write() takes every byte or raises.
    `takes_back`: what a failed write put out can be taken back (a path's
    temporary file; a regular file written at its end, cut back to where it
    ended when the block raises)."""

    def __init__(self, dest: object) -> None:
        self.path: _sinks.PathSink | None = None
        self.takes_back = False
        if isinstance(dest, (str, bytes, os.PathLike)):
            self.path = _sinks.PathSink(dest)
            self.file = self.path.file
        else:
            if isinstance(dest, io.TextIOBase) or not hasattr(dest, "write"):
                raise TypeError(_NOT_A_FILE.format(kind=type(dest).__name__))
            self.file = dest
        self.target: object = _sinks.WholeWrites(self.file)
        self.pos: int | None = None
        try:
            fd = self.file.fileno()
        except (OSError, AttributeError, ValueError):
            return
        try:
            if hasattr(self.file, "flush"):
                self.file.flush()
            if seekable(self.file):
                self.pos = self.file.tell()
                os.lseek(fd, self.pos, os.SEEK_SET)
                status = os.fstat(fd)
                self.takes_back = stat.S_ISREG(status.st_mode) and status.st_size == self.pos
        except BaseException:
            if self.path is not None:
                self.path.discard()
            raise
        self.target = fd
        self.takes_back = self.takes_back or self.path is not None

    def __enter__(self) -> Sink:
        return self

    def __exit__(self, kind: object, *exc: object) -> None:
        if self.path is not None:
            self.path.__exit__(kind)
        elif kind is not None and self.takes_back and self.pos is not None:
            # a regular file written at its end: cut back to where it ended
            try:
                os.ftruncate(self.file.fileno(), self.pos)
                self.file.seek(self.pos)
            except (OSError, ValueError):
                pass

    def done(self, written: int) -> None:
        if self.pos is not None and self.path is None:
            self.file.seek(self.pos + written)

