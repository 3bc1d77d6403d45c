"""The scikit-learn estimator: scikit-learn's own checks, and fit on training
data / transform on new data coded alike inside pipelines."""

import pickle

import numpy as np
import pandas as pd
import pytest

sklearn = pytest.importorskip("sklearn")

from sklearn.base import clone  # noqa: E402
from sklearn.compose import ColumnTransformer  # noqa: E402
from sklearn.exceptions import NotFittedError  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.tree import DecisionTreeClassifier  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

import tovrik  # noqa: E402
from tovrik_ml import TovrikEncoder  # noqa: E402


@parametrize_with_checks([TovrikEncoder(), TovrikEncoder(handle_unknown="error")])
def test_scikit_learn_estimator_checks(estimator, check):
    check(estimator)


TRAIN = pd.DataFrame({"colour": ["red", "blue", "red", "green"], "size": [1.0, 2.0, 3.0, 4.0]})
Y = [1, 0, 1, 0]


def test_new_data_is_coded_as_the_training_data_was():
    # Fitted on blue/green/red (codes 0, 1, 2): red must stay 2 in a frame
    # that holds only red and green.
    model = make_pipeline(TovrikEncoder(), DecisionTreeClassifier(random_state=0)).fit(TRAIN, Y)
    new = pd.DataFrame({"colour": ["red", "green"], "size": [1.0, 2.0]})
    assert model.predict(new).tolist() == [1, 0]
    assert model[0].transform(new)["colour"].tolist() == [2.0, 1.0]


def test_fit_transform_equals_fit_then_transform_and_encode():
    enc = TovrikEncoder()
    once = enc.fit_transform(TRAIN)
    pd.testing.assert_frame_equal(once, TovrikEncoder().fit(TRAIN).transform(TRAIN))
    pd.testing.assert_frame_equal(once, tovrik.Encoder().encode(TRAIN))
    shifted = TRAIN.set_axis([5, 6, 7, 8])  # results keep the input's index
    assert TovrikEncoder().fit_transform(shifted).index.tolist() == [5, 6, 7, 8]
    assert enc.encoded_columns_.tolist() == [0]
    assert enc.n_features_in_ == 2 and enc.feature_names_in_.tolist() == ["colour", "size"]


class Counted:
    """A cell that counts how often its text is taken."""

    calls = 0

    def __init__(self, text):
        self.text = text

    def __str__(self):
        Counted.calls += 1
        return self.text


def test_fit_transform_reads_every_cell_once():
    cells = np.array([[Counted(t)] for t in ["a", "b", "a", "c"]], dtype=object)
    Counted.calls = 0
    TovrikEncoder().fit_transform(cells)
    assert Counted.calls == 4
    Counted.calls = 0
    TovrikEncoder().fit(cells).transform(cells)
    assert Counted.calls == 8


@pytest.mark.parametrize("handle_unknown, ok", [("use_nan", True), ("error", False)])
def test_handle_unknown(handle_unknown, ok):
    enc = TovrikEncoder(handle_unknown=handle_unknown).fit(TRAIN)
    new = pd.DataFrame({"colour": ["pink"], "size": [1.0]})
    if ok:
        assert np.isnan(enc.transform(new)["colour"][0])
    else:
        with pytest.raises(ValueError, match="'pink'"):
            enc.transform(new)


@pytest.mark.parametrize("bad", ["ignore", None])
def test_bad_handle_unknown_is_refused_at_fit(bad):
    enc = TovrikEncoder(handle_unknown=bad)  # no check before fit, as scikit-learn asks
    with pytest.raises(ValueError, match="handle_unknown should be one of"):
        enc.fit(TRAIN)


def test_inverse_transform_gives_the_texts_back():
    enc = TovrikEncoder().fit(TRAIN)
    back = enc.inverse_transform(enc.transform(TRAIN))
    assert back["colour"].tolist() == TRAIN["colour"].tolist()
    arr = TRAIN.to_numpy()
    enc = TovrikEncoder().fit(arr)
    assert enc.inverse_transform(enc.transform(arr))[:, 0].tolist() == ["red", "blue", "red", "green"]


@pytest.mark.filterwarnings("ignore:X does not have valid feature names")
def test_feature_names_are_checked_on_transform():
    enc = TovrikEncoder().fit(TRAIN)
    assert enc.get_feature_names_out().tolist() == ["colour", "size"]
    with pytest.raises(ValueError, match="The feature names should match"):
        enc.transform(TRAIN.rename(columns={"size": "weight"}))
    with pytest.raises(ValueError, match="X has 1 features, but TovrikEncoder is expecting 2"):
        enc.transform(TRAIN[["colour"]].to_numpy())
    with pytest.raises(NotFittedError):
        TovrikEncoder().transform(TRAIN)


def test_set_output_pandas_keeps_the_index():
    with_index = ColumnTransformer([("codes", TovrikEncoder(), ["colour"])], remainder="passthrough")
    with_index.set_output(transform="pandas")
    out = with_index.fit_transform(TRAIN.set_axis([3, 1, 2, 0]))
    assert out.index.tolist() == [3, 1, 2, 0] and out["codes__colour"].tolist() == [2.0, 0.0, 2.0, 1.0]
    frame = TRAIN.set_axis([10, 11, 12, 13])
    out = TovrikEncoder().set_output(transform="pandas").fit(frame).transform(frame)
    assert out.index.tolist() == [10, 11, 12, 13] and out.columns.tolist() == ["colour", "size"]
    arr_out = TovrikEncoder().set_output(transform="pandas").fit_transform(TRAIN.to_numpy())
    assert arr_out.columns.tolist() == ["x0", "x1"] and arr_out["x0"].tolist() == [2.0, 0.0, 2.0, 1.0]


def test_set_output_polars():
    pl = pytest.importorskip("polars")
    out = TovrikEncoder().set_output(transform="polars").fit(TRAIN).transform(TRAIN)
    assert isinstance(out, pl.DataFrame)
    assert out.columns == ["colour", "size"] and out["colour"].to_list() == [2.0, 0.0, 2.0, 1.0]


def test_polars_input():
    pl = pytest.importorskip("polars")
    pytest.importorskip("pyarrow")
    out = TovrikEncoder().fit_transform(pl.from_pandas(TRAIN))
    assert out["colour"].tolist() == [2.0, 0.0, 2.0, 1.0]


def test_in_a_column_transformer():
    ct = ColumnTransformer([("codes", TovrikEncoder(), ["colour"])], remainder="passthrough")
    out = ct.fit_transform(TRAIN)
    assert out.tolist() == [[2.0, 1.0], [0.0, 2.0], [2.0, 3.0], [1.0, 4.0]]
    new = pd.DataFrame({"colour": ["green"], "size": [9.0]})
    assert ct.transform(new).tolist() == [[1.0, 9.0]]
    assert ct.get_feature_names_out().tolist() == ["codes__colour", "remainder__size"]


def test_pickle_and_clone():
    enc = TovrikEncoder(handle_unknown="error").fit(TRAIN)
    restored = pickle.loads(pickle.dumps(enc))
    pd.testing.assert_frame_equal(restored.transform(TRAIN), enc.transform(TRAIN))
    assert restored.encoder_.__getstate__() == enc.encoder_.__getstate__()
    fresh = clone(enc)
    assert fresh.get_params() == {"handle_unknown": "error"} and not hasattr(fresh, "encoder_")


@pytest.mark.parametrize("X, message", [
    (np.array(["a", "b"], dtype=object), "Reshape your data"),
    (np.ones((2, 2), dtype=complex), "Complex data not supported"),
    (np.empty((0, 2), dtype=object), r"0 sample\(s\)"),
])
def test_inputs_refused_at_fit(X, message):
    with pytest.raises(ValueError, match=message):
        TovrikEncoder().fit(X)


def test_lists_of_texts_keep_their_cells():
    out = TovrikEncoder().fit_transform([["b", 1.0], ["a", 2.0]])
    assert out.tolist() == [[1.0, 1.0], [0.0, 2.0]]
