"""The rules binding: positions rebuilt from a history, frames, and the
validation of bad histories."""

import random

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tarnex_train import _rules
from tarnex_train.data.positions import FRAMES, replay

START_TILES = {0, 1, 2, 3, 4, 20, 21, 22, 23, 40, 41, 42, 60, 61, 80}
START_CELLS = (0, 19, 399, 380)


def legal_tiles(mask) -> set:
    return {t for t in range(400) if mask[t]}


def random_game(rng: random.Random, stop_after=None):
    """A legal game played with uniformly drawn tiles, as (seat, tile) pairs."""
    history = []
    while stop_after is None or len(history) < stop_after:
        _, mover, legal, _, terminal = _rules.position(history)
        if terminal:
            break
        history.append((mover, rng.choice(sorted(legal_tiles(legal)))))
    return history


def expected_frame(mover: int) -> np.ndarray:
    """Board cell (row i, column j) -> index in the mover's planes, by the
    quarter-turn table of the board-state encoding."""
    out = np.empty(400, dtype=np.int64)
    for n in range(400):
        i, j = divmod(n, 20)
        row, col = {0: (i, j), 1: (19 - j, i), 2: (19 - i, 19 - j), 3: (j, 19 - i)}[mover]
        out[n] = row * 20 + col
    return out


def test_frames_follow_the_quarter_turn_table_and_put_the_movers_corner_first():
    for mover in range(4):
        assert np.array_equal(FRAMES[mover], expected_frame(mover))
        assert FRAMES[mover][START_CELLS[mover]] == 0
    with pytest.raises(ValueError):
        _rules.frame(4)
    with pytest.raises(TypeError):
        _rules.frame("1")


def test_start_position_and_the_first_completed_piece():
    planes, mover, legal, payoff, terminal = _rules.position([])
    assert (mover, terminal, payoff) == (0, False, (0.25, 0.25, 0.25, 0.25))
    assert legal_tiles(legal) == START_TILES
    state = np.frombuffer(planes, dtype=np.uint8).reshape(5, 400)
    assert state[:4].sum() == 0 and {t for t in range(400) if state[4, t]} == START_TILES

    # The straight five along the top edge ends player 0's turn.
    game = replay([(0, 0), (0, 1), (0, 2), (0, 3), (0, 4), (1, 19)])
    assert list(game.movers) == [0, 0, 0, 0, 0, 1]
    assert legal_tiles(game.legal[0]) == START_TILES
    assert legal_tiles(game.legal[1]) == START_TILES - {0}
    assert legal_tiles(game.legal[5]) == {15, 16, 17, 18, 19, 36, 37, 38, 39, 57, 58, 59, 78, 79, 99}
    seen_by_1 = game.planes[5]
    # Player 0 is the player before player 1: plane 3, turned to rows 15..19 of column 0.
    assert {(r, c) for r, c in zip(*np.nonzero(seen_by_1[3]))} == {(r, 0) for r in range(15, 20)}
    assert seen_by_1[:3].sum() == 0
    assert {(r, c) for r, c in zip(*np.nonzero(seen_by_1[4]))} == {
        (r, c) for r in range(20) for c in range(20) if r + c <= 4
    }


@settings(max_examples=8, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.integers(min_value=0, max_value=2**32 - 1))
def test_replayed_planes_show_every_earlier_tile_for_its_owner(seed):
    history = random_game(random.Random(seed))
    game = replay(history)
    assert game.terminal and len(game) == len(history)
    assert np.isclose(game.payoff.sum(), 1.0) and game.payoff.max() > 0
    assert [int(m) for m in game.movers] == [seat for seat, _ in history]
    for i in range(0, len(history), 7):
        mover = int(game.movers[i])
        owners = game.planes[i][:4].reshape(4, 400)
        expected = np.zeros((4, 400), dtype=np.uint8)
        for seat, tile in history[:i]:
            expected[(seat - mover) % 4, FRAMES[mover][tile]] = 1
        assert np.array_equal(owners, expected)
        legal_in_frame = np.zeros(400, dtype=np.uint8)
        legal_in_frame[FRAMES[mover][game.legal[i]]] = 1
        assert np.array_equal(game.planes[i][4].reshape(400), legal_in_frame)
        assert game.legal[i][history[i][1]]
    final = _rules.position(history)
    assert final[4] is True and legal_tiles(final[2]) == set()
    assert final[3] == tuple(game.payoff.tolist())


def test_piece_features_are_each_seats_remaining_pieces_in_plane_order():
    """Read from the planes alone, for all positions of a game in one call:
    at the start of every turn and in the middle of one, where the mover's
    piece so far may look like a piece it still holds."""
    history = random_game(random.Random(11))
    planes, movers, legal, _, _ = _rules.replay(history)
    flags = np.frombuffer(_rules.piece_features(planes), dtype=np.uint8).reshape(len(history), 4, 21)
    mid_turn = 0
    for i, (mover, _) in enumerate(history):
        held = _rules.remaining(history[:i])
        expected = np.zeros((4, 21), dtype=np.uint8)
        for k in range(4):
            expected[k, list(held[(mover + k) % 4])] = 1
        assert np.array_equal(flags[i], expected), f"position {i}"
        mid_turn += i > 0 and movers[i - 1] == mover and legal[(i - 1) * 400 + history[i - 1][1]] == 1
    assert mid_turn > 100
    for per_position in (_rules.piece_features, _rules.placement_planes):
        assert per_position(b"") == b""
        with pytest.raises(ValueError, match=per_position.__name__):
            per_position(planes[:-1])
    assert len(_rules.placement_planes(planes)) == len(history) * 3200


def test_bad_histories_raise_clear_errors():
    cases = [
        ([(1, 0)], ValueError, "history entry 0: seat 1 is not the player to move (player 0 is)"),
        ([(0, 0), (0, 0)], ValueError, "history entry 1: tile 0 is not a legal tile for player 0"),
        ([(0, 0), (0, 399)], ValueError, "history entry 1: tile 399 is not a legal tile for player 0"),
        ([(0, 400)], ValueError, "history entry 0: tile 400 is outside the board"),
        ([(0, -1)], ValueError, "history entry 0: tile -1 is outside the board"),
        ([(0, 2**70)], ValueError, "history entry 0: tile is out of range"),
        ([(0, 0), (0,)], TypeError, "history entry 1: expected a (seat, tile) pair"),
        ([(0, 0), "ab"], TypeError, "history entry 1: expected a (seat, tile) pair"),
        ([(0, 1.0)], TypeError, "history entry 0: tile must be an int, not float"),
        ([("0", 1)], TypeError, "history entry 0: seat must be an int, not str"),
        (5, TypeError, "history must be a sequence of (seat, tile) pairs"),
    ]
    for history, error, message in cases:
        for function in (_rules.replay, _rules.position):
            with pytest.raises(error) as caught:
                function(history)
            assert str(caught.value).startswith(message), (history, str(caught.value))

    finished = random_game(random.Random(7))
    with pytest.raises(ValueError, match=f"history entry {len(finished)}: the game is already over"):
        replay(finished + [(0, 0)])
    # Lists and tuples of pairs are both accepted.
    assert len(replay([[0, 0], (0, 1)])) == 2


class Emptying:
    """A (seat, tile) pair that empties the history holding it when its
    length or an item is read."""

    def __init__(self, pair, history, on):
        self.pair, self.history, self.on = pair, history, on

    def __len__(self):
        if self.on == "len":
            self.history.clear()
        return 2

    def __getitem__(self, index):
        if self.on == "getitem":
            self.history.clear()
        return self.pair[index]


def test_entries_that_empty_the_history_do_not_pull_it_away():
    # Every entry is referenced by the history list alone, so emptying the
    # list frees the entries still to be read: they are read as they were
    # when the call began.
    pairs = [(0, 0), (0, 1), (0, 2), (0, 3), (0, 4), (1, 19)]
    for function in (_rules.replay, _rules.position):
        expected = function(pairs)
        for on in ("len", "getitem"):
            for at in (0, 2, 5):
                history = [list(pair) for pair in pairs]
                history[at] = Emptying(pairs[at], history, on)
                assert function(history) == expected, (function, on, at)
                assert history == []


def test_scores_placements_remaining_pieces_and_reference_players():
    shapes = _rules.pieces()
    assert len(shapes) == 21 and sum(map(len, shapes)) == 89
    assert shapes[0] == ((0, 0),) and shapes[9] == tuple((0, c) for c in range(5))
    assert shapes[13] == ((0, 0), (0, 1), (0, 2), (1, 0), (2, 0))

    straight_five = [(0, 0), (0, 1), (0, 2), (0, 3), (0, 4)]
    assert _rules.scores([]) == (-89,) * 4
    assert _rules.scores(straight_five) == (-84, -89, -89, -89)
    assert _rules.remaining(straight_five) == (tuple(p for p in range(21) if p != 9),) + (tuple(range(21)),) * 3

    # Every listed placement, from the start or with a tile already chosen,
    # ends the turn with its piece once its cells are chosen; the square,
    # which the five-cell P piece contains, is not listed.
    for chosen in ([], [(0, 0), (0, 1)]):
        listed = _rules.placements(chosen)
        assert listed and (7, (0, 1, 20, 21)) not in listed
        for piece, cells in listed:
            assert list(cells) == sorted(cells) and {t for _, t in chosen} <= set(cells)
            history = chosen + [(0, t) for t in cells if (0, t) not in chosen]
            assert _rules.position(history)[1] == 1
            assert piece not in _rules.remaining(history)[0]
            assert len(cells) == len(shapes[piece])

    rng = random.Random(3)
    for kinds in (("greedy",) * 4, ("lookahead", "greedy", "lookahead", "greedy")):
        history, tie_breaks = [], [rng.getrandbits(64) for _ in range(4)]
        while True:
            _, mover, legal, payoff, terminal = _rules.position(history)
            if terminal:
                break
            tile = _rules.reference_tile(history, kinds[mover], tie_breaks[mover])
            assert legal[tile]
            history.append((mover, tile))
        scores = _rules.scores(history)
        assert [p > 0 for p in payoff] == [s == max(scores) for s in scores]
        assert _rules.placements(history) == []
        with pytest.raises(ValueError, match="reference_tile: the game is already over"):
            _rules.reference_tile(history, "greedy", 0)
    for kind, tie_break, error in [("random", 0, ValueError), (1, 0, TypeError), ("greedy", -1, ValueError),
                                   ("greedy", 2**64, ValueError), ("greedy", 1.0, TypeError)]:
        with pytest.raises(error, match="reference_tile: (kind|tie_break)"):
            _rules.reference_tile([], kind, tie_break)


class Endless:
    """A sequence claiming more entries than any game, none of which may be read."""

    def __len__(self):
        return 10**12

    def __getitem__(self, index):
        raise AssertionError("an entry was read")


def test_histories_longer_than_any_game_are_refused_at_once():
    functions = (_rules.replay, _rules.position, _rules.scores, _rules.placements, _rules.remaining,
                 lambda history: _rules.reference_tile(history, "greedy", 0))
    for function in functions:
        for history, entries in (([(0, 0)] * 357, 357), (Endless(), 10**12), (iter([(0, 0)] * 400), 400)):
            with pytest.raises(ValueError, match=f"^history has {entries} entries; no game has more than 356$"):
                function(history)
        # The longest possible length is still read entry by entry.
        with pytest.raises(ValueError, match="history entry 1: tile 0 is not a legal tile"):
            function([(0, 0)] * 356)


def test_reflected_positions_are_positions_of_the_same_rules():
    """Training's reflection across the mover's diagonal: the rules library
    derives from each reflected board the reflected side inputs, and the
    reflected target tile is legal there; unmasked rows stay as they were."""
    import torch

    from tarnex_train.data.dataset import final_ownership
    from tarnex_train.features.side import piece_flags, placement_values
    from tarnex_train.features.symmetry import reflect

    history = random_game(random.Random(5))
    game = replay(history)
    seats_in = [min(i for i, (s, _) in enumerate(history) if s == seat) for seat in range(4)]
    rows = np.arange(max(seats_in) + 8, len(history), 9)  # every seat past its first piece
    planes = np.ascontiguousarray(game.planes[rows])
    side = np.concatenate([piece_flags(planes.tobytes()), placement_values(planes.tobytes())], axis=1)
    movers = game.movers[rows].astype(np.int64)
    tiles = np.array([history[i][1] for i in rows])
    policy = np.zeros((len(rows), 400), np.float32)
    policy[np.arange(len(rows)), FRAMES[movers, tiles]] = 1
    keys = np.zeros(len(history), np.int64)
    ownership = final_ownership(keys, game.movers, np.array([t for _, t in history]))[rows]
    mask = torch.arange(len(rows)) % 3 != 0
    out = reflect(mask, *(torch.from_numpy(a) for a in (planes, side, policy, ownership)))
    mirrored, mirrored_side, mirrored_policy, mirrored_owner = (t.numpy() for t in out)
    packed = np.ascontiguousarray(mirrored).tobytes()
    assert np.array_equal(piece_flags(packed), side[:, :84])
    assert np.array_equal(placement_values(packed), mirrored_side[:, 84:])
    chosen = mirrored_policy.argmax(axis=1)
    assert mirrored[np.arange(len(rows)), 4].reshape(len(rows), 400)[np.arange(len(rows)), chosen].all()
    kept = ~mask.numpy()
    assert np.array_equal(mirrored[kept], planes[kept]) and np.array_equal(mirrored_owner[kept], ownership[kept])
    assert not np.array_equal(mirrored[mask.numpy()], planes[mask.numpy()])
    square = mirrored_owner[mask.numpy()].reshape(-1, 20, 20)
    assert np.array_equal(square, ownership[mask.numpy()].reshape(-1, 20, 20).transpose(0, 2, 1))
