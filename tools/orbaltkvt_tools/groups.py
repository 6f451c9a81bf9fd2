"""Joint groups by name: the --groups option, and which groups to show people."""
from __future__ import annotations

from typing import Optional

from .errors import UsageError


def group_by_name(name: str):
    """The ``JointGroup`` called ``name`` (case-insensitive), or :class:`UsageError`."""
    from orbaltkvt import JointGroup

    member = JointGroup.__members__.get(name.upper())
    if member is None:
        choices = ", ".join(n for n in JointGroup.__members__ if n != "UNKNOWN")
        raise UsageError(f"unknown joint group {name!r} (one of {choices})")
    return member


def fine_groups(groups) -> list:
    """The groups to show people: ALL and ARMS overlap the finer groups, so they are left out
    when the robot has anything finer."""
    from orbaltkvt import JointGroup

    fine = [g for g in (JointGroup.ARM_1, JointGroup.ARM_2, JointGroup.EXT_AXIS) if g in groups]
    return fine or list(groups)


def select_groups(groups, spec: Optional[str]) -> list:
    """The groups named by ``spec``: None for :func:`fine_groups`, "all", or "G,G,...";
    :class:`UsageError` for a name the robot does not have."""
    if spec is None:
        return fine_groups(groups)
    if spec.lower() == "all":
        return list(groups)
    wanted = [group_by_name(n.strip()) for n in spec.split(",") if n.strip()]
    missing = [g.name for g in wanted if g not in groups]
    if missing:
        raise UsageError(f"the robot has no joint group {missing[0]} "
                         f"(it has {', '.join(g.name for g in groups)})")
    return wanted


def add_group_option(parser) -> None:
    parser.add_argument("--groups", metavar="all|G,...",
                        help="joint groups to take (default: all but ALL and ARMS, which only "
                             "repeat the joints of ARM_1, ARM_2 and EXT_AXIS when the robot has "
                             "those; 'all' takes every group)")
