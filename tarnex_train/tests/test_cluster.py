"""Self-play and arena on a two-node Ray cluster on this machine, inside a
network namespace that holds only the loopback interface (Ray would
otherwise reach for the machine's outward address). The outer test makes
the namespace, runs the cluster tests in it and removes it."""

import os
import subprocess
import sys
import threading
import time

import pytest
from netns import run_in_loopback_namespace

pytest.importorskip("ray")

INSIDE = "TARNEX_TEST_IN_NETNS"


def test_cluster_tests_in_a_loopback_only_namespace():
    run_in_loopback_namespace(__file__, "on_the_cluster", INSIDE, 3, "ray")


inside = pytest.mark.skipif(not os.environ.get(INSIDE), reason="runs inside the loopback-only namespace")


@pytest.fixture(scope="module")
def cluster():
    import ray
    from ray.cluster_utils import Cluster

    for attempt in range(2):  # a loaded machine can miss Ray's fixed 30 s start-up wait
        try:
            nodes = Cluster(initialize_head=True, head_node_args={"num_cpus": 2, "node_ip_address": "127.0.0.1"})
            nodes.add_node(num_cpus=2, node_ip_address="127.0.0.1")
            nodes.wait_for_nodes()
            break
        except Exception:
            if attempt:
                raise
            subprocess.run([os.path.join(os.path.dirname(sys.executable), "ray"), "stop", "--force"],
                           capture_output=True)
    ray.init(address=nodes.address, logging_level="ERROR", log_to_driver=False)
    yield nodes
    ray.shutdown()
    nodes.shutdown()


def _cluster_options(nodes, output, **changes):
    from conftest import tiny_options
    from tarnex_train.settings import ClusterSettings

    options = {"games": 8, "workers": 1, "games_per_worker": 2, "evaluator": "zero",
               "cluster": ClusterSettings(ray=nodes.address, games_per_chunk=2), **changes}
    return tiny_options(output, **options)


def _games_written(folder):
    from tarnex_train.data.shards import read_shard, shard_paths

    shards = [read_shard(path) for path in shard_paths(str(folder))]
    return shards, sorted(int(n) for shard in shards for n in shard["game_numbers"])


@inside
def test_on_the_cluster_selfplay_uses_both_nodes_and_writes_shards_as_locally(cluster, tmp_path):
    from tarnex_train.play.selfplay import run_selfplay
    from tarnex_train.settings import ClusterSettings

    summary = run_selfplay(_cluster_options(cluster, tmp_path / "ray"))
    assert (summary.games_done, summary.failures) == (8, [])
    shards, games = _games_written(tmp_path / "ray")
    assert games == list(range(8))
    nodes = {str(node) for shard in shards for node in shard["game_nodes"]}
    assert len(nodes) == 2 and len(summary.node_lines) == 2
    assert all("games/s" in line and "requests/s" in line for line in summary.node_lines)
    assert summary.server.evaluations > 0 and summary.server.mean_batch >= 1  # the nodes' totals add up
    local = run_selfplay(_cluster_options(cluster, tmp_path / "local", games=2, cluster=ClusterSettings()))
    (local_shard,), _ = _games_written(tmp_path / "local")
    assert local.games_done == 2
    assert set(shards[0]) == set(local_shard) | {"game_nodes"}
    for name, array in local_shard.items():
        assert shards[0][name].dtype == array.dtype and shards[0][name].shape[1:] == array.shape[1:]


@inside
def test_on_the_cluster_arena_reports_a_payoff_per_game(cluster):
    from tarnex_train.play.arena import run_arena
    from tarnex_train.settings import RANDOM, ArenaOptions
    from tarnex_train.settings import ClusterSettings

    options = ArenaOptions.make(games=6, model=RANDOM, baseline=RANDOM, workers=1, games_per_worker=2, quiet=True,
                           cluster=ClusterSettings(ray=cluster.address, games_per_chunk=2))
    summary = run_arena(options)
    assert len(summary.payoffs) == 6 and not summary.failures
    assert all(0.0 <= p <= 1.0 for p in summary.payoffs) and len(summary.node_lines) == 2


@inside
def test_on_the_cluster_a_removed_node_loses_only_unfinished_games(cluster, tmp_path):
    from tarnex_train.play.selfplay import run_selfplay
    from tarnex_train.data.shards import read_metadata

    worker_node = next(iter(cluster.worker_nodes))
    output = tmp_path / "lost"

    def remove_when_some_are_written():
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            try:
                if read_metadata(str(output))["games"] >= 2:
                    break
            except Exception:
                pass
            time.sleep(0.2)
        cluster.remove_node(worker_node)

    remover = threading.Thread(target=remove_when_some_are_written)
    remover.start()
    summary = run_selfplay(_cluster_options(cluster, output, games=12, games_per_shard=1))
    remover.join()
    _, games = _games_written(output)
    # Every game exactly once: the lost node's unfinished games were played
    # again on the head node, its finished ones were not.
    assert games == list(range(12)) and summary.games_done == 12 and not summary.failures
    assert any("(lost)" in line for line in summary.node_lines)
