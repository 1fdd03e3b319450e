"""Pictures of a checked part: a coloured PLY mesh and a PNG rendered with matplotlib (no display)."""
from __future__ import annotations

import os
from typing import Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

__all__ = ["face_colours", "write_ply", "render_png", "GREY", "RED", "ORANGE", "BLUE"]

GREY = (190, 190, 190)
RED = (220, 40, 40)  # faces failing the draft
ORANGE = (245, 150, 30)  # faces touching a blocked vertex
BLUE = (30, 80, 220)  # blocked vertices

PathLike = Union[str, "os.PathLike[str]"]


def face_colours(faces: npt.NDArray[np.int64], failing_faces: npt.ArrayLike,
                 blocked_vertices: Optional[npt.ArrayLike] = None) -> npt.NDArray[np.uint8]:
    """RGB per face: red where the draft fails, else orange where a corner is blocked, else grey."""
    colours = np.tile(np.array(GREY, np.uint8), (len(faces), 1))
    if blocked_vertices is not None and len(faces):
        blocked = np.zeros(int(faces.max()) + 1, bool)
        index = np.asarray(blocked_vertices, np.int64)
        blocked[index[index < len(blocked)]] = True
        colours[blocked[faces].any(axis=1)] = ORANGE
    colours[np.asarray(failing_faces, np.int64)] = RED
    return colours


def write_ply(path: PathLike, vertices: npt.ArrayLike, faces: npt.ArrayLike, failing_faces: npt.ArrayLike,
              blocked_vertices: Optional[npt.ArrayLike] = None) -> None:
    """Binary PLY with face colours (``face_colours``) and vertex colours (blocked vertices blue)."""
    v = np.asarray(vertices, np.float64).reshape(-1, 3)
    f = np.asarray(faces, np.int64).reshape(-1, 3)
    vertex_rgb = np.tile(np.array(GREY, np.uint8), (len(v), 1))
    if blocked_vertices is not None:
        vertex_rgb[np.asarray(blocked_vertices, np.int64)] = BLUE
    vrec = np.zeros(len(v), dtype=[("x", "<f8"), ("y", "<f8"), ("z", "<f8"),
                                   ("red", "u1"), ("green", "u1"), ("blue", "u1")])
    vrec["x"], vrec["y"], vrec["z"] = v.T
    vrec["red"], vrec["green"], vrec["blue"] = vertex_rgb.T
    frec = np.zeros(len(f), dtype=[("n", "u1"), ("i", "<i4", (3,)),
                                   ("red", "u1"), ("green", "u1"), ("blue", "u1")])
    frec["n"] = 3
    frec["i"] = f
    frec["red"], frec["green"], frec["blue"] = face_colours(f, failing_faces, blocked_vertices).T
    header = ("ply\nformat binary_little_endian 1.0\ncomment qgeom-check: red faces fail the draft, orange faces "
              "touch a blocked vertex, blue vertices are blocked\n"
              f"element vertex {len(v)}\nproperty double x\nproperty double y\nproperty double z\n"
              "property uchar red\nproperty uchar green\nproperty uchar blue\n"
              f"element face {len(f)}\nproperty list uchar int vertex_indices\n"
              "property uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n")
    with open(path, "wb") as out:
        out.write(header.encode("ascii"))
        out.write(vrec.tobytes())
        out.write(frec.tobytes())


def _rotation_to_z(direction: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """A rotation taking ``direction`` (unit) to +z, so that the pull points up in the picture."""
    z = np.array([0.0, 0.0, 1.0])
    c = float(direction @ z)
    if c > 1 - 1e-12:
        return np.eye(3)
    if c < -1 + 1e-12:
        return np.diag([1.0, -1.0, -1.0])
    axis = np.cross(direction, z)
    s = float(np.linalg.norm(axis))
    k = np.array([[0, -axis[2], axis[1]], [axis[2], 0, -axis[0]], [-axis[1], axis[0], 0]]) / s
    return np.eye(3) + s * k + (1 - c) * (k @ k)


def render_png(path: PathLike, vertices: npt.ArrayLike, faces: npt.ArrayLike, failing_faces: npt.ArrayLike,
               blocked_vertices: Optional[npt.ArrayLike] = None, *, pull: Sequence[float] = (0.0, 0.0, 1.0),
               title: str = "", size: Tuple[int, int] = (800, 600)) -> None:
    """Renders the part with the pull direction up: failing faces red, faces at blocked vertices
    orange, blocked vertices as blue dots. ``size`` is the picture's width and height in pixels."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch
    from mpl_toolkits.mplot3d.art3d import Poly3DCollection

    v = np.asarray(vertices, np.float64).reshape(-1, 3)
    f = np.asarray(faces, np.int64).reshape(-1, 3)
    d = np.asarray(pull, np.float64)
    v = v @ _rotation_to_z(d / np.linalg.norm(d)).T
    dpi = 100
    fig = Figure(figsize=(size[0] / dpi, size[1] / dpi), dpi=dpi)
    FigureCanvasAgg(fig)
    ax = fig.add_subplot(projection="3d")
    # Markers stay visible in front of the surface they sit on.
    ax.computed_zorder = False
    elev, azim = 25.0, -60.0
    if len(f):
        tri = v[f]
        n = np.cross(tri[:, 1] - tri[:, 0], tri[:, 2] - tri[:, 0])
        n /= np.maximum(np.linalg.norm(n, axis=1), 1e-300)[:, None]
        # Light from over the viewer's shoulder; back faces get the ambient part only.
        e, a = np.radians(elev + 20), np.radians(azim + 25)
        light = np.array([np.cos(e) * np.cos(a), np.cos(e) * np.sin(a), np.sin(e)])
        shade = 0.45 + 0.55 * np.clip(n @ light, 0.0, 1.0)
        rgb = face_colours(f, failing_faces, blocked_vertices) / 255.0 * shade[:, None]
        ax.add_collection3d(Poly3DCollection(tri, facecolors=rgb, edgecolors=rgb * 0.85, linewidths=0.2,
                                             zorder=1))
    if blocked_vertices is not None and len(np.asarray(blocked_vertices)):
        b = v[np.asarray(blocked_vertices, np.int64)]
        ax.scatter(b[:, 0], b[:, 1], b[:, 2], color=np.array(BLUE) / 255.0, s=14, depthshade=False,
                   edgecolors="white", linewidths=0.6, zorder=3)
    lo, hi = (v.min(axis=0), v.max(axis=0)) if len(v) else (np.zeros(3), np.ones(3))
    # Equal scale on the three axes, each only as long as the part.
    extent = np.maximum(hi - lo, max(float((hi - lo).max()), 1e-9) * 0.02)
    centre = (lo + hi) / 2
    ax.set_xlim(centre[0] - extent[0] / 2, centre[0] + extent[0] / 2)
    ax.set_ylim(centre[1] - extent[1] / 2, centre[1] + extent[1] / 2)
    ax.set_zlim(centre[2] - extent[2] / 2, centre[2] + extent[2] / 2)
    try:
        ax.set_box_aspect(tuple(extent), zoom=0.95)
    except TypeError:  # matplotlib before 3.6
        ax.set_box_aspect(tuple(extent))
    ax.view_init(elev=elev, azim=azim)
    ax.set_axis_off()
    legend = [Patch(color=np.array(RED) / 255, label="fails the draft"),
              Patch(color=np.array(GREY) / 255, label="releases")]
    if blocked_vertices is not None:
        legend[1:1] = [Patch(color=np.array(ORANGE) / 255, label="at a blocked vertex"),
                       Line2D([], [], color=np.array(BLUE) / 255, marker="o", linestyle="", label="blocked vertex")]
    ax.legend(handles=legend, loc="lower left", fontsize=8, frameon=False)
    fig.text(0.98, 0.03, "pull ↑", ha="right", fontsize=9)
    if title:
        fig.suptitle(title, fontsize=10)
    fig.subplots_adjust(left=0, right=1, bottom=0, top=0.94)
    fig.savefig(os.fspath(path), dpi=dpi, format="png")
