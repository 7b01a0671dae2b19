"""Writing a set of output files all at once or not at all.

Each file is first written under a temporary name beside its final place;
only when every one of them is complete are they moved into place, so that an
interrupted or failed run never leaves half of its output, nor a mix of new
and old files.
"""

from __future__ import annotations

import os
import signal
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Sequence

import pandas as pd
from pandas.api import types as ptypes

from korvan.cli.job import Job, Outcome
from korvan.cli.options import FEATURES_CHART_FILE, FEATURES_FILE, Options
from korvan.errors import UsageError


__all__ = ["OutputError", "PendingFile", "OutputSpec", "OUTPUTS", "planned_outputs", "check_targets",
           "write_all", "write_outputs", "remove_stale_partials", "PARTIAL_PREFIX"]

#: Every temporary output file starts with this and the writing process's id;
#: one whose process is gone (killed with -9) is removed by the next run
#: writing to that folder.
PARTIAL_PREFIX = ".korvan-partial-"
CHART_FILE = "chart.png"
RESULT_FILE = "result.json"
REPORT_FILE = "report.html"


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


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:  # another user's: alive
        return True
    return True


def remove_stale_partials(folder: Path) -> list[Path]:
    """Remove the temporary files that killed runs left in ``folder``; return them.

    Files of a run still going (its process is alive) are left alone.
    """
    removed = []
    try:
        entries = list(folder.glob(PARTIAL_PREFIX + "*"))
    except OSError:
        return removed
    for entry in entries:
        pid_text = entry.name[len(PARTIAL_PREFIX):].split("-", 1)[0]
        if pid_text.isdigit() and not _alive(int(pid_text)) and entry.is_file():
            try:
                entry.unlink()
                removed.append(entry)
            except OSError:
                pass
    return removed


class _SignalsHeld:
    """Ctrl-C and SIGTERM wait while the files are moved, so that no signal
    splits the moves into a mix of new and old files."""

    def __enter__(self) -> None:
        self._held = threading.current_thread() is threading.main_thread()
        if self._held:
            self._mask = signal.pthread_sigmask(signal.SIG_BLOCK,
                                                {signal.SIGINT, signal.SIGTERM})

    def __exit__(self, *exc: object) -> None:
        if self._held:
            signal.pthread_sigmask(signal.SIG_SETMASK, self._mask)


def write_all(files: Sequence[PendingFile],
              moved: Callable[[], object] | None = None) -> list[Path]:
    """Write every file to a temporary name, then move them all into place.

    Folders are created as needed, and temporary files that killed runs
    left there are removed first.  On any failure the temporary files are
    removed, folders created here are removed again if empty, the earlier
    files at the final places are untouched, and the exception propagates.
    ``moved()`` is called once every file is in place, before a Ctrl-C or
    SIGTERM held during the moves is let through.

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
            remove_stale_partials(folder)
            # The temporary name keeps the suffix: writers such as an image
            # export pick the format from it.
            fd, tmp = tempfile.mkstemp(prefix=f"{PARTIAL_PREFIX}{os.getpid()}-{f.path.name}.",
                                       suffix=f".tmp{f.path.suffix}", dir=folder)
            os.close(fd)
            os.chmod(tmp, 0o666 & ~_umask())
            pending.append((Path(tmp), f.path))
            f.write(Path(tmp))
        for _, final in pending:
            if final.is_dir():
                raise IsADirectoryError(f"{final} is a folder")
        with _SignalsHeld():
            for tmp, final in pending:
                os.replace(tmp, final)
            if moved is not None:
                moved()
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


# -- the command's output files ----------------------------------------------

@dataclass
class OutputSpec:
    """An output file of the command.

    Attributes
    ----------
    label : str
        Printed before its path (``"Chart"``).
    where : callable
        ``where(opts)``: its path, or None when the run does not write it.
    write : callable
        ``write(path, job, outcome)`` writes the whole file at ``path``.
    """

    label: str
    where: Callable[[Options], Path | None]
    write: Callable[[Path, Job, Outcome], object]



def _write_chart(path: Path, job: Job, outcome: Outcome) -> None:
    outcome.result.plot(path)



def _write_result(path: Path, job: Job, outcome: Outcome) -> None:
    outcome.result.save(path)



def _write_report(path: Path, job: Job, outcome: Outcome) -> None:
    limit = job.opts.max_drop
    outcome.result.save_html(path, job.dataset, baseline=outcome.baseline,
                             sweep=outcome.sweep, max_drop=None if limit is None else limit.limit,
                             level=None if limit is None else limit.level)



# A spreadsheet takes a cell that starts with one of these for a formula.
_FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")


def _as_text_cell(value: object) -> object:
    if isinstance(value, str) and value.startswith(_FORMULA_STARTS):
        return "'" + value  # shown as text, as a spreadsheet's own quote does
    return value


def defuse_formulas(frame: pd.DataFrame) -> pd.DataFrame:
    """A copy of ``frame`` whose text cells, labels and names a spreadsheet shows as text.

    Text from the user's data such as ``=HYPERLINK(...)`` or ``@SUM(...)``
    would run as a formula in the program that opens the CSV file; such a
    cell gets a leading ``'``.  Numbers, negative ones included, stay numbers.
    """
    out = frame.copy()
    for name in out.columns:
        column = out[name]
        if not (ptypes.is_numeric_dtype(column.dtype) or ptypes.is_bool_dtype(column.dtype)):
            out[name] = column.astype(object).map(_as_text_cell)
    out.columns = [_as_text_cell(c) for c in out.columns]
    if not ptypes.is_numeric_dtype(out.index.dtype):
        out.index = pd.Index([_as_text_cell(v) for v in out.index], name=out.index.name)
    out.index.name = _as_text_cell(out.index.name)
    return out


def _write_worst_rows(path: Path, job: Job, outcome: Outcome) -> None:
    assert outcome.worst is not None
    defuse_formulas(outcome.worst).to_csv(path)



#: The command's output files, written all together after the run.
OUTPUTS: list[OutputSpec] = [
    OutputSpec("Chart", lambda o: Path(o.output) / CHART_FILE, _write_chart),
    OutputSpec("Result", lambda o: Path(o.output) / RESULT_FILE, _write_result),
    OutputSpec("Report", lambda o: None if o.no_html
               else Path(o.output) / REPORT_FILE, _write_report),
    OutputSpec("Worst rows",
               lambda o: None if o.worst_rows is None else Path(o.worst_rows),
               _write_worst_rows),
    OutputSpec("Features chart", lambda o: Path(o.output) / FEATURES_CHART_FILE if o.wants_sweep else None,
               lambda path, job, outcome: outcome.sweep.plot(path)),
    OutputSpec("Features", lambda o: Path(o.output) / FEATURES_FILE if o.wants_sweep else None,
               lambda path, job, outcome: outcome.sweep.save(path)),
]



def planned_outputs(opts: Options) -> list[tuple[OutputSpec, Path]]:
    """The output files this run will write, with their paths."""
    planned = []
    for spec in OUTPUTS:
        path = spec.where(opts)
        if path is not None:
            planned.append((spec, path))
    return planned



def write_outputs(job: Job, outcome: Outcome,
                  moved: Callable[[], object] | None = None) -> dict[str, Path]:
    """Write every planned output file, all or none; return label -> path.

    ``moved`` is :func:`write_all`'s: called once all of them are in place.
    """
    planned = planned_outputs(job.opts)
    files = [PendingFile(spec.label, path,
                         lambda p, spec=spec: spec.write(p, job, outcome))
             for spec, path in planned]
    start = time.perf_counter()
    try:
        write_all(files, moved)
    except OSError as exc:
        raise UsageError(f"cannot write the output: {exc.strerror or exc}") from None
    job.seconds["write"] = time.perf_counter() - start
    return {spec.label: path for spec, path in planned}

