"""Outputs that appear complete or not at all: written under temporary names in
their target folder, then linked to their final names by one publishing step.

Every temporary name starts with ``.quelta-tmp-`` and the token of the call
that made it:

- ``.quelta-tmp-<token>.live``: the call's marker, one per folder, held under an
  exclusive ``flock`` for as long as the call runs;
- ``.quelta-tmp-<token>.<attempt>.<final name>``: an output being written;
- ``.quelta-tmp-<token>.<n>.publish``: the journal of a pair being published.

A pair is published by writing its journal (the temporaries' inodes and the
final names), linking each temporary to its final name (a rename where the
filesystem has no hard links), then removing the journal: that removal is the
commit point. A journal still present means a process died mid-publish; the
sweep rolls it back by removing every final name that still holds the
journal's inode, so a pair is left complete or not at all.

The sweep runs when a call opens its staging in a folder: it removes the
temporaries of every token whose marker is missing or not locked (its call has
ended or died), and leaves those of live calls alone.
"""

from __future__ import annotations

import errno
import fcntl
import json
import os
import re
import threading
import uuid
from collections.abc import Iterable, Sequence

PREFIX = ".quelta-tmp-"
_NAME = re.compile(r"\.quelta-tmp-([0-9a-f]+)\.(.*)\Z", re.S)
# Temporaries of earlier versions of the Dask module: ".<final name>.<12 hex digits>.part".
OLD_DASK_PART = re.compile(r"\..+\.(valid\.csv|invalid\.jsonl)\.[0-9a-f]{12}\.part\Z", re.S)
# Errors of os.link that mean "no hard links here": publishing falls back to a rename.
_NO_LINKS = {errno.EPERM, errno.EOPNOTSUPP, errno.ENOTSUP, errno.EMLINK, errno.ENOSYS, errno.EXDEV}

_live: set[str] = set()  # tokens of this process's open stagings (POSIX-lock emulations do not conflict in-process)
_live_lock = threading.Lock()


def marker_path(folder: str, token: str) -> str:
    return os.path.join(folder, f"{PREFIX}{token}.live")


def temp_path(final: str, token: str, attempt: str) -> str:
    """The temporary name beside a final path; the final name is kept (cut short) to show what it becomes."""
    folder, name = os.path.split(final)
    return os.path.join(folder, f"{PREFIX}{token}.{attempt}.{name[:100]}")


def new_attempt() -> str:
    return uuid.uuid4().hex[:8]


def discard(paths: Iterable[str]) -> None:
    for path in paths:
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass


def _ident(fd: int) -> tuple[int, int]:
    st = os.fstat(fd)
    return st.st_dev, st.st_ino


def _same_inode(path: str, dev: int, ino: int) -> bool:
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return False
    return (st.st_dev, st.st_ino) == (dev, ino)


def _roll_back(journal: str) -> None:
    """Undoes an interrupted publish: final names still holding the journal's files are removed."""
    try:
        with open(journal, encoding="utf-8") as f:
            entries = json.load(f)
    except (OSError, ValueError):
        entries = []  # cut short while being written: nothing was linked yet
    for entry in entries if isinstance(entries, list) else []:
        try:
            final, dev, ino = entry["final"], entry["dev"], entry["ino"]
        except (TypeError, KeyError):
            continue
        if _same_inode(final, dev, ino):
            discard([final])
    discard([journal])


def _held(marker: str) -> tuple[bool, int | None]:
    """Whether a live call holds the marker; when not, the open descriptor that now holds it."""
    try:
        fd = os.open(marker, os.O_RDONLY | os.O_CLOEXEC)
    except FileNotFoundError:
        return False, None
    except OSError:
        return True, None  # cannot tell: leave it alone
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        # Held elsewhere, or a filesystem without locks, where no marker can be told stale.
        os.close(fd)
        return True, None
    return False, fd


def sweep(folder: str, only: str | None = None, old: re.Pattern[str] | None = None) -> None:
    """Removes the temporaries in folder of every ended call (or only of the token given),
    rolling back interrupted publishes first; a call's marker goes last. Names that
    match ``old`` (temporaries of earlier versions) go too."""
    groups: dict[str, list[str]] = {}
    stale: list[str] = []
    try:
        with os.scandir(folder) as entries:
            for entry in entries:
                match = _NAME.match(entry.name)
                if match:
                    groups.setdefault(match.group(1), []).append(entry.name)
                elif old is not None and old.match(entry.name):
                    stale.append(os.path.join(folder, entry.name))
    except OSError:
        return
    discard(stale)
    for token, names in groups.items():
        if only is not None and token != only:
            continue
        marker = marker_path(folder, token)
        fd = None
        if only is None:
            with _live_lock:
                if token in _live:
                    continue
            held, fd = _held(marker)
            if held:
                continue
        try:
            paths = [os.path.join(folder, n) for n in names]
            for path in paths:
                if path.endswith(".publish"):
                    _roll_back(path)
            discard(p for p in paths if p != marker)
            discard([marker])
        finally:
            if fd is not None:
                os.close(fd)


class Staging:
    """One call's claim on its output folders: a locked marker in each, temporary
    names under the call's token, publishing, and the sweep of its own
    temporaries when it ends (a context manager)."""

    def __init__(self, folders: Iterable[str], old: re.Pattern[str] | None = None) -> None:
        self.folders = list(dict.fromkeys(folders))
        self._old = old
        self.token = ""
        self._fds: list[tuple[str, int]] = []
        self._journals = 0

    def __enter__(self) -> "Staging":
        for folder in self.folders:
            sweep(folder, old=self._old)
        for _ in range(8):
            self.token = uuid.uuid4().hex[:16]
            if self._claim():
                break
        with _live_lock:
            _live.add(self.token)
        return self

    def _claim(self) -> bool:
        """Makes a locked marker in every folder; False when a sweep took one away first."""
        for folder in self.folders:
            marker = marker_path(folder, self.token)
            try:
                fd = os.open(marker, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
            except OSError:
                continue  # a folder that cannot be written: the work there fails on its own
            self._fds.append((marker, fd))
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                self._release()  # a sweep opened it between create and lock, and removes it
                return False
            except OSError:
                pass  # no locks on this filesystem: the marker only tells that the call has not ended
            if not _same_inode(marker, *_ident(fd)):
                self._release()
                return False
        return True

    def _release(self) -> None:
        for marker, fd in self._fds:
            try:
                if _same_inode(marker, *_ident(fd)):
                    os.unlink(marker)
            finally:
                os.close(fd)
        self._fds = []

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Ends the call: the markers go first, so that a task still writing sees the call
        has ended and removes its own outputs; then this call's temporaries are swept."""
        self._release()
        for folder in self.folders:
            sweep(folder, only=self.token)
        with _live_lock:
            _live.discard(self.token)

    def temp(self, final: str, attempt: str = "0") -> str:
        return temp_path(final, self.token, attempt)

    def publish(self, pairs: Sequence[tuple[str, str]]) -> None:
        """Links each (temporary, final) pair's temporary to its final name, all or none.
        Raises FileExistsError naming the first final name that exists; on any
        failure no final name is left and the temporaries are removed."""
        temps = [t for t, _ in pairs]
        try:
            for _, final in pairs:
                if os.path.lexists(final):
                    raise FileExistsError(errno.EEXIST, "output exists", final)
            self._journals += 1
            journal = os.path.join(os.path.dirname(pairs[0][1]), f"{PREFIX}{self.token}.{self._journals}.publish")
            entries = []
            for temp, final in pairs:
                st = os.stat(temp)
                entries.append({"final": final, "dev": st.st_dev, "ino": st.st_ino})
            with open(journal, "x", encoding="utf-8") as f:
                json.dump(entries, f)
            try:
                placed: list[str] = []
                try:
                    for temp, final in pairs:
                        try:
                            _place(temp, final)
                        except FileExistsError:
                            raise FileExistsError(errno.EEXIST, "output exists", final) from None
                        placed.append(final)
                except BaseException:
                    discard(placed)
                    raise
            finally:
                discard([journal])  # the commit point once every name is placed
        finally:
            discard(temps)


def _place(temp: str, final: str) -> None:
    try:
        os.link(temp, final)
    except OSError as exc:
        if exc.errno not in _NO_LINKS:
            raise
        if os.path.lexists(final):
            raise FileExistsError(errno.EEXIST, "output exists", final) from None
        os.rename(temp, final)
