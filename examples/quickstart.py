"""Encode the Palmer penguins table, show the codes learnt, decode it back, and
code later rows with the mapping learnt on earlier ones."""

import pickle

import numpy as np
from palmerpenguins import load_penguins

import tovrik

penguins = load_penguins()
print(f"penguins: {penguins.shape[0]} rows, columns {list(penguins.columns)}\n")

enc = tovrik.Encoder()
codes = enc.encode(penguins)
print("encoded (text columns now hold codes, every column is float64):")
print(codes.head(8), "\n")

# Codes are 0, 1, 2, ... in ascending byte order of each column's distinct texts.
species = sorted(penguins["species"].dropna().unique())
print("codes learnt for 'species':")
for code, name in enumerate(species):
    assert (codes["species"][penguins["species"] == name] == code).all()
    print(f"  {code} -> {name}")
print(f"missing 'sex' cells encode as NaN: {int(np.isnan(codes['sex']).sum())}\n")

# The learnt mapping survives pickling; decoding turns codes back into strings.
restored = pickle.loads(pickle.dumps(enc))
decoded = restored.decode(codes)
print("decoded by a pickled copy of the encoder:")
print(decoded.head(8))
assert decoded["island"].tolist() == penguins["island"].tolist()

# A mapping learnt on one part of the data codes later data alike: fit on the
# penguins seen in 2007 and 2008, apply to those of 2009.
import tovrik_ml  # noqa: E402

train = penguins[penguins["year"] < 2009]
later = penguins[penguins["year"] == 2009].reset_index(drop=True)
fitted = tovrik.Encoder()
fitted.encode(train)
later_codes = tovrik_ml.transform(fitted, later)
assert later_codes["species"].tolist() == codes["species"][penguins["year"] == 2009].tolist()
print(f"\n2009 penguins coded with the mapping learnt on 2007-2008 ({len(later)} rows):")
print(later_codes.head(4))
