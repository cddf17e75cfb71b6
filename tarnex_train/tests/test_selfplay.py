"""Self-play end to end with the real engine: records on disk, failures,
interruptions."""

import glob
import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
import torch

from dataclasses import replace

from conftest import FEW_SIMS, KillingEvaluator, TamperingEvaluator, tiny_options
from tarnex_train.inference.evaluators import ZeroEvaluator
from tarnex_train.data.dataset import ShardDataset
from tarnex_train.data.positions import FRAMES, replay
from tarnex_train.play.selfplay import run_selfplay
from tarnex_train.settings import TrainSettings
from tarnex_train.data.shards import FORMAT_VERSION, load_records, read_metadata, read_shard, shard_paths


def engine_turn(policy_in_frame, mover):
    """The engine's turn of a network policy back to the board's frame:
    ``mover`` clockwise quarter turns, new[20x + 19 - y] = old[20y + x]."""
    policy = list(policy_in_frame)
    for _ in range(mover):
        turned = [0.0] * 400
        for index, value in enumerate(policy[:400]):
            y, x = divmod(index, 20)
            turned[20 * x + (19 - y)] = value
        policy = turned
    return np.array(policy)


def games_of(shard):
    for game in np.unique(shard["game"]):
        yield game, np.nonzero(shard["game"] == game)[0]


def test_records_match_the_engine_and_the_rules(selfplay_run):
    summary, evaluator = selfplay_run
    assert (summary.games_done, summary.failures, summary.interrupted) == (3, [], False)
    # Three games at once on the two workers' four game slots, each its own id.
    assert evaluator.ids <= {0, 1, 2, 3} and len(evaluator.ids) == 3
    paths = shard_paths(summary.output)
    assert sorted(paths) == sorted(summary.shards) and len(paths) == 2  # 2 games per shard
    positions, quick = 0, 0
    taught = meta_search(summary)["policy_target"]
    for path in paths:
        shard = read_shard(path)
        positions += len(shard["mover"])
        assert (shard["game_seats"] == "search").all()
        for number, rows in games_of(shard):
            # The game's history is (mover, tile) of its records in order.
            history = list(zip(shard["mover"][rows].tolist(), shard["tile"][rows].tolist()))
            positions_of_game = replay(history)
            assert positions_of_game.terminal
            payoff = shard["payoff"][list(shard["game_numbers"]).index(number)]
            assert np.allclose(payoff, positions_of_game.payoff)
            assert np.array_equal(shard["move"][rows], np.arange(len(rows)))
            for k, row in enumerate(rows):
                planes = shard["planes"][row]
                mover = int(shard["mover"][row])
                # The planes are those the engine sent for this position and
                # those of the replayed position.
                assert planes.tobytes() in evaluator.requests
                assert np.array_equal(planes, positions_of_game.planes[k])
                # The policy sits on legal cells of the mover's frame and sums
                # to 1, or is all 0 after a quick search.
                policy = shard["policy"][row]
                # Each row says what it is: the search's target, or none after a quick search.
                assert shard["target_kinds"][shard["target"][row]] == (taught if policy.any() else "none")
                if not policy.any():
                    quick += 1
                    continue
                assert np.isclose(policy.sum(), 1.0, atol=1e-5) and (policy >= 0).all()
                assert not policy[planes[4].reshape(400) == 0].any()
                # Turned back as the engine turns the network's policy, it
                # gives the searched tile that was played a positive share.
                on_board = engine_turn(policy, mover)
                assert on_board[shard["tile"][row]] > 0
                assert np.array_equal(np.nonzero(on_board)[0], np.nonzero(policy[FRAMES[mover]])[0])
                # Value target: the final payoff seen from the mover.
                assert np.allclose(shard["value"][row], [payoff[(mover + s) % 4] for s in range(4)])
    assert positions == summary.positions
    cheap = meta_search(summary)["cheap_sims"] > 0
    assert (0.2 * positions < quick < 0.8 * positions) if cheap else quick == 0

    meta = read_metadata(summary.output)
    assert meta["format_version"] == FORMAT_VERSION
    assert (meta["games"], meta["positions"]) == (3, positions)
    assert meta["runs"][-1]["settings"]["search"]["sims_per_move"] == 4
    assert meta["runs"][-1]["finished"] is True
    assert sorted(s["file"] for s in meta["shards"]) == sorted(os.path.basename(p) for p in paths)


def meta_search(summary) -> dict:
    return read_metadata(summary.output)["runs"][-1]["settings"]["search"]


def test_dataset_reads_the_shards(selfplay_run):
    summary, _ = selfplay_run
    dataset = ShardDataset(summary.output)
    assert len(dataset) == summary.positions
    records = load_records(summary.output)
    searched = np.nonzero(records["policy"].sum(axis=1) > 0)[0]
    planes, pieces, policy, value, weight, ownership = dataset[int(searched[-1])]
    assert planes.shape == (5, 20, 20) and planes.dtype.is_floating_point and pieces.shape == (84,)
    assert policy.shape == (400,) and value.shape == (4,)
    # Ownership: the cell each record's mover plays is the mover's at the end
    # (label 0, in its own frame), and a game's labelled cells are its moves.
    owned = dataset.examples.ownership.numpy()
    frame_tile = FRAMES[records["mover"].astype(int), records["tile"].astype(int)]
    assert (owned[np.arange(len(owned)), frame_tile] == 0).all()
    first_game = records["game_key"] == records["game_key"][0]
    assert ((owned[0] < 4).sum()) == first_game.sum()
    assert float(policy.sum()) == pytest.approx(1.0, abs=1e-5)
    assert set(planes.unique().tolist()) <= {0.0, 1.0}
    # A tile after which another seat moves completed a piece: that position
    # has a completing tile; a game's first position has none.
    same_game = records["game_key"][1:] == records["game_key"][:-1]
    passed = same_game & (records["mover"][1:] != records["mover"][:-1])
    assert passed.any() and (records["completing"][:-1][passed] >= 1).all()
    assert (records["completing"][np.r_[True, ~same_game]] == 0).all()
    masked = ShardDataset(summary.output, TrainSettings(completion_policy_weight=0.0)).examples.policy_weight
    untargeted = (records["completing"] > 0) | (records["policy"].sum(axis=1) == 0)
    assert torch.equal(masked == 0, torch.from_numpy(untargeted))
    # Values reach the search centred on the mean share, so a child tried once
    # does not outscore every untried one: the four simulations of a search
    # spread over several tiles instead of piling onto the first.
    many = (records["planes"][:, 4].reshape(len(records["mover"]), 400).sum(axis=1) >= 8) & \
        (records["policy"].sum(axis=1) > 0)
    assert (records["policy"][many] > 0).sum(axis=1).mean() > 2.5


def test_reference_games_teach_the_placements_their_players_chose(tmp_path):
    options = tiny_options(tmp_path, games=2, search=replace(FEW_SIMS, player="greedy"))
    summary = run_selfplay(options, evaluator=ZeroEvaluator())
    assert summary.games_done == 2 and summary.server.evaluations == 0
    shard = read_shard(shard_paths(summary.output)[0])
    assert shard["game_seats"].tolist() == [["greedy"] * 4] * 2 and shard["target_kinds"].tolist() == ["placement"]
    for _, rows in games_of(shard):
        movers, tiles = shard["mover"][rows], shard["tile"][rows]
        completing = replay(list(zip(movers.tolist(), tiles.tolist()))).completing
        turn = []  # the tiles of the turn so far
        for k, row in enumerate(rows):
            # The target: an equal share on each cell of the placement not yet
            # chosen, the played tile among them; the turn's first target
            # holds every cell the turn then plays.
            target = shard["policy"][row][FRAMES[movers[k]]]  # board frame
            cells = np.nonzero(target)[0]
            assert np.allclose(target[cells], 1.0 / len(cells)) and tiles[k] in cells
            if not turn:
                whole = set(cells.tolist())
            turn.append(int(tiles[k]))
            if completing[k, tiles[k]]:
                assert set(turn) == whole and len(cells) == 1
                turn = []
        assert not turn


def test_a_teacher_labels_every_position_with_a_whole_placement_of_its_own(tmp_path):
    """Games of the network's policy (flat here: random play), each position
    labelled by lookahead: at every tile the target and the turn's tiles so
    far make one placement that could be played from the turn's start, and
    the target has the piece's remaining cells, whatever was played."""
    from tarnex_train import _rules

    options = tiny_options(tmp_path, games=2, search=replace(FEW_SIMS, player="policy", teacher="lookahead"))
    summary = run_selfplay(options, evaluator=ZeroEvaluator())
    assert summary.games_done == 2
    shard = read_shard(shard_paths(summary.output)[0])
    assert ((shard["game_seats"] == "policy").sum(axis=1) >= 1).all()
    assert shard["target_kinds"].tolist() == ["teacher:lookahead"]  # whoever played
    disagreements = 0
    for _, rows in games_of(shard):
        history = list(zip(shard["mover"][rows].tolist(), shard["tile"][rows].tolist()))
        completing = replay(history).completing
        start, playable = 0, None
        for k, row in enumerate(rows):
            if k == start:
                playable = {frozenset(cells) for _, cells in _rules.placements(history[:k])}
            target = shard["policy"][row][FRAMES[history[k][0]]]
            cells = np.nonzero(target)[0]
            assert np.allclose(target[cells], 1.0 / len(cells))
            assert frozenset(t for _, t in history[start:k]) | frozenset(cells.tolist()) in playable
            disagreements += history[k][1] not in cells
            if completing[k, history[k][1]]:
                start = k + 1
    assert disagreements > 0  # random play leaves the teacher's placements


def test_reference_seats_leave_the_network_one_seat_and_every_position_labelled(tmp_path):
    search = replace(FEW_SIMS, player="policy", teacher="lookahead", reference_seats=1.0)
    summary = run_selfplay(tiny_options(tmp_path, games=2, search=search), evaluator=ZeroEvaluator())
    shard = read_shard(shard_paths(summary.output)[0])
    positions = len(shard["mover"])
    assert np.all(shard["policy"].sum(axis=1) > 0.99)
    # One seat of four asks the network, about a quarter of the tiles: the
    # seat the shard says the policy held, one evaluation for each of its tiles.
    assert 0 < summary.server.evaluations < positions / 2
    seats = shard["game_seats"]
    assert ((seats == "policy").sum(axis=1) == 1).all() and np.isin(seats, ["policy", "greedy", "lookahead"]).all()
    game_row = {int(number): row for row, number in enumerate(shard["game_numbers"])}
    policy_tiles = sum(seats[game_row[int(g)], int(m)] == "policy" for g, m in zip(shard["game"], shard["mover"]))
    assert policy_tiles == summary.server.evaluations


def test_shards_from_before_seats_and_targets_were_kept_still_load(selfplay_run, tmp_path):
    """A shard without game_seats, target and target_kinds (and one without
    the arrays added before them) loads as its newer copy does, alone or
    beside it, and the view lists it with its seats and targets unknown."""
    from tarnex_train.view.runs import UNRECORDED, ShardGames

    summary, _ = selfplay_run
    new = shard_paths(summary.output)[0]
    with np.load(new) as arrays:
        newer = dict(arrays)
    forms = {"without seats and targets": [k for k in newer if k not in ("game_seats", "target", "target_kinds")],
             "oldest": ["format_version", "planes", "policy", "value", "mover", "tile"]}
    for form, kept in forms.items():
        old = tmp_path / form.replace(" ", "-") / "shard-old-00000.npz"
        old.parent.mkdir()
        np.savez_compressed(old, **{k: newer[k] for k in kept})
        loaded, both = load_records(str(old)), load_records([str(old), new])
        for name in ("planes", "policy", "value", "mover", "tile"):
            assert np.array_equal(loaded[name], newer[name]) and len(both[name]) == 2 * len(newer[name]), form
        if "game" in kept:  # the oldest shards cannot tell their games apart, for scores
            assert len(ShardDataset(str(old.parent))) == len(newer["mover"])
        listed = ShardGames(str(old))
        assert listed.seats(listed.games[0]) == [UNRECORDED] * 4 and listed.targets(listed.games[0]) is None
    listed = ShardGames(new)
    assert listed.seats(listed.games[0]) == ["search"] * 4
    assert set(listed.targets(listed.games[0])) <= {"visits", "completed_q", "none"}


def test_failing_games_are_reported_and_skipped(tmp_path):
    summary = run_selfplay(tiny_options(tmp_path, games=4), evaluator=TamperingEvaluator())
    assert summary.games_done == 2 and not summary.interrupted
    failures = sorted((f.worker, f.error) for f in summary.failures)
    assert [worker for worker, _ in failures] == [0, 1]
    assert failures[0][1].startswith("Exception: ") and "Error running MCTS" in failures[0][1]
    assert failures[1][1].startswith("PanicException: ")
    report = summary.report()
    assert "2 of 4 games done, 2 failed" in report and "on worker 1: PanicException" in report
    assert sum(len(read_shard(p)["game_numbers"]) for p in shard_paths(tmp_path)) == 2


def test_a_worker_that_dies_is_reported_and_the_others_finish(tmp_path):
    summary = run_selfplay(tiny_options(tmp_path, games=4), evaluator=KillingEvaluator())
    # The killed worker loses the games it had open, nothing else.
    assert summary.failures and {f.worker for f in summary.failures} == {1}
    assert all("stopped unexpectedly (exit code -9)" in f.error for f in summary.failures)
    assert summary.games_done == 4 - len(summary.failures)
    assert read_metadata(str(tmp_path))["games"] == summary.games_done


def start_cli(output, games=400):
    command = [sys.executable, "-m", "tarnex_train.cli", "selfplay", "--evaluator", "zero",
               "--games", str(games), "--workers", "2", "--sims-per-move", "2", "--games-per-shard", "1",
               "--output", str(output)]
    # Its own session, so a signal can go to the whole group as Ctrl-C does.
    return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True, cwd=os.path.dirname(str(output)))


def wait_for_shards(output, count, process, timeout=120):
    deadline = time.monotonic() + timeout
    while len(glob.glob(os.path.join(output, "shard-*.npz"))) < count:
        assert process.poll() is None, process.communicate()
        assert time.monotonic() < deadline, "no shards written in time"
        time.sleep(0.1)


def group_gone(pgid, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            os.killpg(pgid, 0)
        except ProcessLookupError:
            return True
        time.sleep(0.1)
    return False


def test_ctrl_c_stops_cleanly_and_keeps_complete_shards(tmp_path):
    output = tmp_path / "data"
    process = start_cli(output)
    try:
        wait_for_shards(output, 2, process)
        os.killpg(process.pid, signal.SIGINT)
        out, err = process.communicate(timeout=60)
        assert group_gone(process.pid), "worker processes left behind"
    finally:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    assert process.returncode == 130, err
    assert out.startswith("interrupted: ") and "Traceback" not in err
    files = sorted(os.listdir(output))
    shards = [name for name in files if name.startswith("shard-")]
    assert files == sorted(shards + ["metadata.json", ".metadata.lock", "logs"])  # no temporary files
    meta = json.loads((output / "metadata.json").read_text())
    assert sorted(s["file"] for s in meta["shards"]) == shards
    assert meta["runs"][-1]["finished"] is False
    assert meta["games"] == len(shards) and f"{len(shards)} of 400 games done" in out
    for name in shards:
        assert len(read_shard(str(output / name))["game_numbers"]) == 1


def test_a_killed_run_leaves_only_complete_shards(tmp_path):
    output = tmp_path / "data"
    process = start_cli(output)
    try:
        wait_for_shards(output, 3, process)
        os.kill(process.pid, signal.SIGKILL)  # the main process only
        process.communicate(timeout=60)
        # Without the main process the workers' pipes break and they exit.
        assert group_gone(process.pid, timeout=30), "worker processes left behind"
    finally:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    paths = shard_paths(str(output))
    assert len(paths) >= 3
    for path in paths:
        assert len(read_shard(path)["game_numbers"]) == 1
