"""Players: anything that can take a seat. ``random`` and the reference
rules (``greedy``, ``lookahead``) run natively on the rules library; a
network plays as ``policy`` (its most likely legal tile) or ``search`` (the
engine's PUCT search over its evaluations)."""
