"""The ``kvt`` command: tools that take a robot's data out of ``orbaltkvt``, and recordings as
arrays.

Every verb lives in its own module under :mod:`orbaltkvt_tools.verbs`; :mod:`orbaltkvt_tools.cli`
only dispatches. The tools read the robot through the public ``orbaltkvt`` API alone.

``load(PATH)`` (:mod:`orbaltkvt_tools.recording`) gives every sample of a recording as numpy
arrays::

    import orbaltkvt_tools
    from orbaltkvt import JointGroup

    rec = orbaltkvt_tools.load("run.mcap")
    q = rec.basic.groups[JointGroup.ARM_1]["q"]      # (N, 7) joint positions [rad]
    t = rec.basic.robot_time_ns                      # (N,) the robot's time [ns]

It reads what is asked for only, and ``windows`` a long recording in bounded pieces::

    part = orbaltkvt_tools.load("run.mcap", start=10.0, end=20.0, groups=["ARM_1"],
                                fields=["q", "tcp_pose"], dtype="float32")
    for window in orbaltkvt_tools.windows("long.mcap", seconds=10, fields=["q"]):
        ...
"""

__version__ = "0.1.0"

__all__ = ["Recording", "RecordingError", "Stream", "load", "windows"]


def __getattr__(name: str):
    # The recording module needs numpy; the verbs that do not read recordings start without it.
    if name in __all__:
        from . import recording

        return getattr(recording, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
