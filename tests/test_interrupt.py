"""Ctrl-C during a long encode: KeyboardInterrupt soon, and the Encoder unchanged."""

import textwrap


def test_sigint_interrupts_a_long_cell_loop(run_python):
    code = textwrap.dedent("""
        import os, signal, threading, time
        import numpy as np, tovrik

        class Slow:                      # a numeric cell whose conversion runs Python code
            def __float__(self):
                return 1.0

        enc = tovrik.Encoder()
        enc.encode(np.array([["a", 1.0]], dtype=object))
        before = enc.__getstate__()

        cells = np.empty((20_000_000, 1), dtype=object)
        cells[:] = Slow()
        threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            enc.encode(cells)
        except KeyboardInterrupt:
            took = time.monotonic() - start
            assert took < 3.0, took      # 20M Python-level conversions would take far longer
            assert enc.__getstate__() == before
            print("interrupted")
    """)
    out = run_python(code, timeout=120)
    assert out.stdout.decode().split() == ["interrupted"]


def test_interrupt_inside_a_cell_conversion_is_not_swallowed(enc, column):
    # A KeyboardInterrupt raised by a cell must not just turn its column into text.
    class Interrupting:
        def __float__(self):
            raise KeyboardInterrupt

    class ExitingStr:
        def __float__(self):
            raise TypeError

        def __str__(self):
            raise SystemExit(3)

    import pytest

    with pytest.raises(KeyboardInterrupt):
        enc.encode(column([1.0, Interrupting()]))
    with pytest.raises(SystemExit):
        enc.encode(column([ExitingStr()]))
