"""Records a few seconds of one robot's joint positions and torques and writes a PNG plot,
one row per joint group.

    python examples/plot_states.py SERIAL_NUMBER [--seconds 3] [--hz 100] [--out states.png]

Needs matplotlib. Run it where the robot is reachable (next to the simulator: inside
scripts/netns).
"""
from __future__ import annotations

import argparse
import time

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import orbaltkvt  # noqa: E402
from orbaltkvt import JointGroup  # noqa: E402

GROUPS = (JointGroup.ARM_1, JointGroup.ARM_2, JointGroup.EXT_AXIS)


def record(client: orbaltkvt.Client, seconds: float, hz: float):
    """Samples states() at `hz` for `seconds`; returns times and per-group (q, tau) series."""
    times: list[float] = []
    series: dict[JointGroup, tuple[list[list[float]], list[list[float]]]] = {}
    start = time.monotonic()
    next_at = start
    while (now := time.monotonic()) - start < seconds:
        states = client.states()
        times.append(now - start)
        for group, s in states.items():
            q, tau = series.setdefault(group, ([], []))
            q.append(s.q)
            tau.append(s.tau)
        next_at += 1.0 / hz
        time.sleep(max(0.0, next_at - time.monotonic()))
    return times, series


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("serial_number")
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--hz", type=float, default=100.0)
    parser.add_argument("--out", default="states.png")
    args = parser.parse_args()

    client = orbaltkvt.Client(args.serial_number, verbose=False)
    times, series = record(client, args.seconds, args.hz)
    groups = [g for g in GROUPS if g in series] or list(series)

    fig, axes = plt.subplots(len(groups), 2, figsize=(12, 3.2 * len(groups)), squeeze=False,
                             sharex=True)
    for row, group in enumerate(groups):
        q, tau = series[group]
        for col, (values, label) in enumerate(((q, "joint position q [rad]"),
                                               (tau, "joint torque tau [Nm]"))):
            ax = axes[row][col]
            for joint in range(len(values[0]) if values and values[0] else 0):
                ax.plot(times, [v[joint] for v in values], label=f"J{joint + 1}", linewidth=1)
            ax.set_title(f"{group.name}: {label}")
            ax.grid(True, alpha=0.3)
            if col == 1:
                ax.legend(loc="upper right", fontsize=7, ncol=2)
    for ax in axes[-1]:
        ax.set_xlabel("time [s]")
    fig.suptitle(f"robot {args.serial_number}: {len(times)} samples over {args.seconds:g} s")
    fig.tight_layout()
    fig.savefig(args.out, dpi=100)
    print(f"wrote {args.out} ({len(times)} samples)")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
