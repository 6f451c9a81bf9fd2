"""kvt plot: joint positions and torques of a recording over time, as a PNG."""
from __future__ import annotations

import sys

from .. import mcapfile
from ..common import NS, ToolError

HELP = "plot joint positions and torques of a recording over time (PNG)"
DESCRIPTION = """Reads the joint-state channels of an MCAP recording and draws, per joint group
(one row each), the joint positions q [rad] and torques tau [Nm] over the robot's time [s from
the first sample]. Without --group the overlapping groups ALL and ARMS are left out when finer
ones exist."""

FINE = ("ARM_1", "ARM_2", "EXT_AXIS")


def add_parser(sub) -> None:
    p = sub.add_parser("plot", help=HELP, description=DESCRIPTION)
    p.add_argument("mcap", metavar="FILE.mcap", help="the recording")
    p.add_argument("-o", "--output", default="states.png", metavar="OUT.png",
                   help="image to write (default states.png)")
    p.add_argument("--group", metavar="G", action="append",
                   help="only this joint group (repeatable)")
    p.set_defaults(run=run)


def load(path: str) -> dict[str, tuple[list[float], list[list[float]], list[list[float]]]]:
    """Per group: robot times [s], positions and efforts per message."""
    series: dict = {}
    t0 = None
    for topic, _schema, _log, pub_ns, msg in mcapfile.read(
            path, lambda topic: topic.endswith("/joint_states")):
        parts = topic.strip("/").split("/")
        if len(parts) != 2:
            continue
        t0 = pub_ns if t0 is None else t0
        times, q, tau = series.setdefault(parts[0], ([], [], []))
        times.append((pub_ns - t0) / NS)
        q.append([j.position for j in msg.joints])
        tau.append([j.effort for j in msg.joints])
    return series


def run(args) -> int:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    series = load(args.mcap)
    if not series:
        raise ToolError(f"{args.mcap} holds no joint states")
    if args.group:
        wanted = [g.upper() for g in args.group]
        missing = [g for g in wanted if g not in series]
        if missing:
            raise ToolError(f"{args.mcap} has no joint group {missing[0]} "
                            f"(it has {', '.join(series)})")
    else:
        wanted = [g for g in FINE if g in series] or list(series)

    fig, axes = plt.subplots(len(wanted), 2, figsize=(12, 3.2 * len(wanted)), squeeze=False,
                             sharex=True)
    for row, group in enumerate(wanted):
        times, q, tau = series[group]
        for col, (values, label) in enumerate(((q, "joint position q [rad]"),
                                               (tau, "joint torque tau [Nm]"))):
            ax = axes[row][col]
            for joint in range(len(values[0]) if values else 0):
                ax.plot(times, [v[joint] for v in values], label=f"J{joint + 1}", linewidth=1)
            ax.set_title(f"{group}: {label}")
            ax.grid(True, alpha=0.3)
            if col == 1:
                ax.legend(loc="upper right", fontsize=7, ncol=2)
    for ax in axes[-1]:
        ax.set_xlabel("robot time [s]")
    samples = len(series[wanted[0]][0])
    fig.suptitle(f"{args.mcap}: {samples} samples over {series[wanted[0]][0][-1]:.1f} s")
    fig.tight_layout()
    try:
        fig.savefig(args.output, dpi=100)
    except OSError as exc:
        raise ToolError(f"cannot write {args.output}: {exc.strerror}") from None
    print(f"wrote {args.output}", file=sys.stderr)
    return 0
