"""The kvt tools, and a robot's recordings as numpy arrays (see orbaltkvt_tools.recording)."""
from orbaltkvt_tools.recording import Recording as Recording
from orbaltkvt_tools.recording import RecordingError as RecordingError
from orbaltkvt_tools.recording import Stream as Stream
from orbaltkvt_tools.recording import load as load
from orbaltkvt_tools.recording import windows as windows

__version__: str
__all__ = ["Recording", "RecordingError", "Stream", "load", "windows"]
