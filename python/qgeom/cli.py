"""qgeom-check: draft and undercut checks of mesh files, with a table, a JSON report and pictures.

Exit status: 0 when every part passes, 1 when a part fails or cannot be checked, 2 on a usage error.
"""
from __future__ import annotations

import argparse
import json
import math
import sys
from pathlib import Path
from typing import List, Optional, Sequence, Tuple

from .batch import MESH_SUFFIXES, CheckReport, check_parts, load_part
from .mesh import merge_vertices


def _vector(text: str) -> Tuple[float, float, float]:
    try:
        values = tuple(float(x) for x in text.split(","))
    except ValueError:
        values = ()
    if len(values) != 3 or not all(math.isfinite(x) for x in values) or not any(values):
        raise argparse.ArgumentTypeError(f"expected three numbers such as 0,0,1 (not all zero), got {text!r}")
    return values  # type: ignore[return-value]


def _draft(text: str) -> float:
    value = float(text)
    if not 0.0 <= value < 90.0:
        raise argparse.ArgumentTypeError(f"must be at least 0 and below 90, got {text}")
    return value


def _workers(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a whole number, 0 or more, got {text!r}")
    return value


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="qgeom-check",
        description="Checks moulded parts for draft (and undercuts) along a pull direction. Reads STL, OBJ, "
                    "PLY and 3MF files; folders are searched for them.",
        epilog="Exit status: 0 when every part passes, 1 when one fails or cannot be read, 2 on bad usage.")
    p.add_argument("paths", nargs="+", metavar="FILE_OR_FOLDER", type=Path)
    p.add_argument("--pull", type=_vector, default=(0.0, 0.0, 1.0), metavar="X,Y,Z",
                   help="direction in which the mould opens (default 0,0,1)")
    p.add_argument("--min-draft-deg", type=_draft, default=1.0, metavar="DEG",
                   help="draft every face needs towards one half of the mould, in degrees (default 1)")
    p.add_argument("--undercuts", action="store_true",
                   help="also find vertices that the part blocks both along and against the pull")
    p.add_argument("--check-input", action="store_true",
                   help="refuse open or inconsistently oriented meshes and faces without area")
    p.add_argument("--out", type=Path, metavar="REPORT.json", help="write the results as JSON")
    p.add_argument("--ply", type=Path, metavar="COLOURED.ply",
                   help="write the part with failing faces coloured (one file per part: the part's name is "
                        "added when there are several)")
    p.add_argument("--png", type=Path, metavar="PICTURE.png", help="write a picture of the part (as --ply)")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--workers", type=_workers, metavar="N",
                       help="processes to use (default: one per processor; 0: this process only)")
    where.add_argument("--scheduler", metavar="ADDRESS", help="run on a dask.distributed scheduler")
    return p


def find_parts(paths: Sequence[Path]) -> Tuple[List[Path], List[str]]:
    """Files to check, in the order given (folders searched recursively, sorted), and problems."""
    found, problems = [], []
    for path in paths:
        if path.is_dir():
            inside = sorted(p for p in path.rglob("*") if p.is_file() and p.suffix.lower() in MESH_SUFFIXES)
            if not inside:
                problems.append(f"{path}: no {', '.join(MESH_SUFFIXES)} files in this folder")
            found.extend(inside)
        elif path.is_file():
            found.append(path)
        else:
            problems.append(f"{path}: no such file or folder")
    return found, problems


def _outputs(base: Path, parts: Sequence[Path]) -> List[Path]:
    if len(parts) == 1:
        return [base]
    names: List[Path] = []
    for part in parts:
        name = base.with_name(f"{base.stem}-{part.stem}{base.suffix}")
        k = 2
        while name in names:
            name = base.with_name(f"{base.stem}-{part.stem}-{k}{base.suffix}")
            k += 1
        names.append(name)
    return names


def _table(reports: Sequence[CheckReport], undercuts: bool) -> str:
    width = max([len("part")] + [len(r.name) for r in reports])
    head = f"{'part':<{width}}  {'faces':>8}  {'fail draft':>10}  "
    head += f"{'blocked':>8}  " if undercuts else ""
    head += f"{'area affected':>22}  result"
    lines = [head]
    for r in reports:
        if r.error is not None:
            lines.append(f"{r.name:<{width}}  {'-':>8}  {'-':>10}  " + (f"{'-':>8}  " if undercuts else "")
                         + f"{'-':>22}  ERROR")
            continue
        share = 100.0 * r.affected_area / r.total_area if r.total_area > 0 else 0.0
        row = f"{r.name:<{width}}  {r.faces:>8}  {len(r.failing_faces):>10}  "
        row += f"{len(r.blocked_vertices if r.blocked_vertices is not None else ()):>8}  " if undercuts else ""
        row += f"{r.affected_area:>13.6g} ({share:5.1f}%)  {'ok' if r.ok else 'FAILS'}"
        lines.append(row)
    errors = [f"{r.name}: {r.error}" for r in reports if r.error is not None]
    return "\n".join(lines + ([""] + errors if errors else []))


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parser().parse_args(argv)
    parts, problems = find_parts(args.paths)
    for problem in problems:
        print(f"qgeom-check: {problem}", file=sys.stderr)
    if not parts:
        return 2
    client = None
    if args.scheduler:
        try:
            from distributed import Client
        except ImportError:
            print("qgeom-check: --scheduler needs dask.distributed: pip install 'qgeom[dask]'", file=sys.stderr)
            return 2
        client = Client(args.scheduler)
    try:
        reports = check_parts(parts, args.pull, args.min_draft_deg, undercuts=args.undercuts,
                              check=args.check_input, processes=args.workers, client=client)
    finally:
        if client is not None:
            client.close()
    print(_table(reports, args.undercuts))
    failed = sum(not r.ok for r in reports)
    print(f"\n{len(reports) - failed} of {len(reports)} parts pass "
          f"(pull {','.join(f'{x:g}' for x in args.pull)}, draft {args.min_draft_deg:g} degrees"
          f"{', undercuts' if args.undercuts else ''})")
    if args.out:
        report = {"pull": list(args.pull), "min_draft_deg": args.min_draft_deg, "undercuts": args.undercuts,
                  "failed": failed, "parts": [r.to_dict() for r in reports]}
        args.out.write_text(json.dumps(report, indent=1) + "\n")
    if args.ply or args.png:
        _pictures(args, parts, reports)
    return 1 if failed or problems else 0


def _pictures(args: argparse.Namespace, parts: Sequence[Path], reports: Sequence[CheckReport]) -> None:
    plys = _outputs(args.ply, parts) if args.ply else [None] * len(parts)
    pngs = _outputs(args.png, parts) if args.png else [None] * len(parts)
    for part, report, ply, png in zip(parts, reports, plys, pngs):
        if report.error is not None:
            continue
        # The report's indices refer to the merged vertices, as check_part made them.
        vertices, faces, _ = merge_vertices(*load_part(part))
        if ply is not None:
            from .render import write_ply

            write_ply(ply, vertices, faces, report.failing_faces, report.blocked_vertices)
        if png is not None:
            from .render import render_png

            blocked = "" if report.blocked_vertices is None else f", {len(report.blocked_vertices)} blocked vertices"
            render_png(png, vertices, faces, report.failing_faces, report.blocked_vertices, pull=args.pull,
                       title=f"{part.name}: {len(report.failing_faces)} of {report.faces} faces fail "
                             f"{args.min_draft_deg:g}° draft{blocked}")


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
