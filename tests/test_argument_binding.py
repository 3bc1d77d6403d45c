"""Argument binding messages and argument conversion failures of every Encoder method."""

import numpy as np
import pytest

from tovrik import Encoder

X = np.zeros((1, 1))
S = b"\x00" * 5


class Holder:
    class Inner:
        pass


BINDING_FAILURES = [
    ("encode-missing", lambda e: e.encode(), "Encoder.encode() missing 1 required positional argument: 'obj'"),
    ("decode-missing", lambda e: e.decode(), "Encoder.decode() missing 1 required positional argument: 'obj'"),
    ("setstate-missing", lambda e: e.__setstate__(), "Encoder.__setstate__() missing 1 required positional argument: 'state'"),
    ("encode-unbound-missing", lambda e: Encoder.encode(e), "Encoder.encode() missing 1 required positional argument: 'obj'"),
    ("encode-unknown-kw", lambda e: e.encode(X, strategy=1), "Encoder.encode() got an unexpected keyword argument 'strategy'"),
    ("decode-unknown-kw", lambda e: e.decode(X, data=1), "Encoder.decode() got an unexpected keyword argument 'data'"),
    ("setstate-unknown-kw", lambda e: e.__setstate__(S, obj=1), "Encoder.__setstate__() got an unexpected keyword argument 'obj'"),
    ("new-unknown-kw", lambda e: Encoder(strategy="label"), "Encoder.__new__() got an unexpected keyword argument 'strategy'"),
    ("new-unknown-kw-2", lambda e: Encoder(encoding="label", obj=1), "Encoder.__new__() got an unexpected keyword argument 'obj'"),
    ("encode-twice", lambda e: e.encode(X, obj=X), "Encoder.encode() got multiple values for argument 'obj'"),
    ("decode-twice", lambda e: e.decode(X, obj=X), "Encoder.decode() got multiple values for argument 'obj'"),
    ("setstate-twice", lambda e: e.__setstate__(S, state=S), "Encoder.__setstate__() got multiple values for argument 'state'"),
    ("new-twice", lambda e: Encoder("label", encoding="label"), "Encoder.__new__() got multiple values for argument 'encoding'"),
    ("encode-2-pos", lambda e: e.encode(X, X), "Encoder.encode() takes 1 positional arguments but 2 were given"),
    ("encode-3-pos", lambda e: e.encode(X, X, X), "Encoder.encode() takes 1 positional arguments but 3 were given"),
    ("decode-2-pos", lambda e: e.decode(X, X), "Encoder.decode() takes 1 positional arguments but 2 were given"),
    ("setstate-2-pos", lambda e: e.__setstate__(S, S), "Encoder.__setstate__() takes 1 positional arguments but 2 were given"),
    ("new-2-pos", lambda e: Encoder("label", "x"), "Encoder.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    ("new-3-pos", lambda e: Encoder(None, None, None), "Encoder.__new__() takes from 0 to 1 positional arguments but 3 were given"),
    ("getstate-pos", lambda e: e.__getstate__(1), "Encoder.__getstate__() takes no arguments (1 given)"),
    ("getstate-kw", lambda e: e.__getstate__(state=1), "Encoder.__getstate__() takes no keyword arguments"),
]


@pytest.mark.parametrize("call, message", [c[1:] for c in BINDING_FAILURES], ids=[c[0] for c in BINDING_FAILURES])
def test_binding_failures(enc, call, message, has_mapping):
    with pytest.raises(TypeError) as ei:
        call(enc)
    assert type(ei.value) is TypeError
    assert str(ei.value) == message
    assert not getattr(ei.value, "__notes__", None)
    # the failed call took no borrow and stored nothing
    assert enc.encode(obj=X).tolist() == [[0.0]]
    assert has_mapping(enc) is False


def test_keyword_argument_equals_positional(enc, objarr):
    data = objarr([["b", 1.0], ["a", 2.0]])
    assert np.array_equal(enc.encode(obj=data), Encoder().encode(data))
    assert np.array_equal(Encoder().decode(obj=X), Encoder().decode(X))
    codes = enc.encode(data)
    assert enc.decode(obj=codes).tolist() == enc.decode(codes).tolist() == [["b", 1.0], ["a", 2.0]]


WRONG_ENCODING = [
    (1, "'int' object is not an instance of 'str'"),
    (1.5, "'float' object is not an instance of 'str'"),
    (b"label", "'bytes' object is not an instance of 'str'"),
    (["label"], "'list' object is not an instance of 'str'"),
    (Holder.Inner(), "'Holder.Inner' object is not an instance of 'str'"),
    (np.float64(1.0), "'float64' object is not an instance of 'str'"),
]


@pytest.mark.parametrize("as_keyword", [False, True], ids=["positional", "keyword"])
@pytest.mark.parametrize("value, message", WRONG_ENCODING, ids=[m.split("'")[1] for _, m in WRONG_ENCODING])
def test_encoding_of_wrong_type(value, message, as_keyword):
    with pytest.raises(TypeError) as ei:
        Encoder(encoding=value) if as_keyword else Encoder(value)
    assert type(ei.value) is TypeError
    assert str(ei.value) == message
    assert ei.value.__notes__ == ["while processing 'encoding'"]


def test_encoding_with_lone_surrogate():
    with pytest.raises(UnicodeEncodeError) as ei:
        Encoder("lab\ud800el")
    assert str(ei.value) == "'utf-8' codec can't encode character '\\ud800' in position 3: surrogates not allowed"
    assert ei.value.__notes__ == ["while processing 'encoding'"]


@pytest.mark.parametrize(
    "text",
    ["Label", "", " label", "label ", "LABEL", "labels", "onehot", "étiquette", "label\x00", "lab el"],
)
def test_unsupported_strategy(text):
    with pytest.raises(ValueError) as ei:
        Encoder(text)
    assert type(ei.value) is ValueError
    assert str(ei.value) == text + " is not a supported encoding strategy for strings!"
    assert not getattr(ei.value, "__notes__", None)


WRONG_STATE = [
    (None, "'None' is not an instance of 'bytes'"),
    ("abc", "'str' object is not an instance of 'bytes'"),
    (bytearray(S), "'bytearray' object is not an instance of 'bytes'"),
    (memoryview(S), "'memoryview' object is not an instance of 'bytes'"),
    (0, "'int' object is not an instance of 'bytes'"),
    (Holder.Inner(), "'Holder.Inner' object is not an instance of 'bytes'"),
]


@pytest.mark.parametrize("as_keyword", [False, True], ids=["positional", "keyword"])
@pytest.mark.parametrize("value, message", WRONG_STATE, ids=["None", "str", "bytearray", "memoryview", "int", "nested"])
def test_state_of_wrong_type(enc, value, message, as_keyword, objarr, has_mapping):
    enc.encode(objarr([["a"]]))
    with pytest.raises(TypeError) as ei:
        enc.__setstate__(state=value) if as_keyword else enc.__setstate__(value)
    assert type(ei.value) is TypeError
    assert str(ei.value) == message
    assert ei.value.__notes__ == ["while processing 'state'"]
    assert has_mapping(enc) is True
