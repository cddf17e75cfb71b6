"""The game's dimensions as the Python side sees them, named once.

The rules library owns the rules; these are only the sizes of what crosses
into Python (planes, policies, values), checked against the binding where
it can tell them (``data.positions``)."""

SEATS = 4
BOARD_SIDE = 20
CELLS = BOARD_SIDE * BOARD_SIDE
PLANES = 5  # one per seat relative to the mover, then the mover's legal tiles
PLANES_SHAPE = (PLANES, BOARD_SIDE, BOARD_SIDE)
PLANES_BYTES = PLANES * CELLS  # a request's planes packed one byte per cell
LEGAL_PLANE = PLANES - 1
PIECES = 21  # each seat's hand at the start
CORNER_PLANES = 2 * SEATS  # the network's derived planes: each seat's corner cells, then its closed cells
PIECE_FEATURES = SEATS * PIECES  # a position's remaining-piece flags, seat by seat in plane order
PLACEMENT_PLANES = 2 * SEATS  # each seat's largest placement covering a cell, then the number covering it
PLACEMENT_FEATURES = PLACEMENT_PLANES * CELLS  # a position's placement planes, flattened after its piece flags
EQUAL_ROTATED = 1.0 / SEATS  # the payoff of one seat against three equal players, seats rotated
MAX_SIMS = 1_000_000  # the most simulations per tile any search setting or player takes
MAX_TEMPERATURE = 100.0  # the highest temperature any policy setting or player takes
