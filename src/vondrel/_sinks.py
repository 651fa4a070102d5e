"""Where written bytes go, so that no write destroys what it cannot finish.

A path is written through a temporary file beside it, renamed over the
destination only when the write is complete, flushed and synchronised: an
existing file is either wholly replaced or untouched, and no temporary file
outlives a failure (KeyboardInterrupt included).  A file object, a pipe or
a device cannot be taken back; there every write() goes on until all of its
bytes are taken, or raises.

No path writer replaces a file that is being read: the regular files that
the package's streaming readers hold open are noted here, and a writer
refuses a destination that is one of them (or an input it is given), by
device and inode, so that ./IN, a symbolic link and a hard link are caught
as well.  The other way round too: the existing files that open path
writers are about to replace are noted, and a reader of a path refuses
one of them (refuse_output), whichever was opened first."""
from __future__ import annotations

import io
import os
import secrets
import stat
import threading
import warnings
import weakref
from collections.abc import Iterable
from typing import Any

from vondrel import _arrays

__all__ = ["SAME_FILE", "REPLACED", "PathSink", "WholeWrites", "reading", "refuse_input", "refuse_output",
           "write_all", "pwrite_all", "replace", "set_interrupted"]

SAME_FILE = "refusing to write to {path}: it is the same file as the input being read"
REPLACED = "refusing to read {path}: it is the same file as the output being written"

# (device, inode, the file object) of the regular files that readers hold
# open; an entry counts while its file object lives and is not closed.
_inputs: list[tuple[int, int, weakref.ref[Any]]] = []
_inputs_lock = threading.Lock()
# (device, inode, the PathSink) of the existing regular files that open path
# writers will replace; an entry counts until its sink commits or discards.
_outputs: list[tuple[int, int, weakref.ref[Any]]] = []


# Set by the command line's SIGINT handler: from then on no path is
# replaced, even where its KeyboardInterrupt was swallowed on the way.
_interrupted = False


def set_interrupted(arrived: bool) -> None:
    """Notes that an interrupt arrived (True: replace() refuses from now
    on), or forgets it (False)."""
    global _interrupted
    _interrupted = arrived


def replace(src: str, dst: str) -> None:
    """Renames `src` over `dst`, the last step of every write to a path,
    unless an interrupt has arrived: then KeyboardInterrupt, and both names
    stay as they were (see _arrays.replace)."""
    if _interrupted:
        raise KeyboardInterrupt
    _arrays.replace(src, dst)


def _identity(st: os.stat_result) -> tuple[int, int]:
    return st.st_dev, st.st_ino


def _open_now(file: Any) -> bool:
    return file is not None and not getattr(file, "closed", False)


def reading(file: Any) -> None:
    """Notes that a reader holds `file` open: a binary file object that may
    stand on a regular file (anything else is not noted)."""
    try:
        st = os.fstat(file.fileno())
        ref = weakref.ref(file)
    except (AttributeError, OSError, ValueError, TypeError):
        return
    if not stat.S_ISREG(st.st_mode):
        return
    with _inputs_lock:
        _inputs[:] = [e for e in _inputs if _open_now(e[2]())]
        _inputs.append((*_identity(st), ref))


def refuse_input(path: str | bytes | os.PathLike[Any],
                 inputs: Iterable[str | bytes | os.PathLike[Any]] = ()) -> None:
    """Raises ValueError (SAME_FILE) when `path` names a file that a reader
    holds open or one of the paths `inputs`.  A destination that does not
    exist yet is no input; `inputs` that do not exist are left to their
    readers to report."""
    try:
        target = _identity(os.stat(path))
    except (OSError, ValueError, TypeError):
        return                  # the writer's own open says what is wrong with it
    with _inputs_lock:
        held = {e[:2] for e in _inputs if _open_now(e[2]())}
    for other in inputs:
        try:
            held.add(_identity(os.stat(other)))
        except (OSError, ValueError):
            pass
    if target in held:
        raise ValueError(SAME_FILE.format(path=os.fsdecode(path)))


def refuse_output(fd: int, name: str) -> None:
    """Raises ValueError (REPLACED) when the file open on descriptor `fd`
    (a reader's, of the path `name`) is one that an open path writer is
    about to replace: the reader would see it vanish under it."""
    try:
        here = _identity(os.fstat(fd))
    except OSError:
        return
    with _inputs_lock:
        _outputs[:] = [e for e in _outputs if _writing_now(e[2]())]
        held = {e[:2] for e in _outputs}
    if here in held:
        raise ValueError(REPLACED.format(path=name))


def _writing_now(sink: Any) -> bool:
    return sink is not None and not sink.done


def write_all(file: Any, data: Any) -> int:
    """Writes every byte of `data` to a descriptor (int) or a binary file
    object, calling write() again after a short write; the bytes written.

    A write() that returns None took nothing when the object is a raw
    stream (io.RawIOBase: a non-blocking one has no room): that is a
    BlockingIOError, never a loop without end.  Other objects that return
    None (file-like classes whose write() returns nothing) took it all."""
    view = memoryview(data).cast("B")
    total = len(view)
    while len(view):
        n = os.write(file, view) if isinstance(file, int) else file.write(view)
        if n is None:
            if isinstance(file, io.RawIOBase):
                raise BlockingIOError(11, "The stream took no bytes (a non-blocking stream that is full); "
                                          "use a blocking stream")
            n = len(view)
        if not 0 < n <= len(view):
            raise OSError(f"write() returned {n} for {len(view)} bytes")
        view = view[n:]
    return total


def pwrite_all(fd: int, data: Any, offset: int) -> int:
    """Writes every byte of `data` to the descriptor `fd` from byte
    `offset` on (os.pwrite, again after a short write); the bytes written.
    OSError when a write takes none."""
    view = memoryview(data).cast("B")
    total = len(view)
    while len(view):
        n = os.pwrite(fd, view, offset)
        if not 0 < n <= len(view):
            raise OSError(f"pwrite() returned {n} for {len(view)} bytes")
        view, offset = view[n:], offset + n
    return total


class WholeWrites:
    """A binary file object whose write() takes every byte or raises (see
    write_all); everything else is the object's own."""

    __slots__ = ("raw",)

    def __init__(self, raw: Any) -> None:
        self.raw = raw

    def write(self, data: Any) -> int:
        return write_all(self.raw, data)

    def __getattr__(self, name: str) -> Any:
        return getattr(self.raw, name)


def _create_beside(dest: str, sink: PathSink) -> int:
    """The descriptor of a new empty file in the folder of `dest`, made with
    O_EXCL under a random name, with the permissions a new file gets (0o666
    less the umask).  Its path is `sink.temp` from before the file exists:
    an interrupt (KeyboardInterrupt) that lands as the file is made, before
    its descriptor is returned, still leaves the sink the name to remove."""
    folder, base = os.path.split(dest)
    for _ in range(100):
        sink.temp = os.path.join(folder, f".{base[:48]}.{secrets.token_hex(4)}.tmp")
        try:
            return os.open(sink.temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        except FileExistsError:
            sink.temp = None           # another's file: not ours to remove
        except OSError:
            sink.temp = None           # nothing was made
            raise
    raise FileExistsError(f"{dest}: no free name for a temporary file beside it")


def _sync_folder(folder: str) -> None:
    """Makes a rename in `folder` durable, where the file system lets a
    folder be synchronised."""
    try:
        fd = os.open(folder or ".", os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


class PathSink:
    """A file being written to a path: `file` (binary, `buffering` as for
    open()) is a new temporary file in the destination's folder; commit()
    flushes, synchronises and renames it over the destination, discard()
    removes it, and so does the sink's collection without a commit.

    The destination is refused when it is the same file as an input being
    read, and when it exists but could not be written (its permissions
    protect it, as they did before).  A symbolic link keeps pointing where
    it did: the file it names is replaced, keeping its permissions.  A
    destination that exists and is no regular file (a device, a named pipe)
    is written as it stands, as a stream is: /dev/stdout stays itself."""

    def __init__(self, path: str | bytes | os.PathLike[Any], buffering: int = 0) -> None:
        self.temp: str | None = None
        self.done = False
        self.name = os.fsdecode(path)
        refuse_input(self.name)
        self.dest = os.path.realpath(self.name)
        try:
            st: os.stat_result | None = os.stat(self.dest)
        except FileNotFoundError:
            st = None
        if st is not None and not stat.S_ISREG(st.st_mode):
            self.file = open(self.dest, "wb", buffering=buffering)
            return
        if st is not None and not os.access(self.dest, os.W_OK):
            raise PermissionError(13, "Permission denied", self.name)
        if st is not None:
            with _inputs_lock:     # no reader may open what this write will replace
                _outputs[:] = [e for e in _outputs if _writing_now(e[2]())]
                _outputs.append((*_identity(st), weakref.ref(self)))
        try:
            fd = _create_beside(self.dest, self)
        except OSError as e:           # named by the destination, not by the temporary file
            self.done = True           # no longer about to replace it
            raise type(e)(e.errno, e.strerror, self.name) from None
        except BaseException:
            self.discard()             # interrupted as the file was made
            raise
        try:
            if st is not None:
                os.fchmod(fd, stat.S_IMODE(st.st_mode))
            self.file = open(fd, "wb", buffering=buffering)
        except BaseException:
            if not hasattr(self, "file"):
                try:
                    os.close(fd)           # (a file object made and lost has closed it already)
                except OSError:
                    pass
            self.discard()
            raise

    def commit(self) -> None:
        """Makes the written bytes the destination; on any failure the
        temporary file is removed and the error raised."""
        if self.done:
            return
        try:
            self.file.flush()
            if self.temp is not None:
                os.fsync(self.file.fileno())
            self.file.close()
            if self.temp is not None:
                replace(self.temp, self.dest)
                self.temp = None
                _sync_folder(os.path.dirname(self.dest))
        except BaseException:
            self.discard()
            raise
        self.done = True

    def discard(self) -> None:
        """Removes the temporary file, its buffered bytes unwritten (a
        device keeps what it was given)."""
        self.done = True
        raw = getattr(self.file, "raw", self.file) if hasattr(self, "file") else None
        try:
            if raw is not None:
                raw.close()
        except Exception:
            pass
        finally:                       # an interrupt in the close still removes the file
            if self.temp is not None:
                try:
                    os.unlink(self.temp)
                except FileNotFoundError:
                    pass
                self.temp = None

    def __enter__(self) -> PathSink:
        return self

    def __exit__(self, kind: object, *exc: object) -> None:
        if kind is None:
            self.commit()
        else:
            self.discard()

    def __del__(self) -> None:
        if not self.done:
            try:
                begun = self.temp is not None
                self.discard()
                if begun:
                    warnings.warn(f"{self.name}: a write dropped before it was complete: nothing was written "
                                  "(close() or a with block writes it)", ResourceWarning, source=self)
            except Exception:       # at interpreter exit the modules may be gone
                pass
