"""A one-line progress bar on standard error (no extra dependency).

On a terminal the line is redrawn in place; otherwise a plain line is
written every ``plain_interval`` seconds, so logs stay readable.
"""

from __future__ import annotations

import sys
import time


def format_seconds(seconds: float) -> str:
    seconds = max(0, int(round(seconds)))
    hours, rest = divmod(seconds, 3600)
    minutes, seconds = divmod(rest, 60)
    return f"{hours}:{minutes:02d}:{seconds:02d}" if hours else f"{minutes}:{seconds:02d}"


class Progress:
    def __init__(self, label: str, total: int, unit: str, stream=None, enabled: bool = True,
                 plain_interval: float = 10.0) -> None:
        self.label = label
        self.total = max(0, total)
        self.unit = unit
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = enabled
        self.tty = enabled and hasattr(self.stream, "isatty") and self.stream.isatty()
        self.plain_interval = plain_interval
        self.started = time.monotonic()
        self._last_plain = self.started
        self._drawn = False

    def line(self, done: int, extra: str = "") -> str:
        elapsed = time.monotonic() - self.started
        width = 24
        fraction = done / self.total if self.total else 1.0
        filled = int(width * min(1.0, fraction))
        bar = "#" * filled + "." * (width - filled)
        eta = f"eta {format_seconds(elapsed / done * (self.total - done))}" if 0 < done < self.total else ""
        parts = [f"{self.label} [{bar}] {done}/{self.total} {self.unit}", format_seconds(elapsed), eta, extra]
        return "  ".join(part for part in parts if part)

    def update(self, done: int, extra: str = "") -> None:
        if not self.enabled:
            return
        if self.tty:
            self.stream.write("\r\x1b[K" + self.line(done, extra))
            self.stream.flush()
            self._drawn = True
        elif time.monotonic() - self._last_plain >= self.plain_interval:
            self._last_plain = time.monotonic()
            self.stream.write(self.line(done, extra) + "\n")
            self.stream.flush()

    def message(self, text: str) -> None:
        """Writes a line of its own (always, even when the bar is disabled)."""
        if self._drawn:
            self.stream.write("\r\x1b[K")
            self._drawn = False
        self.stream.write(text + "\n")
        self.stream.flush()

    def close(self, done: int, extra: str = "") -> None:
        if self.enabled and (self.tty or done):
            if self.tty:
                self.stream.write("\r\x1b[K" + self.line(done, extra) + "\n")
            else:
                self.stream.write(self.line(done, extra) + "\n")
            self.stream.flush()
            self._drawn = False
