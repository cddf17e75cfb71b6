"""What the network reads besides the planes, derived from the planes:
each seat's remaining pieces and placements (``side``), its corner and
closed cells (``corners``). Below both the training data and the network,
which each derive them: the data when it makes examples, the network and
its inference forms for what they are not given."""
