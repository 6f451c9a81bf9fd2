"""kvt plot: joint positions and torques of a recording over time, as a PNG."""
from __future__ import annotations

import sys

import numpy as np

from ..errors import ToolError
from ..formatting import NS
from ..recording import RecordingError, load

NAME = "plot"
HELP = "plot joint positions and torques of a recording over time (PNG)"
DESCRIPTION = """Reads a recording (or the files of one split recording, in order) and draws, per
joint group (one row each), the joint positions q [rad] and torques tau [Nm] over the robot's
time [s from the first sample]. Without --group the overlapping groups ALL and ARMS are left
out when finer ones exist."""

FINE = ("ARM_1", "ARM_2", "EXT_AXIS")


def add_parser(sub) -> None:
    p = sub.add_parser(NAME, help=HELP, description=DESCRIPTION)
    p.add_argument("mcap", metavar="FILE.mcap", nargs="+",
                   help="the recording (several: the files of one split recording, in order)")
    p.add_argument("-o", "--output", default="states.png", metavar="OUT.png",
                   help="image to write (default states.png)")
    p.add_argument("--group", metavar="G", action="append",
                   help="only this joint group (repeatable)")
    p.set_defaults(run=run)


def run(args) -> int:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    try:
        # Only what is drawn: the measured positions and torques.
        recording = load(args.mcap, fields=("q", "tau"), streams=("basic",))
    except RecordingError as exc:
        raise ToolError(str(exc)) from None
    basic = recording.basic
    series = {g.name: f for g, f in basic.groups.items() if "q" in f}
    name = args.mcap[0] if len(args.mcap) == 1 else f"{args.mcap[0]} ... {args.mcap[-1]}"
    if not series or not len(basic):
        raise ToolError(f"{name} holds no joint states")
    if args.group:
        wanted = [g.upper() for g in args.group]
        missing = [g for g in wanted if g not in series]
        if missing:
            raise ToolError(f"{name} has no joint group {missing[0]} "
                            f"(it has {', '.join(series)})")
    else:
        wanted = [g for g in FINE if g in series] or list(series)

    times = (basic.robot_time_ns - basic.robot_time_ns[0]) / NS
    fig, axes = plt.subplots(len(wanted), 2, figsize=(12, 3.2 * len(wanted)), squeeze=False,
                             sharex=True)
    for row, group in enumerate(wanted):
        for col, (field, label) in enumerate((("q", "joint position q [rad]"),
                                              ("tau", "joint torque tau [Nm]"))):
            ax = axes[row][col]
            values = series[group][field]
            for joint in range(values.shape[1]):
                ax.plot(times, values[:, joint], label=f"J{joint + 1}", linewidth=1)
            ax.set_title(f"{group}: {label}")
            ax.grid(True, alpha=0.3)
            if col == 1:
                ax.legend(loc="upper right", fontsize=7, ncol=2)
    for ax in axes[-1]:
        ax.set_xlabel("robot time [s]")
    fig.suptitle(f"{name}: {len(basic)} samples over {np.nanmax(times):.1f} s")
    fig.tight_layout()
    try:
        fig.savefig(args.output, dpi=100)
    except OSError as exc:
        raise ToolError(f"cannot write {args.output}: {exc.strerror}") from None
    print(f"wrote {args.output}", file=sys.stderr)
    return 0
