"""The learning loop: a whole tiny run, resuming after kill -9, the sliding
window, the run file, and the priors the search gets from the network."""

import importlib.util
import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
import torch

from tarnex_train.errors import OptionError
from tarnex_train.loop.folder import read_settings_file
from tarnex_train.loop.run import run_loop
from tarnex_train.data.window import Window
from tarnex_train.settings import LoopSettings, as_dict, from_dict

TINY_LOOP = [
    "--games-per-generation", "4", "--games-per-shard", "1", "--sims-per-move", "2", "--channels", "4",
    "--blocks", "1", "--strength-games", "4", "--previous-games", "2", "--calibration-games", "4",
    "--workers", "2", "--train-batch-size", "32", "--window-positions", "100000", "--holdout-every", "3",
    "--greedy-games", "4", "--heldout-games", "4", "--search-test-every", "2", "--search-test-games", "4",
    "--search-test-sims", "2",
]


def loop_command(run_dir, *extra):
    return [sys.executable, "-m", "tarnex_train.cli", "loop", "--run", str(run_dir), *TINY_LOOP, *extra]


def generation_lines(run_dir):
    with open(run_dir / "metrics.jsonl") as f:
        records = [json.loads(line) for line in f]
    return [r for r in records if r["kind"] == "generation"], [r for r in records if r["kind"] == "train"]


def games_of(data_dir):
    numbers = []
    for name in sorted(os.listdir(data_dir)):
        if name.startswith("shard-"):
            with np.load(data_dir / name) as shard:
                numbers.append((name.split("-")[1:3], shard["game_numbers"].tolist()))
    return numbers


def test_two_generations_end_to_end(tmp_path):
    run = tmp_path / "run"
    result = subprocess.run(loop_command(run, "--generations", "2", "--seed", "3", "--bootstrap-player", "greedy",
                                         "--bootstrap-generations", "1"),
                            capture_output=True, text=True, timeout=600, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "2 generation(s) complete" in result.stdout
    generations, train = generation_lines(run)
    assert [r["generation"] for r in generations] == [0, 1]
    assert train and all(r["generation"] in (0, 1) for r in train)
    for record in generations:
        assert record["games"] == 4
        # gen-NNNN/selfplay.json counts the generation's games and positions too.
        with open(run / f"gen-{record['generation']:04d}" / "selfplay.json") as f:
            counted = json.load(f)
        assert (counted["games"], counted["positions"]) == (4, record["positions"]) and record["positions"] > 0
        for key in ("vs_random", "vs_previous", "equal_players", "vs_greedy", "vs_heldout"):
            s = record[key]
            assert 0.0 <= s["low"] <= s["mean"] <= s["high"] <= 1.0
        assert record["rating"]["low"] <= record["rating"]["rating"] <= record["rating"]["high"]
        assert record["vs_greedy"]["games"] == record["vs_heldout"]["games"] == 4  # a whole rotation each
        # The search against its own policy, every second generation.
        assert record["search_vs_policy"]["games"] == (4 if record["generation"] % 2 == 0 else 0)
        assert set(record["heldout"]) == {"policy_loss", "value_loss", "ownership_loss", "policy_entropy",
                                          "value_gap_closed", "value_gap_closed_by_quarter",
                                          "value_step_at_completion", "value_step_within_turn", "sibling_spread",
                                          "sibling_range", "sibling_roots"}
        assert len(record["heldout"]["value_gap_closed_by_quarter"]) == 4
    assert generations[1]["total_steps"] > generations[0]["total_steps"]
    # The greedy players of the first generation asked the network nothing; the search did.
    assert generations[0]["selfplay"]["evaluations"] == 0 < generations[1]["selfplay"]["evaluations"]
    for name in ("best.pt", "initial.pt", "run.json", "state.json", "progress.png", "gen-0001/network.pt"):
        assert (run / name).exists(), name
    if importlib.util.find_spec("tensorboard") is not None:  # the set-up installs it; the loop runs without
        assert list((run / "tensorboard").glob("events.out.tfevents.*"))
    assert any(name.startswith("selfplay-worker") for name in os.listdir(run / "logs"))
    from tarnex_train.model.checkpoints import checkpoint_settings, load_checkpoint

    net, steps = load_checkpoint(str(run / "best.pt"))
    assert steps == generations[1]["total_steps"]
    assert checkpoint_settings(str(run / "best.pt"))["loop"]["search"]["sims_per_move"] == 2
    # Asking for no more generations than the run has does nothing.
    again = subprocess.run(loop_command(run, "--generations", "2"), capture_output=True, text=True,
                           timeout=300, cwd=tmp_path)
    assert again.returncode == 0 and "0 this time, resumed" in again.stdout
    assert len(generation_lines(run)[0]) == 2


def test_resume_after_kill_during_selfplay(tmp_path):
    """kill -9 while generation 1 plays: the rerun keeps the games already
    written, plays only the rest, and repeats no generation."""
    run = tmp_path / "run"
    process = subprocess.Popen(loop_command(run, "--generations", "2"), stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, cwd=tmp_path, start_new_session=True)
    data = run / "gen-0001" / "data"
    deadline = time.monotonic() + 300
    while time.monotonic() < deadline and not (data.exists() and any(n.startswith("shard-") for n in os.listdir(data))):
        time.sleep(0.05)
    os.killpg(process.pid, signal.SIGKILL)
    process.wait()
    kept = games_of(data)
    assert 1 <= len(kept) < 4 and not (run / "gen-0001" / "network.pt").exists()
    result = subprocess.run(loop_command(run, "--generations", "2"), capture_output=True, text=True,
                            timeout=600, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "kept from before" in result.stderr
    after = games_of(data)
    assert after[:len(kept)] == kept or set(map(str, kept)) <= set(map(str, after))
    numbers = [number for _, numbers in after for number in numbers]
    assert sorted(numbers) == sorted(set(numbers)) and len(numbers) == 4  # the rerun numbers on
    generations, train = generation_lines(run)
    assert [r["generation"] for r in generations] == [0, 1]
    steps = [(r["generation"], r["step"]) for r in train]
    assert len(steps) == len(set(steps))


def test_settings_round_trip_through_the_run_file(tmp_path):
    settings = LoopSettings.make(games_per_generation=5, reuse=2.5, seed=11,
                            search=LoopSettings().search.replace(sims_per_move=3),
                            train=LoopSettings().train.replace(lr=5e-4),
                            pool=LoopSettings().pool.replace(inference_precision="bfloat16"))
    path = tmp_path / "run.json"
    path.write_text(json.dumps({"format": "tarnex-train-loop", "version": 1, "settings": as_dict(settings)}))
    assert read_settings_file(str(path)) == settings
    # A run folder keeps its settings: an option that would change them is refused.
    run = tmp_path / "run"
    run.mkdir()
    (run / "run.json").write_text(path.read_text())
    with pytest.raises(OptionError, match="games_per_generation"):
        run_loop(str(run), LoopSettings(games_per_generation=9), {"games_per_generation": 9}, generations=0)
    # A run file from before the network's policy played the games keeps the
    # engine's search, without reference seats or a teacher, float32 and its
    # networks' inputs.
    old = as_dict(settings)
    for name in ("player", "reference_seats", "policy_temperature", "teacher"):
        del old["search"][name]
    del old["train"]["precision"], old["shape"]["placement_inputs"], old["pool"]["inference_precision"]
    path.write_text(json.dumps({"format": "tarnex-train-loop", "version": 1, "settings": old}))
    upgraded = read_settings_file(str(path))
    search = upgraded.search
    assert (search.player, search.reference_seats, search.teacher) == ("search", 0.0, "none")
    assert upgraded.train.precision == "float32" and upgraded.shape.placement_inputs is False
    assert upgraded.pool.inference_precision == "auto"  # its answers agree, or it keeps to float32
    toml = tmp_path / "settings.toml"
    toml.write_text("games_per_generation = 5\nreuse = 2\n[search]\nsims_per_move = 3\n")
    loaded = read_settings_file(str(toml))
    assert (loaded.games_per_generation, loaded.reuse, loaded.search.sims_per_move) == (5, 2.0, 3)
    for bad, message in (({"reuse": -1}, "reuse must be > 0"), ({"gamez": 1}, "unknown setting"),
                         ({"search": {"sims_per_move": 1.5}}, "must be an integer"),
                         ({"search": {"c_base": 1e39}}, "32-bit float")):
        with pytest.raises(OptionError, match=message):
            from_dict(LoopSettings, bad)


def _fake_generation(folder, generation, games, moves):
    """A data folder of ``games`` games of ``moves`` positions each, the
    first rows of the planes marking the game and the generation (see ``marks``)."""
    folder.mkdir(parents=True)
    n = games * moves
    planes = np.zeros((n, 5, 20, 20), np.uint8)
    game = np.repeat(np.arange(games, dtype=np.int32), moves)
    planes[np.arange(n), 0, 0, game] = 1
    planes[:, 1, 0, generation] = 1
    policy = np.zeros((n, 400), np.float32)
    policy[:, 0] = 1
    np.savez(folder / "shard-x-00000.npz", format_version=np.int32(1), planes=planes, policy=policy,
             value=np.full((n, 4), 0.25, np.float32), mover=np.zeros(n, np.uint8), tile=np.zeros(n, np.int16),
             game=game, move=np.zeros(n, np.int16), game_numbers=np.arange(games, dtype=np.int32),
             payoff=np.full((games, 4), 0.25, np.float32))


def marks(records):
    """(game, generation) of each position of ``_fake_generation``."""
    return records["planes"][:, 0, 0].argmax(axis=1), records["planes"][:, 1, 0].argmax(axis=1)


def test_window_takes_the_newest_positions_and_holds_games_out(tmp_path, monkeypatch):
    # The fake games are no legal games: the targets that replay them are not the point here.
    monkeypatch.setattr("tarnex_train.data.window.add_game_targets", lambda records: records)
    window = Window(holdout_every=4)
    for g in range(3):
        _fake_generation(tmp_path / f"g{g}", g, games=8, moves=10)
        assert window.add(g, str(tmp_path / f"g{g}")) == 60  # games 0 and 4 held out
    assert len(window.heldout(2)["mover"]) == 20
    assert set(marks(window.heldout(2))[0]) == {0, 4}
    newest = window.newest(2, 100)
    assert len(newest["mover"]) == 100
    # The 60 of generation 2 and the newest 40 of 1: the oldest positions age out.
    game, generation = marks(newest)
    assert (generation[-60:] == 2).all() and (generation[:40] == 1).all()
    assert set(game[:40]) == {5, 6, 7, 3}
    assert not (game % 4 == 0).any()
    assert len(set(newest["game_key"])) == 10  # games of different generations stay apart
    window.keep_newest(100)
    assert window.positions(0) == 0 and window.positions(1) == 60


class FixedPolicyNet(torch.nn.Module):
    """Stands in for a trained network: log-probabilities that halve from
    one legal tile to the next, whatever the position."""

    def forward(self, planes, pieces=None):
        legal = planes[:, 4].flatten(1) > 0.5
        rank = torch.cumsum(legal.float(), dim=1) - 1
        logits = torch.where(legal, -rank * np.log(2.0), torch.full_like(rank, -np.inf))
        return torch.log_softmax(logits, dim=1), torch.zeros(len(planes), 4)


def test_search_priors_follow_the_network_distribution():
    """The engine must see the network's distribution: with values of 0 and
    no noise, the first search's visits follow the priors, so the most likely
    of the 15 opening tiles (prior 1/2) gets about half of them. Sent as
    probabilities, the priors would lie within a factor e of each other and
    it would get about a tenth."""
    from tarnex_self_play import play_training_game

    from tarnex_train.model.network import TarnexNet
    from tarnex_train.settings import SearchConfig

    net = FixedPolicyNet()
    net.predict = TarnexNet.predict.__get__(net)

    class Queue:
        def put(self, request):
            self.planes = torch.tensor(request[1], dtype=torch.float32)[None]

    class Pipe:
        def __init__(self, queue):
            self.queue = queue

        def recv(self):
            policy, _ = net.predict(self.queue.planes)
            return policy[0].tolist(), [0.0] * 4

    queue = Queue()
    config = SearchConfig(sims_per_move=60, sample_moves=0, exploration_fraction=0.0)
    _, policies, _ = play_training_game(0, config, queue, Pipe(queue))
    shares = dict(policies[0])
    first = min(shares)  # tile 0 is the first legal tile in the frame of seat 0
    assert shares[first] > 0.3
    assert max(shares.values()) == shares[first]
