"""Writing a set of output files all at once or not at all.

Each file is first written under a temporary name beside its final place;
only when every one of them is complete are they moved into place, so that an
interrupted or failed run never leaves half of its output, nor a mix of new
and old files.
"""

from __future__ import annotations

import os
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Sequence

from korvan.cli.job import Job, Outcome
from korvan.cli.options import FEATURES_CHART_FILE, FEATURES_FILE, Options
from korvan.errors import UsageError


__all__ = ["OutputError", "PendingFile", "OutputSpec", "OUTPUTS", "planned_outputs", "check_targets",
           "write_all", "write_outputs"]

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



def _write_worst_rows(path: Path, job: Job, outcome: Outcome) -> None:
    assert outcome.worst is not None
    outcome.worst.to_csv(path)



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



def write_outputs(job: Job, outcome: Outcome) -> dict[str, Path]:
    """Write every planned output file, all or none; return label -> path."""
    planned = planned_outputs(job.opts)
    files = [PendingFile(spec.label, path,
                         lambda p, spec=spec: spec.write(p, job, outcome))
             for spec, path in planned]
    start = time.perf_counter()
    try:
        write_all(files)
    except OSError as exc:
        raise UsageError(f"cannot write the output: {exc.strerror or exc}") from None
    job.seconds["write"] = time.perf_counter() - start
    return {spec.label: path for spec, path in planned}

