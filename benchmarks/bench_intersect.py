"""pyintersect against manifold3d: intersection and difference of two overlapping meshes.

Run: python benchmarks/bench_intersect.py [--max-triangles N] [--tables all|synthetic|cad|none]
                                          [--random N [--seed S] [--quality coarse|fine|both]]
Synthetic cases: two subdivided spheres, and a sphere against a torus, at about 10^3 to 10^6 triangles each.
CAD cases: the machined parts of tests/data/cad_parts.npz, coarse and fine, placed to overlap a lot: the tee
through the housing, parts turned at random about a common centre, and parts mated on a grid with flush and
touching faces. Times are end to end from the same input, conversion included on both sides (manifold3d:
building both Manifold objects, the boolean, and getting the mesh back; qboolean: lists or arrays in, lists
out). Peak memory is the growth of the process's peak resident size during one call, measured in a forked
child.

--random N runs N random turned poses and N random mated poses of part pairs (each coarse and fine, as
intersection and difference) through both libraries and counts results that are open (unmatched directed
edges) or whose volume is off manifold3d's by more than 1e-6 relative, or empty where manifold3d's is not (or
the other way round; "sliver" when the non-empty one bounds next to nothing). It only counts; the failing cases
other than slivers are listed so they can be rebuilt with random_case(). It skips the tables unless --tables is
given.
"""
import argparse
import multiprocessing
import os
import queue
import resource
import sys
import time

from timing import best_interleaved  # noqa: E402  (sets up the environment before numpy loads)

import numpy as np  # noqa: E402

import qboolean  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from cad import PARTS, grid_pose, is_closed, manifold, part, place, random_pose  # noqa: E402
from meshes import icosphere, torus, volume  # noqa: E402

try:
    import manifold3d
except ImportError:
    manifold3d = None


def sphere_pair(subdivisions):
    p1, t1 = icosphere(subdivisions, 1.0)
    p2, t2 = icosphere(subdivisions, 1.0, centre=(0.43, 0.31, 0.27))
    return (p1, t1), (p2, t2)


def sphere_torus(subdivisions):
    p1, t1 = icosphere(subdivisions, 1.0)
    n = int(round((len(t1) / 2) ** 0.5 * 1.6))
    p2, t2 = torus(0.9, 0.35, n, max(8, len(t1) // (2 * n)))
    return (p1, t1), (p2 + [0.21, 0.13, 0.17], t2)


def manifold_op(m1, m2, op):
    a = manifold3d.Manifold(manifold3d.Mesh(m1[0].astype(np.float32), m1[1].astype(np.uint32)))
    b = manifold3d.Manifold(manifold3d.Mesh(m2[0].astype(np.float32), m2[1].astype(np.uint32)))
    r = (a ^ b) if op == "intersection" else (a - b)
    mesh = r.to_mesh()
    return mesh.vert_properties, mesh.tri_verts


def peak_growth_mib(func, timeout=120.0):
    """Peak RSS growth of one call, in a forked child. Once manifold3d has run, its worker thread is not
    copied by fork but a lock it held may be, and the child can hang: such a child is killed and the
    measurement tried again (nan after three tries)."""
    ctx = multiprocessing.get_context("fork")
    for _ in range(3):
        q = ctx.Queue()

        def child():
            before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            func()
            q.put((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024)

        p = ctx.Process(target=child)
        p.start()
        try:
            value = q.get(timeout=timeout)
        except queue.Empty:
            p.kill()
            p.join()
            continue
        p.join()
        return value
    return float("nan")


def mem_timeout(seconds):
    """How long a measurement may take that ran in `seconds` when timed."""
    return 10 + 20 * seconds


def synthetic_table(max_triangles):
    print("ratio = manifold3d time / qboolean time (above 1: qboolean faster); mem = peak RSS growth in MiB; "
          "best of 3 to 50 rounds within about 1.5 s (1 round above that), the libraries run in turn")
    print(f"{'case':<14} {'tris each':>9} {'op':<12} {'input':<6} {'qboolean':>10} {'mem':>6} {'manifold':>10} {'mem':>6} {'ratio':>6}")
    for name, make in [("spheres", sphere_pair), ("sphere-torus", sphere_torus)]:
        previous = None
        for sub in (3, 5, 6, 8):
            m1, m2 = make(sub)
            if len(m1[1]) > max_triangles:
                continue
            inputs = (("lists", ((m1[0].tolist(), m1[1].tolist()), (m2[0].tolist(), m2[1].tolist()))),
                      ("arrays", (m1, m2)))
            for op, flip2 in (("intersection", False), ("difference", True)):
                funcs = [lambda a=a, b=b: qboolean.pyintersect(a, b, False, flip2) for _, (a, b) in inputs]
                if manifold3d is not None:
                    funcs.append(lambda: manifold_op(m1, m2, op))
                times = best_interleaved(funcs)[0]
                t_m = mem_m = None
                if manifold3d is not None:
                    t_m = times[-1]
                    mem_m = peak_growth_mib(funcs[-1], mem_timeout(t_m))
                for k, (kind, _) in enumerate(inputs):
                    t_q = times[k]
                    mem_q = peak_growth_mib(funcs[k], mem_timeout(t_q))
                    row = f"{name:<14} {len(m1[1]):>9} {op:<12} {kind:<6} {t_q * 1e3:>8.1f}ms {mem_q:>6.0f}"
                    if t_m is not None:
                        row += f" {t_m * 1e3:>8.1f}ms {mem_m:>6.0f} {t_m / t_q:>6.2f}"
                    print(row, flush=True)
                    if kind == "arrays" and op == "intersection":
                        if previous is not None:
                            n0, t0 = previous
                            print(f"{'':<14} growth: time x{t_q / t0:.1f} for size x{len(m1[1]) / n0:.1f}")
                        previous = (len(m1[1]), t_q)


# ---- CAD parts ----

OPS = (("intersection", False), ("difference", True))
QUALITIES = ("coarse", "fine")
# Turned parts move about this many mm off a common centre, so that they overlap a lot (the tests use 10 to 15).
CLOSE = 3.0
# The random run's spread: as in the tests, overlapping most of the time, sometimes apart.
SPREAD = 10.0
REL = 1e-6


def turn_z(degrees):
    a = np.radians(degrees)
    return np.array([[np.cos(a), -np.sin(a), 0], [np.sin(a), np.cos(a), 0], [0, 0, 1]])


def tee_housing(quality, degrees, tee_first):
    """The tee's run along x at z = 18 inside the housing: it cuts the floor, both ribs and both end
    walls (turned about z, the side walls and corner fillets at a slant); its branch leaves by the open top."""
    housing = place(part("housing", quality))
    tee = place(part("tee", quality), turn_z(degrees), (0, 0, 18))
    return (tee, housing) if tee_first else (housing, tee)


def turned_pair(names, seed, quality, spread=CLOSE):
    rng = np.random.default_rng([seed, *map(PARTS.index, names)])
    return random_pose(rng, part(names[0], quality), spread), random_pose(rng, part(names[1], quality), spread)


def mated_pair(names, seed, quality):
    rng = np.random.default_rng([seed, *map(PARTS.index, names)])
    fixed = place(part(names[0], quality))
    return fixed, grid_pose(rng, fixed, part(names[1], quality))


# Seeds picked for many cut triangles (coarse and fine get the same pose) and a non-empty result either way.
# The tee-plate mating stands the plate across an end flange, flush with its end face.
CAD_CASES = [
    ("tee-housing", lambda q: tee_housing(q, 0, True)),
    ("housing-tee", lambda q: tee_housing(q, 0, False)),
    ("tee-housing turned", lambda q: tee_housing(q, 30, True)),
    ("housing-tee turned", lambda q: tee_housing(q, 30, False)),
    ("housing-plate turned", lambda q: turned_pair(("housing", "plate"), 17, q)),
    ("bracket-housing turned", lambda q: turned_pair(("bracket", "housing"), 28, q)),
    ("tee-plate turned", lambda q: turned_pair(("tee", "plate"), 29, q)),
    ("housing-plate mated", lambda q: mated_pair(("housing", "plate"), 0, q)),
    ("housing-housing mated", lambda q: mated_pair(("housing", "housing"), 15, q)),
    ("tee-plate mated", lambda q: mated_pair(("tee", "plate"), 2, q)),
]


def manifold_cad(m1, m2, flip2):
    """As the tests build them: float64 in and out where manifold3d has it."""
    a, b = manifold(m1), manifold(m2)
    r = (a - b) if flip2 else (a ^ b)
    mesh = r.to_mesh64() if hasattr(r, "to_mesh64") else r.to_mesh()
    return mesh.vert_properties, mesh.tri_verts


def pyintersect_or_empty(a, b, flip2):
    try:
        return qboolean.pyintersect(a, b, False, flip2)
    except Exception as e:
        if str(e) != "derp":
            raise
        return None


def cad_table():
    print()
    print("CAD parts: tris = triangles of a + of b; cut = pieces of cut triangles in qboolean's result; "
          "best of 3 to 50 rounds within about 1.5 s (1 round above that), each round running manifold3d and "
          "qboolean from lists and from arrays in turn")
    print(f"{'case':<23} {'quality':<7} {'tris':>11} {'op':<12} {'input':<6} {'qboolean':>10} {'mem':>6} "
          f"{'manifold':>10} {'mem':>6} {'ratio':>6} {'cut':>7}")
    for name, make in CAD_CASES:
        for quality in QUALITIES:
            m1, m2 = make(quality)
            tris = f"{len(m1[1])}+{len(m2[1])}"
            inputs = (("lists", ((m1[0].tolist(), m1[1].tolist()), (m2[0].tolist(), m2[1].tolist()))),
                      ("arrays", (m1, m2)))
            for op, flip2 in OPS:
                funcs = [lambda a=a, b=b: pyintersect_or_empty(a, b, flip2) for _, (a, b) in inputs]
                if manifold3d is not None:
                    funcs.append(lambda: manifold_cad(m1, m2, flip2))
                times, results = best_interleaved(funcs)
                t_m = mem_m = None
                if manifold3d is not None:
                    t_m = times[-1]
                    mem_m = peak_growth_mib(funcs[-1], mem_timeout(t_m))
                for k, (kind, _) in enumerate(inputs):
                    t_q, result = times[k], results[k]
                    mem_q = peak_growth_mib(funcs[k], mem_timeout(t_q))
                    cut = "empty" if result is None else str(result[1][2] + result[1][3])
                    row = (f"{name:<23} {quality:<7} {tris:>11} {op:<12} {kind:<6} {t_q * 1e3:>8.1f}ms "
                           f"{mem_q:>6.0f}")
                    row += (f" {t_m * 1e3:>8.1f}ms {mem_m:>6.0f} {t_m / t_q:>6.2f}" if t_m is not None
                            else f" {'':>10} {'':>6} {'':>6}")
                    print(row + f" {cut:>7}", flush=True)


# ---- the longer random run ----

POSES = ("turned", "mated")


def random_case(seed, i, pose, quality):
    """Pose i of the random run: the part names and the two placed meshes (the same pose for either quality)."""
    rng = np.random.default_rng([seed, i, POSES.index(pose)])
    names = tuple(str(n) for n in rng.choice(PARTS, 2))
    pose_rng = np.random.default_rng(rng.integers(2 ** 63))
    if pose == "turned":
        pair = (random_pose(pose_rng, part(names[0], quality), SPREAD),
                random_pose(pose_rng, part(names[1], quality), SPREAD))
    else:
        fixed = place(part(names[0], quality))
        pair = (fixed, grid_pose(pose_rng, fixed, part(names[1], quality)))
    return names, pair


def compare_once(m1, m2, flip2):
    """Both libraries once, timed as in the tables. Returns (problems, |relative volume difference|, times).

    An empty result against a non-empty one is marked "sliver" too when the non-empty one bounds no more than
    1e-9 of the cube of the inputs' size: the tests accept that, as touching faces can leave such a film.
    """
    start = time.perf_counter()
    try:
        result = qboolean.pyintersect(m1, m2, False, flip2)[0]
    except BaseException as e:  # PanicException derives from BaseException
        if isinstance(e, (KeyboardInterrupt, SystemExit)):
            raise
        result = None if isinstance(e, Exception) and str(e) == "derp" else e
    t_q = time.perf_counter() - start

    start = time.perf_counter()
    a, b = manifold(m1), manifold(m2)
    r = (a - b) if flip2 else (a ^ b)
    r.to_mesh64() if hasattr(r, "to_mesh64") else r.to_mesh()
    t_m = time.perf_counter() - start
    want, want_empty = r.volume(), r.is_empty()
    slack = 1e-9 * max(float(np.ptp(m[0], axis=0).max()) for m in (m1, m2)) ** 3

    if isinstance(result, BaseException):
        return {"error": repr(result)}, None, (t_q, t_m)
    problems, rel = {}, None
    if result is None:
        if not want_empty:
            problems["empty"] = f"qboolean empty, manifold3d volume {want!r}"
            if abs(want) <= slack:
                problems["sliver"] = "a sliver"
        return problems, rel, (t_q, t_m)
    points, tris = result
    open_edges = is_closed(tris)
    if open_edges:
        problems["open"] = f"{open_edges} unmatched directed edges"
    got = volume(points, tris)
    if want_empty:
        problems["empty"] = f"manifold3d empty, qboolean volume {got!r} ({len(tris)} triangles)"
        if abs(got) <= slack:
            problems["sliver"] = "a sliver"
    else:
        rel = abs(got - want) / abs(want) if want else float("inf")
        if rel > REL:
            problems["volume"] = f"volume {got!r}, manifold3d {want!r} (relative {rel:.2e})"
    return problems, rel, (t_q, t_m)


def random_run(n, seed, qualities, max_listed=30):
    print(f"\nrandom run: {n} turned and {n} mated poses of random part pairs (seed {seed}), "
          f"{' and '.join(qualities)}, intersection and difference")
    print("open: unmatched directed edges; wrong: volume off manifold3d's by more than 1e-6 relative, or empty "
          "against non-empty (counted in 'empty' too);\nsliver: of those, the non-empty one bounds at most 1e-9 "
          "size^3 (the tests accept these); error: any other exception")
    stats = {}
    listed = 0
    start = time.perf_counter()
    for i in range(n):
        for pose in POSES:
            for quality in qualities:
                names, (m1, m2) = random_case(seed, i, pose, quality)
                for op, flip2 in OPS:
                    problems, rel, (t_q, t_m) = compare_once(m1, m2, flip2)
                    s = stats.setdefault((pose, quality, op), dict(runs=0, open=0, wrong=0, empty=0, sliver=0,
                                                                   error=0, worst=0.0, t_q=0.0, t_m=0.0))
                    s["runs"] += 1
                    s["t_q"] += t_q
                    s["t_m"] += t_m
                    s["open"] += "open" in problems
                    s["wrong"] += "volume" in problems or "empty" in problems
                    s["empty"] += "empty" in problems
                    s["sliver"] += "sliver" in problems
                    s["error"] += "error" in problems
                    if rel is not None:
                        s["worst"] = max(s["worst"], rel)
                    # Slivers are only counted: touching parts give many, and the tests accept them.
                    shown = [v for k, v in problems.items()
                             if k != "sliver" and not (k == "empty" and "sliver" in problems)]
                    if shown and listed < max_listed:
                        listed += 1
                        print(f"  random_case({seed}, {i}, {pose!r}, {quality!r}) {'-'.join(names)} {op}: "
                              + "; ".join(shown), flush=True)
        if (i + 1) % max(1, n // 10) == 0:
            print(f"  ... {i + 1}/{n} in {time.perf_counter() - start:.0f}s", flush=True)
    print(f"{'pose':<7} {'quality':<7} {'op':<12} {'runs':>5} {'open':>5} {'wrong':>6} {'empty':>6} {'sliver':>6} "
          f"{'error':>6} {'worst rel':>9} {'qboolean':>9} {'manifold':>9} {'ratio':>6}")
    total = dict(runs=0, open=0, wrong=0, empty=0, sliver=0, error=0)
    for (pose, quality, op), s in stats.items():
        for k in total:
            total[k] += s[k]
        print(f"{pose:<7} {quality:<7} {op:<12} {s['runs']:>5} {s['open']:>5} {s['wrong']:>6} {s['empty']:>6} "
              f"{s['sliver']:>6} {s['error']:>6} {s['worst']:>9.1e} {s['t_q']:>8.2f}s {s['t_m']:>8.2f}s "
              f"{s['t_m'] / s['t_q']:>6.2f}")
    print(f"{'all':<28} {total['runs']:>5} {total['open']:>5} {total['wrong']:>6} {total['empty']:>6} "
          f"{total['sliver']:>6} {total['error']:>6}   ({time.perf_counter() - start:.0f}s)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--max-triangles", type=int, default=1_400_000)
    parser.add_argument("--tables", choices=("all", "synthetic", "cad", "none"),
                        help="which tables to print (default: all, or none with --random)")
    parser.add_argument("--random", type=int, default=0, metavar="N", help="random poses of each kind (default 0)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--quality", choices=("coarse", "fine", "both"), default="both")
    args = parser.parse_args()
    tables = args.tables or ("none" if args.random else "all")
    if tables in ("all", "synthetic"):
        synthetic_table(args.max_triangles)
    if tables in ("all", "cad"):
        cad_table()
    if args.random:
        if manifold3d is None:
            sys.exit("the random run needs manifold3d")
        random_run(args.random, args.seed, QUALITIES if args.quality == "both" else (args.quality,))


if __name__ == "__main__":
    main()
