"""Columns of dates and durations (datetime64, with or without a time zone,
timedelta64) are read from their distinct values: each distinct value's box is
made once, as astype(object) makes it, and its str() taken once. The result
must be the one `values` gives, cell for cell and in the learnt state."""

import numpy as np
import pandas as pd
import pytest

import tovrik
import tovrik_ml
from sample_columns import assert_like_values
from tovrik_ml import _native

N = 60


def dates(kind, rng, missing):
    base = np.datetime64("2013-01-01T05:00:00", "ns")
    steps = rng.integers(0, 40, N) * np.timedelta64(3_600_123_456_789, "ns")  # ns digits shown
    if kind == "duration":
        arr = pd.array(steps)
    else:
        unit, tz = kind
        arr = pd.array(pd.DatetimeIndex(base + steps).as_unit(unit))
        if tz is not None:
            arr = pd.array(pd.DatetimeIndex(arr).tz_localize(tz, ambiguous="NaT", nonexistent="NaT"))
    if missing is not None:
        arr[missing] = pd.NaT
    return arr


KINDS = [("ns", None), ("us", None), ("s", None), ("ns", "UTC"), ("us", "US/Eastern"), "duration"]
MISSING = [None, [0], [5, 17], slice(None)]


@pytest.mark.parametrize("kind", KINDS, ids=str)
@pytest.mark.parametrize("missing", MISSING, ids=["none", "first", "middle", "all"])
def test_date_columns_read_like_values(kind, missing):
    rng = np.random.default_rng(5)
    d = dates(kind, rng, missing)
    frame = pd.DataFrame({"d": d, "f": rng.random(N), "s": pd.array([f"s{i % 3}" for i in range(N)], dtype="string"),
                          "o": pd.Series([None if i % 7 == 0 else f"o{i % 4}" for i in range(N)], dtype=object)})
    assert_like_values(frame)
    assert_like_values(frame[["d", "f"]])
    assert_like_values(frame[["d", "d"]].set_axis(["a", "b"], axis=1))
    assert_like_values(frame[["d"]])  # one naive column: `values` is datetime64 itself


def test_frames_of_only_dates_or_only_durations_keep_their_numpy_cells():
    rng = np.random.default_rng(9)
    two_units = pd.DataFrame({"a": dates(("ns", None), rng, [3]), "b": dates(("s", None), rng, None)})
    durations = pd.DataFrame({"a": dates("duration", rng, [1]), "b": dates("duration", rng, None)})
    both = pd.DataFrame({"a": dates(("ns", None), rng, [3]), "b": dates("duration", rng, [2])})
    zoned = pd.DataFrame({"a": dates(("ns", "UTC"), rng, [3]), "b": dates(("ns", "UTC"), rng, None)})
    for frame in (two_units, durations, both, zoned):
        assert_like_values(frame)
    # NumPy scalars there, not boxes: the texts differ from a mixed frame's.
    enc = tovrik.Encoder()
    enc.encode(two_units)
    mixed = tovrik.Encoder()
    mixed.encode(two_units.assign(f=1.0))
    assert enc.__getstate__() != mixed.__getstate__()


def test_each_date_column_is_factorized_once(monkeypatch):
    calls = []
    for cls in (pd.arrays.DatetimeArray, pd.arrays.TimedeltaArray):
        real = cls.factorize

        def counted(self, *args, _real=real, **kwargs):
            calls.append(type(self).__name__)
            return _real(self, *args, **kwargs)

        monkeypatch.setattr(cls, "factorize", counted)
    rng = np.random.default_rng(1)
    frame = pd.DataFrame({"a": dates(("ns", None), rng, [2]), "b": dates(("us", "UTC"), rng, None),
                          "c": dates("duration", rng, None), "f": rng.random(N)})
    assert_like_values(frame)
    assert sorted(calls) == ["DatetimeArray", "DatetimeArray", "TimedeltaArray"]


@pytest.mark.parametrize("kind", [("ns", None), ("us", "US/Eastern"), "duration"], ids=str)
def test_forced_and_applied_like_values(kind):
    rng = np.random.default_rng(3)
    frame = pd.DataFrame({"d": dates(kind, rng, [4]), "f": rng.random(N)})
    got = _native.part_sets(frame, [0], [True, False])
    want = _native.part_sets(frame.values, [0], [True, False])
    assert got[:2] == want[:2]
    assert [(o.tolist(), d.tobytes()) for o, d in got[2]] == [(o.tolist(), d.tobytes()) for o, d in want[2]]
    enc = assert_like_values(frame)
    new = pd.DataFrame({"d": dates(kind, np.random.default_rng(4), [0, 3]), "f": rng.random(N)})
    np.testing.assert_array_equal(tovrik_ml.transform(enc, new).to_numpy(), tovrik_ml.transform(enc, new.values))
    with pytest.raises(ValueError) as got_error:
        tovrik_ml.transform(enc, new, unknown="error")
    with pytest.raises(ValueError) as want_error:
        tovrik_ml.transform(enc, new.values, unknown="error")
    # The same text and row; only the column's name is not in an array's message.
    assert str(got_error.value) == str(want_error.value).replace("column 0", "column 0 ('d')")


PER_SECOND = {"s": 1, "ms": 10**3, "us": 10**6, "ns": 10**9}
# Seconds from the epoch: year 1, leap days, the epoch and either side of it, year 9999's
# last second; with unit "s" also year 10000, which prints by str() alone.
EDGE_SECONDS = [-62_135_596_800, -2_203_891_200, 951_782_400, 951_868_799, -1, 0, 1, 1_709_164_800,
                253_402_300_799]


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
@pytest.mark.parametrize("tz", [None, "UTC"])
def test_date_texts_print_as_timestamps_do(unit, tz):
    # Naive and UTC dates' texts are made from their values, not their
    # Timestamps: every fraction (none, milli-, micro-, nanoseconds) and dates
    # either side of the epoch and at the ends of the years that print so.
    rng = np.random.default_rng(len(unit) + (tz is not None))
    per = PER_SECOND[unit]
    lo, hi = (-9_000_000_000, 9_000_000_000) if unit == "ns" else (-62_135_596_800, 253_402_300_799)
    whole = rng.integers(lo, hi, 300)
    fraction = rng.integers(0, per, 300) if per > 1 else np.zeros(300, dtype=np.int64)
    # Fractions with trailing zeros: whole milli- and microseconds in finer units.
    fraction[::3] -= fraction[::3] % (per // 1000 if per >= 1000 else 1)
    fraction[1::3] -= fraction[1::3] % (per // 10**6 if per >= 10**6 else 1)
    edges = [s for s in EDGE_SECONDS if lo <= s <= hi] + ([253_402_300_800] if unit == "s" else [])
    values = np.concatenate([whole * per + fraction, np.array(edges, dtype=np.int64) * per,
                             np.array(edges, dtype=np.int64) * per + per - 1])
    d = pd.array(pd.DatetimeIndex(values.astype(f"datetime64[{unit}]")))
    if tz is not None:
        d = pd.array(pd.DatetimeIndex(d).tz_localize(tz))
    d[[4, 9]] = pd.NaT
    frame = pd.DataFrame({"d": d, "s": pd.array([f"s{i % 3}" for i in range(len(d))], dtype="string")})
    assert_like_values(frame)
    assert_like_values(frame.iloc[::-1].reset_index(drop=True))


def test_dates_of_a_zone_with_a_fixed_offset_print_as_timestamps_do():
    import datetime

    zone = datetime.timezone(datetime.timedelta(hours=5, minutes=30))
    d = pd.array(pd.DatetimeIndex(pd.to_datetime([0, 1_500_000_000, 10**9], unit="s")).tz_localize("UTC").tz_convert(zone))
    assert_like_values(pd.DataFrame({"d": d, "s": ["a", "b", "c"]}))
