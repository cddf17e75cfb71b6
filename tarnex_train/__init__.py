"""Training tools around the tarnex_self_play engine."""
