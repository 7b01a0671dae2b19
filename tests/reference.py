import numpy as np
import pandas as pd
from copy import copy
# (the native module binds Tuple, List and Union from typing here)
import plotlane as pln

from korvan.factsheet.base import TestBase
from korvan.factsheet.utils.metric_utils import get_scorer_funcs
from korvan.utils.results import ValidationResult
from korvan.utils.constants import NUMERICAL, CATEGORICAL, REGRESSION, CLASSIFICATION
# The robustness test as plain Python statements, each on the line the native module
# reports a failure of it on, so that both name the same line for the same failure.
class RobustnessTest(TestBase):

    def __init__(self, dataset, model):
        super().__init__(dataset, model)
        self.key = "diagnose_robustness"
    @staticmethod
    def _perturb_normal(X, fidx, noise_level, random_state=0):


        n_samples = X.shape[0]
        rng = np.random.default_rng(random_state)
        data_scale = np.nanstd(X[:, fidx], 0, ddof=1)
        noise = rng.normal(loc=0, scale=noise_level * data_scale, size=(n_samples, 1))
        X[:, [fidx]] = X[:, [fidx]] + noise
        return X
    @staticmethod
    def _perturb_quantile(X, fidx, noise_level, random_state=0):


        n_samples = X.shape[0]
        rng = np.random.default_rng(random_state)


        sorted_X = np.sort(X[:, fidx])
        shuffle_idx = np.arange(n_samples)
        rng.shuffle(shuffle_idx)
        sorted_shuffle_idx = np.argsort(X[shuffle_idx, fidx])
        quantiles = np.zeros((n_samples,))
        quantiles[sorted_shuffle_idx] = np.arange(n_samples) / n_samples


        quantile_noise = quantiles + noise_level * rng.uniform(-0.5, 0.5, size=(n_samples,))
        quantile_noise = np.clip(quantile_noise, quantiles.min(), quantiles.max())


        sorted_shuffle_noise_idx = np.round(quantile_noise * n_samples, 0).astype(int)
        X[shuffle_idx, [fidx]] = sorted_X[sorted_shuffle_noise_idx]
        return X
    @staticmethod
    def _perturb_categorical(X, fidx, noise_level, random_state=0):


        n_samples = X.shape[0]
        rng = np.random.default_rng(random_state)

        noise_proba = min(noise_level, 1.0)
        noise_idx = np.where(rng.choice(2, n_samples, replace=True, p=[1 - noise_proba, noise_proba]))[0]
        X[noise_idx, [fidx]] = rng.choice(X[:, fidx], len(noise_idx), replace=True)
        return X

    def _perturb(self, X, perturb_features, perturb_method, noise_level, random_state=0):

        X_new = copy(X)
        for fn in perturb_features:
            fidx = self.dataset.feature_names.index(fn)
            if self.dataset.feature_types[fidx] == NUMERICAL:
                if perturb_method == "normal":
                    X_new = self._perturb_normal(X=X_new, fidx=fidx, noise_level=noise_level,
                                                 random_state=random_state)


                elif perturb_method == "quantile":
                    X_new = self._perturb_quantile(X=X_new, fidx=fidx, noise_level=noise_level,
                                                   random_state=random_state)


            elif self.dataset.feature_types[fidx] == CATEGORICAL:
                X_new = self._perturb_categorical(X=X_new, fidx=fidx, noise_level=noise_level,
                                                  random_state=random_state)

        return X_new

    def _repeat_perturb_pred(self, X, predict_func, n_repeats, perturb_features, perturb_method,
                             noise_level, random_state):

        prediction_all = []
        for i in range(n_repeats):
            perturb_X = self._perturb(X=X,
                                      perturb_features=perturb_features,
                                      perturb_method=perturb_method,
                                      noise_level=noise_level,
                                      random_state=random_state + i)
            prediction = predict_func(perturb_X)
            prediction_all.append(prediction)
        return np.array(prediction_all).T

    @staticmethod
    def _visualize_robustness(scores, noise_levels, metric):


        options = pln.boxplot(x=noise_levels, y=scores, orient="vertical", outliers=True)

        options.set_xaxis(axis_name="Level of Perturbation", axis_type="category")
        options.set_yaxis(axis_name=metric, axis_type="value")
        options.set_title("Perturbed Model Performance")
        return options.render()

    def run(self, dataset="test", metric=None, n_repeats=10, perturb_features=None,
            perturb_method="normal", noise_levels=0.1, threshold=0.1, random_state=0):
        # The native module converts threshold while it binds the arguments and
        # reports a failure on the line below; then come its type tests (which
        # these statements leave out) and, on the lines that follow, the
        # documentation of run.

        threshold = float(threshold)































        inputs = {"dataset": dataset, "metric": metric, "n_repeats": n_repeats,
                  "noise_levels": noise_levels, "perturb_features": perturb_features,
                  "perturb_method": perturb_method, "random_state": random_state,
                  "threshold": threshold}
        if metric is None:
            if self.dataset.task_type == REGRESSION:
                metric = self.REGRESSION_METRIC_DEFAULT
            elif self.dataset.task_type == CLASSIFICATION:
                metric = self.CLASSIFICATION_METRIC_DEFAULT

        if perturb_features is None:
            perturb_features = self.dataset.feature_names
        elif isinstance(perturb_features, str):
            perturb_features = [perturb_features]

        if isinstance(noise_levels, float):
            noise_levels = [noise_levels]
        # One line before the native module's: its name check shares the line of the loop.
        perturb_features = list(dict.fromkeys(perturb_features))
        for fn in perturb_features:
            if fn is not None: self.dataset.feature_names.index(fn)  # noqa: E701
        score_sign, score_func, predict_func = get_scorer_funcs(self.model, metric)
        X, y, sample_weight = self.dataset.get_X_y_data(dataset=dataset)
        prediction = predict_func(X)

        res_value = {}
        gaps = {}
        scores_all = [np.array([
            score_func(y=y, prediction=prediction, sample_weight=sample_weight)] * n_repeats)]
        noise_levels_all = [np.array([0.0] * n_repeats)]
        for noise_level in noise_levels:
            prediction_all = self._repeat_perturb_pred(
                X=X, predict_func=predict_func,
                n_repeats=n_repeats,
                perturb_features=perturb_features,
                perturb_method=perturb_method,
                noise_level=noise_level,
                random_state=random_state)
            gaps[noise_level] = np.array([abs(prediction_all[:, i].ravel() - prediction.ravel())
                                          for i in range(n_repeats)]).mean(axis=0)
            res_value[noise_level] = {"Pred %d" % i: prediction_all[:, i].tolist() for i in range(n_repeats)}
            scores_all.append(np.array([score_func(y=y, prediction=prediction_all[:, i], sample_weight=sample_weight)
                                        for i in range(n_repeats)]))
            noise_levels_all.append(np.array([noise_level] * n_repeats))
        # The native module takes the ranking and the cut as one statement, on one line.
        ranking = np.argsort(gaps[noise_levels[0]])[::-1]; worst_idx = ranking[:int(threshold * prediction.shape[0])]  # noqa: E702
        others_idx = ranking[int(threshold * prediction.shape[0]):]
        res_value["data_info"] = {"dataset1": dataset,
                                  "dataset2": dataset,
                                  "sample_idx1": worst_idx.tolist(),
                                  "sample_idx2": others_idx.tolist(),
                                  "name1": "Worst", "name2": "Remaining"}


        res_table = pd.DataFrame(scores_all).T
        res_table.columns = np.array(noise_levels_all)[:, 0].tolist()
        res_table = res_table.rename_axis("Repeats").rename_axis("Noise Level", axis="columns")

        options = self._visualize_robustness(scores=np.array(scores_all).ravel(),
                                             noise_levels=np.array(noise_levels_all).ravel(),
                                             metric=metric)
        return ValidationResult(key=self.key,
                                data=self.dataset.name,
                                model=self.model.name,
                                inputs=inputs, value=res_value, table=res_table, options=options)
