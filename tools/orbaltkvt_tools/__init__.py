"""The ``kvt`` command: tools that take a robot's data out of ``orbaltkvt``.

Every verb lives in its own module under :mod:`orbaltkvt_tools.verbs`; :mod:`orbaltkvt_tools.cli`
only dispatches. The tools read the robot through the public ``orbaltkvt`` API alone.
"""

__version__ = "0.1.0"
