"""Wall time and worker memory of parallel runs against the sequential run.

100,000 x 20 (18 numerical features, 2 categorical), 3 noise levels x 10
repeats, three models: a random forest (prediction-bound, one thread), a
histogram gradient boosting model (OpenMP threads of its own) and a linear
model (perturbation-bound).  For each: the sequential ``RobustnessTest``,
then ``ParallelRobustnessTest`` with n_jobs 1 and 2 on loky and threads, and
on a Dask LocalCluster of 2 single-threaded worker processes.  Every
parallel result is checked equal to the sequential one.

Peak resident memory of each worker (VmHWM, reset before each run through
/proc/PID/clear_refs) is printed next to its resident memory just before
the run, in units of X.nbytes.  Then a paper estimate for a 32-worker
cluster from the measured figures.

    python bench/bench_parallel.py [--rows 100000] [--repeat 2] [--models forest,hgb,linear]
"""

from __future__ import annotations

import argparse
import os
import pickle
import sys
import time

import joblib

from korvan.data import DataSet
from korvan.factsheet.diagnose.robustness import RobustnessTest
from korvan.models import wrap_model
from korvan.parallel import ParallelRobustnessTest
from tables import frame  # noqa: E402  (bench/ is on the path when run)

LEVELS = [0.1, 0.2, 0.3]
REPEATS = 10


def models(names: list[str]) -> dict:
    from sklearn.ensemble import HistGradientBoostingRegressor, RandomForestRegressor
    from sklearn.linear_model import Ridge

    every = {
        "forest": lambda: RandomForestRegressor(n_estimators=40, max_depth=14, random_state=0),
        "hgb": lambda: HistGradientBoostingRegressor(max_iter=100, random_state=0),
        "linear": lambda: Ridge(alpha=1.0),
    }
    return {name: every[name]() for name in names}


def vm(pid: int, field: str) -> float:
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return float("nan")


def reset_peak(pid: int) -> None:
    try:
        with open(f"/proc/{pid}/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


def children(pid: int) -> list[int]:
    """Every process descending from pid."""
    parent = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    parent[int(entry)] = int(f.read().rsplit(")", 1)[1].split()[1])
            except OSError:
                pass
    out, todo = [], [pid]
    while todo:
        p = todo.pop()
        kids = [c for c, pp in parent.items() if pp == p]
        out += kids
        todo += kids
    return out


def _worker_peak() -> tuple[float, float]:
    return vm(os.getpid(), "VmRSS"), vm(os.getpid(), "VmHWM")


def _worker_reset() -> None:
    reset_peak(os.getpid())


def _worker_cpu() -> float:
    return time.process_time()


def cpu_of(pid: int) -> float:
    """User + system CPU seconds a process has used."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except OSError:
        return 0.0


def cpu_now(where: str, client=None) -> float:
    """CPU seconds used so far by this process and the workers that compute rounds."""
    total = time.process_time()
    if where == "dask":
        total += sum(client.run(_worker_cpu).values())
    elif where == "loky":
        total += sum(cpu_of(p) for p in children(os.getpid()) if "popen_loky" in _cmd(p))
    return total


def same(a, b) -> bool:
    return (a.table.equals(b.table) and a.value == b.value and a.options == b.options
            and a.inputs == b.inputs)


def measure(label, ds, model, n_jobs, backend, repeat, expected, nbytes, client=None):
    times, mem, cpus = [], [], []
    # One short run first, so that worker start-up and imports stay out of the figures.
    with joblib.parallel_config(backend=backend):
        ParallelRobustnessTest(ds, model, n_jobs=n_jobs).run(dataset="main", n_repeats=2)
    # Whose memory to watch: the Dask workers, the loky workers, or this process.
    where = "dask" if backend == "dask" else ("loky" if backend == "loky" and n_jobs != 1
                                              else "self")
    for _ in range(repeat):
        if where == "dask":
            client.run(_worker_reset)
            before = client.run(_worker_peak)
        elif where == "loky":
            workers = [p for p in children(os.getpid()) if "popen_loky" in _cmd(p)]
            for p in workers:
                reset_peak(p)
            before = {p: (vm(p, "VmRSS"), 0) for p in workers}
        else:
            reset_peak(os.getpid())
            before = {os.getpid(): (vm(os.getpid(), "VmRSS"), 0)}
        cpu = cpu_now(where, client)
        start = time.perf_counter()
        with joblib.parallel_config(backend=backend):
            got = ParallelRobustnessTest(ds, model, n_jobs=n_jobs).run(
                dataset="main", noise_levels=LEVELS, n_repeats=REPEATS)
        times.append(time.perf_counter() - start)
        cpus.append(cpu_now(where, client) - cpu)
        if not same(got, expected):
            print(f"  {label}: RESULT DIFFERS FROM THE SEQUENTIAL RUN")
        if where == "dask":
            after = client.run(_worker_peak)
            mem.append([(after[w][1] - before[w][0]) for w in after])
        elif where == "loky":
            workers = [p for p in children(os.getpid()) if "popen_loky" in _cmd(p)]
            mem.append([vm(p, "VmHWM") - before[p][0] for p in workers if p in before])
        else:
            mem.append([vm(os.getpid(), "VmHWM") - before[os.getpid()][0]])
    return times, mem, cpus


def _cmd(pid: int) -> str:
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().replace(b"\0", b" ").decode(errors="replace")
    except OSError:
        return ""


def fmt(times: list[float]) -> str:
    return f"{min(times):6.2f}-{max(times):6.2f} s"


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--models", default="forest,hgb,linear")
    parser.add_argument("--no-dask", action="store_true")
    args = parser.parse_args()

    print(f"load before: {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} "
          f"{os.getloadavg()[2]:.2f} on {os.cpu_count()} cores "
          f"(joblib sees {joblib.cpu_count()})")
    full = frame(args.rows)
    ds = DataSet(full, target="y", task_type="regression")
    X, y, _ = ds.get_X_y_data(dataset="main")
    nbytes = X.nbytes
    print(f"X: {X.shape[0]} x {X.shape[1]} float64 = {nbytes / 2**20:.1f} MiB; "
          f"{len(LEVELS)} levels x {REPEATS} repeats = {len(LEVELS) * REPEATS} rounds + 1 baseline")

    client = cluster = None
    if not args.no_dask:
        from distributed import Client, LocalCluster

        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                               dashboard_address=":0")
        client = Client(cluster)

    estimates = {}
    for name, estimator in models(args.models.split(",")).items():
        Xtr, ytr, _ = DataSet(frame(20_000, seed=1), target="y",
                              task_type="regression").get_X_y_data(dataset="train")
        model = wrap_model(estimator.fit(Xtr, ytr))
        size = len(pickle.dumps(model))
        seq, seq_cpu = [], []
        for _ in range(args.repeat):
            cpu = time.process_time()
            start = time.perf_counter()
            expected = RobustnessTest(ds, model).run(dataset="main", noise_levels=LEVELS,
                                                     n_repeats=REPEATS)
            seq.append(time.perf_counter() - start)
            seq_cpu.append(time.process_time() - cpu)
        start = time.perf_counter()
        model.predict(X)
        one_predict = time.perf_counter() - start
        print(f"\n{name}: model pickle {size / 2**20:.1f} MiB, one predict {one_predict:.2f} s")
        print(f"  {'sequential RobustnessTest':<28} {fmt(seq)}  CPU {min(seq_cpu):.1f} s")
        best_seq = min(seq)
        configs = [("n_jobs=1", 1, "loky"), ("loky n_jobs=2", 2, "loky"),
                   ("threading n_jobs=2", 2, "threading")]
        if client is not None:
            configs.append(("dask 2 workers", -1, "dask"))
        for label, n_jobs, backend in configs:
            times, mem, cpus = measure(label, ds, model, n_jobs, backend, args.repeat,
                                       expected, nbytes, client)
            peaks = [m for run in mem for m in run]
            who = "the process" if backend in ("threading",) or n_jobs == 1 else "each worker"
            memtext = (f"peak RSS of {who} above its pre-run RSS: {min(peaks) / 2**20:.0f}-"
                       f"{max(peaks) / 2**20:.0f} MiB = {min(peaks) / nbytes:.1f}-"
                       f"{max(peaks) / nbytes:.1f} x X.nbytes" if peaks else "")
            # On a machine shared with other work, wall time measures the neighbours as
            # much as the code; CPU seconds do not.  With w workers each busy all the
            # time, an idle machine would run w * sequential CPU / parallel CPU faster.
            workers = 1 if n_jobs == 1 else 2
            idle = workers * min(seq_cpu) / min(cpus)
            print(f"  {label:<28} {fmt(times)}  speed-up {best_seq / min(times):4.2f}x "
                  f"(range {best_seq / max(times):.2f}-{max(seq) / min(times):.2f})  "
                  f"CPU {min(cpus):.1f} s -> idle-machine estimate {idle:.2f}x")
            if memtext:
                print(f"  {'':<28} {memtext}")
        estimates[name] = (best_seq, one_predict, size)

    print(f"\nload after: {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} "
          f"{os.getloadavg()[2]:.2f}")
    paper(estimates, nbytes, X.shape[0])
    if client is not None:
        client.close()
        cluster.close()


def paper(estimates: dict, nbytes: int, rows: int) -> None:
    """A 32-worker cluster, on paper, from the figures measured here."""
    bandwidth = 1e9  # bytes/s: 10 Gbit/s between the client and each worker, shared
    rounds = len(LEVELS) * REPEATS
    print("\nOn paper: 32 Dask workers, one thread each, 10 Gbit/s network (~1 GB/s), "
          "8 GiB memory per worker")
    for name, (seq, one, size) in estimates.items():
        per_round = seq / (rounds + 1)
        ship = 32 * (nbytes + size) / bandwidth       # scatter broadcasts from the client
        compute = per_round                           # 30 rounds fill 30 of 32 workers once
        gather = rounds * rows * 8 / bandwidth        # one float64 per row per round
        total = one + ship + compute + gather
        print(f"  {name:<7} sequential {seq:6.1f} s; cluster ~ baseline {one:.2f} + ship "
              f"{ship:.2f} + rounds {compute:.2f} + gather {gather:.3f} = {total:.2f} s "
              f"(~{seq / total:.0f}x)")
    per_row = nbytes / rows
    budget = 8 * 2**30 * 0.6                           # leave 40% to the interpreter and the model
    max_rows = int(budget / (2 * per_row))             # the matrix and one perturbed copy
    client_rows = int(8 * 2**30 * 0.6 / (8 * (rounds + 2) + per_row))
    print(f"  The largest matrix a worker holds: the scattered X plus one perturbed copy in "
          f"60% of 8 GiB -> ~{max_rows / 1e6:.0f} M rows of {nbytes // rows // 8} float64 "
          f"features ({2 * max_rows * per_row / 2**30:.1f} GiB); beyond that, split the rows.")
    print(f"  The client then holds X and {rounds} predictions per row: with 8 GiB on the "
          f"client, ~{client_rows / 1e6:.0f} M rows; the gather, not the workers, bounds a "
          f"single run first.")
    print("  Shipping grows with workers x (X + model): for a 1 GiB X, 32 GiB leave the "
          "client (~35 s at 1 GB/s), longer than the rounds themselves unless the rounds "
          "take minutes; there, loading X on each worker from shared storage beats scatter.")


if __name__ == "__main__":
    sys.exit(main())
