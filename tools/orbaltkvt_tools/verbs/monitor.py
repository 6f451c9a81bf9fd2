"""kvt monitor: live terminal dashboard of one robot: joint positions and torques, TCP pose,
e-stop, enabling device and digital I/O, and how fresh the newest sample is."""
from __future__ import annotations

import sys
import threading
import time

from rich.console import Group
from rich.live import Live
from rich.markup import escape
from rich.panel import Panel
from rich.table import Table
from rich.text import Text

from ..connecting import connect, sample_stream
from ..counters import counters_dict
from ..formatting import format_ns, timestamp_ns
from ..groups import fine_groups

NAME = "monitor"
HELP = "live terminal dashboard with a staleness indicator"
DESCRIPTION = """Shows the newest sample of one robot, refreshed --hz times a second: joints
(q [rad], dq [rad/s], tau [Nm], temperature [°C]), TCP poses [m] and force [N], e-stop, enabling
device and digital I/O. The robot's clock is not this host's, so freshness is judged here: the
dashboard shows how long ago the newest sample last changed and turns STALE after --stale-after
seconds without a new one. It shows only the newest sample at each refresh (use record or echo
to keep every sample), and below it every sample's fate per stream: received, dropped (the
queue was full), gaps (samples the robot stamped that never arrived) and malformed. When stdout
is not a terminal, or with --plain, it prints one status line per refresh instead."""


class Drain:
    """Takes every sample of a SampleStream on a thread of its own, so that its loss counters
    say what reached this host; the dashboard itself reads the client's newest sample."""

    def __init__(self, client):
        self.stream = sample_stream(client)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="kvt-monitor-drain", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while not self._stop.is_set():
            self.stream.next(timeout=0.2)  # waits without the interpreter lock

    def counters(self) -> dict[str, dict[str, int]]:
        return {"basic": counters_dict(self.stream.basic_counters()),
                "extra": counters_dict(self.stream.extra_counters())}

    def close(self) -> None:
        self._stop.set()
        self.stream.interrupt()
        self._thread.join()
        self.stream.close()


def counters_text(counters: dict[str, dict[str, int]]) -> str:
    return "; ".join(f"{name} received {c['received']} dropped {c['dropped']} gaps {c['gaps']} "
                     f"malformed {c['malformed']}" for name, c in counters.items())

def joints_table(states) -> Table:
    table = Table(title="Joints", expand=True)
    table.add_column("group")
    table.add_column("joint", justify="right")
    table.add_column(escape("q [rad]"), justify="right")
    table.add_column(escape("dq [rad/s]"), justify="right")
    table.add_column(escape("tau [Nm]"), justify="right")
    table.add_column(escape("temp [°C]"), justify="right")
    shown = fine_groups(states)
    for group in shown:
        s = states[group]
        for i, q in enumerate(s.q):
            table.add_row(group.name if i == 0 else "", str(i + 1), f"{q:+.4f}",
                          f"{s.dq[i]:+.4f}", f"{s.tau[i]:+8.3f}", f"{s.temperature[i]:5.1f}")
    return table


def tcp_table(states) -> Table:
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


class Freshness:
    """Host-side age of the newest sample: the time since its robot timestamp last changed."""

    def __init__(self, stale_after: float):
        self.stale_after = stale_after
        self.last_ns = None
        self.changed_at = time.monotonic()

    def update(self, states) -> tuple[int, float, bool]:
        """(robot time in ns, age in s, stale) after one look at ``states``."""
        now = time.monotonic()
        ns = timestamp_ns(next(iter(states.values())).timestamp) if states else None
        if ns != self.last_ns:
            self.last_ns = ns
            self.changed_at = now
        age = now - self.changed_at
        return ns or 0, age, ns is None or age > self.stale_after


def freshness_text(ns: int, age: float, stale: bool) -> Text:
    text = Text(f"sample {format_ns(ns)}   ")
    if stale:
        text.append(f"STALE: no new sample for {age:.1f} s", style="bold white on red")
    else:
        text.append(f"live, updated {age:.2f} s ago", style="green")
    return text


def counters_line(counters: dict[str, dict[str, int]]) -> Text:
    text = Text()
    for name, c in counters.items():
        text.append(f"{name:<6} received {c['received']:>9}  ")
        for key in ("dropped", "gaps", "malformed"):
            text.append(f"{key} {c[key]:>6}  ", style="bold red" if c[key] else "dim")
        text.append("\n")
    text.rstrip()
    return text


def status_panel(client, fresh: Text, drain: Drain) -> Panel:
    estop = client.estop_released()
    enabling = client.enabling_device_on()
    head = Text()
    head.append("E-stop ")
    head.append("released" if estop else "PRESSED", style="green" if estop else "bold red")
    head.append("   enabling device ")
    head.append("on" if enabling else "off", style="green" if enabling else "yellow")
    return Panel(Group(fresh, head, io_line("DI", client.digital_inputs()),
                       io_line("DO", client.digital_outputs()), counters_line(drain.counters())),
                 title="Status")


def render(client, serial: str, freshness: Freshness, drain: Drain) -> Group:
    states = client.states()
    fresh = freshness_text(*freshness.update(states))
    return Group(Text(f"kvt monitor — robot {serial}", style="bold"),
                 status_panel(client, fresh, drain), joints_table(states), tcp_table(states))


def plain_line(client, freshness: Freshness, drain: Drain) -> str:
    ns, age, stale = freshness.update(client.states())
    state = "STALE" if stale else "live"
    estop = "released" if client.estop_released() else "PRESSED"
    return (f"sample {format_ns(ns)} age {age:.2f} s {state} e-stop {estop}; "
            + counters_text(drain.counters()))


def add_parser(sub) -> None:
    p = sub.add_parser(NAME, help=HELP, description=DESCRIPTION)
    p.add_argument("serial_number", metavar="SN", help="the robot's serial number")
    p.add_argument("--seconds", type=float, metavar="S", help="stop after S seconds")
    p.add_argument("--hz", type=float, default=10.0, help="refreshes per second (default 10)")
    p.add_argument("--stale-after", type=float, default=0.5, metavar="S",
                   help="seconds without a new sample before STALE (default 0.5)")
    p.add_argument("--plain", action="store_true",
                   help="one status line per refresh instead of the dashboard")
    p.set_defaults(run=run)


def run(args) -> int:
    client = connect(args.serial_number)
    drain = Drain(client)
    freshness = Freshness(args.stale_after)
    end = None if args.seconds is None else time.monotonic() + args.seconds
    period = 1.0 / args.hz
    try:
        if args.plain or not sys.stdout.isatty():
            while end is None or time.monotonic() < end:
                sys.stdout.write(plain_line(client, freshness, drain) + "\n")
                sys.stdout.flush()
                time.sleep(period)
        else:
            with Live(render(client, args.serial_number, freshness, drain),
                      refresh_per_second=args.hz, screen=False) as live:
                while end is None or time.monotonic() < end:
                    time.sleep(period)
                    live.update(render(client, args.serial_number, freshness, drain))
    except KeyboardInterrupt:
        pass
    finally:
        drain.close()
    return 0
