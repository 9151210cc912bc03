"""Files written whole or not at all.

Every file the package writes goes through :func:`atomic_write`. The bytes go to a new file
beside the target (the same folder, so the same file system), are flushed to the disk, and the
new file then takes the target's name in one rename. A failure or an interruption at any
point, Ctrl-C included, removes the new file: the target keeps its previous content, or does
not appear. Only a process killed outright can leave the new file behind, under a hidden name
ending in ".part"; the target's name never holds a partial file.

A target that exists and is not a regular file (``/dev/stdout``, a named pipe) is written in
place: there is nothing to replace there. A symbolic link is followed, so the file it names is
replaced and the link kept. A replaced file keeps its permission bits; a new one gets
those ``open`` would give it (0o666 less the umask).
"""

from __future__ import annotations

import contextlib
import os
import secrets
import stat
from collections.abc import Iterator, Sequence
from typing import IO, Any

__all__ = ["atomic_write", "atomic_writes", "named", "unwritable"]

PathLike = str | os.PathLike[str]


def named(exc: OSError, path: PathLike) -> OSError:
    """`exc` with `path` as its file name unless it names one already (a failed write or fsync
    on an open file names none); also returned."""
    if exc.filename is None:
        exc.filename = os.fspath(path)
    return exc


@contextlib.contextmanager
def atomic_write(path: PathLike, mode: str = "wb", *, newline: str | None = None) -> Iterator[IO[Any]]:
    """A file object (`mode` "wb", or "w" for UTF-8 text) whose content replaces `path` when the
    block ends normally, and is discarded when it raises. An OSError raised here names `path`
    (or the file it failed on)."""
    with atomic_writes([path], mode, newline=newline) as (f,):
        yield f


@contextlib.contextmanager
def atomic_writes(paths: Sequence[PathLike], mode: str = "wb", *,
                  newline: str | None = None) -> Iterator[list[IO[Any]]]:
    """:func:`atomic_write` for files that belong together: every file is written and on the
    disk before the first replaces its target, so a failure before that point leaves them all
    as they were."""
    if mode not in ("wb", "w"):
        raise ValueError(f"atomic_write writes new files: mode 'wb' or 'w', not {mode!r}")
    pending: list[_Pending] = []
    subject = " and ".join(os.fspath(path) for path in paths)  # for an error naming no file of its own
    try:
        for path in paths:
            pending.append(_Pending(path, mode, newline))
        yield [p.file for p in pending]
        for p in pending:
            subject = os.fspath(p.path)
            p.finish()
        for p in pending:
            subject = os.fspath(p.path)
            p.commit()
    except OSError as exc:
        named(exc, subject)
        raise
    finally:
        for p in pending:
            p.discard()


class _Pending:
    """One file on its way to its target: a new file beside it, or the target itself when that
    is no regular file (a device or a pipe: nothing to replace)."""

    def __init__(self, path: PathLike, mode: str, newline: str | None) -> None:
        self.path = path
        self.target = os.fspath(path)
        self.temp: str | None = None
        st = _stat(self.target)
        if st is not None and not stat.S_ISREG(st.st_mode):
            self.file = _open(self.target, mode, newline)
            return
        self.target = os.path.realpath(self.target)  # a link is kept, the file it names replaced
        fd, self.temp = _new_beside(self.target, path)
        try:
            if st is not None:
                os.fchmod(fd, stat.S_IMODE(st.st_mode))
            self.file = _open(fd, mode, newline)
        except BaseException:
            os.close(fd)
            self.discard()
            raise

    def finish(self) -> None:
        """Everything written on the disk, the file closed."""
        self.file.flush()
        if self.temp is not None:
            os.fsync(self.file.fileno())
        self.file.close()

    def commit(self) -> None:
        if self.temp is not None:
            os.replace(self.temp, self.target)
            self.temp = None
            _sync_folder(os.path.dirname(self.target))

    def discard(self) -> None:
        """Close, and remove the new file unless it has been committed; a no-op after commit."""
        file = getattr(self, "file", None)
        if file is not None:
            with contextlib.suppress(OSError):  # flushing what is buffered may fail again
                file.close()
        if self.temp is not None:
            with contextlib.suppress(OSError):
                os.unlink(self.temp)
            self.temp = None


def unwritable(path: PathLike) -> str | None:
    """Why :func:`atomic_write` could not write `path`, found by trying (root passes
    permission checks that writing then fails), or None when it can. Creates nothing that
    stays and leaves an existing file as it is."""
    st = _stat(os.fspath(path))
    if st is not None and stat.S_ISDIR(st.st_mode):
        return "is a directory"
    target = os.path.realpath(os.fspath(path))
    folder = os.path.dirname(target)
    if st is None and not os.path.isdir(folder):
        return f"no such directory {folder}"
    try:
        if st is not None:
            with open(path, "ab"):  # a read-only file is refused, not replaced
                pass
            if not stat.S_ISREG(st.st_mode):
                return None  # written in place
        fd, temp = _new_beside(target, path)
        os.close(fd)
        os.unlink(temp)
    except OSError as exc:
        return f"cannot write ({exc.strerror or exc})"
    return None


def _stat(path: str) -> os.stat_result | None:
    """What `path` names, links followed; None when nothing (or a dangling link)."""
    try:
        return os.stat(path)
    except FileNotFoundError:
        return None


def _open(file: int | str, mode: str, newline: str | None) -> IO[Any]:
    if mode == "w":
        return open(file, "w", encoding="utf-8", newline=newline)
    return open(file, "wb")


def _new_beside(target: str, path: PathLike) -> tuple[int, str]:
    """A new, empty file in `target`'s folder, open for writing: (descriptor, its path)."""
    folder, name = os.path.split(target)
    while True:
        temp = os.path.join(folder, f".{name}.{secrets.token_hex(4)}.part")
        try:
            return os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666), temp
        except FileExistsError:
            continue
        except OSError as exc:
            exc.filename = os.fspath(path)  # the folder refused a new file: name the target
            raise


def _sync_folder(folder: str) -> None:
    """Make the rename itself durable; file systems that cannot sync a folder are let be."""
    with contextlib.suppress(OSError):
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
