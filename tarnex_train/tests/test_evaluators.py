"""The evaluator: a network with piece inputs answers as its training form
does; a cache hit is byte for byte the reply the network gives, and the
cache keeps within its memory budget, dropping the least recently used
entries."""

import numpy as np
import torch

from conftest import TINY
from tarnex_train.constants import PLACEMENT_FEATURES, PLACEMENT_PLANES
from tarnex_train.data.dataset import PLACEMENTS, add_placement_planes, piece_features
from tarnex_train.features.corners import CornerPlanes
from tarnex_train.inference.evaluators import VALUE_CENTRE, NetworkEvaluator, ReplyCache
from tarnex_train.model.network import TarnexNet, engine_outputs
from tarnex_train.settings import NetworkShape
from tarnex_train.wire import decode_reply


def _requests(count: int, seed: int) -> list:
    rng = np.random.default_rng(seed)
    planes = (rng.random((count, 5, 20, 20)) < 0.3).astype(np.uint8)
    planes[:, 4, 0, 0] = 1  # at least one legal tile
    return [(i, planes[i].tobytes()) for i in range(count)]


def test_side_inputs_reach_the_answers_alike_in_the_onnx_and_training_forms(selfplay_run):
    """The server's ONNX form, given the side inputs it reads from the packed
    requests, answers as the training form does with the training data's
    piece features (reading the placement planes off the planes itself, or
    given those the loop's window carries); and both kinds of input change
    the answers."""
    seen = sorted(selfplay_run[1].requests)  # positions of real games
    packed = seen[::max(1, len(seen) // 64)]
    planes = torch.from_numpy(np.frombuffer(b"".join(packed), dtype=np.uint8).reshape(-1, 5, 20, 20).copy())
    pieces = torch.from_numpy(piece_features(planes.numpy())).float()
    assert len(pieces.unique(dim=0)) > 10
    torch.manual_seed(0)
    net = TarnexNet(NetworkShape(channels=4, blocks=1, piece_inputs=True, placement_inputs=True)).eval()
    with torch.no_grad():  # inputs that move the answers well beyond rounding
        net.piece_input.weight.mul_(10.0)
        net.stem[0].weight[:, -PLACEMENT_PLANES:].mul_(10.0)
    evaluator = NetworkEvaluator([net], "cpu", threads=1)
    assert evaluator.nets[0].backend == "onnxruntime"
    replies = [decode_reply(r) for r in evaluator([(i, key) for i, key in enumerate(packed)])]
    with torch.no_grad():
        policy, values = engine_outputs(*net.forward_training(planes.float(), pieces)[:2], planes.float())
        blind, _ = engine_outputs(*net(planes.float(), torch.zeros_like(pieces)), planes.float())
        no_placements = torch.cat([pieces, torch.zeros(len(pieces), PLACEMENT_FEATURES)], 1)
        unplaced, _ = engine_outputs(*net(planes.float(), no_placements), planes.float())
    assert torch.allclose(torch.tensor([r[0] for r in replies]), policy, atol=1e-4, rtol=1e-4)
    carried = {"planes": planes.numpy()}
    add_placement_planes(carried)
    side = torch.cat([pieces, torch.from_numpy(carried[PLACEMENTS]).float()], 1)
    assert torch.equal(net.complete_side(planes.float(), pieces), side)
    assert torch.allclose(torch.tensor([r[1] for r in replies]), values - VALUE_CENTRE, atol=1e-5)
    assert (blind - policy).abs().max() > 0.1
    assert (unplaced - policy).abs().max() > 0.1


def test_cached_replies_are_the_networks_own():
    torch.manual_seed(0)
    net = TarnexNet(TINY)
    plain = NetworkEvaluator([net], "cpu", threads=1)
    cached = NetworkEvaluator([net], "cpu", threads=1, cache_mb=1.0)
    first = _requests(6, seed=1)
    # The second batch repeats three positions of the first and one of its own.
    second = [first[4], _requests(2, seed=2)[0], first[0], first[4], first[2]]
    assert cached(first) == plain(first)
    known = cached.lookup(second)
    assert [reply is not None for reply in known] == [True, False, True, True, True]
    assert cached.cache_hits == 4
    assert cached(second) == plain(second)
    assert cached.positions == 7  # the new position only, on top of the first six


def test_the_cache_keeps_within_its_budget_and_drops_the_least_recently_used():
    entry = 2000 + 1617 + ReplyCache.ENTRY_OVERHEAD
    cache = ReplyCache(10 * entry / 2**20)  # room for ten entries
    for n in range(10):
        cache.put((0, bytes([n]) * 2000), bytes(1617))
    assert cache.get((0, bytes([0]) * 2000)) is not None  # now the most recently used
    for n in range(10, 15):
        cache.put((0, bytes([n]) * 2000), bytes(1617))
    assert len(cache) == 10 and cache.used <= cache.budget
    assert cache.get((0, bytes([0]) * 2000)) is not None
    assert all(cache.get((0, bytes([n]) * 2000)) is None for n in range(1, 6))
    assert all(cache.get((0, bytes([n]) * 2000)) is not None for n in range(6, 15))


def test_corner_planes_mark_where_each_seat_can_start_a_piece_and_where_it_never_can(selfplay_run):
    """The network's derived planes, against the definitions cell by cell on
    real positions: a corner cell is open, touches the seat diagonally and
    not along an edge; a closed cell is open and touches it along an edge."""
    seen = sorted(selfplay_run[1].requests)
    planes = np.frombuffer(b"".join(seen[-40:]), dtype=np.uint8).reshape(-1, 5, 20, 20)
    got = CornerPlanes()(torch.from_numpy(planes.copy()).float()).numpy()
    seats = np.pad(planes[:, :4], ((0, 0), (0, 0), (1, 1), (1, 1)))
    shifted = lambda dr, dc: seats[:, :, 1 + dr:21 + dr, 1 + dc:21 + dc]  # noqa: E731
    edge = sum(shifted(dr, dc) for dr, dc in ((0, 1), (1, 0), (0, -1), (-1, 0))) > 0
    diagonal = sum(shifted(dr, dc) for dr, dc in ((1, 1), (1, -1), (-1, 1), (-1, -1))) > 0
    open_cells = planes[:, :4].sum(1, keepdims=True) == 0
    assert (got[:, :4] == (open_cells & diagonal & ~edge)).all()
    assert (got[:, 4:] == (open_cells & edge)).all()
    assert got[:, :4].sum() > 100 and got[:, 4:].sum() > 100


def test_evaluators_share_a_network_form_only_inside_a_shared_scope():
    """Within a generation's tests each network is exported once; another
    network, another precision, or an evaluator outside the scope gets a
    form of its own, so that no evaluator answers with a stale or foreign
    network."""
    from tarnex_train.inference import exports

    torch.manual_seed(0)
    nets = [TarnexNet(TINY), TarnexNet(TINY)]

    def form(net, precision="float32"):
        return NetworkEvaluator([net], "cpu", threads=1, precision=precision).nets[0]

    batch = _requests(4, seed=1)
    with exports.shared():
        first = form(nets[0])
        again = NetworkEvaluator([nets[0]], "cpu", threads=1)
        assert again.nets[0] is first
        assert form(nets[1]) is not first and form(nets[0], "bfloat16") is not first
        shared_answers = again(batch)
    fresh = NetworkEvaluator([nets[0]], "cpu", threads=1)
    assert fresh.nets[0] is not first and fresh(batch) == shared_answers
