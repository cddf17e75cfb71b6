"""Fakes and checks shared by the module's tests.

Fake queue and pipe objects stand in for the Python side that runs the
network; the checks rebuild what the module must have sent from what it
returned, using only the rules' public facts: the start corners, the
mover's frame of the planes, the payoff shares.
"""

import math
import platform
import struct
import sys
import types

IS_PYPY = platform.python_implementation() == "PyPy"
IS_CPYTHON = platform.python_implementation() == "CPython"

SIDE = 20
CELLS = SIDE * SIDE
START_TILES = {0, 1, 2, 3, 4, 20, 21, 22, 23, 40, 41, 42, 60, 61, 80}


def f32(x):
    """x rounded to the nearest single-precision value."""
    return struct.unpack("f", struct.pack("f", x))[0]


# Every share the payoff can give (1.0 / k in single precision).
PAYOFF_SHARES = {0.0, 1.0, 0.5, f32(1.0 / 3.0), 0.25}


def config(**overrides):
    """Settings that make games quick: few simulations, plain constants."""
    values = dict(
        sims_per_move=1,
        sample_moves=0,
        c_base=19652.0,
        c_init=1.25,
        dirichlet_alpha=0.3,
        exploration_fraction=0.0,
    )
    values.update(overrides)
    return types.SimpleNamespace(**values)


# A policy that grows with the index in the mover's frame: every entry is
# positive, and among any set of tiles the one furthest along the frame's
# row-major order has the highest value.
RISING_POLICY = [1.0 + i / CELLS for i in range(CELLS)]
FLAT_VALUES = [0.25, 0.25, 0.25, 0.25]
RISING_REPLY = (RISING_POLICY, FLAT_VALUES)


class RecordingQueue:
    """A queue whose put keeps every request."""

    def __init__(self):
        self.requests = []

    def put(self, request):
        self.requests.append(request)


class ReplyPipe:
    """A pipe whose recv answers with reply_for(request_number, request)."""

    def __init__(self, queue, reply_for=lambda n, request: RISING_REPLY):
        self.queue = queue
        self.reply_for = reply_for
        self.calls = 0

    def recv(self):
        self.calls += 1
        request = self.queue.requests[-1] if self.queue.requests else None
        return self.reply_for(self.calls - 1, request)


class SharedPipe:
    """One pipe serving several queues: answers the latest request of any."""

    def __init__(self, reply_for):
        self.reply_for = reply_for
        self.pending = None

    def queue(self, name):
        pipe = self

        class Queue:
            def __init__(self):
                self.requests = []

            def put(self, request):
                self.requests.append(request)
                pipe.pending = (name, request)

        return Queue()

    def recv(self):
        name, request = self.pending
        return self.reply_for(name, request)


# --- the mover's frame -----------------------------------------------------

def frame_index(tile, mover):
    """Where board tile `tile` appears in the planes when `mover` is to move."""
    i, j = divmod(tile, SIDE)
    row, col = [(i, j), (19 - j, i), (19 - i, 19 - j), (j, 19 - i)][mover]
    return row * SIDE + col


_BOARD_TILE = [[0] * CELLS for _ in range(4)]
for _mover in range(4):
    for _tile in range(CELLS):
        _BOARD_TILE[_mover][frame_index(_tile, _mover)] = _tile


def board_tile(index, mover):
    """The board tile at frame index `index` when `mover` is to move."""
    return _BOARD_TILE[mover][index]


def check_request_shape(request, expected_id):
    """(id, planes) with planes 5 x 20 x 20 of True/False."""
    assert type(request) is tuple and len(request) == 2
    assert type(request[0]) is int and request[0] == expected_id
    planes = request[1]
    assert type(planes) is list and len(planes) == 5
    for plane in planes:
        assert type(plane) is list and len(plane) == SIDE
        for row in plane:
            assert type(row) is list and len(row) == SIDE
            for cell in row:
                assert cell is True or cell is False


def plane_sets(planes, mover):
    """The five planes as sets of board tiles, read in `mover`'s frame."""
    sets = []
    for plane in planes:
        cells = set()
        for y, row in enumerate(plane):
            for x, cell in enumerate(row):
                if cell:
                    cells.add(board_tile(y * SIDE + x, mover))
        sets.append(cells)
    return sets


def check_planes(planes, mover, history_before, legal):
    """Planes 0..3 show each seat's cells relative to the mover, plane 4 the
    legal tiles; all in the mover's frame."""
    sets = plane_sets(planes, mover)
    for seat in range(4):
        owned = {tile for s, tile in history_before if s == seat}
        assert sets[(seat - mover) % 4] == owned, (mover, seat)
    assert sets[4] == set(legal)


def check_training_result(result):
    """Types and the invariants that hold for every finished training game."""
    assert type(result) is tuple and len(result) == 3
    history, policies, payoff = result
    assert type(history) is list and type(policies) is list and type(payoff) is list
    assert len(history) == len(policies) > 0
    for entry in history:
        assert type(entry) is tuple and len(entry) == 2
        assert all(type(v) is int for v in entry)
        seat, tile = entry
        assert 0 <= seat < 4 and 0 <= tile < CELLS
    for (seat, tile), record in zip(history, policies):
        assert type(record) is list and record
        for pair in record:
            assert type(pair) is tuple and len(pair) == 2
            assert type(pair[0]) is int and type(pair[1]) is float
        assert tile in {t for t, _ in record}
    # Every cell is taken at most once; seat 0 moves first.
    tiles = [tile for _, tile in history]
    assert len(set(tiles)) == len(tiles)
    assert history[0][0] == 0
    assert len(payoff) == 4 and all(type(v) is float for v in payoff)
    winners = [v for v in payoff if v > 0.0]
    assert winners and all(v == winners[0] for v in winners)
    assert winners[0] == f32(1.0 / len(winners))
    return history, policies, payoff


def cell_count(request):
    return sum(cell for plane in request[1][:4] for row in plane for cell in row)


def root_requests(requests, moves, sims):
    """The requests made for the search roots. A search sends its root
    request, then up to `sims` leaf requests for positions at least one tile
    further (a finished position sends none). So the root of move n is the
    last request showing exactly n taken cells: the leaves of the search
    before it that show n cells all come earlier, and everything later shows
    more."""
    assert moves <= len(requests) <= moves * (sims + 1)
    last_with = {}
    for request in requests:
        last_with[cell_count(request)] = request
    return [last_with[n] for n in range(moves)]


def check_training_against_requests(result, requests, sims, expected_id, greedy_rising=False):
    """Every root request shows the position the history had reached; each
    record covers exactly the legal tiles (the rising policy keeps them all);
    with greedy_rising (one simulation, no noise, no sampling) the chosen
    tile is the legal tile furthest along the mover's frame."""
    history, policies, _ = check_training_result(result)
    for request in requests:
        check_request_shape(request, expected_id)
    for n, request in enumerate(root_requests(requests, len(history), sims)):
        mover, tile = history[n]
        legal = {t for t, _ in policies[n]}
        check_planes(request[1], mover, history[:n], legal)
        if greedy_rising:
            assert tile == max(legal, key=lambda t: frame_index(t, mover))
            assert [share for t, share in policies[n] if t == tile] == [1.0]
            assert all(share == 0.0 for t, share in policies[n] if t != tile)


def infer_movers(requests):
    """The seat to move at each request of a test game (one tile per
    request), worked out from the planes alone: the first mover is seat 0,
    and each next request shows exactly one more cell, owned by the previous
    mover. Returns the movers and checks that every request fits."""
    movers = [0]
    owners = _owners(requests[0][1], 0)
    assert owners == {}
    for previous, request in zip(requests, requests[1:]):
        fits = []
        for mover in range(4):
            candidate = _owners(request[1], mover)
            added = set(candidate) - set(owners)
            if (len(added) == 1 and all(candidate[t] == owners[t] for t in owners)
                    and candidate[next(iter(added))] == movers[-1]):
                fits.append((mover, candidate))
        assert len(fits) == 1, fits
        movers.append(fits[0][0])
        owners = fits[0][1]
    return movers


def check_test_game_requests(routed, expected_id):
    """``routed``: (network, request) pairs in the order sent by a test game
    in which the model takes the legal tile earliest in its frame and the
    baseline the latest. Each request went to the model's queue exactly
    while seat 0 was to move, and each decision's tile is the one cell the
    next request shows in addition."""
    requests = [request for _, request in routed]
    for request in requests:
        check_request_shape(request, expected_id)
    movers = infer_movers(requests)
    assert [network for network, _ in routed] == ["model" if m == 0 else "baseline" for m in movers]
    for k in range(len(requests) - 1):
        legal = plane_sets(requests[k][1], movers[k])[4]
        position = lambda t: frame_index(t, movers[k])  # noqa: E731
        chosen = min(legal, key=position) if movers[k] == 0 else max(legal, key=position)
        before = set().union(*plane_sets(requests[k][1], movers[k])[:4])
        after = set().union(*plane_sets(requests[k + 1][1], movers[k + 1])[:4])
        assert after - before == {chosen}


def _owners(planes, mover):
    owners = {}
    for k, cells in enumerate(plane_sets(planes, mover)[:4]):
        for tile in cells:
            owners[tile] = (k + mover) % 4
    return owners


def is_nan(x):
    return isinstance(x, float) and math.isnan(x)


def rss_bytes():
    """Resident memory of this process (Linux)."""
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    import resource
    return pages * resource.getpagesize()


def pypy_version():
    return getattr(sys, "pypy_version_info", None)
