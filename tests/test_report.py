"""The HTML report: its content read back with an HTML5 parser, escaping, notebook display."""

import json
import math
import re

import html5lib
import numpy as np
import pandas as pd
import pytest
from sklearn.linear_model import LinearRegression

from conftest import fitted_run
from korvan.data import DataSet
from korvan.models import wrap_model
from korvan.report.worst_group import describe_worst_group
from korvan.utils.constants import CATEGORICAL, NUMERICAL

SVG = "{http://www.w3.org/2000/svg}"
NO_FETCH = re.compile(r"https?:|//[a-z0-9]", re.I)


def parse(page):
    # The parser browsers follow: SVG elements land in the SVG namespace.
    return html5lib.parse(page, namespaceHTMLElements=False)


def local(tag):
    return tag.rsplit("}", 1)[-1] if isinstance(tag, str) else ""


def text_of(element):
    return "".join(element.itertext())


def table_rows(root, table_id):
    (table,) = [t for t in root.iter("table") if t.get("id") == table_id]
    return [list(tr) for tr in table.find("tbody").iter("tr")]


def assert_inert(root, page):
    """Nothing in the page runs or fetches: no scripts, handlers, embeds or links out."""
    for el in root.iter():
        assert local(el.tag) not in {"script", "iframe", "object", "embed", "link", "img", "base"}
        for name, value in el.attrib.items():
            assert not local(name).lower().startswith("on"), (el.tag, name)
            if local(name) in {"href", "src", "action", "xlink:href"}:
                assert value.startswith("#"), (el.tag, name, value)
    assert not NO_FETCH.search(page)


@pytest.fixture(params=["demo_run", "mixed_run"])
def report(request):
    result, ds, found = request.getfixturevalue(request.param)
    page = result.to_html(ds, sweep=found)
    return result, ds, found, page, parse(page)


def test_report_holds_the_results_numbers_and_nothing_active(report):
    result, ds, found, page, root = report
    assert len(page.encode()) < 1_000_000
    assert_inert(root, page)

    svgs = [el for el in root.iter() if el.tag == SVG + "svg"]
    # Each chart twice: a wide drawing and a narrow one for phones.
    assert len(svgs) == (2 if found is None else 4) and all(s.get("viewBox") for s in svgs)
    assert sorted(s.get("class") for s in svgs) == sorted(["wide", "narrow"] * (len(svgs) // 2))
    ids = [el.get("id") for el in root.iter() if el.get("id")]
    assert len(ids) == len(set(ids))
    refs = {v[1:] for el in root.iter() for k, v in el.attrib.items() if local(k) == "href"}
    refs |= {m for el in root.iter() for v in el.attrib.values() for m in re.findall(r"url\(#([^)]+)\)", v)}
    assert refs and refs <= set(ids)

    # Every score of every repeat, exactly, and as printed.
    rows = table_rows(root, "repeats-table")
    assert [r[0].text for r in rows] == [str(i) for i in result.table.index]
    shown = np.array([[float(c.get("data-value")) for c in r[1:]] for r in rows])
    np.testing.assert_array_equal(shown, result.table.to_numpy())
    # As printed: fixed point with the same places down the table, thousands separated.
    printed = [c.text for r in rows for c in r[1:]]
    places = {len(t.partition(".")[2]) for t in printed}
    assert len(places) == 1 and not any("e" in t for t in printed)
    np.testing.assert_allclose([float(t.replace(",", "")) for t in printed], shown.ravel(),
                               rtol=0, atol=0.5 * 10.0 ** -places.pop())

    # The summary as the statistics module computed it, the largest drop shaded darkest.
    summary = result.summary
    rows = table_rows(root, "summary-table")
    assert [float(r[1].get("data-value")) for r in rows] == summary["mean"].tolist()
    drops = [float(r[5].get("data-value")) for r in rows[1:]]
    assert drops == summary["rel_drop"].iloc[1:].tolist()
    shades = [float(r[5].get("style", "--shade: 0").split(":")[1]) for r in rows[1:]]
    assert shades[int(np.argmax(np.abs(drops)))] == 1.0 and min(shades) < 1.0

    # The worst rows by their original labels, in the result's order.
    info = result.value["data_info"]
    labels = ds.get_index(result.inputs["dataset"])[info["sample_idx1"][:25]]
    assert [r[0].text for r in table_rows(root, "worst-rows")] == [str(v) for v in labels]
    (intro,) = [p for p in root.iter("p") if "whose predictions move most" in text_of(p)]
    assert text_of(intro).startswith(f"{len(info['sample_idx1'])} of {len(labels) and ds.get_index(result.inputs['dataset']).size} rows")

    if found is not None:
        # The sweep's ranking, in its order, with its relative drops at every level.
        rows = table_rows(root, "sweep-table")
        assert [r[1].text for r in rows] == list(found.table.index)
        drops = [[float(c.get("data-value")) for c in r[3:3 + len(found.levels)]] for r in rows]
        np.testing.assert_array_equal(drops, found.table[[f"drop@{v:g}" for v in found.levels]])

    facts = dict(zip((text_of(d) for d in root.iter("dt")), (text_of(d) for d in root.iter("dd"))))
    better = "lower" if facts["Metric"].startswith("MSE") else "higher"
    assert facts["Metric"].endswith(f"({better} is better)")
    assert facts["Model"] == result.model and facts["Data set"] == result.data


@pytest.mark.parametrize("max_drop, level, passed", [
    (None, None, None), (0.5, None, True), (0.1, None, False), (0.1, 0.2, True)])
def test_verdict_line(demo_run, max_drop, level, passed):
    result, _, _ = demo_run
    root = parse(result.to_html(max_drop=max_drop, level=level))
    lines = [p for p in root.iter("p") if "verdict" in p.get("class", "").split()]
    if passed is None:
        assert lines == []
        return
    (line,) = lines
    assert text_of(line) == result.check(max_drop, level=level).message
    assert text_of(line).startswith("PASS" if passed else "FAIL")
    assert line.get("class").split()[-1] == ("pass" if passed else "fail")


def test_worst_group_rows_shown_are_capped(demo_run):
    result, ds, _ = demo_run
    n_worst = len(result.value["data_info"]["sample_idx1"])
    for top in (0, 5, 1000):
        root = parse(result.to_html(ds, top_rows=top))
        assert len(table_rows(root, "worst-rows")) == min(top, n_worst)
    assert "worst-rows" not in result.to_html()   # without the data set: no rows to show


def test_worst_group_description_by_hand():
    X = np.array([[1, 0], [3, 1], [5, 1], [7, np.nan], [9, 0], [np.nan, 0]])
    numerical, categorical = describe_worst_group(
        X, worst=np.array([1, 2]), rest=np.array([0, 3, 4, 5]), feature_names=["n", "c"],
        feature_types=[NUMERICAL, CATEGORICAL], categories={"c": ["a", "b"]})
    (n,) = numerical
    assert (n.worst_mean, n.rest_mean) == (4.0, 17 / 3)
    assert n.worst_std == pytest.approx(math.sqrt(2)) and n.rest_std == pytest.approx(np.std([1, 7, 9], ddof=1))
    assert n.shift == pytest.approx((4 - 17 / 3) / np.std([1, 3, 5, 7, 9], ddof=1))
    (c,) = categorical
    # "b" is in every worst row and no other; "a" and the missing value are under-represented.
    assert c.categories == (("b", 1.0, 0.0),) and c.excess == 1.0


HOSTILE = "<script>alert(1)</script><img src=x onerror=alert(1)>\"'&amp;"


def hostile_run(place):
    rng = np.random.default_rng(1)
    n = 80
    column = HOSTILE if place == "column name" else "x2"
    cats = [HOSTILE + " A", HOSTILE + " B"] if place == "category value" else ["A", "B"]
    frame = pd.DataFrame({"x1": rng.normal(size=n), column: rng.choice(cats, size=n)})
    frame["y"] = frame["x1"] * 2 + (frame[column] == cats[0]) + rng.normal(scale=0.1, size=n)
    ds = DataSet(frame, "y", feature_types={column: CATEGORICAL},
                 name=HOSTILE if place == "data name" else "plain")
    estimator = LinearRegression()
    result = fitted_run(ds, estimator, n_repeats=2, noise_levels=[0.5], threshold=0.5)
    if place == "model name":
        from korvan.factsheet.diagnose.robustness import RobustnessTest

        model = wrap_model(estimator, name=HOSTILE)
        result = RobustnessTest(ds, model).run(n_repeats=2, noise_levels=[0.5], threshold=0.5)
    return result, ds


@pytest.mark.parametrize("place", ["column name", "category value", "model name", "data name"])
def test_text_from_the_data_is_shown_as_text(place):
    result, ds = hostile_run(place)
    for page in (result.to_html(ds), result._repr_html_()):
        root = parse(page)
        assert_inert(root, page)
        assert "<script>" not in page
    assert HOSTILE in text_of(parse(result.to_html(ds)))


@pytest.mark.parametrize("shown", ["result", "sweep"])
def test_notebook_display_through_ipython(mixed_run, shown):
    from IPython.core.formatters import DisplayFormatter

    result, _, found = mixed_run
    obj = result if shown == "result" else found
    data, _ = DisplayFormatter().format(obj)
    assert data["text/plain"] == repr(obj)
    page = data["text/html"]
    root = parse(page)
    assert_inert(root, page)
    # Compact: the summary and charts, not the worst rows or every repeat.
    tables = {t.get("id") for t in root.iter("table")}
    assert {"summary-table", "sweep-table" if obj is found else "summary-table"} <= tables
    assert not tables & {"repeats-table", "worst-rows"}
    assert len([el for el in root.iter() if el.tag == SVG + "svg"]) == (2 if obj is found else 1)
    payload = json.loads(json.dumps(data["application/json"], allow_nan=False))
    if obj is found:
        assert [r[0] for r in payload["table"]["data"]] == list(found.table.index)
    else:
        np.testing.assert_array_equal(np.array(payload["table"]["data"]), result.table.to_numpy())
        assert payload["summary"]["data"]["mean"] == result.summary["mean"].tolist()

    only, _ = DisplayFormatter().format(obj, include={"text/html"})
    assert set(only) == {"text/html"}


@pytest.mark.parametrize("extra", [[], ["--no-html"], ["--per-feature", "--max-drop", "0.001"]])
def test_command_writes_the_report_beside_chart_and_result(tmp_path, capsys, extra):
    from conftest import mixed_frame
    from korvan import cli

    csv = tmp_path / "mixed.csv"
    mixed_frame(n=150).to_csv(csv)
    out = tmp_path / "out"
    argv = [str(csv), "--target", "label", "--drop", "id", "--n-repeats", "2",
            "--noise-levels", "0.3", "--output", str(out)] + extra
    status = cli.main(argv)
    printed = capsys.readouterr().out
    report = out / "report.html"
    assert status == (1 if "--max-drop" in extra else 0)
    assert report.exists() is (str(report) in printed) is ("--no-html" not in extra)
    if "--no-html" in extra:
        return
    page = report.read_text(encoding="utf-8")
    root = parse(page)
    assert_inert(root, page)
    # The command hands the report its model, so the worst rows show their gap.
    (head,) = [t.find("thead") for t in root.iter("table") if t.get("id") == "worst-rows"]
    assert [th.text for th in head.iter("th")][2:5] == ["gap", "baseline prediction", "label"]
    tables = {t.get("id") for t in root.iter("table")}
    assert ("sweep-table" in tables) is ("--per-feature" in extra)
    verdicts = [text_of(p) for p in root.iter("p") if "verdict" in p.get("class", "").split()]
    # The same verdict as the command's last line.
    assert verdicts == ([printed.rstrip().splitlines()[-1]] if "--max-drop" in extra else [])


@pytest.mark.parametrize("value", [1e-3, 0.0123456, -0.5, 1.0, 42.0, 2.652e5, -7.5e6, 123456789.0,
                                   9.99e8])
def test_ordinary_magnitudes_print_without_e_notation(value):
    import plotlane
    from plotlane.draw import number, tick
    from korvan.report.tables import fmt

    for shown in (fmt(value), number(value), tick(value, abs(value))):
        assert "e" not in shown and float(shown.rstrip("kMB").replace(",", "")) != 0
    assert float(fmt(value).replace(",", "")) == pytest.approx(value, rel=1e-5)
    assert plotlane.draw.number(value) == number(value)


@pytest.mark.parametrize("values, places", [
    ([3768.16, 3805.48, 3846.8], 0),         # four significant digits of the largest
    ([0.99120, 0.99080, 0.9871], 4),         # the smallest gap (0.0004) still shows
    ([265213.4, 265213.9], 1),
    ([1e-5, 2e-5], None),                   # below the plain range: scientific notation
])
def test_column_places(values, places):
    from korvan.report.tables import decimals_for

    assert decimals_for(values) == places
