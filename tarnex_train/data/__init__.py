"""Training data: positions rebuilt from game histories, shards on disk,
training targets, and the sliding window of the newest positions."""
