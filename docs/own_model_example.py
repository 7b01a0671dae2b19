"""The README's own-model example: write two CSV files, fit a Pipeline on one, save it.

    python docs/own_model_example.py   # writes patients.csv, holdout.csv and model.skops here

The data is scikit-learn's diabetes table (442 patients) with the sex column
as the labels "f" and "m", split into 300 rows to fit on and 142 to test on.
"""

import pandas as pd
import skops.io as sio
from sklearn.compose import make_column_transformer
from sklearn.datasets import load_diabetes
from sklearn.linear_model import RidgeCV
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import OneHotEncoder, StandardScaler

frame = load_diabetes(as_frame=True, scaled=False).frame.rename(columns={"target": "progression"})
frame["sex"] = frame["sex"].map({1.0: "f", 2.0: "m"})
frame.iloc[:300].to_csv("patients.csv", index=False)
frame.iloc[300:].to_csv("holdout.csv", index=False)

train = pd.read_csv("patients.csv")
X, y = train.drop(columns="progression"), train["progression"]
prep = make_column_transformer((OneHotEncoder(), ["sex"]), remainder=StandardScaler())
model = make_pipeline(prep, RidgeCV()).fit(X, y)
sio.dump(model, "model.skops")
