"""The network: its definition, losses, checkpoints and the training loop
that fits it (``fit``)."""
