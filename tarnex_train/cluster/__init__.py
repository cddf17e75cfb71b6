"""Games across the nodes of a Ray cluster (``--ray ADDRESS``).

Imported only when a command is given ``--ray``; Ray itself is an optional
extra (``pip install ".[ray]"``).
"""
