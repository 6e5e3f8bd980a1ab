"""Maps: shapes read and refused, units joined to them, projections and
simplification, the report's maps and the explorer's map in a browser."""

from __future__ import annotations

import json
import math
import os
import re
import sys
import types
from pathlib import Path

import _chromium
import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

import indexfuse
import indexfuse_tools
from indexfuse_tools import GeometryError, read_geometry
from indexfuse_tools._geo import place
from indexfuse_tools._geo.classes import change_classes, quantile_classes
from indexfuse_tools._geo.project import albers, equal_earth
from indexfuse_tools._geo.simplify import simplify_rings

SCHEMA = {
    "safety": [("violent", -1), ("murder", -1)],
    "opportunity": {"education": ["hs_grad"], ("hardship", -1): ["poverty", "single"]},
}
CHROMIUM = _chromium.find()
SCREENSHOTS = Path(os.environ.get("INDEXFUSE_SCREENSHOTS", "/tmp/maps"))
HOSTILE = "<img src=x onerror=alert(1)>\u202eOhio"


def square(x: float, y: float, size: float = 1.0) -> list[list[float]]:
    return [[x, y], [x + size, y], [x + size, y + size], [x, y + size], [x, y]]


def feature(name, coordinates, kind="Polygon", **more):
    return {"type": "Feature", "properties": {"name": name, **more}, "geometry": {"type": kind, "coordinates": coordinates}}


def collection(*features) -> dict:
    return {"type": "FeatureCollection", "features": list(features)}


def grid_geojson(rows: int, columns: int) -> dict:
    """A grid of squares one degree wide over Kansas, named r<row>c<column>."""
    return collection(*[
        feature(f"r{r}c{c}", [square(-100 + c, 37 + r)], code=f"{r * columns + c:05d}")
        for r in range(rows) for c in range(columns)
    ])  # fmt: skip


@pytest.fixture(scope="module")
def statecrime():
    data = sm.datasets.statecrime.load_pandas().data
    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(data)
    return model, data


# ------------------------------------------------------------- reading --


def test_topojson_decodes_to_the_shapes_its_geojson_holds(tmp_path):
    # Two squares sharing an edge, the shared arc walked backwards by the second, quantised with a transform.
    topology = {
        "type": "Topology",
        "transform": {"scale": [0.5, 0.5], "translate": [10.0, 20.0]},
        "objects": {"units": {"type": "GeometryCollection", "geometries": [
            {"type": "Polygon", "arcs": [[0, 1]], "properties": {"name": "west"}},
            {"type": "Polygon", "arcs": [[2, ~0]], "properties": {"name": "east"}, "id": 7},
        ]}},
        "arcs": [[[2, 0], [0, 2]], [[2, 2], [-2, 0], [0, -2], [2, 0]], [[2, 2], [2, 0], [0, -2], [-2, 0]]],
    }  # fmt: skip
    (tmp_path / "two.topojson").write_text(json.dumps(topology))
    shapes = read_geometry(tmp_path / "two.topojson").shapes
    west = {tuple(p) for p in shapes[0].polygons[0][0].tolist()}
    east = {tuple(p) for p in shapes[1].polygons[0][0].tolist()}
    assert west == {(11.0, 20.0), (11.0, 21.0), (10.0, 21.0), (10.0, 20.0)}
    assert east == {(11.0, 20.0), (11.0, 21.0), (12.0, 21.0), (12.0, 20.0)}
    assert shapes[1].feature_id == "7" and shapes[0].properties == {"name": "west"}


@pytest.mark.parametrize(
    "document, message",
    [
        (collection({"type": "Feature", "properties": {"name": "Nowhere"}, "geometry": None}),
         r"feature 0 \(name 'Nowhere'\): the feature has no geometry"),
        (collection(feature("Empty", [], kind="MultiPolygon")), r"feature 0 \(name 'Empty'\): the geometry is empty"),
        (collection(feature("Road", [[0, 0], [1, 1]], kind="LineString")), r"'Road'\): a LineString is a line"),
        (collection(feature("A", [square(0, 0)]), feature("Sliver", [[[0, 0], [1, 1], [0, 0]]])),
         r"feature 1 \(name 'Sliver'\): a ring needs at least three distinct corners"),
        (collection(feature("Metres", [square(512000, 4100000, 1000)])),
         r"'Metres'\): the position \(512000, 4\.1e\+06\) is not a longitude and latitude"),
        ({**collection(feature("A", [square(0, 0)])), "crs": {"type": "name", "properties": {"name": "EPSG:3857"}}},
         r"coordinates are in 'EPSG:3857', not longitude and latitude"),
        (collection(feature("Text", [[["a", "b"], [1, 1], [2, 2], ["a", "b"]]])), r"'Text'\): a ring must be a list"),
        ({"type": "Topology", "objects": {"a": {}, "b": {}}, "arcs": []}, r"holds the objects 'a', 'b'; name one"),
        ({"type": "Polygon", "coordinates": []}, r"expected a GeoJSON FeatureCollection"),
    ],
    ids=["null", "empty", "line", "degenerate ring", "projected", "projected crs", "text", "layers", "bare"],
)  # fmt: skip
def test_bad_geometry_is_refused_naming_the_file_and_the_feature(tmp_path, document, message):
    path = tmp_path / "bad.geojson"
    path.write_text(json.dumps(document))
    with pytest.raises(GeometryError, match=message) as caught:
        read_geometry(path)
    assert str(path) in str(caught.value)


def test_a_file_over_the_limit_and_an_unknown_name_are_refused(tmp_path, monkeypatch):
    from indexfuse_tools._geo import read

    path = tmp_path / "big.geojson"
    path.write_text(json.dumps(grid_geojson(2, 2)))
    monkeypatch.setattr(read, "MAX_GEOMETRY_BYTES", 100)
    with pytest.raises(GeometryError, match=r"big.geojson: the geometry file holds .* MiB, more than"):
        read_geometry(path)
    with pytest.raises(GeometryError, match=r"'atlantis': no such file, and no bundled set .*world, us-states"):
        read_geometry("atlantis")


def test_shapefiles_and_geodataframes_come_in_through_geopandas_reprojected(tmp_path):
    geopandas = pytest.importorskip("geopandas")
    frame = geopandas.GeoDataFrame.from_features(grid_geojson(2, 2)["features"], crs=4326)
    frame.to_crs(3857).to_file(tmp_path / "grid.shp")
    for source in (tmp_path / "grid.shp", frame.to_crs(5070)):
        shapes = read_geometry(source).shapes
        assert [s.properties["name"] for s in shapes] == ["r0c0", "r0c1", "r1c0", "r1c1"]
        np.testing.assert_allclose(shapes[0].polygons[0][0].min(axis=0), [-100.0, 37.0], atol=1e-6)


def test_without_geopandas_a_shapefile_says_which_extra_to_install(tmp_path, monkeypatch):
    (tmp_path / "x.shp").write_bytes(b"\0" * 100)
    monkeypatch.setitem(sys.modules, "geopandas", None)
    with pytest.raises(ImportError, match=r"pip install geopandas \(or indexfuse\[maps\]\)"):
        read_geometry(tmp_path / "x.shp")


# --------------------------------------------------------------- keys --


@pytest.mark.parametrize(
    "geometry, label, expected",
    [
        ("world", "Congo, Dem. Rep.", "COD"), ("world", "Korea, Rep.", "KOR"), ("world", "Hong Kong, China", "HKG"),
        ("world", "Cote d'Ivoire", "CIV"), ("world", "Bahamas, The", "BHS"), ("world", 4, "AFG"),
        ("world", "004", "AFG"), ("world", "XKX", "KOS"), ("world", "Tuvalu", "TUV"),
        ("us-states", 1, "01"), ("us-states", "AK", "02"), ("us-states", "District of Columbia", "11"),
        ("us-counties", 1001, "01001"), ("us-counties", "Autauga, AL", "01001"),
        ("us-counties", "Orleans Parish, Louisiana", "22071"),
    ],
)  # fmt: skip
def test_bundled_sets_match_codes_names_and_aliases(geometry, label, expected):
    table = pd.DataFrame({"x": [1.0, 2.0]}, index=[label, "Utopia"])
    placed = place(geometry, None, table, table.index, "test")
    shape = placed.geometry.shapes[int(np.flatnonzero(placed.joined.unit_of_shape == 0)[0])]
    assert expected in (shape.properties.get("iso_a3"), shape.properties.get("fips"))
    assert placed.joined.units_without_shape == ["Utopia"]


def test_every_un_member_state_is_in_the_world_set():
    codes = {shape.properties["iso_a3"] for shape in read_geometry("world").shapes}
    assert len(codes) == 242 and {"TUV", "NRU", "MCO", "VAT", "SMR", "LIE", "SGP", "MDV", "SSD", "PSE"} <= codes


def test_a_file_joins_on_the_property_matching_most_units_and_lists_what_is_left(tmp_path):
    (tmp_path / "grid.geojson").write_text(json.dumps(grid_geojson(2, 3)))
    table = pd.DataFrame({"x": [1.0, 2.0, 3.0], "code": [0, 4, 99]}, index=["r0c0", "r1c1", "lost"])
    placed = place(tmp_path / "grid.geojson", None, table, table.index, "test")
    assert placed.joined.units_without_shape == ["lost"] and "'name'" in placed.joined.how
    assert placed.joined.shapes_without_unit == ["r0c1", "r0c2", "r1c0", "r1c2"]
    by_code = place(tmp_path / "grid.geojson", ("code", "code"), table, table.index, "test")
    assert by_code.joined.unit_of_shape.tolist() == [0, -1, -1, -1, 1, -1]  # 4 finds "00004"


@pytest.mark.parametrize(
    "key, index, error, message",
    [
        (("code", "name"), ["a", "b"], ValueError, r"the column 'code' repeats the key 'r0c0'"),
        (None, ["r0c0", "R0C0"], ValueError, r"repeats the key 'R0C0'"),
        ("nothing", ["a", "b"], GeometryError, r"no property 'nothing'; they have 'name', 'code'"),
        (("absent", "name"), ["a", "b"], KeyError, r"names the column 'absent'"),
        (["name"], ["a", "b"], TypeError, r"key must be the shapes' property"),
    ],
    ids=["repeated column", "repeated after folding", "no such property", "no such column", "wrong type"],
)  # fmt: skip
def test_keys_that_cannot_join_say_why(tmp_path, key, index, error, message):
    (tmp_path / "grid.geojson").write_text(json.dumps(grid_geojson(1, 2)))
    table = pd.DataFrame({"code": ["r0c0", "r0c0"]}, index=index)
    with pytest.raises(error, match=message):
        place(tmp_path / "grid.geojson", key, table, table.index, "test")


def test_two_shapes_with_one_key_are_refused_naming_both(tmp_path):
    (tmp_path / "twice.geojson").write_text(json.dumps(collection(feature("A", [square(0, 0)]), feature("A", [square(2, 0)]))))
    table = pd.DataFrame({"x": [1.0]}, index=["A"])
    with pytest.raises(GeometryError, match=r"feature 0 \(name 'A'\) and .*feature 1 \(name 'A'\): both have the name"):
        place(tmp_path / "twice.geojson", "name", table, table.index, "test")


# ---------------------------------------------- projection and drawing --


@pytest.mark.parametrize(
    "project",
    [lambda p: equal_earth(p), lambda p: albers(p, (29.5, 45.5), (-96.0, 37.5))],
    ids=["Equal Earth", "Albers"],
)
def test_projections_keep_areas(project):
    # Cells of 0.1 degree at 10 and 60 degrees north: their areas on the sphere are in the ratio of
    # sin(lat + 0.1) - sin(lat), and an equal-area projection keeps it.
    from indexfuse_tools._geo.shapes import ring_area

    def area(lat: float) -> float:
        cell = np.array([[-90.0, lat], [-89.9, lat], [-89.9, lat + 0.1], [-90.0, lat + 0.1]])
        return abs(ring_area(project(cell)))

    expected = (math.sin(math.radians(60.1)) - math.sin(math.radians(60))) / (
        math.sin(math.radians(10.1)) - math.sin(math.radians(10))
    )
    assert area(60.0) / area(10.0) == pytest.approx(expected, rel=1e-4)


@pytest.mark.parametrize("tolerance", [0.0, 0.01, 0.3])
def test_simplification_strays_no_further_than_its_tolerance(tolerance):
    rng = np.random.default_rng(3)
    angles = np.sort(rng.uniform(0, 2 * np.pi, 400))
    ring = np.column_stack([np.cos(angles), np.sin(angles)]) * (1 + 0.05 * rng.normal(size=(400, 1)))
    kept = simplify_rings([ring, ring[:3]], tolerance)
    assert len(kept[1]) == 3
    if tolerance == 0:
        np.testing.assert_array_equal(kept[0], ring)
        return
    closed = np.vstack([kept[0], kept[0][:1]])
    a, b = closed[:-1], closed[1:]
    # Each original point is within the tolerance of the simplified ring (a little slack for the
    # distance to a segment's line versus to the segment).
    ab = b - a
    t = np.clip(np.einsum("ijk,jk->ij", ring[:, None, :] - a[None], ab) / np.einsum("jk,jk->j", ab, ab), 0, 1)
    nearest = a[None] + t[..., None] * ab[None]
    assert np.hypot(*(ring[:, None, :] - nearest).transpose(2, 0, 1)).min(axis=1).max() <= tolerance * 1.0001
    assert 3 <= len(kept[0]) < len(ring)


def test_the_us_sets_inset_alaska_hawaii_and_puerto_rico_and_tiny_places_get_a_dot():
    states = read_geometry("us-states")
    drawn = states.drawn
    assert "Alaska, Hawaii and Puerto Rico drawn apart" in drawn.note
    for polygons in drawn.polygons:  # every shape on the map's page
        for polygon in polygons:
            assert polygon[0].min() >= 0 and polygon[0][:, 0].max() <= drawn.width and polygon[0][:, 1].max() <= drawn.height
    world = read_geometry("world")
    dotted = {s.properties["iso_a3"] for s, dot in zip(world.shapes, world.drawn.dots) if dot is not None}
    assert {"TUV", "VAT", "MCO", "SMR", "NRU"} <= dotted and "FRA" not in dotted


def test_classes_split_by_quantiles_and_rank_changes_by_direction():
    found = quantile_classes(np.arange(70.0))
    assert np.bincount(found.index).tolist() == [10] * 7 and len(found.labels) == 7
    moves = change_classes([-9.0, -1.0, 0.0, 1.0, 2.0, 5.0, 9.0, np.nan])  # thirds of the moves: 2 and 7 places
    assert moves.index.tolist() == [0, 2, 3, 4, 4, 5, 6, -1] and moves.labels[4:6] == ["rose 1 to 2", "rose 3 to 7"]


# ------------------------------------------------------------- outputs --


def test_report_maps_the_score_lists_the_left_over_and_escapes_names(statecrime, tmp_path):
    model, data = statecrime
    data = data.drop(index="Texas").rename(index={"Ohio": HOSTILE})
    page = indexfuse_tools.report(model, data, tmp_path / "report.html", geometry="us-states", scale="0-100")
    text = page.read_text(encoding="utf-8")
    assert '<section id="map"><h2>On the map</h2>' in text and text.count('alt="Map of the score') == 1
    assert "1 unit(s) have no shape on the map and are not drawn: \u2068&lt;img src=x onerror=alert(1)&gt;" in text
    # Ohio (renamed), Texas, Puerto Rico and the Virgin Islands have no unit.
    assert "<img src=x" not in text and "4 shape(s) matching no unit" in text
    assert "alt=\"Small maps of each dimension" in text


def synthetic_editions(model, data, periods=(2007, 2008, 2009)):
    scores = indexfuse_tools.results(model, data)
    frames = []
    for step, period in enumerate(periods):
        composite = scores["composite"] + 0.05 * step * np.sin(np.arange(len(scores)) * (step + 1))
        frames.append(pd.DataFrame({"composite": composite, "rank": composite.rank(ascending=False)}))
    return types.SimpleNamespace(results=pd.concat(frames, keys=list(periods), names=["period", "unit"]), periods=list(periods))


@pytest.fixture(scope="module")
def map_page(statecrime, tmp_path_factory):
    model, data = statecrime
    path = tmp_path_factory.mktemp("maps") / "explore.html"
    hostile = data.rename(index={"Ohio": HOSTILE})
    return indexfuse_tools.explorer(model, hostile, path, geometry="us-states", editions=synthetic_editions(model, hostile))


def test_the_map_carries_no_geometry_text_but_labels_and_numbers(map_page):
    text = map_page.read_text(encoding="utf-8")
    found = json.loads(re.search(r'id="explorer-map-data">(.*?)</script>', text, re.S).group(1))
    assert all(re.fullmatch(r"[Mmlhvaz0-9 \-]+", d) for d in found["paths"])
    assert found["unitsWithout"] == [HOSTILE] and len(found["paths"]) == 53
    assert len(text.encode()) < 2_000_000


@pytest.mark.skipif(CHROMIUM is None and not os.environ.get("CI"), reason="headless Chromium is not installed here")
def test_the_map_in_a_browser(statecrime, map_page):
    """One page load: a shape per matched unit, colours as Python classes them, recoloured when a
    weight moves, hover and keyboard, the hostile name as text, and not one request off the file."""
    model, data = statecrime
    data = data.rename(index={"Ohio": HOSTILE})
    with _chromium.Session(CHROMIUM, width=1280) as session:
        session.load(map_page)
        session.evaluate("window.indexfuseExplorer.ready")
        view = "window.indexfuseMapView"
        assert session.evaluate(f"{view}.shapes()") == 53
        fills = session.evaluate(f"{view}.fills()")
        placed = place("us-states", None, data, data.index, "test")
        matched = placed.joined.unit_of_shape >= 0
        assert sum(fill is not None for fill in fills) == int(matched.sum()) == 50  # Ohio is renamed away
        scores = indexfuse_tools.results(model, data)
        expected = quantile_classes(scores["composite"].to_numpy())
        for shape in np.flatnonzero(matched):
            assert fills[shape] == expected.colours[expected.index[placed.joined.unit_of_shape[shape]]]
        # A weight moves: the map follows at once.
        session.evaluate("(() => { const s = document.querySelector('#weight-controls input[type=range]');"
                         " s.value = '5'; s.dispatchEvent(new Event('input')); })()")  # fmt: skip
        session.evaluate("window.indexfuseExplorer.settled()")  # the page ranks in a worker: wait for its answer
        assert session.evaluate(f"{view}.fills()") != fills
        # Keyboard: focus starts on the best unit, an arrow moves, Enter opens the profile.
        session.evaluate("(() => { const f = document.querySelector('.map-frame'); f.focus(); f.dispatchEvent(new FocusEvent('focus')); })()")
        first = session.evaluate("document.querySelector('.map-status').textContent")
        session.evaluate("document.querySelector('.map-frame').dispatchEvent(new KeyboardEvent('keydown', {key: 'ArrowLeft', bubbles: true}))")
        moved = session.evaluate("document.querySelector('.map-status').textContent")
        session.evaluate("document.querySelector('.map-frame').dispatchEvent(new KeyboardEvent('keydown', {key: 'Enter', bubbles: true}))")
        session.evaluate("window.indexfuseExplorer.settled()")
        opened = session.evaluate("document.getElementById('profile-heading').textContent")
        assert first != moved and moved.split(":")[0] in opened
        # The hostile name: shown as text in the list of units without a shape, nothing made of it.
        listed = session.evaluate("[...document.querySelectorAll('.map-left-over bdi')].map(b => b.textContent)")
        assert listed == [HOSTILE, "Ohio", "Puerto Rico", "United States Virgin Islands"]
        assert session.evaluate("document.querySelectorAll('img').length") == 0
        session.evaluate(f"{view}.choose('change')")
        legend = session.evaluate("document.querySelector('.map-legend').textContent")
        assert "Places climbed from 2007 to 2009" in legend and "no change" in legend
        SCREENSHOTS.mkdir(parents=True, exist_ok=True)
        (SCREENSHOTS / "explorer-map-change.png").write_bytes(session.screenshot())
        assert session.complaints == []
        assert [url for url in session.requests if not url.startswith(("file:", "about:", "data:", "blob:"))] == []


# -------------------------------------------------------- command line --


@pytest.mark.parametrize(
    "options, code, said",
    [
        (["explore", "--geometry", "us-states", "--key", "name"], 0, "explorer written"),
        (["explore", "--geometry", "us-states", "--key", "label=name"], 0, "explorer written"),
        (["report", "--geometry", "nowhere.geojson"], 2, "geometry 'nowhere.geojson': no such file"),
        (["explore", "--geometry", "world", "--key", "fips"], 2, "matched by 'iso_a3', 'iso_n3', 'name', not 'fips'"),
    ],
    ids=["by name", "by a column", "no such file", "wrong property"],
)
def test_the_command_line_takes_geometry_and_key(tmp_path, monkeypatch, capsys, options, code, said):
    from indexfuse_tools._cli import main

    data = sm.datasets.statecrime.load_pandas().data
    data["label"] = data.index.str.upper()
    data.to_csv(tmp_path / "states.csv")
    (tmp_path / "schema.json").write_text(json.dumps({"safety": [["violent", -1]], "education": ["hs_grad"]}))
    monkeypatch.chdir(tmp_path)
    command, *rest = options
    assert main([command, "states.csv", "--schema", "schema.json", "-o", "out.html", *rest]) == code
    assert said in (capsys.readouterr().out if code == 0 else capsys.readouterr().err)
