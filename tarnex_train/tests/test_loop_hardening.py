"""The learning loop against what goes wrong around it: a second loop on the
folder, a killed worker, a stop in the tests, damaged run files, a full disk."""

import io
import json
import os
import shutil
import signal
import subprocess
import sys

import numpy as np
import pytest
import torch

from conftest import TINY, KillingEvaluator
from tarnex_train import cli
from tarnex_train.loop.folder import read_settings_file
from tarnex_train.loop.run import run_loop
from tarnex_train.model.checkpoints import save_checkpoint
from tarnex_train.model.network import TarnexNet
from tarnex_train.settings import RANDOM, LoopSettings, NetworkShape, TrainSettings

# No bootstrap: the first generation's games ask the network, so a killed
# evaluator costs games.
SETTINGS = LoopSettings.make(games_per_generation=8, games_per_shard=2, sims_per_move=2, shape=TINY,
                             bootstrap_player="none",
                             strength_games=4, previous_games=2, calibration_games=4, workers=2, games_per_worker=2,
                             holdout_every=3, seed=1, train=TrainSettings(batch_size=32))


def records(run):
    with open(run / "metrics.jsonl") as f:
        return [json.loads(line) for line in f]


def game_numbers(data_dir):
    numbers = []
    for name in os.listdir(data_dir):
        if name.startswith("shard-"):
            with np.load(data_dir / name) as shard:
                numbers.extend(shard["game_numbers"].tolist())
    return numbers


def loop_cli(run, *options):
    """The loop command in this process: (exit status, standard error)."""
    handlers = signal.getsignal(signal.SIGINT), signal.getsignal(signal.SIGTERM)
    stderr, saved = io.StringIO(), sys.stderr
    sys.stderr = stderr
    try:
        status = cli.main(["loop", "--run", str(run), "--quiet", *options])
    finally:
        sys.stderr = saved
        signal.signal(signal.SIGINT, handlers[0])
        signal.signal(signal.SIGTERM, handlers[1])
    return status, stderr.getvalue()


def test_a_second_loop_a_killed_worker_and_a_stop_in_the_tests_lose_nothing(tmp_path, monkeypatch):
    """While a loop plays, a second one on its folder is refused; a worker
    killed in self-play costs games that are played again before training;
    a stop in the strength tests, after the network was written, keeps the
    generation's training records."""
    import tarnex_train.play.arena as arena
    import tarnex_train.play.selfplay as selfplay

    run = tmp_path / "run"
    real_selfplay, real_arena, second = selfplay.run_selfplay, arena.run_arena, []

    # On the generation's shared workers: the round after the kill plays on a new one.
    def first_round_kills_a_worker(options, stream=None, net=None, **shared):
        if second:
            return real_selfplay(options, stream=stream, net=net, **shared)
        second.append(subprocess.run([sys.executable, "-m", "tarnex_train.cli", "loop", "--run", str(run),
                                      "--generations", "1"], capture_output=True, text=True, timeout=600))
        return real_selfplay(options, evaluator=KillingEvaluator(), stream=stream, **shared)

    def stop_in_the_tests(options, **kwargs):
        if options.model != RANDOM:
            raise KeyboardInterrupt
        return real_arena(options, **kwargs)

    monkeypatch.setattr(selfplay, "run_selfplay", first_round_kills_a_worker)
    monkeypatch.setattr(arena, "run_arena", stop_in_the_tests)
    said = io.StringIO()
    assert run_loop(str(run), SETTINGS, generations=1, stream=said).interrupted
    refused = second[0]
    assert refused.returncode == 2 and "in use" in refused.stderr, refused.stderr
    assert len(refused.stderr.strip().splitlines()) == 1 and not refused.stdout
    assert "games were lost" in said.getvalue()
    numbers = game_numbers(run / "gen-0000" / "data")
    assert sorted(numbers) == sorted(set(numbers)) and len(numbers) == 8
    trained = [r for r in records(run) if r["kind"] == "train"]
    assert trained and (run / "gen-0000" / "network.pt").exists()

    monkeypatch.undo()
    summary = run_loop(str(run), generations=1, stream=io.StringIO())
    assert summary.generations_done == 1 and not summary.interrupted
    after = records(run)
    assert [r for r in after if r["kind"] == "train"] == trained
    assert [r["generation"] for r in after if r["kind"] == "generation"] == [0]
    assert sorted(game_numbers(run / "gen-0000" / "data")) == sorted(numbers)


@pytest.fixture(scope="module")
def finished_run(tmp_path_factory):
    """A run with one complete generation."""
    run = tmp_path_factory.mktemp("finished") / "run"
    assert run_loop(str(run), SETTINGS, generations=1, stream=io.StringIO()).generations_done == 1
    return run


def _edit_json(path, change):
    data = json.loads(path.read_text())
    change(data)
    path.write_text(json.dumps(data))


def _other_shape():
    """A network of another shape, and its optimiser's state after a step."""
    net = TarnexNet(NetworkShape(channels=6, blocks=1))
    optimiser = torch.optim.AdamW(net.parameters())
    net(torch.zeros(1, 5, 20, 20))[0].sum().backward()
    optimiser.step()
    return net, optimiser.state_dict()


def _partial_generation(run):
    """Generation 1 begun: gen 0's games copied in as its own."""
    shutil.copytree(run / "gen-0000" / "data", run / "gen-0001" / "data")
    return run / "gen-0001" / "data"


def _truncate(path, size):
    with open(path, "r+b") as f:
        f.truncate(size)


def _unlisted_shard(run):
    data = _partial_generation(run)
    _edit_json(data / "metadata.json", lambda meta: meta["shards"].pop())


def _dead_pid():
    process = subprocess.Popen([sys.executable, "-c", "pass"])
    process.wait()
    return process.pid


def _refused(label, named, damage):
    return pytest.param(named, damage, None, id=label)


def _repaired(label, named, damage, check=None):
    return pytest.param(named, damage, check or (lambda run: True), id=label)


CASES = [
    _refused("state-empty", "state.json", lambda run: (run / "state.json").write_text("{}")),
    _refused("state-count", "state.json",
             lambda run: _edit_json(run / "state.json", lambda s: s.update(generations_done="1"))),
    _refused("state-calibration", "state.json",
             lambda run: _edit_json(run / "state.json", lambda s: s.update(calibration=[0.3]))),
    _refused("optimiser-shape", "gen-0000/optimizer.pt",
             lambda run: torch.save(_other_shape()[1], run / "gen-0000" / "optimizer.pt")),
    _refused("optimiser-cut", "gen-0000/optimizer.pt",
             lambda run: _truncate(run / "gen-0000" / "optimizer.pt", 2000)),
    _refused("network-shape", "gen-0000/network.pt",
             lambda run: save_checkpoint(_other_shape()[0], str(run / "gen-0000" / "network.pt"))),
    _refused("strength", "gen-0001/strength.json",
             lambda run: (_partial_generation(run).parent / "strength.json").write_text("{}")),
    _refused("shard-cut", "gen-0001/data/shard-",
             lambda run: _truncate(sorted(_partial_generation(run).glob("shard-*"))[0], 3000)),
    _repaired("metrics-bytes", "is not UTF-8", lambda run: open(run / "metrics.jsonl", "ab").write(b"\xff\xfe\n")),
    _repaired("metrics-list", "is not a record", lambda run: open(run / "metrics.jsonl", "a").write("[1]\n")),
    _repaired("metrics-cut", "the record of generation 0 written again",
              lambda run: _truncate(run / "metrics.jsonl", os.path.getsize(run / "metrics.jsonl") - 30)),
    _repaired("metadata", "metadata.json: added shard-", _unlisted_shard,
              lambda run: len(json.loads((run / "gen-0001/data/metadata.json").read_text())["shards"]) == 4),
    _repaired("temporary", ".state.json.", lambda run: (run / f".state.json.{_dead_pid()}.tmp").write_text("{"),
              lambda run: not any(name.endswith(".tmp") for name in os.listdir(run))),
]


def _snapshot(run):
    return {str(path.relative_to(run)): (path.stat().st_size, path.stat().st_mtime_ns) for path in run.rglob("*")
            if path.is_file() and path.parts[len(run.parts)] != "logs" and path.name != ".lock"}


@pytest.mark.parametrize("named, damage, repaired", CASES)
def test_damaged_run_files_are_refused_or_repaired_before_any_work(finished_run, tmp_path, named, damage, repaired):
    """Refused: one line naming the file, and nothing played, trained or
    written. Repaired: the repair said, and nothing of the metrics lost."""
    run = tmp_path / "run"
    shutil.copytree(finished_run, run)
    damage(run)
    before = _snapshot(run)
    if repaired is None:
        status, said = loop_cli(run, "--generations", "2")
        error = said.strip().splitlines()[-1]
        assert status == 2 and "error:" in error and named in error and "Traceback" not in said, said
        assert _snapshot(run) == before
        return
    status, said = loop_cli(run, "--generations", "1")
    assert status == 0 and named in said, said
    assert records(run) == records(finished_run) and repaired(run)


def test_a_resumed_generation_numbers_its_games_on_and_says_a_missing_optimiser(finished_run, tmp_path):
    """Generation 1 resumed with one shard kept, holding game 0: the games
    played now must not take the kept games' numbers."""
    run = tmp_path / "run"
    shutil.copytree(finished_run, run)
    data = _partial_generation(run)
    for path in data.glob("shard-*"):
        with np.load(path) as shard:
            if 0 not in shard["game_numbers"]:
                os.unlink(path)
    os.unlink(run / "gen-0000" / "optimizer.pt")
    status, said = loop_cli(run, "--generations", "2")
    assert status == 0 and "gen-0000/optimizer.pt is missing; generation 1 trains with a fresh optimiser" in said
    numbers = game_numbers(data)
    assert sorted(numbers) == sorted(set(numbers)) and len(numbers) == 8


def test_a_full_disk_names_the_phase_and_the_file_and_leaves_no_temporary_file(tmp_path, monkeypatch):
    """The disk fills once the first shard is in place: its metadata update
    fails, and so does saving the state after it."""
    run, full = tmp_path / "run", []
    real_replace, real_fsync = os.replace, os.fsync

    def replace(source, target):
        real_replace(source, target)
        full.extend([True] if os.path.basename(target).startswith("shard-") else [])

    def fsync(fd):
        if full:
            raise OSError(28, "No space left on device")
        real_fsync(fd)

    monkeypatch.setattr(os, "replace", replace)
    monkeypatch.setattr(os, "fsync", fsync)
    options = ["--games-per-generation", "8", "--games-per-shard", "2", "--sims-per-move", "2", "--channels", "4",
               "--blocks", "1", "--strength-games", "4", "--previous-games", "2", "--calibration-games", "4",
               "--workers", "2", "--generations", "1"]
    status, said = loop_cli(run, *options)
    assert status == 1, said
    error = said.strip().splitlines()[-1]
    assert "generation 0, self-play" in error and "metadata.json: No space left on device" in error, said
    assert not [path for path in run.rglob("*") if ".tmp" in path.name]
    monkeypatch.undo()
    status, said = loop_cli(run, "--generations", "1")
    assert status == 0 and "metadata.json: added shard-" in said, said
    metadata = json.loads((run / "gen-0000" / "data" / "metadata.json").read_text())
    assert metadata["games"] == 8 == len(game_numbers(run / "gen-0000" / "data"))


def test_the_device_is_no_part_of_the_run_and_is_checked_before_anything_is_written(finished_run, tmp_path):
    run_file = json.loads((finished_run / "run.json").read_text())
    assert "device" not in json.dumps(run_file)
    run_file["settings"]["pool"]["device"] = "cuda"  # as older tools wrote it
    (tmp_path / "old.json").write_text(json.dumps(run_file))
    assert read_settings_file(str(tmp_path / "old.json")) == read_settings_file(str(finished_run / "run.json"))
    if torch.cuda.is_available():
        pytest.skip("needs a machine without CUDA")
    status, said = loop_cli(tmp_path / "run", "--device", "cuda")
    assert status == 2 and "CUDA is not available" in said and len(said.strip().splitlines()) == 1
    assert not (tmp_path / "run").exists()
