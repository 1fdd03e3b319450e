"""overhangs against the ray casters a user could pick: open3d's RaycastingScene, embreex called directly, and
trimesh's ray.intersects_any over embreex.

Run: python benchmarks/bench_overhangs.py [--max-triangles N] [--cores both|2|1] [--meshes torus,cad]
                                          [--time-limit SECONDS]
Meshes, at about 10^4, 10^5, 10^6 and 4*10^6 triangles: a bumpy torus tilted 25 degrees (folds, and rays that
cross the hole), and CAD parts from tests/data/cad_parts.npz turned by axis rotations and laid on a 3D grid
(flat faces along the pull, stacked parts). Each vertex casts one ray along +z from 0.01 beyond itself and any
hit counts, as overhangs does. Every time is end to end from the same ndarrays (float64 points, int64
triangles) to a Python list: the peers' times include the float32 / uint32 copies, building their scene or
tree, the rays, the any-hit query (open3d test_occlusions, embree occluded) and .tolist(). The tools run in
turn, one round after another, so that a slow spell of the machine falls on all of them alike: best of 5
rounds, 3 from 10^6 triangles, fewer once the rounds at one size have taken 8 s per tool.
Each size waits up to 5 s for the machine to be quiet, and says so when it was not.

agree is the share of vertices where a peer gives qdraft's answer. The peers test in float32 and take no hit
on an edge that a ray only touches; on the CAD grid many rays run up a vertical wall and touch the edge of a
face above, which overhangs counts, so agreement there is well below 1.

A size at which qdraft's time, extrapolated from the two sizes before it, would pass --time-limit (60 s) is
not run for qdraft (the peers still are) and counts as short of the target.

--cores both (the default) runs the table here on every processor this process may use, then again in a
child started under `taskset -c 0`, then prints the targets: ratio = fastest peer's time / qdraft's time,
growth exponent = least-squares slope of log time against log triangles from 10^5 triangles up.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile

from timing import best_interleaved, wait_quiet  # noqa: E402  (sets up the environment before numpy loads)

import numpy as np  # noqa: E402
import trimesh  # noqa: E402

import qdraft  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from cad import AXIS_ROTATIONS, PARTS, part, place  # noqa: E402

try:
    import open3d
except ImportError:
    open3d = None
try:
    from embreex import mesh_construction, rtcore_scene
    from trimesh.ray import ray_pyembree
except ImportError:
    rtcore_scene = ray_pyembree = None

DIRECTION = np.array([0.0, 0.0, 1.0])
SIZES = (10_000, 100_000, 1_000_000, 4_000_000)
GROWTH_FROM = 100_000
REPEAT_BUDGET = 8.0
TARGET_2, TARGET_1, TARGET_GROWTH = 1.5, 1.0, 1.05


def bumpy_torus(triangles, major=1.0, minor=0.35):
    # Cells about square: n around the ring, m around the tube.
    m = max(3, int(round((triangles / 2 * minor / major) ** 0.5)))
    n = max(3, int(round(triangles / (2 * m))))
    u, v = np.meshgrid(np.arange(n) * 2 * np.pi / n, np.arange(m) * 2 * np.pi / m, indexing="ij")
    r = minor * (1 + 0.12 * np.sin(7 * u) * np.sin(3 * v))
    points = np.stack([(major + r * np.cos(v)) * np.cos(u), (major + r * np.cos(v)) * np.sin(u), r * np.sin(v)],
                      axis=-1).reshape(-1, 3)
    i, j = np.meshgrid(np.arange(n), np.arange(m), indexing="ij")
    a, b = i * m + j, (i + 1) % n * m + j
    c, d = (i + 1) % n * m + (j + 1) % m, i * m + (j + 1) % m
    tris = np.concatenate([np.stack([a, b, c], -1).reshape(-1, 3), np.stack([a, c, d], -1).reshape(-1, 3)])
    t = np.radians(25)
    tilt = np.array([[1, 0, 0], [0, np.cos(t), -np.sin(t)], [0, np.sin(t), np.cos(t)]])
    return np.ascontiguousarray(points @ tilt.T), tris.astype(np.int64)


def cad_grid(triangles):
    """CAD parts in PARTS order, over and over, up to about `triangles`; each turned by a random axis rotation
    and centred in its own 150 mm cell of a cubic grid (parts are at most 140 mm long, so none touch)."""
    quality = "coarse" if triangles < 50_000 else "fine"
    rng = np.random.default_rng(13)
    chosen, count = [], 0
    while True:
        p, t = part(PARTS[len(chosen) % len(PARTS)], quality)
        if chosen and abs(count + len(t) - triangles) >= abs(count - triangles):
            break
        chosen.append((p, t))
        count += len(t)
    side = int(np.ceil(len(chosen) ** (1 / 3)))
    points, tris, offset = [], [], 0
    for k, (p, t) in enumerate(chosen):
        p = p @ AXIS_ROTATIONS[rng.integers(len(AXIS_ROTATIONS))].T
        cell = 150.0 * np.array([k % side, k // side % side, k // (side * side)])
        points.append(place((p, t), shift=cell - np.round((p.min(0) + p.max(0)) / 2))[0])
        tris.append(t + offset)
        offset += len(p)
    return np.ascontiguousarray(np.concatenate(points)), np.concatenate(tris)


MESHES = {"torus": bumpy_torus, "cad": cad_grid}


def ours(points, tris):
    return qdraft.overhangs(points, tris, DIRECTION)


def rays_f32(points):
    return (points + 0.01 * DIRECTION).astype(np.float32), np.tile(DIRECTION.astype(np.float32), (len(points), 1))


def open3d_any(points, tris):
    scene = open3d.t.geometry.RaycastingScene()
    scene.add_triangles(open3d.core.Tensor(points.astype(np.float32)), open3d.core.Tensor(tris.astype(np.uint32)))
    rays = np.hstack(rays_f32(points))
    return scene.test_occlusions(open3d.core.Tensor(rays)).numpy().tolist()


def embreex_any(points, tris):
    scene = rtcore_scene.EmbreeScene()
    mesh_construction.TriangleMesh(scene, points.astype(np.float32), tris.astype(np.int32))
    # The occluded query answers -1 for a miss.
    return (scene.run(*rays_f32(points), query="OCCLUDED") != -1).tolist()


def trimesh_any(points, tris):
    mesh = trimesh.Trimesh(points, tris, process=False)
    origins, directions = points + 0.01 * DIRECTION, np.tile(DIRECTION, (len(points), 1))
    return ray_pyembree.RayMeshIntersector(mesh).intersects_any(origins, directions).tolist()


def peers():
    found = {}
    if open3d is not None:
        found["open3d"] = open3d_any
    if rtcore_scene is not None:
        found["embreex"] = embreex_any
        found["trimesh"] = trimesh_any
    return found


def best_of(funcs, triangles):
    """Best time and last result of each function, run in turn: 5 rounds, 3 from 10^6 triangles, no more once
    the rounds have taken REPEAT_BUDGET s per function."""
    rounds = 5 if triangles < 500_000 else 3
    return best_interleaved(funcs, budget=REPEAT_BUDGET * len(funcs), min_rounds=1, max_rounds=rounds)


def growth(sizes, times):
    """Least-squares slope of log time against log size over the sizes from GROWTH_FROM up."""
    pairs = [(n, t) for n, t in zip(sizes, times) if n >= 0.9 * GROWTH_FROM]
    if len(pairs) < 2:
        return float("nan")
    x, y = np.log([n for n, _ in pairs]), np.log([t for _, t in pairs])
    return float(np.polyfit(x, y, 1)[0])


def predicted(rows, triangles):
    """qdraft's time at `triangles`, extrapolated from its last two sizes (None with fewer)."""
    done = [r for r in rows if r["qdraft"] is not None]
    if len(done) < 2:
        return None
    (n0, t0), (n1, t1) = [(r["triangles"], r["qdraft"]) for r in done[-2:]]
    return t1 * (triangles / n1) ** (np.log(t1 / t0) / np.log(n1 / n0))


def table(mesh_names, max_triangles, time_limit):
    """Times every tool on every mesh; prints the table and returns {mesh: [row, ...]}."""
    tools = peers()
    cpus = sorted(os.sched_getaffinity(0))
    print(f"== {len(cpus)} processor(s) {cpus}; ratio = peer time / qdraft time (above 1: qdraft faster); "
          f"agree = share of vertices with qdraft's answer")
    for func in [ours, *tools.values()]:  # first calls start thread pools and devices
        func(*bumpy_torus(2000))
    head = f"{'mesh':<6} {'triangles':>9} {'qdraft':>9} {'ns/tri':>6}"
    for name in tools:
        head += f" {name:>9} {'ratio':>5} {'agree':>6}"
    print(head + f" {'fastest':>8} {'ratio':>5}", flush=True)
    results = {}
    for mesh_name in mesh_names:
        rows = results.setdefault(mesh_name, [])
        for size in SIZES:
            if size > max_triangles:
                continue
            points, tris = MESHES[mesh_name](size)
            load = wait_quiet(cpus, patience=5.0)
            row = {"triangles": len(tris), "qdraft": None}
            guess = predicted(rows, len(tris))
            run_ours = guess is None or guess <= time_limit
            funcs = [lambda: ours(points, tris)] if run_ours else []
            funcs += [lambda func=func: func(points, tris) for func in tools.values()]
            times, answers = best_of(funcs, len(tris))
            if run_ours:
                t_ours, mask = times.pop(0), np.asarray(answers.pop(0))
                row["qdraft"] = t_ours
                line = f"{mesh_name:<6} {len(tris):>9} {t_ours * 1e3:>7.0f}ms {t_ours / len(tris) * 1e9:>6.0f}"
            else:
                # Too slow to wait for; the peers still give the time to beat.
                t_ours = mask = None
                line = f"{mesh_name:<6} {len(tris):>9} {'skipped':>9} {'':>6}"
            for name, t, answer in zip(tools, times, answers):
                assert len(answer) == len(points)
                row[name] = t
                if t_ours is None:
                    line += f" {t * 1e3:>7.0f}ms {'-':>5} {'-':>6}"
                else:
                    line += f" {t * 1e3:>7.0f}ms {t / t_ours:>5.2f} {np.mean(np.asarray(answer) == mask):>6.4f}"
            if tools:
                fastest = min(tools, key=row.get)
                row["fastest"] = fastest
                ratio = f"{row[fastest] / t_ours:>5.2f}" if t_ours else f"{'-':>5}"
                line += f" {fastest:>8} {ratio}"
            print(line, flush=True)
            if load > 0.1:
                print(f"{'':<6} warning: other work took {load:.0%} of a processor just before this row", flush=True)
            if t_ours is None:
                print(f"{'':<6} qdraft not run: about {guess:.0f} s predicted from the two sizes before, over "
                      f"--time-limit {time_limit:.0f} s", flush=True)
            rows.append(row)
        exps = "  ".join(f"{name} {fmt_growth([r for r in rows if r[name] is not None], name)}"
                         for name in ["qdraft", *tools])
        print(f"{mesh_name:<6} growth exponent from 10^5 triangles: {exps}", flush=True)
    return results


def fmt_growth(rows, name):
    g = growth([r["triangles"] for r in rows], [r[name] for r in rows])
    return "-" if np.isnan(g) else f"{g:.2f}"


def one_core_child(args):
    """The table again in a child confined to the first processor; returns its results."""
    cpu = min(os.sched_getaffinity(0))
    with tempfile.NamedTemporaryFile(suffix=".json") as f:
        command = ["taskset", "-c", str(cpu), sys.executable, os.path.abspath(__file__), "--cores", "1",
                   "--meshes", args.meshes, "--max-triangles", str(args.max_triangles),
                   "--time-limit", str(args.time_limit), "--results", f.name]
        subprocess.run(command, check=True)
        with open(f.name) as results:
            return json.load(results)


def targets(two, one):
    print(f"== targets: fastest peer time / qdraft time, at least {TARGET_2} on 2 processors and {TARGET_1} on "
          f"one; qdraft's growth exponent from 10^5 triangles at most {TARGET_GROWTH}")
    print(f"{'mesh':<6} {'triangles':>9} {'2 proc':>7} {'':<5} {'1 proc':>7} {'':<5}")
    mark = lambda ok: "met" if ok else "SHORT"  # noqa: E731
    for mesh_name, rows in two.items():
        rows1 = {r["triangles"]: r for r in one.get(mesh_name, [])}
        for r in rows:
            line = f"{mesh_name:<6} {r['triangles']:>9}"
            for row, target in ((r, TARGET_2), (rows1.get(r["triangles"]), TARGET_1)):
                if row is None or "fastest" not in row:
                    line += f" {'-':>7} {'':<5}"
                elif row["qdraft"] is None:
                    line += f" {'skipped':>7} {'SHORT':<5}"
                else:
                    ratio = row[row["fastest"]] / row["qdraft"]
                    line += f" {ratio:>7.2f} {mark(ratio >= target):<5}"
            print(line)
        for label, res in (("2 proc", rows), ("1 proc", one.get(mesh_name, []))):
            res = [r for r in res if r["qdraft"] is not None]
            g = growth([r["triangles"] for r in res], [r["qdraft"] for r in res])
            if not np.isnan(g):
                skipped = " (larger sizes skipped)" if len(res) < len(rows) else ""
                print(f"{mesh_name:<6} qdraft growth exponent, {label}: {g:.2f} {mark(g <= TARGET_GROWTH)}{skipped}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--max-triangles", type=int, default=4_100_000)
    parser.add_argument("--cores", choices=("both", "2", "1"), default="both")
    parser.add_argument("--meshes", default="torus,cad")
    parser.add_argument("--time-limit", type=float, default=60.0,
                        help="skip qdraft at a size where its time, extrapolated, would pass this many seconds")
    parser.add_argument("--results", help=argparse.SUPPRESS)  # where a child leaves its numbers
    args = parser.parse_args()
    mesh_names = [m for m in args.meshes.split(",") if m]
    missing = [name for name, module in (("open3d", open3d), ("embreex", rtcore_scene)) if module is None]
    if missing:
        print(f"not installed, left out: {', '.join(missing)}")
    if args.cores == "1" and len(os.sched_getaffinity(0)) > 1:
        cpu = min(os.sched_getaffinity(0))
        os.execvp("taskset", ["taskset", "-c", str(cpu), sys.executable, *sys.argv])
    if args.cores == "both" and len(os.sched_getaffinity(0)) < 2:
        print("only one processor available: the table is run once")
        args.cores = "1"
    results = table(mesh_names, args.max_triangles, args.time_limit)
    if args.results:
        with open(args.results, "w") as f:
            json.dump(results, f)
    if args.cores == "both":
        targets(results, one_core_child(args))


if __name__ == "__main__":
    main()
