"""Playing many games at once on the pool: self-play that writes shards,
and arena matches that measure strength."""
