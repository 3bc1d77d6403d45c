"""Eight Python threads on shared and separate Encoders: correct results, the
borrow rules, no deadlock."""

import pickle
import threading

import numpy as np
import pytest

import tovrik
from sample_columns import mixed_columns

N_THREADS = 8


def data(seed, rows=3_000):
    return mixed_columns(seed, rows, many=300, few=7)


def run_threads(target):
    barrier = threading.Barrier(N_THREADS)
    errors = []

    def body(i):
        try:
            barrier.wait()
            target(i)
        except BaseException as exc:  # reported below, with its thread
            errors.append((i, exc))

    threads = [threading.Thread(target=body, args=(i,)) for i in range(N_THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "a thread hung"
    assert not errors, errors


@pytest.mark.parametrize("seed", [0, 1], ids=lambda s: f"seed{s}")
def test_separate_encoders_round_trip(seed):
    def work(i):
        a = data(seed * 100 + i)
        enc = tovrik.Encoder()
        for _ in range(5):
            codes = enc.encode(a)
            back = pickle.loads(pickle.dumps(enc)).decode(codes)
            assert back[:, 0].tolist() == a[:, 0].tolist()
            assert back[:, 2].tolist() == a[:, 2].tolist()

    run_threads(work)


def test_shared_encoder_keeps_the_borrow_rules():
    shared = tovrik.Encoder()
    a = data(42)
    codes = shared.encode(a)
    state = shared.__getstate__()

    class Yielding(str):
        """A text cell whose str() lets other threads run in the middle of a call."""

        def __str__(self):
            threading.Event().wait(0.001)
            return str.__str__(self)

    slow = a.copy()
    slow[::500, 0] = [Yielding(s) for s in slow[::500, 0]]

    def work(i):
        for _ in range(10):
            try:
                if i % 2:
                    out = shared.decode(codes)
                    assert out[:, 0].tolist() == a[:, 0].tolist()
                    assert shared.__getstate__() == state
                else:
                    # Same texts, so the learnt mapping is equal whoever wins.
                    assert np.array_equal(shared.encode(slow), codes, equal_nan=True)
            except RuntimeError as exc:
                assert str(exc) in ("Already borrowed", "Already mutably borrowed")

    run_threads(work)
    assert shared.__getstate__() == state or len(shared.__getstate__()) == len(state)
    assert shared.decode(codes)[:, 0].tolist() == a[:, 0].tolist()


def test_reentrant_calls_from_cells_on_many_threads():
    class Reenter:
        def __init__(self, enc):
            self.enc = enc

        def __float__(self):
            raise TypeError

        def __str__(self):
            try:
                self.enc.encode(np.array([["z"]], dtype=object))
            except RuntimeError as exc:
                return str(exc)
            return "no refusal"

    def work(i):
        enc = tovrik.Encoder()
        col = np.empty((3, 1), dtype=object)
        col[:, 0] = ["a", Reenter(enc), "b"]
        codes = enc.encode(col)
        back = enc.decode(codes)
        assert back[:, 0].tolist() == ["a", "Already borrowed", "b"]

    run_threads(work)
