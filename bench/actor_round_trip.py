#!/usr/bin/env python3
"""The cost of sharding tamsel on actors (examples/sharded.py).

    python bench/actor_round_trip.py                      # Dask, then the searches
    python bench/actor_round_trip.py --ray-python /work/venv-ray/bin/python
                                   # and Ray's round trip, in that interpreter
    python bench/actor_round_trip.py --quick              # 20,000 vectors, 2 rounds

Two parts, each printed with the load average before and after:

- The round trip of an empty actor call, on 2 actors in 2 worker processes on
  127.0.0.1: one call awaited before the next (median per round, the best
  round), one call to each actor at once (the fan-out of one batch), and
  many calls sent before any is awaited (the caller's and the scheduler's
  serial cost per call, what grows with the number of shards). Dask routes a
  call through the scheduler unless the client connects to the workers
  directly (`direct_to_workers=True`): both are measured. Ray's part runs in
  the interpreter given (Ray runs under CPython only), inside a network
  namespace of its own with only a loopback interface when `unshare -n`
  works here, since Ray's servers listen on every interface whatever address
  it is given; with usage reporting and the dashboard off.
- A batch of queries (1,000, k=10, 128-d, 100,000 vectors of bench/run.py's
  Gaussian mixture) on 2 shards of PyHNSW (default ef_search) and of PyFlat,
  the client connected to the workers directly, against one process holding
  everything: the index's own search per query, and the same index behind a
  Shard in this process (the shards' code without Dask: ids and scores into
  arrays). Wall-clock and CPU times, best of the rounds, the three
  interleaved in each round; ratios to the one process.

And the driver's merge of one batch's results from 2, 10 and 100 shards.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "examples"))


def load():
    return "load %.2f %.2f %.2f" % os.getloadavg()


def round_trips(call, fan_out, pipelined, calls, rounds):
    """Microseconds: median of awaited calls (best round), median fan-out
    (best round), and the cost per call of `calls` calls sent at once (best round)."""
    call()
    serial, fans, per_call = [], [], []
    for _ in range(rounds):
        times = []
        for _ in range(calls):
            t = time.perf_counter()
            call()
            times.append(time.perf_counter() - t)
        serial.append(statistics.median(times))
        times = []
        for _ in range(calls // 2):
            t = time.perf_counter()
            fan_out()
            times.append(time.perf_counter() - t)
        fans.append(statistics.median(times))
        t = time.perf_counter()
        pipelined(calls)
        per_call.append((time.perf_counter() - t) / calls)
    return {"serial_us": min(serial) * 1e6, "fan_out_2_us": min(fans) * 1e6, "per_call_us": min(per_call) * 1e6}


class Pinger:
    def ping(self):
        return None


def dask_round_trips(cluster, calls, rounds):
    from distributed import Client

    out = {}
    for name, direct in (("dask, through the scheduler", False), ("dask, direct to workers", True)):
        with Client(cluster, direct_to_workers=direct) as client:
            workers = sorted(client.scheduler_info()["workers"])
            actors = [client.submit(Pinger, actor=True, workers=[w], pure=False).result() for w in workers[:2]]
            one = actors[0]

            def fan_out():
                for f in [a.ping() for a in actors]:
                    f.result()

            def pipelined(count):
                for f in [actors[i % 2].ping() for i in range(count)]:
                    f.result()

            out[name] = round_trips(lambda: one.ping().result(), fan_out, pipelined, calls, rounds)
    return out


def ray_round_trips(calls, rounds):
    os.environ["RAY_USAGE_STATS_ENABLED"] = "0"
    import ray

    ray.init(
        num_cpus=2,
        include_dashboard=False,
        _node_ip_address="127.0.0.1",
        log_to_driver=False,
        configure_logging=False,
    )
    try:
        remote = ray.remote(num_cpus=1)(Pinger)
        actors = [remote.remote() for _ in range(2)]
        ray.get([a.ping.remote() for a in actors])
        one = actors[0]
        return {
            "ray %s" % ray.__version__: round_trips(
                lambda: ray.get(one.ping.remote()),
                lambda: ray.get([a.ping.remote() for a in actors]),
                lambda count: ray.get([actors[i % 2].ping.remote() for i in range(count)]),
                calls,
                rounds,
            )
        }
    finally:
        ray.shutdown()


def ray_in(python, calls, rounds):
    """Ray's figures from `python` running this file, in a network namespace
    of loopback alone when one can be made."""
    command = [python, os.path.abspath(__file__), "--ray-only", "--calls", str(calls), "--rounds", str(rounds)]
    isolated = shutil.which("unshare") and shutil.which("ip")
    if isolated and subprocess.run(["unshare", "-n", "true"], capture_output=True).returncode == 0:
        command = ["unshare", "-n", "sh", "-c", 'ip link set lo up && exec "$@"', "sh"] + command
        where = "a network namespace of loopback alone"
    else:
        where = "this machine's network namespace (unshare -n failed)"
    done = subprocess.run(command, capture_output=True, text=True, env=dict(os.environ, RAY_USAGE_STATS_ENABLED="0"))
    if done.returncode != 0:
        print(done.stderr[-3000:], file=sys.stderr)
        raise SystemExit("the Ray part failed")
    return json.loads(done.stdout.strip().splitlines()[-1]), where


def print_round_trips(figures):
    print("%-30s %14s %16s %14s" % ("empty actor call", "awaited (us)", "fan-out to 2", "per call sent"))
    for name, f in figures.items():
        print("%-30s %14.0f %16.0f %14.0f" % (name, f["serial_us"], f["fan_out_2_us"], f["per_call_us"]))
    base = figures["dask, through the scheduler"]["serial_us"]
    for name, f in figures.items():
        print("  %s: awaited call %.2fx dask's through the scheduler" % (name, f["serial_us"] / base))


def timed(fn):
    """Wall-clock and CPU seconds of this process for fn()."""
    wall, cpu = time.perf_counter(), time.process_time()
    fn()
    return time.perf_counter() - wall, time.process_time() - cpu


def timed_on_workers(client, fn):
    """Wall-clock seconds of fn() here, and the most CPU seconds one worker
    process spent meanwhile (its actor's work and its own upkeep)."""
    before = client.run(time.process_time)
    wall = time.perf_counter()
    fn()
    wall = time.perf_counter() - wall
    after = client.run(time.process_time)
    return wall, max(after[w] - before[w] for w in after)


def searches(client, n, dim, nq, k, rounds):
    import sharded
    from run import synthetic

    data, queries = synthetic(n, dim, nq, 42)
    exact = None
    print("\n%d vectors of %d-d, %d queries, k=%d, 2 shards (%s)" % (n, dim, nq, k, load()))
    for kind, params in (("flat", {}), ("hnsw", {"metric": "euclidean"})):
        local = sharded.Shard(kind, dim, params)
        build_one = timed(lambda: local.add(0, data))[0]
        index = local.flat if kind == "flat" else local.hnsw
        shards = sharded.ShardedIndex(client, 2, kind, dim, **params)
        build_shards = timed(lambda: shards.create(data))[0]
        if exact is None:  # PyFlat's, in this process
            exact = [set(i for i, _ in index.search(q, k)) for q in queries]

        def recall(found):
            return sum(len(set(i for i, _ in f) & e) for f, e in zip(found, exact)) / (k * nq)

        ids, scores = local.search(queries, k)
        one_recall = recall([[(i, 0.0) for i in row] for row in ids.tolist()])
        shards_recall = recall(shards.search(queries, k))
        times = {"one": [], "one_shard": [], "two": []}
        for _ in range(rounds):
            times["one"].append(timed(lambda: [index.search(q, k) for q in queries]))
            times["one_shard"].append(timed(lambda: local.search(queries, k)))
            times["two"].append(timed_on_workers(client, lambda: shards.search(queries, k)))
        (one, one_cpu), (one_shard, one_shard_cpu), (two, two_cpu) = (min(times[key]) for key in times)
        name = "PyFlat" if kind == "flat" else "PyHNSW"
        print(
            "%s: build %.1f s in one process, %.1f s on 2 shards; recall@%d %.3f in one process, %.3f on 2 shards"
            % (name, build_one, build_shards, k, one_recall, shards_recall)
        )
        print("  %-40s %10s %10s %8s" % ("best of %d rounds" % rounds, "wall ms", "CPU ms", "ratio"))
        print("  %-40s %10.1f %10.1f %8.2f" % ("one process, index.search per query", one * 1e3, one_cpu * 1e3, 1.0))
        row = "  %-40s %10.1f %10.1f %8.2f"
        print(row % ("one process, Shard.search (arrays)", one_shard * 1e3, one_shard_cpu * 1e3, one_shard / one))
        print(row % ("2 shards on Dask (CPU: the busier shard)", two * 1e3, two_cpu * 1e3, two / one))
    print("(%s)" % load())


def merges(nq, k, rounds):
    """The driver's merge of S shards' results for one batch, on made-up
    results (distinct scores), for S = 2, 10 and 100."""
    import numpy as np
    import sharded

    rng = np.random.default_rng(0)
    print("\nmerge of one batch of %d queries, k=%d, in the driver (%s)" % (nq, k, load()))
    for count in (2, 10, 100):
        parts = [
            (rng.integers(0, 1000, size=(nq, k)).astype(np.int64), np.sort(rng.random((nq, k)), axis=1))
            for _ in range(count)
        ]
        offsets = [1000 * s for s in range(count)]
        seconds = min(timed(lambda: sharded.merge(parts, offsets, k))[0] for _ in range(rounds))
        print("  %3d shards: %7.1f ms" % (count, seconds * 1e3))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=200, help="calls per round trip round")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--quick", action="store_true", help="20,000 vectors, 2 rounds")
    parser.add_argument("--ray-python", help="an interpreter with ray installed, for Ray's round trip")
    parser.add_argument("--ray-only", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.ray_only:
        print(json.dumps(ray_round_trips(args.calls, args.rounds)))
        return
    if args.quick:
        args.n, args.rounds = 20_000, 2
    import sharded
    from distributed import Client

    import tamsel

    print("tamsel %s kernels, %s, %d cores" % (tamsel._kernels, sys.version.split()[0], os.cpu_count() or 0))
    print("round trips (%s)" % load())
    cluster = sharded.local_cluster(2)
    with cluster:
        figures = dask_round_trips(cluster, args.calls, args.rounds)
        if args.ray_python:
            ray, where = ray_in(args.ray_python, args.calls, args.rounds)
            figures.update(ray)
            print("Ray ran in %s" % where)
        print_round_trips(figures)
        print("(%s)" % load())
        with Client(cluster, direct_to_workers=True) as client:
            searches(client, args.n, args.dim, args.queries, args.k, args.rounds)
    merges(args.queries, args.k, args.rounds)


if __name__ == "__main__":
    main()
