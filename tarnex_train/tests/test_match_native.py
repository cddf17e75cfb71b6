"""The native match driver through Python stand-ins for the worker pool's
queue and pipe: whole matches, single decisions, openings and bad arguments."""

import struct

import greenlet
import pytest

from tarnex_train import _match, _rules

# A policy rising along the mover's frame: temperature 0 takes the legal
# tile furthest along it; packed as the evaluators pack their replies.
RISING_REPLY = b"R" + struct.pack("=400f", *[1.0 + i / 400 for i in range(400)]) + struct.pack("=4f", *[0.25] * 4)
POLICY = ("policy", 0.0)
SEARCH = ("search", 4, 1.25, 19652.0, "chooser")


class Channel:
    """A queue and pipe in one: keeps the requests, answers every one with
    the same reply. With `loop`, recv first switches to that greenlet, as
    the worker pool's batcher does while it gathers a batch."""

    def __init__(self, loop=None, reply=RISING_REPLY):
        self.requests = []
        self.loop = loop
        self.reply = reply

    def put(self, game_id, planes):
        self.requests.append((game_id, planes))

    def recv(self):
        if self.loop is not None:
            self.loop.switch()
        return self.reply


def test_a_mixed_match_plays_a_legal_game_to_its_end():
    opening = _match.random_opening(4, 3)
    assert opening == _match.random_opening(4, 3)
    policy, search = Channel(), Channel()
    seats = [("random",), ("reference", "greedy"), POLICY, SEARCH]
    history, scores, payoff = _match.play_match_game(9, seats, [None, None, policy, search], policy, opening=opening)
    assert history[:len(opening)] == opening
    planes, movers, legal, replayed_payoff, terminal = _rules.replay(history)
    assert terminal and tuple(payoff) == replayed_payoff
    assert len(scores) == 4 and max(payoff) == payoff[scores.index(max(scores))]

    # The policy seat asked once per tile, with the position it played in,
    # and took the legal tile furthest along its frame.
    policy_entries = [i for i, (seat, _) in enumerate(history) if seat == 2 and i >= len(opening)]
    assert len(policy.requests) == len(policy_entries)
    for request, i in zip(policy.requests, policy_entries):
        assert request[0] == 9
        assert request[1] == planes[i * 2000:(i + 1) * 2000]
        frame = _rules.frame(2)
        tiles = [t for t in range(400) if legal[i * 400 + t]]
        assert history[i][1] == max(tiles, key=lambda t: frame[t])
    assert len(search.requests) > sum(1 for seat, _ in history[len(opening):] if seat == 3)


def test_a_seed_replays_the_games_own_draws():
    seats = [("random",), ("reference", "greedy"), ("random",), ("reference", "blocker")]
    played = [_match.play_match_game(0, seats, [None] * 4, Channel(), seed=seed) for seed in (5, 5, 2**64 + 5, 6)]
    assert played[0] == played[1] == played[2] and played[0][0] != played[3][0]
    with pytest.raises(TypeError, match="seed must be an int"):
        _match.play_match_game(0, seats, [None] * 4, Channel(), seed="5")


def test_games_on_greenlets_of_one_thread_do_not_disturb_each_other():
    def play(openings):
        loop = greenlet.getcurrent()
        results = {}

        def game(game_id, opening):
            channel = Channel(loop)
            results[game_id] = _match.play_match_game(game_id, [POLICY] * 4, [channel] * 4, channel, opening)
            assert {request[0] for request in channel.requests} == {game_id}

        games = [greenlet.greenlet(lambda i=i, o=o: game(i, o)) for i, o in enumerate(openings)]
        while not all(g.dead for g in games):
            for g in games:
                if not g.dead:
                    g.switch()
        return [results[i] for i in range(len(openings))]

    openings = [_match.random_opening(2, seed) for seed in (1, 2)]
    assert play(openings) == play(openings[:1]) + play(openings[1:])


def test_choose_tile_gives_the_decision_and_its_shares():
    history = _match.random_opening(1, 5)
    _, mover, legal, _, _ = _rules.position(history)
    legal_tiles = {t for t in range(400) if legal[t]}
    for search in (("search", 8, 1.25, 19652.0, "next"), ("search", 8, 1.25, 19652.0, "next", "placement"),
                   ("search", 8, 1.25, 19652.0, "chooser", "tile", 4)):
        channel = Channel()
        tile, shares = _match.choose_tile(history, search, channel, channel, id=4)
        assert tile in legal_tiles and {t for t, _ in shares} <= legal_tiles
        assert sum(share for _, share in shares) == pytest.approx(1.0)
        assert {request[0] for request in channel.requests} == {4} and len(channel.requests) == 9
    tile, shares = _match.choose_tile(history, POLICY, channel, channel)
    assert [t for t, _ in shares] == sorted(legal_tiles) and tile == max(shares, key=lambda pair: pair[1])[0]
    assert _match.choose_tile(history, ("random",), None, None)[1] == []


class FailingPipe:
    def recv(self):
        raise EOFError("the inference server has stopped answering")


@pytest.mark.parametrize("seat, error", [
    (("randm",), ValueError),
    (("reference", "best"), ValueError),
    (("policy", -1.0), ValueError),
    (("policy", "hot"), TypeError),
    (("search", 0, 1.25, 19652.0, "next"), ValueError),
    (("search", 4, 1.25, 19652.0, "mover"), ValueError),
    (("search", 4, 1.25), TypeError),
    (("search", 4, 1.25, 19652.0, "chooser", "turn"), ValueError),
    (("search", 4, 1.25, 19652.0, "next", "tile", 4), ValueError),  # a halving compares the chooser's values
    (["random"], TypeError),
    ((), TypeError),
    (("line\nbreak",), ValueError),
])
def test_bad_arguments_raise_one_line_errors(seat, error):
    channel = Channel()
    with pytest.raises(error) as caught:
        _match.play_match_game(0, [("random",)] * 3 + [seat], [channel] * 4, channel)
    assert "seats[3]" in str(caught.value) and "\n" not in str(caught.value)
    with pytest.raises(error):
        _match.choose_tile([], seat, channel, channel)


def test_bad_games_and_failed_evaluations():
    channel = Channel()
    with pytest.raises(TypeError, match=r"queues\[1\] must have a put method"):
        _match.play_match_game(0, [("random",), POLICY, ("random",), ("random",)], [channel, None, None, None], channel)
    with pytest.raises(ValueError, match="opening entry 1: seat 1 is not the player to move"):
        _match.play_match_game(0, [("random",)] * 4, [None] * 4, channel, opening=[(0, 0), (1, 19)])
    with pytest.raises(Exception) as caught:
        _match.play_match_game(0, [("random",)] * 3 + [SEARCH], [None] * 3 + [channel], FailingPipe())
    assert caught.value.args == ("seat 3: Error evaluating root node: EOFError: the inference server has stopped answering",)


@pytest.mark.parametrize("reply, got", [
    (RISING_REPLY[:-4], "got 1613 bytes"),
    (b"X" + RISING_REPLY[1:], "got 1617 bytes"),  # the right size, not a raw reply
    (bytearray(RISING_REPLY), "got bytearray"),
    (([1.0] * 400, [0.25] * 4), "got tuple"),  # the engine's lists are not this module's replies
])
def test_replies_that_are_not_packed_end_the_game_with_one_line(reply, got):
    with pytest.raises(Exception) as caught:
        _match.play_match_game(0, [POLICY] * 4, [Channel(reply=reply)] * 4, Channel(reply=reply))
    message = str(caught.value)
    assert message.startswith("seat 0: Error evaluating root node: TypeError: a reply must be bytes") and \
        message.endswith(got) and "\n" not in message


@pytest.mark.parametrize("history, error", [
    (5, TypeError),
    ([(0, 0), (0,)], TypeError),
    ([(0, 0), "ab"], TypeError),
    ([(0, 1.0)], TypeError),
    ([(0, 2**70)], ValueError),
    ([(0, 0)] * 357, ValueError),  # longer than any game
])
def test_histories_are_read_as_the_rules_binding_reads_them(history, error):
    """Both modules read a history through one reader: the same error, the
    entry named the same way."""
    with pytest.raises(error) as by_rules:
        _rules.position(history)
    with pytest.raises(error) as by_match:
        _match.choose_tile(history, ("random",), None, None)
    assert str(by_match.value) == str(by_rules.value)


@pytest.mark.parametrize("options, error", [
    (dict(policy_target="visit"), "unknown policy_target 'visit' (visits, completed_q)"),
    (dict(policy_target="completed_q"), "policy_target 'completed_q' needs the credit 'chooser'"),
    (dict(full_share=1.5), "full_share must be between 0 and 1"),
    (dict(cheap_sims=-1), "cheap_sims must be at least 0"),
])
def test_training_games_refuse_bad_plans(options, error):
    channel = Channel()
    with pytest.raises(ValueError) as caught:
        _match.play_training_game(0, ("search", 4, 1.25, 19652.0, "next"), channel, channel, **options)
    assert str(caught.value) == error
