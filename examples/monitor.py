"""Live terminal dashboard of one robot: joint positions and torques, TCP pose, e-stop,
enabling device and digital I/O, refreshed while the robot moves.

    python examples/monitor.py SERIAL_NUMBER [--seconds N] [--hz 10]

Needs the `rich` package. Run it where the robot is reachable (next to the simulator: inside
scripts/netns, as scripts/demo does).
"""
from __future__ import annotations

import argparse
import time

from rich.console import Group
from rich.live import Live
from rich.markup import escape
from rich.panel import Panel
from rich.table import Table
from rich.text import Text

import orbaltkvt
from orbaltkvt import JointGroup

# Groups that overlap others (ALL, ARMS) are shown only when the robot has nothing finer.
FINE_GROUPS = (JointGroup.ARM_1, JointGroup.ARM_2, JointGroup.EXT_AXIS)


def joints_table(states: dict[JointGroup, orbaltkvt.RobotStates]) -> Table:
    table = Table(title="Joints", expand=True)
    table.add_column("group")
    table.add_column("joint", justify="right")
    table.add_column(escape("q [rad]"), justify="right")
    table.add_column(escape("dq [rad/s]"), justify="right")
    table.add_column(escape("tau [Nm]"), justify="right")
    table.add_column(escape("temp [°C]"), justify="right")
    shown = [g for g in FINE_GROUPS if g in states] or list(states)
    for group in shown:
        s = states[group]
        for i, q in enumerate(s.q):
            table.add_row(group.name if i == 0 else "", str(i + 1), f"{q:+.4f}",
                          f"{s.dq[i]:+.4f}", f"{s.tau[i]:+8.3f}", f"{s.temperature[i]:5.1f}")
    return table


def tcp_table(states: dict[JointGroup, orbaltkvt.RobotStates]) -> Table:
    table = Table(title="TCP pose (world) and wrench", expand=True)
    for name in ("group", "x", "y", "z", "qw", "qx", "qy", "qz", "|F| [N]"):
        table.add_column(name, justify="right")
    for group, s in states.items():
        force = sum(v * v for v in s.tcp_wrench[:3]) ** 0.5
        table.add_row(group.name, *(f"{v:+.3f}" for v in s.tcp_pose), f"{force:.2f}")
    return table


def io_line(label: str, bits: list[bool]) -> Text:
    text = Text(f"{label:<4}")
    for i, bit in enumerate(bits):
        text.append(f" {i:02d}", style="bold green" if bit else "dim")
    return text


def status_panel(client: orbaltkvt.Client, timestamp: tuple[int, int]) -> Panel:
    estop = client.estop_released()
    enabling = client.enabling_device_on()
    head = Text()
    head.append("E-stop ")
    head.append("released" if estop else "PRESSED", style="green" if estop else "bold red")
    head.append("   enabling device ")
    head.append("on" if enabling else "off", style="green" if enabling else "yellow")
    head.append(f"   sample {timestamp[0]}.{timestamp[1]:09d}")
    return Panel(Group(head, io_line("DI", client.digital_inputs()),
                       io_line("DO", client.digital_outputs())), title="Status")


def render(client: orbaltkvt.Client, serial: str) -> Group:
    states = client.states()
    timestamp = next(iter(states.values())).timestamp if states else (0, 0)
    return Group(Text(f"orbaltkvt monitor — robot {serial}", style="bold"),
                 status_panel(client, timestamp), joints_table(states), tcp_table(states))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("serial_number")
    parser.add_argument("--seconds", type=float, help="stop after this many seconds")
    parser.add_argument("--hz", type=float, default=10.0, help="refresh rate")
    args = parser.parse_args()

    client = orbaltkvt.Client(args.serial_number, verbose=False)
    end = None if args.seconds is None else time.monotonic() + args.seconds
    try:
        with Live(render(client, args.serial_number), refresh_per_second=args.hz,
                  screen=False) as live:
            while end is None or time.monotonic() < end:
                time.sleep(1.0 / args.hz)
                live.update(render(client, args.serial_number))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
