"""Threads: many threads sharing engines, surveys and frame decoding at once
never crash and get exactly the results of a single-threaded run.

The interpreter is told to switch threads as often as it can, and some
inputs are generators or handlers that give the lock away in the middle of
a call, so that calls interleave at every point where they can.
"""
import math
import random
import sys
import threading
import time

import pytest

import qz_autopos
import qz_engine
import qz_packets

THREADS = 12
ROUNDS = 40

ANCHORS = [(0.0, 0.0, 0.0), (10.0, 0.0, 0.0), (10.0, 10.0, 0.0), (0.0, 10.0, 0.0),
           (5.0, -3.0, 1.0), (-2.0, 6.0, 2.0)]


@pytest.fixture(autouse=True)
def frequent_switches():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def run_together(workers):
    """Runs each worker() in its own thread, all released at once; returns
    their results in order and re-raises the first error."""
    barrier = threading.Barrier(len(workers))
    results = [None] * len(workers)
    errors = []

    def body(i):
        barrier.wait()
        try:
            results[i] = workers[i]()
        except BaseException as error:  # re-raised in the main thread
            errors.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(len(workers))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]
    return results


def yielding(values):
    """The values, giving the interpreter lock away before each one."""
    for value in values:
        time.sleep(0)
        yield value


# ---------------------------------------------------------------------------
# workloads: each returns everything it observed


def tag_inputs(seed):
    rng = random.Random(seed)
    inputs = []
    for _ in range(ROUNDS):
        tag = (rng.uniform(-5, 15), rng.uniform(-5, 15))
        distances = [math.dist(tag, a[:2]) + rng.gauss(0, 0.05) for a in ANCHORS]
        if rng.random() < 0.3:
            distances[rng.randrange(len(distances))] = 0.0
        start = qz_engine.Position(rng.uniform(0, 10), rng.uniform(0, 10), 1.5)
        inputs.append((distances, start))
    return inputs


def new_engine():
    engine = qz_engine.PositionEngine(len(ANCHORS))
    engine.set_anchor_positions([qz_engine.Position(*a) for a in ANCHORS])
    return engine


SHARED_ENGINE = new_engine()


def fit_on_shared_engine(seed):
    # every call fills all the slots, so the result depends on its own
    # arguments only, whatever the other threads stored in between
    out = []
    for distances, start in tag_inputs(seed):
        p = SHARED_ENGINE.compute_tag_position(distances, start)
        out.append((p.x, p.y, p.z))
        SHARED_ENGINE.set_anchor_positions([qz_engine.Position(*a) for a in ANCHORS])
    return out


def fit_on_own_engine(seed):
    engine = new_engine()
    out = []
    for distances, start in tag_inputs(seed):
        p = engine.compute_tag_position(yielding(distances), start)
        out.append((p.x, p.y, p.z))
    return out


def survey_matrix(seed):
    rng = random.Random(seed)
    n = rng.randrange(3, 9)
    points = [(rng.uniform(0, 50), rng.uniform(0, 50), rng.uniform(0, 3)) for _ in range(n)]
    return n, [math.dist(p, q) for p in points for q in points]


def estimates(autopos):
    return [(p.x, p.y, p.z) for p in autopos.get_position_estimates()]


def survey_on_own_instance(seed):
    # the module-wide work matrix is shared by every instance
    out = []
    for round_seed in range(seed, seed + ROUNDS // 4):
        n, matrix = survey_matrix(round_seed)
        autopos = qz_autopos.AutoPos(n)
        autopos.compute(yielding(matrix) if round_seed % 2 else matrix)
        out.append(estimates(autopos))
    return out


SHARED_SURVEY_MATRIX = survey_matrix(99)
SHARED_SURVEY = qz_autopos.AutoPos(SHARED_SURVEY_MATRIX[0])


def survey_on_shared_instance(seed):
    # every thread gives the same matrix, so any interleaving reads the same
    out = []
    for _ in range(ROUNDS // 4):
        SHARED_SURVEY.compute(SHARED_SURVEY_MATRIX[1])
        out.append(estimates(SHARED_SURVEY))
    return out


REPORT = bytes.fromhex("00 34 12 01 02 03 04 05")


def frame(seed):
    rng = random.Random(seed)
    count = rng.randrange(0, 6)
    reports = b"".join(REPORT + rng.randrange(65536).to_bytes(2, "little")
                       for _ in range(count))
    payload = bytes([1, 0, 0, rng.randrange(2)]) + bytes(14) + bytes([count]) + reports
    kind = 0x10 if rng.random() < 0.8 else 0x11
    return (b"@QZ@DW\x44\x00\x01" + bytes(10)
            + bytes([0x41, 0x88, 5, 0xCD, 0xAB, 0x34, 0x12])
            + rng.randrange(65536).to_bytes(2, "little") + bytes(8) + bytes([kind])
            + payload + b"\x00\x00")


FRAMES = [frame(seed) for seed in range(32)]
SHARED_PACKET = qz_packets.QZDWPacket(None, FRAMES[0])


def decode_frames(seed):
    out = []

    def handler(src_addr, is_anchor, reports):
        time.sleep(0)  # another thread runs in the middle of callback()
        out.append((src_addr, is_anchor, [(r.addr, r.dist) for r in reports]))

    for i in range(ROUNDS):
        data = FRAMES[(seed + i) % len(FRAMES)]
        data = bytearray(data) if i % 3 == 1 else memoryview(data) if i % 3 == 2 else data
        header = qz_packets.Header(bytes(data[:9]))
        packet = qz_packets.QZDWPacket(header, data, callback=handler)
        packet.callback()
        out.append((packet.uwb_params.type, packet.uwb_footer.fcs, header.packet_len))
        SHARED_PACKET.callback_handle = None  # read-only use below
        out.append(len(SHARED_PACKET.uwb_payload.reports))
    return out


WORKLOADS = [fit_on_shared_engine, fit_on_own_engine, survey_on_own_instance,
             survey_on_shared_instance, decode_frames]


@pytest.mark.parametrize("workload", WORKLOADS, ids=lambda w: w.__name__)
def test_one_kind_of_work_in_many_threads(workload):
    expected = [workload(seed) for seed in range(THREADS)]
    got = run_together([lambda seed=seed: workload(seed) for seed in range(THREADS)])
    assert got == expected


def test_all_kinds_of_work_at_once():
    jobs = [(WORKLOADS[i % len(WORKLOADS)], i) for i in range(2 * THREADS)]
    expected = [workload(seed) for workload, seed in jobs]
    got = run_together([lambda w=w, s=s: w(s) for w, s in jobs])
    assert got == expected


def test_shared_handler_list_is_passed_to_every_thread():
    calls = []
    packet = qz_packets.QZDWPacket(None, FRAMES[1], callback=lambda *a: calls.append(a))
    run_together([packet.callback] * THREADS)
    assert len(calls) == THREADS
    assert all(call[2] is packet.uwb_payload.reports for call in calls)
