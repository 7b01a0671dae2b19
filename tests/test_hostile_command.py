"""The command against hostile files and options, each run as a user runs it: in a
process of its own, its exit status, its streams and the files it leaves."""
import os
import socket
import subprocess
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import joblib
import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from sklearn.compose import ColumnTransformer
from sklearn.datasets import load_diabetes
from sklearn.linear_model import LinearRegression
from sklearn.pipeline import make_pipeline

from misbehaving_models import PredictsBadly, RaisesOnPredict, Slow

HERE = Path(__file__).parent
FAST = ["--n-repeats", "2", "--noise-levels", "0.1"]
OUTPUTS = {"chart.png", "result.json", "report.html"}
MATH = ["$\\alpha$", "a\x07b", "$x"]
ESCAPES = ["\x1b]0;owned\x07", "\x1b[31mred"]
FORMULAS = ["=1+2", "+SUM(A1)", "-2+3", "@NOW()", "plain"]


def diabetes(rows=60):
    frame = load_diabetes(as_frame=True).frame.iloc[:rows, [0, 2, 3, 4, 10]]
    return frame.rename(columns={"s1": "tc"})


def write_csv(frame, path):
    frame.to_csv(path, index=False)
    return path


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    return make_inputs(tmp_path_factory.mktemp("hostile"))


def make_inputs(folder):
    """Name -> path of every data and model file the cases use."""
    plain = diabetes()
    named = {}
    named["plain"] = write_csv(plain, folder / "plain.csv")
    named["math"] = write_csv(plain.set_axis([*MATH, "tc", "target"], axis=1),
                              folder / "math.csv")
    named["escape"] = write_csv(plain.set_axis([*ESCAPES, "bp", "tc", "target"], axis=1),
                                folder / "escape.csv")
    named["math file"] = write_csv(plain, folder / "$x^2$ \x07.csv")
    inf = plain.copy()
    inf.loc[5, "target"] = np.inf
    named["inf target"] = write_csv(inf, folder / "inf.csv")
    named["two rows"] = write_csv(plain.iloc[:2], folder / "two.csv")
    notes = plain.assign(note=[FORMULAS[i % len(FORMULAS)] for i in range(len(plain))])
    named["formulas"] = write_csv(notes, folder / "formulas.csv")
    text = "age,bmi,age,target\n" + "\n".join(f"{i},{i % 7},{i % 5},{i * 3 % 11}"
                                               for i in range(40))
    named["dup csv"] = folder / "dup.csv"
    named["dup csv"].write_text(text + "\n")
    named["dup parquet"] = folder / "dup.parquet"
    pq.write_table(pa.Table.from_arrays([pa.array(plain[c]) for c in plain.columns[:3]]
                                        + [pa.array(plain["target"])],
                                        names=["age", "bmi", "age", "target"]),
                   named["dup parquet"])
    X, y = plain.drop(columns="target"), plain["target"]
    linear = LinearRegression().fit(X, y)
    for name, model in {
        "exits": RaisesOnPredict(linear, SystemExit(0)),
        "exits later": RaisesOnPredict(linear, SystemExit(0), after=1),
        "slow": Slow(linear, 0.4),
        "interrupts": RaisesOnPredict(linear, KeyboardInterrupt()),
        "nan": PredictsBadly(linear, np.nan),
        "inf": PredictsBadly(linear, np.inf),
        "strings": PredictsBadly(linear, "high"),
        "by name": make_pipeline(ColumnTransformer([("keep", "passthrough", ["age", "bmi"])]),
                                 LinearRegression()).fit(X, y),
        "linear": linear,
    }.items():
        named[name] = folder / f"{name.replace(' ', '-')}.joblib"
        joblib.dump(model, named[name])
    return named


class Server:
    """Something listening that is not a Dask scheduler."""

    def __init__(self, kind):
        if kind == "http":
            class Handler(BaseHTTPRequestHandler):
                def do_GET(self):
                    self.send_response(200)
                    self.end_headers()
                    self.wfile.write(b"hello")

                def log_message(self, *args):
                    pass

            self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
            self.port = self.server.server_address[1]
            self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        else:  # says a frame of a few exbibytes follows, then nothing
            self.sock = socket.create_server(("127.0.0.1", 0))
            self.port = self.sock.getsockname()[1]
            self.thread = threading.Thread(target=self._garbage, daemon=True)
        self.thread.start()

    def close(self):
        if hasattr(self, "server"):
            self.server.shutdown()
            self.server.server_close()
        else:
            self.sock.close()
        self.thread.join(timeout=10)

    def _garbage(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            conn.sendall(b"\xff" * 64)


@pytest.fixture(scope="module")
def servers():
    # Stopped after the module: a thread left polling would disturb the
    # memory counts of the leak tests.
    made = make_servers()
    yield made
    for server in made.values():
        server.close()


def make_servers():
    return {kind: Server(kind) for kind in ("http", "garbage")}


def case(label, data, argv, status, words=(), written=None, **kw):
    """A row of the table: the data file, the options, the status, words of the one line
    (stderr; stdout when the run succeeds), and whether the outputs appear."""
    written = status in (0, 1) if written is None else written
    return pytest.param(data, argv, status, words, written, id=label, marks=kw.get("marks", ()))


CASES = [
    # Names that a chart or a terminal would interpret, through the whole pipeline.
    case("math-and-bell-names", "math", ["--per-feature"], 0, ["Drop of the mean"]),
    case("math-file-name", "math file", [], 0, ["Robustness of"]),
    case("escape-names", "escape", ["--per-feature"], 0, ["\\x1b[31mred"]),
    case("escape-in-error-line", "escape", ["--features", "\x1b[31mred,\x1b]0;x\x07"], 2,
         ["--features", "\\x1b]0;x\\x07"]),
    case("escape-target", "plain", ["--target", "\x1b[2Jt"], 2, ["\\x1b[2Jt"]),
    # Outputs that would land on each other, or nowhere.
    case("worst-rows-onto-result", "plain", ["--worst-rows", "out/result.json"], 2,
         ["--worst-rows", "result.json"]),
    case("worst-rows-onto-folder", "plain", ["--worst-rows", "out"], 2, ["--worst-rows", "out"]),
    case("empty-output", "plain", ["--output", ""], 2, ["--output"]),
    # Models that misbehave.
    case("model-raises-systemexit", "plain", ["--model-file", "exits", "--allow-pickle"], 2,
         ["model", "SystemExit"]),
    case("model-exits-mid-run", "plain", ["--model-file", "exits later", "--allow-pickle"], 2,
         ["model", "SystemExit"]),
    case("model-raises-keyboardinterrupt", "plain",
         ["--model-file", "interrupts", "--allow-pickle"], 2, ["model", "KeyboardInterrupt"]),
    case("model-predicts-nan", "plain", ["--model-file", "nan", "--allow-pickle"], 2,
         ["predictions", "row"]),
    case("model-predicts-inf", "plain", ["--model-file", "inf", "--allow-pickle"], 2,
         ["predictions", "row"]),
    case("model-predicts-strings", "plain", ["--model-file", "strings", "--allow-pickle"], 2,
         ["predictions", "row"]),
    case("array-input-to-named-columns", "plain",
         ["--model-file", "by name", "--allow-pickle", "--input", "array"], 2,
         ["--input frame"]),
    # Data that cannot be used.
    case("inf-in-target", "inf target", [], 2, ["target"]),
    case("duplicate-column-csv", "dup csv", [], 2, ["age", "more than once"]),
    case("duplicate-column-parquet", "dup parquet", [], 2, ["age", "more than once"]),
    case("two-rows", "two rows", [], 2, ["too few rows"]),
    case("classification-of-a-quantity", "plain", ["--task-type", "classification"], 2,
         ["distinct values"]),
    # Options that do nothing together.
    case("model-with-model-file", "plain",
         ["--model", "forest", "--model-file", "linear", "--allow-pickle"], 2,
         ["--model", "--model-file"]),
    case("trust-without-model-file", "plain", ["--trust", "a.B"], 2, ["--trust", "--model-file"]),
    case("allow-pickle-without-model-file", "plain", ["--allow-pickle"], 2,
         ["--allow-pickle", "--model-file"]),
    case("threshold-0", "plain", ["--threshold", "0"], 0, ["Note", "worst group is empty"]),
    case("threshold-1", "plain", ["--threshold", "1"], 0, ["Note", "every row"]),
    # Where the rounds would go.
    case("scheduler-is-http", "plain", ["--scheduler", "tcp://127.0.0.1:{http}"], 2,
         ["--scheduler", "127.0.0.1:{http}"]),
    case("scheduler-sends-garbage", "plain", ["--scheduler", "tcp://127.0.0.1:{garbage}"], 2,
         ["--scheduler", "127.0.0.1:{garbage}"]),
    # Capped at the cores (a note under the columns says so), a run that succeeds.
    case("jobs-9999", "plain", ["--jobs", "9999"], 0, ["Robustness of"]),
]


def run_command(argv, cwd, timeout=120, **kw):
    env = {**os.environ, "PYTHONPATH": str(HERE)}
    return subprocess.run([sys.executable, "-m", "korvan", *argv], cwd=cwd, env=env,
                          capture_output=True, timeout=timeout, **kw)


def resolve(argv, inputs, servers):
    ports = {kind: str(s.port) for kind, s in servers.items()}
    return [str(inputs[a]) if a in inputs else a.format(**ports) for a in argv]


def run_case(inputs, servers, folder, data, argv, timeout=120):
    argv = resolve(argv, inputs, servers)
    if "--target" not in argv:
        argv += ["--target", "target"]
    if "--model-file" not in argv and "--model" not in argv:
        argv += ["--model", "linear"]
    if "--output" not in argv:
        argv += ["--output", "out"]
    return run_command([str(inputs[data]), *argv, *FAST], folder, timeout)


@pytest.mark.parametrize("data, argv, status, words, written", CASES)
def test_hostile_command(inputs, servers, tmp_path, data, argv, status, words, written):
    proc = run_case(inputs, servers, tmp_path, data, argv)
    words = resolve(words, {}, servers)
    out, err = proc.stdout.decode(), proc.stderr.decode()
    assert proc.returncode == status, err
    # Nothing from a file reaches the terminal raw.
    assert "\x1b" not in out + err and "\x07" not in out + err
    if status == 0:
        assert err == ""
        line = out
    else:
        assert len(err.splitlines()) == 1, err
        line = err
    for word in words:
        assert word in line
    left = {p.name for p in tmp_path.rglob("*")}
    if written:
        assert OUTPUTS <= left
    else:
        assert left == set(), left


# -- signals -------------------------------------------------------------------

SHM = Path("/dev/shm")


def shared_files():
    return set(SHM.glob("korvan-rounds-*")) if SHM.is_dir() else set()


def start(argv, cwd, **kw):
    env = {**os.environ, "PYTHONPATH": str(HERE)}
    return subprocess.Popen([sys.executable, "-m", "korvan", *map(str, argv)], cwd=cwd, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)


def read_until(proc, prefix):
    for line in proc.stdout:
        if line.startswith(prefix):
            return line
    raise AssertionError(f"the command ended before printing {prefix!r}")


def answer(proc):
    """Exit status and stderr lines, the process gone."""
    proc.stdout.close()
    err = proc.stderr.read().decode()
    return proc.wait(timeout=60), err.splitlines()


def no_traceback(lines):
    text = "\n".join(lines)
    return "Traceback" not in text and "Exception ignored" not in text


@pytest.mark.parametrize("delay", [0.4, 1.2])
def test_ctrl_c_during_start_up_is_130_and_one_line(tmp_path, delay):
    import time

    proc = start(["--demo", "--output", "out"], tmp_path)
    time.sleep(delay)
    proc.send_signal(2)
    status, lines = answer(proc)
    assert (status, lines) == (130, ["korvan-robustness: interrupted"])
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("signum, status, word", [(2, 130, "interrupted"),
                                                  (15, 143, "terminated")])
def test_signal_mid_run_leaves_nothing(inputs, tmp_path, signum, status, word):
    import time

    proc = start([inputs["plain"], "--target", "target", "--model-file", inputs["slow"],
                  "--allow-pickle", "--n-repeats", "20", "--noise-levels", "0.1",
                  "--output", "out"], tmp_path)
    read_until(proc, b"Columns of")
    time.sleep(1.0)  # the run's model calls take 0.4 s each
    proc.send_signal(signum)
    assert answer(proc) == (status, [f"korvan-robustness: {word}"])
    assert list(tmp_path.iterdir()) == []


def test_ctrl_c_after_the_summary_changes_nothing(inputs, tmp_path):
    proc = start([inputs["plain"], "--target", "target", "--model", "linear", *FAST,
                  "--output", "out"], tmp_path)
    read_until(proc, b"Time:")
    proc.send_signal(2)
    status, lines = answer(proc)
    # The files are in place: the run's own status, or at most the one line.
    assert status == 0 and lines == [] or (status, lines) == (130, ["korvan-robustness: interrupted"])
    assert no_traceback(lines)
    assert OUTPUTS <= {p.name for p in (tmp_path / "out").iterdir()}


def test_sigterm_under_jobs_takes_workers_and_shared_files_along(inputs, tmp_path):
    import time

    import psutil

    before = shared_files()
    proc = start([inputs["plain"], "--target", "target", "--model-file", inputs["slow"],
                  "--allow-pickle", "--jobs", "2", "--workers", "processes", "--n-repeats", "20",
                  "--noise-levels", "0.1", "--output", "out"], tmp_path)
    parent = psutil.Process(proc.pid)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:  # until the rounds are out in the workers
        workers = [p for p in parent.children(recursive=True)
                   if "loky" in " ".join(p.cmdline())]
        if len(workers) >= 2 and shared_files() - before:
            break
        time.sleep(0.1)
    else:
        raise AssertionError("the workers never started")
    time.sleep(1.0)
    proc.send_signal(15)
    assert answer(proc) == (143, ["korvan-robustness: terminated"])
    gone, alive = psutil.wait_procs(workers, timeout=3)
    assert alive == []
    assert shared_files() - before == set()
    assert list(tmp_path.iterdir()) == []


def test_closed_stdout_is_no_failure(inputs, tmp_path):
    proc = subprocess.run([sys.executable, "-m", "korvan", inputs["plain"], "--target", "target",
                           "--model", "linear", *FAST, "--output", "out"],
                          cwd=tmp_path, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          preexec_fn=lambda: os.close(1), timeout=300)
    assert (proc.returncode, proc.stderr) == (0, b"")
    assert {p.name for p in (tmp_path / "out").iterdir()} == OUTPUTS


def test_next_run_removes_what_a_killed_run_left(inputs, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                          capture_output=True, text=True).stdout.strip()
    left = out / f".korvan-partial-{dead}-chart.png.x1.tmp.png"
    running = out / f".korvan-partial-{os.getpid()}-chart.png.x2.tmp.png"
    for path in (left, running):
        path.write_bytes(b"half a chart")
    proc = run_case(inputs, {}, tmp_path, "plain", [])
    assert proc.returncode == 0, proc.stderr
    assert {p.name for p in out.iterdir()} == OUTPUTS | {running.name}


def test_worst_rows_csv_holds_no_formulas(inputs, tmp_path):
    import csv

    proc = run_case(inputs, {}, tmp_path, "formulas",
                    ["--threshold", "1", "--worst-rows", "worst.csv"])
    assert proc.returncode == 0, proc.stderr
    with open(tmp_path / "worst.csv", newline="") as fh:
        rows = list(csv.reader(fh))
    header, cells = rows[0], [c for row in rows[1:] for c in row]
    notes = [row[header.index("note")] for row in rows[1:]]
    assert sorted(set(notes)) == sorted(["'" + f for f in FORMULAS[:4]] + ["plain"])
    # Negative numbers are numbers, not text to defuse.
    assert any(c.startswith("-") and float(c) < 0 for c in cells if c[:1] == "-")
    assert not [c for c in cells if c[:1] in "=+@"]
