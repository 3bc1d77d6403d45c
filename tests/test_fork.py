"""Encoding across fork: the pool's workers do not survive a fork, the module must."""

import pathlib
import textwrap

import pytest

TESTS = str(pathlib.Path(__file__).resolve().parent)

# Every snippet ends by printing "ok"; a hang fails through the subprocess timeout.
COMMON = textwrap.dedent("""
    import os, sys, multiprocessing as mp
    sys.path.insert(0, TESTS_DIR)
    import numpy as np, tovrik
    from sample_columns import mixed_columns

    def frame(seed, rows=60_000):
        return mixed_columns(seed, rows, many=5_000, few=40)

    def expected(a):
        out = np.empty(a.shape)
        for c in range(a.shape[1]):
            col = a[:, c]
            if isinstance(col[0], str):
                rank = {t: i for i, t in enumerate(sorted(set(col)))}
                out[:, c] = [rank[t] for t in col]
            else:
                out[:, c] = col.astype(float)
        return out

    def check(seed):
        a = frame(seed)
        return bool(np.array_equal(tovrik.Encoder().encode(a), expected(a)))
""").replace("TESTS_DIR", repr(TESTS))


@pytest.mark.parametrize("threads", ["1", "2"])
def test_children_of_a_pool_user_encode_correctly(run_python, threads):
    code = COMMON + textwrap.dedent("""
        assert check(0)                      # the parent's pool is running
        with mp.get_context("fork").Pool(3) as pool:
            assert all(pool.map(check, range(6), chunksize=1))
        assert check(1)                      # and works again in the parent
        print("ok")
    """)
    out = run_python(code, env_updates={"RAYON_NUM_THREADS": threads}, timeout=120)
    assert out.stdout.decode().split() == ["ok"]


def test_fork_from_a_cell_while_columns_are_being_encoded(run_python):
    # The first text columns are already on the pool when a later cell forks.
    code = COMMON + textwrap.dedent("""
        class Forker:
            def __str__(self):
                pid = os.fork()
                if pid == 0:
                    os._exit(0 if check(7) else 3)
                _, status = os.waitpid(pid, 0)
                assert os.WEXITSTATUS(status) == 0, status
                return "forked"

        a = frame(3)
        b = np.empty((a.shape[0], 4), dtype=object)
        b[:, :3] = a
        b[:, 3] = "x"
        b[-1, 3] = Forker()
        res = tovrik.Encoder().encode(b)
        assert np.array_equal(res[:, :3], expected(a))
        assert res[-1, 3] == 0.0 and res[0, 3] == 1.0
        print("ok")
    """)
    out = run_python(code, timeout=120)
    assert out.stdout.decode().split() == ["ok"]
