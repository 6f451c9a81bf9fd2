"""The loss counters: as plain dicts, and as the one-line summary people read."""
from __future__ import annotations

COUNTERS_NOTE = (
    "Every sample of both streams is queued in native code (a bounded queue per stream); the "
    "counters say what happened to them: received, delivered, dropped (the queue was full, the "
    "oldest went), gaps (samples the robot stamped that never arrived, from its timestamps) and "
    "malformed.")


def counters_dict(counters) -> dict[str, int]:
    """Counters as a plain {name: int}: one stream's ``orbaltkvt_stream.Counters``, a stream's
    dict in the bridge's stats, or a file's ``orbaltkvt.counters`` record (values as text)."""
    items = counters._asdict() if hasattr(counters, "_asdict") else dict(counters)
    return {str(k): int(v) for k, v in items.items()}


def loss_text(name: str, counters) -> str:
    """``basic: kept 59990 of 60000, dropped 0, gaps 10``: kept is what was delivered, of what
    the robot sent before the end (delivered, dropped, malformed and the gaps; samples that
    arrived after the end are not counted)."""
    c = counters_dict(counters)
    sent = c.get("delivered", 0) + c.get("dropped", 0) + c.get("malformed", 0) + c.get("gaps", 0)
    text = (f"{name}: kept {c.get('delivered', 0)} of {sent}, dropped {c.get('dropped', 0)}, "
            f"gaps {c.get('gaps', 0)}")
    if c.get("malformed"):
        text += f", malformed {c['malformed']}"
    return text


def viewer_text(viewer: dict) -> str:
    """``viewer 2 sent 6107, dropped 55505``: channel messages written to one viewer's
    connection, and dropped from its queue (its oldest first) because it fell behind."""
    return (f"viewer {viewer.get('id', '?')} sent {viewer.get('sent', 0)}, "
            f"dropped {viewer.get('dropped', 0)}")


def viewers_text(viewers: list[dict]) -> str:
    """All viewers' messages sent and dropped, then each viewer's."""
    sent = sum(v.get("sent", 0) for v in viewers)
    dropped = sum(v.get("dropped", 0) for v in viewers)
    return f"{len(viewers)} viewers sent {sent}, dropped {dropped}"
