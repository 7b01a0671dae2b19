"""The README's CatBoost example: fit on penguins, save the model in CatBoost's format.

    python docs/catboost_example.py   # writes penguins_train.csv, penguins_holdout.csv, penguins.cbm

The data is the Palmer penguins table (palmerpenguins package) without its
incomplete rows: 333 penguins, split into 233 to fit on and 100 to test on.
"""

import pandas as pd
from catboost import CatBoostClassifier
from palmerpenguins import load_penguins

frame = load_penguins().dropna().sample(frac=1.0, random_state=0).reset_index(drop=True)
frame.iloc[:233].to_csv("penguins_train.csv", index=False)
frame.iloc[233:].to_csv("penguins_holdout.csv", index=False)

train = pd.read_csv("penguins_train.csv")
X, y = train.drop(columns="species"), train["species"]
model = CatBoostClassifier(iterations=200, depth=4, cat_features=["island", "sex"], verbose=0,
                           random_seed=0, allow_writing_files=False).fit(X, y)
model.save_model("penguins.cbm")
