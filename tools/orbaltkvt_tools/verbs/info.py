"""kvt info: what a user checks first about a robot."""
from __future__ import annotations

import json
import sys

from ..connecting import connect
from ..errors import ToolError
from ..formatting import record_dict

NAME = "info"
HELP = "show joint groups, plan info, primitive states, configuration score, e-stop and I/O"
DESCRIPTION = """Connects to the robot and prints its joint groups with their degrees of freedom
(from the newest sample), the plan executor's state, the running primitives and their state
variables, the configuration score per group (0 to 100), the e-stop, the enabling device and the
20 digital inputs and outputs. --json prints the same as one JSON object."""


def add_parser(sub) -> None:
    p = sub.add_parser(NAME, help=HELP, description=DESCRIPTION)
    p.add_argument("serial_number", metavar="SN", help="the robot's serial number")
    p.add_argument("--json", action="store_true", help="one JSON object on stdout")
    p.set_defaults(run=run)


def gather(client) -> dict:
    states = client.states()
    try:
        plan = record_dict(client.plan_info())
        primitives = {g.name: {"pt_name": p.pt_name, "names_and_values": p.names_and_values}
                      for g, p in client.primitive_states().items()}
        scores = {g.name: list(v) for g, v in client.configuration_score().items()}
    except RuntimeError as exc:
        raise ToolError(str(exc)) from None
    return {
        "groups": {g.name: {"dof": len(s.q)} for g, s in states.items()},
        "plan_info": plan,
        "primitive_states": primitives,
        "configuration_score": scores,
        "estop_released": client.estop_released(),
        "enabling_device_on": client.enabling_device_on(),
        "digital_inputs": client.digital_inputs(),
        "digital_outputs": client.digital_outputs(),
    }


def _bits(bits: list[bool]) -> str:
    on = [f"{i:02d}" for i, b in enumerate(bits) if b]
    return " ".join(on) if on else "none"


def show(info: dict, serial_number: str) -> None:
    from rich.console import Console
    from rich.table import Table

    console = Console()
    console.print(f"[bold]robot {serial_number}[/bold]")
    table = Table(title="Joint groups")
    for name in ("group", "DoF", "score 1", "score 2", "primitive"):
        table.add_column(name, justify="right" if name != "primitive" else "left")
    for group, g in info["groups"].items():
        score = info["configuration_score"].get(group, [None, None])
        prim = info["primitive_states"].get(group, {}).get("pt_name", "")
        table.add_row(group, str(g["dof"]), *("-" if v is None else f"{v:.1f}" for v in score),
                      prim)
    console.print(table)
    plan = Table(title="Plan info", show_header=False)
    for k, v in info["plan_info"].items():
        plan.add_row(k, str(v))
    console.print(plan)
    for group, p in info["primitive_states"].items():
        values = ", ".join(f"{k}={v}" for k, v in p["names_and_values"].items())
        console.print(f"primitive {group}: {p['pt_name']}  {values}", markup=False)
    estop = "released" if info["estop_released"] else "PRESSED"
    enabling = "on" if info["enabling_device_on"] else "off"
    console.print(f"e-stop {estop}, enabling device {enabling}")
    console.print(f"digital inputs on: {_bits(info['digital_inputs'])}")
    console.print(f"digital outputs on: {_bits(info['digital_outputs'])}")


def run(args) -> int:
    client = connect(args.serial_number)
    info = gather(client)
    if args.json:
        sys.stdout.write(json.dumps(info) + "\n")
        sys.stdout.flush()
    else:
        show(info, args.serial_number)
    return 0
