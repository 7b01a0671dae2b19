"""Writing a set of output files all at once or not at all.

Each file is first written under a temporary name beside its final place;
only when every one of them is complete are they moved into place, so that an
interrupted or failed run never leaves half of its output, nor a mix of new
and old files.
"""

from __future__ import annotations

import os
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Sequence

__all__ = ["OutputError", "PendingFile", "check_targets", "write_all"]


class OutputError(OSError):
    """An output file cannot be written there; the message says why."""


@dataclass
class PendingFile:
    """One output file: where it goes and how to write it.

    Attributes
    ----------
    label : str
        What it is, as printed (``"Chart"``).
    path : Path
        Its final place.
    write : callable
        ``write(path)`` writes the whole file at ``path`` (a temporary name).
    """

    label: str
    path: Path
    write: Callable[[Path], object]


def _umask() -> int:
    # mkstemp makes files only the owner can read; the outputs get the usual
    # permissions instead.
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _nearest_existing(path: Path) -> Path:
    for parent in [path, *path.parents]:
        if parent.exists():
            return parent
    return Path(".")


def check_targets(folder: Path, paths: Sequence[Path]) -> None:
    """Check, without creating anything, that ``paths`` can be written.

    ``folder`` must be a folder or creatable as one, and writable; each path
    must not be a folder, and its own folder must be writable too.

    Raises
    ------
    OutputError
        Naming the path and the problem.
    """
    for where in [folder, *(p.parent for p in paths)]:
        if where.exists() and not where.is_dir():
            raise OutputError(f"{where} exists and is not a folder")
        base = _nearest_existing(where)
        if not base.is_dir():
            raise OutputError(f"{where} cannot be created: {base} is not a folder")
        if not os.access(base, os.W_OK | os.X_OK):
            raise OutputError(f"{where} is not writable")
    for path in paths:
        if path.is_dir():
            raise OutputError(f"{path} is a folder; remove it or choose another output")


def write_all(files: Sequence[PendingFile]) -> list[Path]:
    """Write every file to a temporary name, then move them all into place.

    Folders are created as needed.  On any failure the temporary files are
    removed, folders created here are removed again if empty, the earlier
    files at the final places are untouched, and the exception propagates.

    Returns
    -------
    list of Path
        The final paths, in order.
    """
    created: list[Path] = []
    pending: list[tuple[Path, Path]] = []
    try:
        for f in files:
            folder = f.path.parent
            for missing in reversed([p for p in [folder, *folder.parents] if not p.exists()]):
                missing.mkdir()
                created.append(missing)
            # The temporary name keeps the suffix: writers such as an image
            # export pick the format from it.
            fd, tmp = tempfile.mkstemp(prefix=f".{f.path.name}.", suffix=f".tmp{f.path.suffix}",
                                       dir=folder)
            os.close(fd)
            os.chmod(tmp, 0o666 & ~_umask())
            pending.append((Path(tmp), f.path))
            f.write(Path(tmp))
        for tmp, final in pending:
            os.replace(tmp, final)
    except BaseException:
        for tmp, _ in pending:
            tmp.unlink(missing_ok=True)
        for folder in reversed(created):
            try:
                folder.rmdir()
            except OSError:
                pass
        raise
    return [f.path for f in files]
