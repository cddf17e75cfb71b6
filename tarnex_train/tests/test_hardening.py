"""Careless or hostile use of the tools: broken data and checkpoints, a full
disk, a stuck worker, two runs in one folder."""

import dataclasses
import json
import multiprocessing
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np
import pytest
import torch

from conftest import TINY, tiny_options, worker_of
from tarnex_train.data import shards
from tarnex_train.inference.evaluators import ZeroEvaluator
from tarnex_train.model.checkpoints import CheckpointError, load_checkpoint, save_checkpoint
from tarnex_train.model.network import TarnexNet
from tarnex_train.settings import NetworkShape
from tarnex_train.play.selfplay import run_selfplay
from tarnex_train.play import roles
from tarnex_train.pool.local import LOG_PREFIX, WorkerPool, Workers
from tarnex_train.data.shards import DataFolderError, ShardWriter, load_records, read_metadata


def cli(*argv, cwd=None):
    result = subprocess.run([sys.executable, "-m", "tarnex_train.cli", *argv], capture_output=True, text=True,
                            timeout=300, cwd=cwd)
    assert "Traceback" not in result.stderr, result.stderr
    return result


def test_broken_data_and_checkpoints_are_refused_in_one_line(selfplay_run, tmp_path, monkeypatch):
    summary, _ = selfplay_run
    source = sorted(p for p in os.listdir(summary.output) if p.startswith("shard-"))[0]
    with np.load(os.path.join(summary.output, source)) as data:
        arrays = dict(data)

    def folder(name, **changes):
        path = tmp_path / name
        path.mkdir()
        np.savez(path / "shard-a-00000.npz", **{**arrays, **changes})
        return path

    poisoned = arrays["value"].copy()
    poisoned[3, 1] = np.nan
    truncated = tmp_path / "truncated"
    truncated.mkdir()
    data = (folder("whole") / "shard-a-00000.npz").read_bytes()
    (truncated / "shard-a-00000.npz").write_bytes(data[: len(data) // 2])
    malformed = tmp_path / "malformed"
    malformed.mkdir()
    (malformed / "metadata.json").write_text(json.dumps({"format_version": 1, "runs": [], "shards": "x"}))
    cases = [
        (folder("nan", value=poisoned), "value holds values that are not finite"),
        (folder("version", format_version=np.array("1")), "shard format version"),
        (truncated, "not a readable shard"),
        (malformed, "'shards' must be a list"),
    ]
    for path, message in cases:
        with pytest.raises(DataFolderError, match=message):
            load_records(str(path))
        result = cli("train", "--data", str(path), "--steps", "1", "--output", str(tmp_path / "m.pt"))
        assert result.returncode == 2 and message.split()[0] in result.stderr, (path, result.stderr)

    # What a shard may inflate to is capped before anything is inflated.
    monkeypatch.setattr(shards, "MAX_SHARD_BYTES", 1000)
    with pytest.raises(DataFolderError, match="would inflate"):
        load_records(str(tmp_path / "whole"))

    net = TarnexNet(TINY)
    with torch.no_grad():
        next(net.parameters())[0].fill_(float("nan"))
    with pytest.raises(CheckpointError, match="not finite"):
        save_checkpoint(net, str(tmp_path / "nan.pt"))
    assert not (tmp_path / "nan.pt").exists()
    state = {"format": "tarnex-train-network", "version": 1, "shape": dataclasses.asdict(TINY),
             "trained_steps": "many", "state_dict": TarnexNet(TINY).state_dict()}
    torch.save(state, tmp_path / "steps.pt")
    with pytest.raises(CheckpointError, match="trained_steps"):
        load_checkpoint(str(tmp_path / "steps.pt"))
    state.update(trained_steps=1, state_dict=net.state_dict())
    torch.save(state, tmp_path / "weights.pt")
    with pytest.raises(CheckpointError, match="not finite"):
        load_checkpoint(str(tmp_path / "weights.pt"))
    # A checkpoint from before the piece and placement inputs loads without them.
    old = TarnexNet(dataclasses.replace(TINY, piece_inputs=False, placement_inputs=False))
    shape = dataclasses.asdict(old.shape)
    del shape["piece_inputs"], shape["placement_inputs"]
    state.update(shape=shape, state_dict=old.state_dict())
    torch.save(state, tmp_path / "old.pt")
    loaded = load_checkpoint(str(tmp_path / "old.pt"))[0].shape
    assert loaded.piece_inputs is False and loaded.placement_inputs is False
    # An output that cannot be written is found before any training.
    (tmp_path / "file").write_text("")
    result = cli("train", "--data", str(summary.output), "--steps", "100000", "--output",
                 str(tmp_path / "file" / "m.pt"))
    assert result.returncode == 2 and "cannot be written" in result.stderr


def test_a_full_disk_stops_the_run_and_never_marks_it_finished(tmp_path, monkeypatch):
    real = shards.atomic_write
    calls = []

    def fail_after_first_shard(path, write, binary=True):
        if os.path.basename(path).startswith("shard-"):
            calls.append(path)
            if len(calls) > 1:
                raise OSError(28, "No space left on device")
        return real(path, write, binary)

    monkeypatch.setattr(shards, "atomic_write", fail_after_first_shard)
    summary = run_selfplay(tiny_options(tmp_path, games=40, games_per_shard=1), evaluator=ZeroEvaluator())
    assert "No space left" in summary.write_error
    assert summary.games_done < 40  # it stopped taking games
    assert summary.games_unwritten == summary.games_done - 1 >= 1
    run = read_metadata(str(tmp_path))["runs"][-1]
    assert run["finished"] is False and run["games"] == 1 and "No space left" in run["write_error"]
    assert f"{summary.games_unwritten} finished game(s) could not be written" in summary.report()


class StoppingEvaluator(ZeroEvaluator):
    """Stops (SIGSTOP) worker 1's process at its 20th request."""

    def __init__(self):
        super().__init__()
        self.seen = 0

    def __call__(self, batch):
        for request in batch:
            if worker_of(request) == 1:
                self.seen += 1
                if self.seen == 20:
                    for child in multiprocessing.active_children():
                        if child.name.endswith("-1"):
                            os.kill(child.pid, signal.SIGSTOP)
        return super().__call__(batch)


def test_a_stuck_worker_is_ended_and_the_others_finish(tmp_path):
    options = tiny_options(tmp_path, games=3, stall_seconds=2.0, batch_wait_ms=500.0)
    summary = run_selfplay(options, evaluator=StoppingEvaluator())
    # The stopped worker's open games are skipped; the other worker finishes.
    assert summary.failures and {f.worker for f in summary.failures} == {1}
    assert all("silent for" in f.error for f in summary.failures)
    assert summary.games_done == 3 - len(summary.failures) >= 1


def _workers_of(pid):
    """Worker processes the process ``pid`` started (not its resource tracker)."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as f:
                parent = int(f.read().rsplit(")", 1)[1].split()[1])
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                command = f.read()
        except (OSError, ValueError, IndexError):
            continue
        if parent == pid and b"spawn_main" in command:
            found.append(int(entry))
    return found


def test_a_worker_stopped_before_its_first_game_is_given_up(tmp_path):
    process = subprocess.Popen(
        [sys.executable, "-m", "tarnex_train.cli", "selfplay", "--games", "6", "--workers", "2", "--games-per-worker",
         "3", "--stall-seconds", "5", "--sims-per-move", "2", "--channels", "4", "--blocks", "1", "--output",
         str(tmp_path), "--quiet"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    stopped = []
    try:
        while not stopped and process.poll() is None:
            stopped = _workers_of(process.pid)[:1]
            time.sleep(0.005)
        assert stopped, "no worker was started"
        os.kill(stopped[0], signal.SIGSTOP)
        out, err = process.communicate(timeout=300)
    finally:
        if process.poll() is None:
            process.kill()
        for pid in stopped:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
    assert process.returncode == 0 and "games done" in out, err


@pytest.mark.parametrize("name, value", [("tile", 999), ("tile", -5), ("mover", 7), ("mover", 255), ("planes", 255)])
def test_shard_values_out_of_range_are_refused(selfplay_run, tmp_path, name, value):
    """Out of range, they crashed training (an index past the board or the
    seats) or trained on positions no game has."""
    summary, _ = selfplay_run
    with np.load(summary.shards[0]) as data:
        arrays = dict(data)
    arrays[name] = arrays[name].copy()
    arrays[name].flat[7] = value
    np.savez(tmp_path / "shard-a-00000.npz", **arrays)
    with pytest.raises(DataFolderError, match=f"shard-a-00000.npz: {name} holds {value}"):
        load_records(str(tmp_path))


def test_selfplay_records_the_shape_of_the_network_it_played(tmp_path):
    save_checkpoint(TarnexNet(TINY), str(tmp_path / "net.pt"))
    options = tiny_options(tmp_path / "data", games=1, workers=1, checkpoint=str(tmp_path / "net.pt"),
                           shape=NetworkShape(channels=32, blocks=1))
    assert run_selfplay(options).games_done == 1
    assert read_metadata(str(tmp_path / "data"))["runs"][0]["settings"]["shape"] == dataclasses.asdict(TINY)


def test_two_writers_in_one_folder_keep_every_entry(tmp_path, selfplay_run):
    summary, _ = selfplay_run
    records = load_records(summary.output)
    game = {name: records[name][:30] for name in shards.RECORD_ARRAYS}
    game["payoff"] = [0.25] * 4

    def write(count):
        writer = ShardWriter(str(tmp_path), {"writer": count}, games_per_shard=1)
        for number in range(12):
            writer.add(number, game)
        writer.close()

    threads = [threading.Thread(target=write, args=(k,)) for k in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    meta = read_metadata(str(tmp_path))
    assert len(meta["runs"]) == 2 and all(run["finished"] for run in meta["runs"])
    assert len(meta["shards"]) == 24 and meta["games"] == 24
    assert len({entry["file"] for entry in meta["shards"]}) == 24


def test_temporary_logs_of_a_killed_run_are_removed():
    dead = subprocess.Popen([sys.executable, "-c", "pass"])
    dead.wait()
    orphan = tempfile.mkdtemp(prefix=f"{LOG_PREFIX}{dead.pid}-")
    pool = WorkerPool(roles.match, 1, 1, {})
    try:
        assert not os.path.exists(orphan)
        assert os.path.isdir(pool.log_dir)
    finally:
        pool._finish()
    assert not os.path.exists(pool.log_dir)


def test_jobs_on_shared_workers_keep_them_and_replace_a_dead_one(tmp_path):
    """The loop's phases play on one set of processes: a job leaves them
    running for the next, of any role; one killed between jobs is replaced
    and the next job loses nothing; closing ends them all."""
    from tarnex_train.play.arena import run_arena
    from tarnex_train.play.match import run_match
    from tarnex_train.settings import RANDOM, ArenaOptions

    workers = Workers(2)
    try:
        assert run_selfplay(tiny_options(tmp_path, games=2, evaluator="zero"), workers=workers).games_done == 2
        first = [process for process, _ in workers.running]
        summary = run_arena(ArenaOptions.make(games=3, model=RANDOM, baseline=RANDOM, quiet=True), workers=workers)
        assert len(summary.payoffs) == 3 and [process for process, _ in workers.running] == first
        os.kill(first[1].pid, signal.SIGKILL)
        first[1].join()
        summary = run_match(ArenaOptions.make(games=4, seats=["random", "greedy", "random", "greedy"], quiet=True),
                            workers=workers)
        assert len(summary.games) == 4 and not summary.failures
        now = [process for process, _ in workers.running]
        assert now[0] is first[0] and now[1] is not first[1] and all(p.is_alive() for p in now)
    finally:
        workers.close()
    assert not any(p.is_alive() for p in first + now) and not os.path.exists(workers.log_dir)
